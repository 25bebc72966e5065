#pragma once

#include <QByteArray>
#include <QString>

// Where a transfer's body goes, decoded and held to its pin, as it arrives:
// a file written chunk by chunk, or memory handed to the caller at the end.
class BodySink
{
public:
    virtual ~BodySink() = default;

    // Whether size more bytes fit; false, with error saying so, when they do not.
    [[nodiscard]] virtual bool hasRoomFor(qint64 size, QString &error) const = 0;
    // Keeps the body's next bytes. False, with error, when they cannot be kept.
    [[nodiscard]] virtual bool write(const QByteArray &bytes, QString &error) = 0;
    // The body has ended: all of it is kept (a file closed). False, with
    // error, when it is not.
    [[nodiscard]] virtual bool close(QString &error) = 0;
    // After close(): the SHA-256 (32 bytes) of all the bytes written; empty
    // when it was not computed.
    [[nodiscard]] virtual QByteArray sha256() = 0;
    // The body is taken: it goes where the caller asked for it.
    virtual void deliver() = 0;
    // The transfer failed: what came is kept as far as it came, or removed.
    virtual void abandon(bool remove) = 0;
};
