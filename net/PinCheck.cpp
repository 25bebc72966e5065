#include "PinCheck.h"

#include <utility>

PinCheck::PinCheck(DownloadPin pin)
    : pinned(std::move(pin))
{
}

QString PinCheck::sizeMismatch(const QString &actual) const
{
    return QStringLiteral("The download's size does not match its pin: expected %1 bytes, %2.")
        .arg(QString::number(*pinned.size), actual);
}

bool PinCheck::checkAnnounced(qint64 announcedSize, QString &error) const
{
    if (!pinned.size || announcedSize == *pinned.size)
        return true;
    error = sizeMismatch(QStringLiteral("the server announces %1").arg(announcedSize));
    return false;
}

bool PinCheck::checkGrowth(qint64 size, QString &error) const
{
    if (!pinned.size || size <= *pinned.size)
        return true;
    error = sizeMismatch(QStringLiteral("received more (%1 so far)").arg(size));
    return false;
}

bool PinCheck::add(const QByteArray &chunk, QString &error)
{
    if (!checkGrowth(added + chunk.size(), error))
        return false;
    added += chunk.size();
    return true;
}

bool PinCheck::checkComplete(const QByteArray &sha256, QString &error) const
{
    if (pinned.size && added != *pinned.size) {
        error = sizeMismatch(QStringLiteral("received %1").arg(added));
        return false;
    }
    if (pinned.sha256.isEmpty())
        return true;
    if (sha256.isEmpty()) {
        error = QStringLiteral("The download's SHA-256 digest could not be computed.");
        return false;
    }
    if (sha256 != pinned.sha256) {
        error = QStringLiteral("The download's SHA-256 digest does not match its pin: expected %1, received %2.")
                    .arg(QString::fromLatin1(pinned.sha256.toHex()), QString::fromLatin1(sha256.toHex()));
        return false;
    }
    return true;
}
