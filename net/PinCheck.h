#pragma once

#include "DownloadPin.h"

#include <QByteArray>
#include <QString>

// Holds one download's body to its pin: the size the answer announces, the
// size as the body grows and when it ends, and the SHA-256 of the bytes, which
// whoever writes them computes. Each check is false, with error naming what was
// expected and what came, when the body is not the one pinned. With an empty
// pin every check passes.
class PinCheck
{
public:
    explicit PinCheck(DownloadPin pin = DownloadPin());

    [[nodiscard]] const DownloadPin &pin() const { return pinned; }

    // The answer's headers announce announcedSize bytes.
    [[nodiscard]] bool checkAnnounced(qint64 announcedSize, QString &error) const;
    // The body has reached size bytes so far (nothing added yet counts).
    [[nodiscard]] bool checkGrowth(qint64 size, QString &error) const;
    // Counts chunk as the body's next bytes; false, without taking it, when it
    // takes the body past the pinned size.
    [[nodiscard]] bool add(const QByteArray &chunk, QString &error);
    // The body has ended after the bytes added, with this SHA-256 (empty when
    // it could not be computed): is it as long as pinned, and its digest the
    // one pinned?
    [[nodiscard]] bool checkComplete(const QByteArray &sha256, QString &error) const;

private:
    QString sizeMismatch(const QString &actual) const;

    DownloadPin pinned;
    qint64 added = 0;
};
