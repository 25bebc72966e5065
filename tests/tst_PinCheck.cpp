#include "PinCheck.h"

#include <QtTest>

#include <limits>

class tst_PinCheck : public QObject
{
    Q_OBJECT

private slots:
    void announced_data();
    void announced();
    void growth_data();
    void growth();
    void body_data();
    void body();
    void digest_data();
    void digest();
};

namespace {

const QByteArray abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";   // SHA-256 of "abc"
const QByteArray empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"; // of ""

QString sizeMismatch(qint64 pinned, const QString &actual)
{
    return QStringLiteral("The download's size does not match its pin: expected %1 bytes, %2.").arg(pinned).arg(actual);
}

PinCheck check(const QByteArray &sha256Hex, qint64 size)
{
    return PinCheck(DownloadPin{QByteArray::fromHex(sha256Hex), size < 0 ? std::nullopt : std::optional(size)});
}

} // namespace

void tst_PinCheck::announced_data()
{
    QTest::addColumn<qint64>("pinned"); // -1: no size pinned
    QTest::addColumn<qint64>("announced");
    QTest::addColumn<QString>("error"); // empty: passes

    const auto row = [](const char *tag, qint64 pinned, qint64 announced, const QString &error) {
        QTest::newRow(tag) << pinned << announced << error;
    };
    row("no-pin", -1, 123, "");
    row("equal", 10, 10, "");
    row("zero", 0, 0, "");
    row("one-more", 10, 11, sizeMismatch(10, "the server announces 11"));
    row("one-less", 10, 9, sizeMismatch(10, "the server announces 9"));
    row("largest", std::numeric_limits<qint64>::max(), 0,
        sizeMismatch(std::numeric_limits<qint64>::max(), "the server announces 0"));
}

void tst_PinCheck::announced()
{
    QFETCH(qint64, pinned);
    QFETCH(qint64, announced);
    QFETCH(QString, error);

    QString message;
    QCOMPARE(check("", pinned).checkAnnounced(announced, message) ? QString() : message, error);
}

void tst_PinCheck::growth_data()
{
    QTest::addColumn<qint64>("pinned"); // -1: no size pinned
    QTest::addColumn<qint64>("size");   // received so far
    QTest::addColumn<QString>("error"); // empty: passes

    const auto row = [](const char *tag, qint64 pinned, qint64 size, const QString &error) {
        QTest::newRow(tag) << pinned << size << error;
    };
    row("no-pin", -1, std::numeric_limits<qint64>::max(), "");
    row("below", 10, 9, "");
    row("at-size", 10, 10, "");
    row("one-past", 10, 11, sizeMismatch(10, "received more (11 so far)"));
    row("zero-pinned-one-past", 0, 1, sizeMismatch(0, "received more (1 so far)"));
}

void tst_PinCheck::growth()
{
    QFETCH(qint64, pinned);
    QFETCH(qint64, size);
    QFETCH(QString, error);

    QString message;
    QCOMPARE(check("", pinned).checkGrowth(size, message) ? QString() : message, error);
}

void tst_PinCheck::body_data()
{
    QTest::addColumn<qint64>("pinned");     // -1: no size pinned
    QTest::addColumn<QList<int>>("chunks"); // sizes added in turn; negative: one that must be refused
    QTest::addColumn<QString>("refusal");   // add()'s error for the last refused chunk
    QTest::addColumn<QString>("complete");  // checkComplete()'s error; empty: passes

    const auto row = [](const char *tag, qint64 pinned, QList<int> chunks, const QString &refusal,
                        const QString &complete) { QTest::newRow(tag) << pinned << chunks << refusal << complete; };
    row("no-pin", -1, {5, 0, 1000000}, "", "");
    row("exact-in-two", 10, {4, 6}, "", "");
    row("exact-then-empty", 10, {10, 0}, "", "");
    row("one-past-not-counted", 10, {4, -7, 6}, sizeMismatch(10, "received more (11 so far)"), "");
    row("first-past-not-counted", 10, {-11}, sizeMismatch(10, "received more (11 so far)"),
        sizeMismatch(10, "received 0"));
    row("short", 10, {4, 5}, "", sizeMismatch(10, "received 9"));
    row("nothing-added", 10, {}, "", sizeMismatch(10, "received 0"));
    row("zero-pinned", 0, {0, -1, 0}, sizeMismatch(0, "received more (1 so far)"), "");
}

void tst_PinCheck::body()
{
    QFETCH(qint64, pinned);
    QFETCH(QList<int>, chunks);
    QFETCH(QString, refusal);
    QFETCH(QString, complete);

    PinCheck pin = check("", pinned);
    QString message;
    for (const int chunk : chunks) {
        QString error;
        QCOMPARE(pin.add(QByteArray(qAbs(chunk), 'x'), error), chunk >= 0);
        QCOMPARE(error.isEmpty(), chunk >= 0);
        if (chunk < 0)
            message = error;
    }
    QCOMPARE(message, refusal);
    message.clear();
    QCOMPARE(pin.checkComplete(QByteArray(), message) ? QString() : message, complete);
}

void tst_PinCheck::digest_data()
{
    QTest::addColumn<QByteArray>("pinned"); // hex; empty: no digest pinned
    QTest::addColumn<qint64>("size");       // pinned; -1: none; nothing is added
    QTest::addColumn<QByteArray>("digest"); // hex, as computed; empty: it could not be
    QTest::addColumn<QString>("error");     // empty: passes

    const auto row = [](const char *tag, const QByteArray &pinned, qint64 size, const QByteArray &digest,
                        const QString &error) { QTest::newRow(tag) << pinned << size << digest << error; };
    row("same", abc, -1, abc, "");
    row("same-with-size", empty, 0, empty, "");
    row("no-digest-pinned", "", -1, abc, "");
    row("no-digest-pinned-none-computed", "", -1, "", "");
    row("different", abc, -1, empty,
        "The download's SHA-256 digest does not match its pin: expected " + abc + ", received " + empty + ".");
    row("not-computed", abc, -1, "", "The download's SHA-256 digest could not be computed.");
    row("size-told-first", abc, 1, empty, sizeMismatch(1, "received 0"));
}

void tst_PinCheck::digest()
{
    QFETCH(QByteArray, pinned);
    QFETCH(qint64, size);
    QFETCH(QByteArray, digest);
    QFETCH(QString, error);

    QString message;
    QCOMPARE(check(pinned, size).checkComplete(QByteArray::fromHex(digest), message) ? QString() : message, error);
}

QTEST_MAIN(tst_PinCheck)
#include "tst_PinCheck.moc"
