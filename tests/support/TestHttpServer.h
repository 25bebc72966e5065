#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QSet>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTcpServer>

class TestHttpConnection;

using TestHttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// One canned answer of TestHttpServer: status line, headers and body, and how
// the body is framed and paced. The builder functions return a changed copy:
//   TestHttpAnswer::ok(body).inPieces(4096, 50).cutAfter(10000)
struct TestHttpAnswer
{
    enum class Framing {
        ContentLength,  // "Content-Length: N", N = contentLength or the body's size
        CloseDelimited, // no length; "Connection: close", the body ends when the server closes
        Chunked,        // "Transfer-Encoding: chunked", one chunk per piece
    };

    int status = 200;
    QByteArray reason;       // empty: the standard phrase of status ("Not Found" for 404)
    TestHttpHeaders headers; // sent as given and in order, before the framing header
    QByteArray body;
    Framing framing = Framing::ContentLength;
    qint64 contentLength = -1; // announced length with ContentLength framing; -1: body.size()
    int pieceSize = 0;         // > 0: the body goes out in pieces of this many bytes,
    int pieceDelayMs = 0;      // each after the first following this pause
    qint64 stopAfter = -1;     // >= 0: at most this many body bytes are sent, never the end of
                               // the answer (nor a chunked body's last chunk), then the server
    bool closeAtStop = true;   // closes the connection (true) or holds it open, silent (false)
    int closeDelayMs = 0;      // pause between the last byte sent and that close

    // 200 with body.
    static TestHttpAnswer ok(const QByteArray &body, Framing framing = Framing::ContentLength);
    // Any status with body (an error page, say).
    static TestHttpAnswer withStatus(int status, const QByteArray &body = QByteArray());
    // status (301, 302, 307, 308) with "Location: location", absolute or relative,
    // and a small HTML body of its own.
    static TestHttpAnswer redirect(int status, const QByteArray &location);

    TestHttpAnswer withHeader(const QByteArray &name, const QByteArray &value) const;
    TestHttpAnswer framedAs(Framing framing) const;
    TestHttpAnswer announcing(qint64 length) const; // a Content-Length other than the body's
    TestHttpAnswer inPieces(int size, int delayMs) const;
    // Stop there and close the connection, at once or after delayMs. (Qt 5.15
    // races when the close comes with the last data: see the cutShort test.)
    TestHttpAnswer cutAfter(qint64 bytes, int delayMs = 0) const;
    TestHttpAnswer holdAfter(qint64 bytes) const; // stop there and keep the connection open
};
Q_DECLARE_METATYPE(TestHttpAnswer) // usable as a QTest::addColumn type

// A request as the server received it.
struct TestHttpRequest
{
    QByteArray method;       // "GET"
    QByteArray target;       // as sent: path and query, still percent-encoded
    QByteArray version;      // "HTTP/1.1"
    TestHttpHeaders headers; // as received, in order
    bool https = false;
    int connection = 0; // which connection of the server it came on: 1, 2, ... in order of acceptance

    QByteArray path() const;                         // target without its query
    QByteArray header(const QByteArray &name) const; // any letter case; empty if absent
    QList<QByteArray> headerNames() const;           // lower case, in order
};

// An HTTP/1.1 server on 127.0.0.1 (port from the system) for tests: it answers
// each path with what the test set, records every request and keeps
// connections alive between answers as HTTP/1.1 does. The HTTPS form runs TLS
// with the given certificate on every connection (see TestTls.h for
// certificates and trusting them). Lives on the test's thread; it answers while
// that thread spins its event loop (QSignalSpy::wait, QTRY_*, waitForRequests).
class TestHttpServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit TestHttpServer(QObject *parent = nullptr);
    TestHttpServer(const QSslCertificate &certificate, const QSslKey &privateKey, QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Starts listening. False when it cannot (errorString() says why).
    [[nodiscard]] bool start();
    bool isHttps() const { return https; }
    // "http://127.0.0.1:<port>" or "https://…" followed by pathAndQuery ("/a/b?c").
    QString url(const QString &pathAndQuery) const;
    QString origin() const { return url(QString()); }

    // The answer for requests of path: the percent-encoded path as sent, with or
    // without a query; a target that matches with its query is preferred.
    void setAnswer(const QString &path, const TestHttpAnswer &answer);
    // Answers for successive requests of path, in turn; the last one repeats.
    void setAnswers(const QString &path, const QList<TestHttpAnswer> &answers);
    // A path without an answer gets 404 with "no answer for <path>".
    void clearAnswers();

    QList<TestHttpRequest> requests() const { return received; }
    void clearRequests() { received.clear(); }
    // Spins an event loop until at least count requests are in, or timeoutMs pass.
    bool waitForRequests(int count, int timeoutMs = 10000);
    // Connections accepted and not yet closed.
    int openConnections() const { return open; }

signals:
    // A request has been read (the record is already in requests()).
    void requestReceived(const QString &target);
    // An answer has ended: complete (its last byte handed to the socket) or
    // not (stopped by cutAfter/holdAfter, or the client closed the connection
    // first). bodyBytesSent counts the body bytes handed to the socket.
    void answerEnded(const QString &target, qint64 bodyBytesSent, bool complete);
    // A connection has closed, from either side.
    void connectionClosed();

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    friend class TestHttpConnection;
    TestHttpAnswer answerFor(const TestHttpRequest &request);
    void record(const TestHttpRequest &request);
    void closed();

    bool https = false;
    QSslCertificate certificate;
    QSslKey privateKey;
    QHash<QString, QList<TestHttpAnswer>> answers;
    QHash<QString, int> answered; // requests answered so far, per answers key
    QList<TestHttpRequest> received;
    QSet<TestHttpConnection *> connections;
    int open = 0;
    int accepted = 0;
};
