#include "AnswerHeaders.h"

#include <QtTest>

Q_DECLARE_METATYPE(AnswerHeaders::Kind)

// An answer's status and headers as Qt hands them on, read without a server.
class tst_AnswerHeaders : public QObject
{
    Q_OBJECT

private slots:
    void read_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentLength"); // null: no such header
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<bool>("redirected"); // after a redirect Qt followed
        QTest::addColumn<AnswerHeaders::Kind>("kind");
        QTest::addColumn<qint64>("length");    // -1: none
        QTest::addColumn<qint64>("announced"); // the file's size as announced; -1: none
        QTest::addColumn<QString>("refusal");  // empty: read
        QTest::addColumn<QString>("atEnd");    // statusRefusal(): why it is not the file if the transfer ends with it

        using Kind = AnswerHeaders::Kind;
        const auto row = [](const char *tag, int status, const QByteArray &contentLength, const QByteArray &encoding,
                            bool redirected, Kind kind, qint64 length, qint64 announced, const QString &refusal,
                            const QString &atEnd = QString()) {
            QTest::newRow(tag) << status << contentLength << encoding << redirected << kind << length << announced
                               << refusal << atEnd;
        };
        const QString notTheFile = "The server answered %1 instead of sending the file.";
        const QString invalid = "The server's answer is invalid: its Content-Length is \"%1\".";
        const QByteArray none;
        row("plain", 200, "300000", "", false, Kind::Final, 300000, 300000, "");
        row("no-length", 200, none, "", false, Kind::Final, -1, -1, "");
        row("no-status", 0, "5", "", false, Kind::Final, 5, 5, "");
        row("joined-after-redirect", 200, "107, 200000", "", true, Kind::Final, 200000, 200000, "");
        row("same-length-twice", 200, "7,7", "", false, Kind::Final, 7, 7, "");
        row("two-lengths", 200, "300000, 299999", "", false, Kind::Final, -1, -1, invalid.arg("300000, 299999"));
        row("bad-last-after-redirect", 200, "107, x", "", true, Kind::Final, -1, -1, invalid.arg("107, x"));
        row("plus-sign", 200, "+5", "", false, Kind::Final, -1, -1, invalid.arg("+5"));
        row("empty", 200, "", "", false, Kind::Final, -1, -1, invalid.arg(""));
        row("past-64-bits", 200, "9223372036854775808", "", false, Kind::Final, -1, -1,
            invalid.arg("9223372036854775808"));
        row("shown-cut-visible", 200, "\x01" + QByteArray(45, '9'), "", false, Kind::Final, -1, -1,
            invalid.arg("\\x01" + QString(39, '9') + "..."));
        row("gzip-length-on-wire", 200, "1000", "gzip", false, Kind::Final, 1000, -1, "");
        row("identity-spelt-loosely", 200, "1000", " Identity ", false, Kind::Final, 1000, 1000, "");
        row("unknown-encoding", 200, "1000", "br", false, Kind::Final, 1000, -1,
            "The download came in an encoding that cannot be decoded (\"br\").");
        row("partial-content", 206, "100", "", false, Kind::Final, 100, 100, notTheFile.arg("206 Partial Content"),
            notTheFile.arg("206 Partial Content"));
        row("redirect", 302, "107", "", false, Kind::Redirect, 107, 107, "", notTheFile.arg("302 Found"));
        row("error-answer", 404, "-1", "br", false, Kind::Error, -1, -1, "", notTheFile.arg("404 Not Found"));
    }

    void read()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, contentLength);
        QFETCH(QByteArray, encoding);
        QFETCH(bool, redirected);
        QFETCH(AnswerHeaders::Kind, kind);
        QFETCH(qint64, length);
        QFETCH(qint64, announced);
        QFETCH(QString, refusal);
        QFETCH(QString, atEnd);

        const QHash<int, QString> reasons{{206, "Partial Content"}, {302, "Found"}, {404, "Not Found"}};
        AnswerHeaders::Raw raw{status, reasons.value(status, "OK"), status == 302, std::nullopt, encoding, redirected};
        if (!contentLength.isNull())
            raw.contentLength = contentLength;
        AnswerHeaders headers;
        QString message;
        const bool read = AnswerHeaders::read(raw, headers, message);
        QCOMPARE(read ? QString() : message, refusal);
        QCOMPARE(read, refusal.isEmpty());
        QCOMPARE(headers.kind, kind);
        QCOMPARE(headers.contentLength.value_or(-1), length);
        QCOMPARE(headers.announcedSize().value_or(-1), announced);
        QCOMPARE(headers.statusRefusal(), atEnd);
    }
};

QTEST_GUILESS_MAIN(tst_AnswerHeaders)
#include "tst_AnswerHeaders.moc"
