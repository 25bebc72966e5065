#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class QUrl;

// What a URL's fragment says its download must be, so that the bytes installed
// are those the application meant: "sha256=<64 hex digits>",
// "size=<decimal byte count>" and "team=<Apple Team ID>" (the package must be
// signed with that team's Developer ID Installer certificate), as key=value
// pairs joined by "&" in any order, keys and hex digits in either letter case
// (https://example.com/Update.zip#sha256=9f86…&size=4096&team=A1B2C3D4E5).
// Other pairs and words in the fragment are no part of the pin.
struct DownloadPin
{
    QByteArray sha256;          // the 32 bytes of the digest; empty when not pinned
    std::optional<qint64> size; // the body's size in bytes; no value when not pinned
    QString team;               // ten digits and upper-case letters; empty when not pinned

    // Reads the pin of url into pin (empty when the fragment has none). False,
    // with error saying what is wrong and pin untouched, for a pin that is
    // present but cannot be read: a digest that is not 64 hex digits, a size
    // that is not a plain decimal number, a team that is not a Team ID, a key
    // given twice or with a space beside it ("size =5").
    [[nodiscard]] static bool read(const QUrl &url, DownloadPin &pin, QString &error);
};
