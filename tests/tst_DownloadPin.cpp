#include "DownloadPin.h"

#include <QtTest>

// The pin as the downloader reads it: from the whole URL, as typed.
class tst_DownloadPin : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
};

namespace {

// SHA-256 of "abc".
const QString abc = QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

QString badDigest(const QString &shown)
{
    return "The pin in the URL cannot be read: sha256 must be 64 hexadecimal digits, not \"" + shown + "\".";
}

QString badSize(const QString &shown)
{
    return "The pin in the URL cannot be read: size must be a decimal number of bytes, not \"" + shown + "\".";
}

} // namespace

void tst_DownloadPin::read_data()
{
    QTest::addColumn<QString>("fragment"); // with its "#"
    QTest::addColumn<QString>("sha256");   // in hex; empty: not pinned
    QTest::addColumn<qint64>("size");      // -1: not pinned
    QTest::addColumn<QString>("error");    // empty: the pin is read

    const auto pinned = [](const char *tag, const QString &fragment, const QString &sha256, qint64 size) {
        QTest::newRow(tag) << fragment << sha256 << size << QString();
    };
    const auto refused = [](const char *tag, const QString &fragment, const QString &error) {
        QTest::newRow(tag) << fragment << QString() << qint64(-1) << error;
    };
    pinned("no-fragment", "", "", -1);
    pinned("empty-fragment", "#", "", -1);
    pinned("both", "#sha256=" + abc + "&size=4096", abc, 4096);
    pinned("both-reversed-upper-case", "#SIZE=4096&Sha256=" + abc.toUpper(), abc, 4096);
    pinned("digest-alone", "#sha256=" + abc, abc, -1);
    pinned("size-alone", "#size=7", "", 7);
    pinned("size-zero", "#size=0", "", 0);
    pinned("size-leading-zeros", "#size=007", "", 7);
    pinned("size-largest", "#size=9223372036854775807", "", Q_INT64_C(9223372036854775807));
    pinned("other-words-and-pairs", "#notes&size=5&sizes=9&sha=1&x=size&sha256x=1", "", 5);
    pinned("keys-without-equals", "#size&sha256", "", -1);
    pinned("empty-key", "#=x&size=5", "", 5);
    pinned("empty-pairs", "#&&size=5&", "", 5);
    pinned("percent-encoded-key", "#%73ize=5", "", 5);
    pinned("percent-encoded-separators", "#size%3D5%26sha256%3D" + abc, abc, 5);
    refused("digest-twice", "#sha256=" + abc + "&SHA256=" + abc,
            "The pin in the URL cannot be read: sha256 is given twice.");
    refused("size-twice-same-value", "#size=5&Size=5", "The pin in the URL cannot be read: size is given twice.");
    refused("digest-63-digits", "#sha256=" + abc.left(63), badDigest(abc.left(63)));
    refused("digest-65-digits", "#sha256=" + abc + "0", badDigest(abc + "0"));
    refused("digest-empty", "#sha256=&size=5", badDigest(""));
    refused("digest-non-hex", "#sha256=" + abc.left(63) + "g", badDigest(abc.left(63) + "g"));
    refused("digest-80-shown-whole", "#sha256=" + abc + abc.left(16), badDigest(abc + abc.left(16)));
    refused("digest-81-shown-cut", "#sha256=" + abc + abc.left(17), badDigest(abc + abc.left(16) + "..."));
    refused("size-plus-sign", "#size=+5", badSize("+5"));
    refused("size-minus-sign", "#size=-5", badSize("-5"));
    refused("size-leading-space", "#size=%205", badSize(" 5"));
    refused("size-trailing-space", "#size=5%20", badSize("5 "));
    refused("size-non-digit", "#size=20x", badSize("20x"));
    refused("size-hex", "#size=0x10", badSize("0x10"));
    refused("size-exponent", "#size=1e3", badSize("1e3"));
    refused("size-fullwidth-digit", QString::fromUtf8("#size=\xef\xbc\x95"),
            badSize(QString::fromUtf8("\xef\xbc\x95")));
    refused("size-past-64-bits", "#size=9223372036854775808", badSize("9223372036854775808"));
    refused("size-empty", "#size=", badSize(""));
    refused("size-second-equals", "#size==5", badSize("=5"));
    refused("size-percent-encoded-sign", "#size=%2B5", badSize("+5"));
    refused("size-broken-escape", "#size=%zz", badSize("%zz"));
    refused("bad-after-good", "#size=5&sha256=x", badDigest("x"));
}

void tst_DownloadPin::read()
{
    QFETCH(QString, fragment);
    QFETCH(QString, sha256);
    QFETCH(qint64, size);
    QFETCH(QString, error);

    // Whatever pin was there is replaced when the URL's is read, and kept when it is not.
    const DownloadPin before{QByteArray(32, 'p'), 3};
    DownloadPin pin = before;
    QString message;
    const bool read =
        DownloadPin::read(QUrl("https://example.com/Update.zip" + fragment, QUrl::TolerantMode), pin, message);
    QCOMPARE(read ? QString() : message, error);
    QCOMPARE(QString::fromLatin1(pin.sha256.toHex()), read ? sha256 : QString::fromLatin1(before.sha256.toHex()));
    QCOMPARE(pin.size.value_or(-1), read ? size : *before.size);
}

QTEST_MAIN(tst_DownloadPin)
#include "tst_DownloadPin.moc"
