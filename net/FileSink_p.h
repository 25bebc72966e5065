#pragma once

#include "BodySink_p.h"

#include <memory>

class WrittenFile;

// The body written into a file as it arrives (see WrittenFile).
class FileSink final : public BodySink
{
public:
    // Takes over `file`, open for writing.
    explicit FileSink(std::unique_ptr<WrittenFile> file);
    ~FileSink() override;

    // "Not enough free space in …" when the file's folder has no room.
    [[nodiscard]] bool hasRoomFor(qint64 size, QString &error) const override;
    // "I/O failure (%1)" with the system's reason.
    [[nodiscard]] bool write(const QByteArray &bytes, QString &error) override;
    [[nodiscard]] bool close(QString &error) override;
    [[nodiscard]] QByteArray sha256() override;
    void deliver() override {}
    void abandon(bool remove) override;

    [[nodiscard]] WrittenFile &file() const { return *written; }

private:
    std::unique_ptr<WrittenFile> written;
};
