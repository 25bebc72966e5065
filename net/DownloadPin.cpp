#include "DownloadPin.h"

#include "ValueText_p.h"

#include <QUrl>

#include <algorithm>

namespace {

constexpr int shownValueLength = 80; // a garbled value is shown up to this length

QString unreadable(const QString &reason)
{
    return QStringLiteral("The pin in the URL cannot be read: %1").arg(reason);
}

QString shown(const QString &value)
{
    return shortened(value, shownValueLength);
}

bool isPinKey(const QString &key)
{
    return key == QLatin1String("sha256") || key == QLatin1String("size") || key == QLatin1String("team");
}

// Apple's Team ID: ten digits and upper-case ASCII letters.
bool isTeamId(const QString &text)
{
    return text.size() == 10 && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
               return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                      (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
           });
}

bool isHex(const QString &text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    return true;
}

} // namespace

bool DownloadPin::read(const QUrl &url, DownloadPin &pin, QString &error)
{
    DownloadPin found;
    const QStringList pairs = url.fragment(QUrl::FullyDecoded).split(QLatin1Char('&'));
    for (const QString &pair : pairs) {
        const int equals = pair.indexOf(QLatin1Char('='));
        const QString key = pair.left(equals).toLower();
        const QString value = pair.mid(equals + 1);
        if (equals < 0 || !isPinKey(key.trimmed()))
            continue;
        // Neither read nor passed over: the download would go unpinned while
        // its URL looks pinned.
        if (key != key.trimmed()) {
            error = unreadable(QStringLiteral("%1 is written with a space (\"%2\").").arg(key.trimmed(), shown(pair)));
            return false;
        }
        const bool digest = key == QLatin1String("sha256");
        const bool team = key == QLatin1String("team");

        if (digest ? !found.sha256.isEmpty() : team ? !found.team.isEmpty() : found.size.has_value()) {
            error = unreadable(QStringLiteral("%1 is given twice.").arg(key));
            return false;
        }
        if (team) {
            if (!isTeamId(value)) {
                error = unreadable(
                    QStringLiteral("team must be an Apple Team ID of ten digits and upper-case letters, not \"%1\".")
                        .arg(shown(value)));
                return false;
            }
            found.team = value;
        } else if (digest) {
            if (value.size() != 64 || !isHex(value)) {
                error =
                    unreadable(QStringLiteral("sha256 must be 64 hexadecimal digits, not \"%1\".").arg(shown(value)));
                return false;
            }
            found.sha256 = QByteArray::fromHex(value.toLatin1());
        } else {
            bool fits = false;
            const qint64 size = value.toLongLong(&fits);
            // Latin-1: any other character becomes '?', which is no digit.
            if (!isDecimal(value.toLatin1()) || !fits) {
                error =
                    unreadable(QStringLiteral("size must be a decimal number of bytes, not \"%1\".").arg(shown(value)));
                return false;
            }
            found.size = size;
        }
    }
    pin = found;
    return true;
}
