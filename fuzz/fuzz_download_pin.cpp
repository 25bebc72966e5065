// Takes each input as the fragment of an update's URL, as typed, and reads its
// pin; a pin read is written back out as a fragment and must read the same.
#include "DownloadPin.h"

#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

bool read(const QString &fragment, DownloadPin &pin, QString &error)
{
    return DownloadPin::read(QUrl(QStringLiteral("https://example.com/Update.zip#") + fragment, QUrl::TolerantMode),
                             pin, error);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString fragment = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const DownloadPin before{QByteArray(32, 'p'), 3, QStringLiteral("BEFORE0000")};
    DownloadPin pin = before;
    QString error;
    if (!read(fragment, pin, error)) {
        // Refused with a reason of bounded length (a value is shown cut), the
        // pin as it was.
        check(!error.isEmpty() && error.size() < 200);
        check(pin.sha256 == before.sha256 && pin.size == before.size && pin.team == before.team);
        return 0;
    }
    check(pin.sha256.isEmpty() || pin.sha256.size() == 32);
    check(!pin.size || *pin.size >= 0);
    check(pin.team.isEmpty() || pin.team.size() == 10);

    // Written back out, in one order and letter case or the other.
    const bool flipped = size % 2;
    QStringList pairs;
    if (!pin.sha256.isEmpty())
        pairs << QStringLiteral("sha256=") +
                     QString::fromLatin1(flipped ? pin.sha256.toHex().toUpper() : pin.sha256.toHex());
    if (pin.size)
        pairs << QStringLiteral("size=") + QString::number(*pin.size);
    if (!pin.team.isEmpty())
        pairs << (flipped ? QStringLiteral("TEAM=") : QStringLiteral("team=")) + pin.team;
    if (flipped)
        std::reverse(pairs.begin(), pairs.end());
    DownloadPin again;
    QString againError;
    check(read(pairs.join(QLatin1Char('&')), again, againError));
    check(again.sha256 == pin.sha256 && again.size == pin.size && again.team == pin.team);
    return 0;
}
