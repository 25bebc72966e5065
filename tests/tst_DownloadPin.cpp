#include "DownloadPin.h"
#include "PinCheck.h"

#include <QtTest>

#include <limits>

namespace {

const QString abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";   // SHA-256 of "abc"
const QString empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"; // of ""
constexpr qint64 largest = std::numeric_limits<qint64>::max();

const QString unread = "The pin in the URL cannot be read: ";
const auto bad = [](const QString &what, const QString &shown) { return unread + what + ", not \"" + shown + "\"."; };
const auto badDigest = [](const QString &shown) { return bad("sha256 must be 64 hexadecimal digits", shown); };
const auto badSize = [](const QString &shown) { return bad("size must be a decimal number of bytes", shown); };
const auto badTeam = [](const QString &shown) {
    return bad("team must be an Apple Team ID of ten digits and upper-case letters", shown);
};

QString sizeMismatch(qint64 pinned, const QString &actual)
{
    return QStringLiteral("The download's size does not match its pin: expected %1 bytes, %2.").arg(pinned).arg(actual);
}

} // namespace

// The pin as the downloader reads it from the whole URL, as typed, and as PinCheck holds a body to it.
class tst_DownloadPin : public QObject
{
    Q_OBJECT

private slots:
    void read_data()
    {
        QTest::addColumn<QString>("fragment"); // with its "#"
        QTest::addColumn<QString>("sha256");   // in hex; empty: not pinned
        QTest::addColumn<qint64>("size");      // -1: not pinned
        QTest::addColumn<QString>("team");     // empty: not pinned
        QTest::addColumn<QString>("error");    // empty: the pin is read

        const auto pinned = [](const char *tag, const QString &fragment, const QString &sha256, qint64 size,
                               const QString &team = QString()) {
            QTest::newRow(tag) << fragment << sha256 << size << team << QString();
        };
        const auto refused = [](const char *tag, const QString &fragment, const QString &error) {
            QTest::newRow(tag) << fragment << QString() << qint64(-1) << QString() << error;
        };
        pinned("no-fragment", "", "", -1);
        pinned("both-reversed-upper-case", "#SIZE=4096&Sha256=" + abc.toUpper(), abc, 4096);
        pinned("size-largest", "#size=9223372036854775807", "", largest);
        pinned("other-words-and-pairs", "#notes&size=5&sizes=9&sha=1&x=size&sha256x=1", "", 5);
        pinned("keys-without-equals", "#size&sha256", "", -1);
        pinned("all-three", "#Team=T4SK8ZXCXG&size=5&sha256=" + abc, abc, 5, "T4SK8ZXCXG");
        pinned("percent-encoded-separators", "#size%3D5%26sha256%3D" + abc, abc, 5);
        refused("digest-twice", "#sha256=" + abc + "&SHA256=" + abc, unread + "sha256 is given twice.");
        refused("size-twice-same-value", "#size=5&Size=5", unread + "size is given twice.");
        refused("digest-63-digits", "#sha256=" + abc.left(63), badDigest(abc.left(63)));
        refused("digest-non-hex", "#sha256=" + abc.left(63) + "g", badDigest(abc.left(63) + "g"));
        refused("digest-80-shown-whole", "#sha256=" + abc + abc.left(16), badDigest(abc + abc.left(16)));
        refused("digest-81-shown-cut", "#sha256=" + abc + abc.left(17), badDigest(abc + abc.left(16) + "..."));
        refused("size-plus-sign", "#size=+5", badSize("+5"));
        refused("size-fullwidth-digit", QString::fromUtf8("#size=\xef\xbc\x95"),
                badSize(QString::fromUtf8("\xef\xbc\x95")));
        refused("size-past-64-bits", "#size=9223372036854775808", badSize("9223372036854775808"));
        refused("size-empty", "#size=", badSize(""));
        refused("size-second-equals", "#size==5", badSize("=5"));
        refused("size-space-before-equals", "#size =5", unread + "size is written with a space (\"size =5\").");
        refused("team-twice", "#team=T4SK8ZXCXG&TEAM=T4SK8ZXCXG", unread + "team is given twice.");
        refused("team-lower-case", "#team=t4sk8zxcxg", badTeam("t4sk8zxcxg"));
        refused("team-nine", "#team=T4SK8ZXCX", badTeam("T4SK8ZXCX"));
        refused("team-eleven", "#team=T4SK8ZXCXGG", badTeam("T4SK8ZXCXGG"));
    }

    void read()
    {
        QFETCH(QString, fragment);
        QFETCH(QString, sha256);
        QFETCH(qint64, size);
        QFETCH(QString, team);
        QFETCH(QString, error);

        // Whatever pin was there is replaced when the URL's is read, and kept when it is not.
        const DownloadPin before{QByteArray(32, 'p'), 3, QStringLiteral("BEFORE0000")};
        DownloadPin pin = before;
        QString message;
        const bool read =
            DownloadPin::read(QUrl("https://example.com/Update.zip" + fragment, QUrl::TolerantMode), pin, message);
        QCOMPARE(read ? QString() : message, error);
        QCOMPARE(QString::fromLatin1(pin.sha256.toHex()), read ? sha256 : QString::fromLatin1(before.sha256.toHex()));
        QCOMPARE(pin.size.value_or(-1), read ? size : *before.size);
        QCOMPARE(pin.team, read ? team : before.team);
    }

    // A body held to its pin: the size the server announces, the chunks as they come, and the whole.
    void check_data()
    {
        QTest::addColumn<QString>("sha256");       // pinned, in hex; empty: none
        QTest::addColumn<qint64>("size");          // pinned; -1: none
        QTest::addColumn<qint64>("announced");     // by the server
        QTest::addColumn<QString>("misannounced"); // checkAnnounced()'s error; empty: passes
        QTest::addColumn<QList<int>>("chunks");    // sizes added in turn; negative: one that must be refused
        QTest::addColumn<QString>("refusal");      // add()'s error for the last refused chunk
        QTest::addColumn<QString>("digest");       // hex, as computed; empty: it could not be
        QTest::addColumn<QString>("complete");     // checkComplete()'s error; empty: passes

        const auto row = [](const char *tag, const QString &sha256, qint64 size, qint64 announced,
                            const QString &misannounced, QList<int> chunks, const QString &refusal,
                            const QString &digest, const QString &complete) {
            QTest::newRow(tag) << sha256 << size << announced << misannounced << chunks << refusal << digest
                               << complete;
        };
        const QString more = sizeMismatch(10, "received more (11 so far)");
        row("no-pin", "", -1, largest, "", {5, 0, 1000000}, "", "", "");
        row("exact-in-two", abc, 10, 10, "", {4, 6}, "", abc, "");
        row("one-past-not-counted", "", 10, 11, sizeMismatch(10, "the server announces 11"), {4, -7, 6}, more, "", "");
        row("short", "", 10, 9, sizeMismatch(10, "the server announces 9"), {4, 5}, "", "",
            sizeMismatch(10, "received 9"));
        row("zero-pinned", "", 0, 0, "", {0, -1, 0}, sizeMismatch(0, "received more (1 so far)"), "", "");
        row("digest-different", abc, -1, 5, "", {5}, "", empty,
            "The download's SHA-256 digest does not match its pin: expected " + abc + ", received " + empty + ".");
        row("digest-not-computed", abc, -1, 5, "", {}, "", "", "The download's SHA-256 digest could not be computed.");
        row("size-told-first", abc, 1, 1, "", {}, "", empty, sizeMismatch(1, "received 0"));
    }

    void check()
    {
        QFETCH(QString, sha256);
        QFETCH(qint64, size);
        QFETCH(qint64, announced);
        QFETCH(QString, misannounced);
        QFETCH(QList<int>, chunks);
        QFETCH(QString, refusal);
        QFETCH(QString, digest);
        QFETCH(QString, complete);

        PinCheck pin(DownloadPin{QByteArray::fromHex(sha256.toLatin1()), size < 0 ? std::nullopt : std::optional(size),
                                 QString()});
        QString message;
        QCOMPARE(pin.checkAnnounced(announced, message), misannounced.isEmpty());
        QCOMPARE(message, misannounced);
        message.clear();
        for (const int chunk : chunks) {
            QString error;
            QCOMPARE(pin.add(QByteArray(qAbs(chunk), 'x'), error), chunk >= 0);
            QCOMPARE(error.isEmpty(), chunk >= 0);
            if (chunk < 0)
                message = error;
        }
        QCOMPARE(message, refusal);
        message.clear();
        QCOMPARE(pin.checkComplete(QByteArray::fromHex(digest.toLatin1()), message), complete.isEmpty());
        QCOMPARE(message, complete);
    }
};

QTEST_MAIN(tst_DownloadPin)
#include "tst_DownloadPin.moc"
