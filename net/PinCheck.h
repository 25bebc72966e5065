#pragma once

#include "DownloadPin.h"

#include <QByteArray>
#include <QString>

#include <memory>

class BackgroundSha256;

// Holds one download's body to its pin: the size the answer announces, the
// size as the body grows and when it ends, and the SHA-256 of the bytes, which
// is computed on a helper thread as they are added. Each check is false, with
// error naming what was expected and what came, when the body is not the one
// pinned. With an empty pin every check passes and nothing is hashed.
class PinCheck
{
public:
    explicit PinCheck(DownloadPin pin = DownloadPin());
    ~PinCheck();
    PinCheck(PinCheck &&) noexcept;
    PinCheck &operator=(PinCheck &&) noexcept;

    [[nodiscard]] const DownloadPin &pin() const { return pinned; }

    // The answer's headers announce announcedSize bytes.
    [[nodiscard]] bool checkAnnounced(qint64 announcedSize, QString &error) const;
    // The body has reached size bytes so far (nothing added yet counts).
    [[nodiscard]] bool checkGrowth(qint64 size, QString &error) const;
    // Counts chunk as the body's next bytes and hashes it; false, without
    // taking it, when it takes the body past the pinned size.
    [[nodiscard]] bool add(const QByteArray &chunk, QString &error);
    // The body has ended after the bytes added: is it as long as pinned, and
    // its digest the one pinned? Call it once.
    [[nodiscard]] bool checkComplete(QString &error);

private:
    QString sizeMismatch(const QString &actual) const;

    DownloadPin pinned;
    qint64 added = 0;
    std::unique_ptr<BackgroundSha256> digest; // only when a digest is pinned
};
