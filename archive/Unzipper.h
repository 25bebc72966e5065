#pragma once

#include "UnzipHandles_p.h"

#include <QObject>
#include <QString>

// Extracts single named entries of one ZIP archive into a directory. Every
// call is synchronous. A failing call returns false and replaces `error` with
// a short message; a successful one leaves `error` untouched.
class Unzipper : public QObject
{
    Q_OBJECT

public:
    explicit Unzipper(QObject *parent = nullptr);
    // Closes an archive that is still open.
    ~Unzipper() override;

    // Opens the archive at `zipPath`, closing the one opened before, even
    // when the new one cannot be opened ("Error code 1.").
    [[nodiscard]] bool open(QString zipPath, QString &error);

    // Writes the entry named `fileName` (ASCII letters in any case, folder
    // part included) to `dirPath` + "/" + `fileName`, creating `dirPath` but
    // no folder below it. An entry whose recorded size exceeds the free space
    // there is refused before anything is written, and so is a symbolic link
    // or anything but a regular file at that path (left as it is). After a
    // failed copy nothing is left at that path.
    // The archive stays open either way.
    [[nodiscard]] bool unzip(QString fileName, QString dirPath, QString &error);

    // The SHA-256 (32 bytes) of the entry that the last successful unzip()
    // wrote, computed from the bytes as they were written; empty otherwise.
    [[nodiscard]] QByteArray sha256() const { return extractedSha256; }

    // Closes the archive; does nothing when none is open.
    void close();

private:
    UnzArchive archive;
    QByteArray extractedSha256;
};
