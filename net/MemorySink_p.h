#pragma once

#include "BodySink_p.h"
#include "Sha256.h"

// The body collected in memory and assigned to the caller's array once it is
// taken; a failed transfer leaves the array as it was.
class MemorySink final : public BodySink
{
public:
    // The caller keeps *target alive until the transfer ends.
    explicit MemorySink(QByteArray *target)
        : target(target)
    {
    }

    [[nodiscard]] bool hasRoomFor(qint64, QString &) const override { return true; }
    [[nodiscard]] bool write(const QByteArray &bytes, QString &) override { return body += bytes, true; }
    [[nodiscard]] bool close(QString &) override { return true; }
    [[nodiscard]] QByteArray sha256() override { return Sha256::hash(body); }
    void deliver() override { *target = body; }
    void abandon(bool) override { body.clear(); }

private:
    QByteArray *const target;
    QByteArray body;
};
