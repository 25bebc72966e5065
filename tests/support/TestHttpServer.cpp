#include "TestHttpServer.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

QByteArray standardReason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 410:
        return "Gone";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status " + QByteArray::number(status);
    }
}

bool hasHeader(const TestHttpHeaders &headers, const QByteArray &name)
{
    return std::any_of(headers.cbegin(), headers.cend(),
                       [&](const auto &header) { return header.first.compare(name, Qt::CaseInsensitive) == 0; });
}

} // namespace

// ---- TestHttpAnswer ---------------------------------------------------------

TestHttpAnswer TestHttpAnswer::ok(const QByteArray &body, Framing framing)
{
    TestHttpAnswer answer;
    answer.body = body;
    answer.framing = framing;
    return answer;
}

TestHttpAnswer TestHttpAnswer::withStatus(int status, const QByteArray &body)
{
    TestHttpAnswer answer;
    answer.status = status;
    answer.body = body;
    return answer;
}

TestHttpAnswer TestHttpAnswer::redirect(int status, const QByteArray &location)
{
    TestHttpAnswer answer;
    answer.status = status;
    answer.headers.append(qMakePair(QByteArray("Location"), location));
    answer.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/html")));
    answer.body = "<html><body>Moved to <a href=\"" + location + "\">" + location + "</a></body></html>\n";
    return answer;
}

TestHttpAnswer TestHttpAnswer::withHeader(const QByteArray &name, const QByteArray &value) const
{
    TestHttpAnswer answer = *this;
    answer.headers.append(qMakePair(name, value));
    return answer;
}

TestHttpAnswer TestHttpAnswer::framedAs(Framing framing) const
{
    TestHttpAnswer answer = *this;
    answer.framing = framing;
    return answer;
}

TestHttpAnswer TestHttpAnswer::announcing(qint64 length) const
{
    TestHttpAnswer answer = *this;
    answer.contentLength = length;
    return answer;
}

TestHttpAnswer TestHttpAnswer::inPieces(int size, int delayMs) const
{
    TestHttpAnswer answer = *this;
    answer.pieceSize = size;
    answer.pieceDelayMs = delayMs;
    return answer;
}

TestHttpAnswer TestHttpAnswer::cutAfter(qint64 bytes, int delayMs) const
{
    TestHttpAnswer answer = *this;
    answer.stopAfter = bytes;
    answer.closeAtStop = true;
    answer.closeDelayMs = delayMs;
    return answer;
}

TestHttpAnswer TestHttpAnswer::holdAfter(qint64 bytes) const
{
    TestHttpAnswer answer = *this;
    answer.stopAfter = bytes;
    answer.closeAtStop = false;
    return answer;
}

// ---- TestHttpRequest --------------------------------------------------------

QByteArray TestHttpRequest::path() const
{
    const int query = target.indexOf('?');
    return query < 0 ? target : target.left(query);
}

QByteArray TestHttpRequest::header(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

QList<QByteArray> TestHttpRequest::headerNames() const
{
    QList<QByteArray> names;
    for (const auto &header : headers)
        names.append(header.first.toLower());
    return names;
}

// ---- one connection ---------------------------------------------------------

// Reads requests from one socket and answers them one after the other.
class TestHttpConnection : public QObject
{
public:
    TestHttpConnection(TestHttpServer *server, QTcpSocket *socket)
        : QObject(server)
        , server(server)
        , socket(socket)
    {
        socket->setParent(this);
        connect(socket, &QIODevice::readyRead, this, [this] { readRequests(); });
        connect(socket, &QAbstractSocket::disconnected, this, [this] { end(); });
        connect(socket, &QAbstractSocket::errorOccurred, this, [this] {
            if (this->socket->state() == QAbstractSocket::UnconnectedState)
                end();
        });
        server->connections.insert(this);
    }
    ~TestHttpConnection() override { server->connections.remove(this); }

private:
    void readRequests()
    {
        if (ended || holding)
            return;
        buffer += socket->readAll();
        while (!sending && !ended && !holding) {
            const int headEnd = buffer.indexOf("\r\n\r\n");
            if (headEnd < 0)
                return;
            TestHttpRequest request;
            request.https = server->isHttps();
            request.connection = number;
            const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
            const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
            request.method = requestLine.value(0);
            request.target = requestLine.value(1);
            request.version = requestLine.value(2);
            for (int i = 1; i < lines.size(); ++i) {
                const int colon = lines[i].indexOf(':');
                if (colon > 0)
                    request.headers.append(
                        qMakePair(lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()));
            }
            // A request body (none is expected from a GET) is skipped.
            const qint64 bodyLength = request.header("Content-Length").toLongLong();
            if (buffer.size() < headEnd + 4 + bodyLength)
                return;
            buffer.remove(0, int(headEnd + 4 + bodyLength));

            keepAlive = request.header("Connection").compare("close", Qt::CaseInsensitive) != 0 &&
                        request.version == "HTTP/1.1";
            server->record(request);
            startAnswer(request, server->answerFor(request));
        }
    }

    void startAnswer(const TestHttpRequest &request, const TestHttpAnswer &answer)
    {
        sending = true;
        current = answer;
        target = QString::fromLatin1(request.target);
        offset = 0;
        limit = answer.stopAfter >= 0 ? std::min<qint64>(answer.stopAfter, answer.body.size()) : answer.body.size();

        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' +
                          (answer.reason.isEmpty() ? standardReason(answer.status) : answer.reason) + "\r\n";
        for (const auto &header : answer.headers)
            head += header.first + ": " + header.second + "\r\n";
        switch (answer.framing) {
        case TestHttpAnswer::Framing::ContentLength:
            if (!hasHeader(answer.headers, "Content-Length")) {
                const qint64 length = answer.contentLength >= 0 ? answer.contentLength : answer.body.size();
                head += "Content-Length: " + QByteArray::number(length) + "\r\n";
            }
            break;
        case TestHttpAnswer::Framing::CloseDelimited:
            head += "Connection: close\r\n";
            break;
        case TestHttpAnswer::Framing::Chunked:
            head += "Transfer-Encoding: chunked\r\n";
            break;
        }
        if (!keepAlive && answer.framing != TestHttpAnswer::Framing::CloseDelimited)
            head += "Connection: close\r\n";
        head += "\r\n";
        socket->write(head);
        sendPiece();
    }

    void sendPiece()
    {
        if (ended)
            return;
        const QByteArray &body = current.body;
        const qint64 left = body.size() - offset;
        const qint64 piece = current.pieceSize > 0 ? std::min<qint64>(current.pieceSize, left) : left;
        const qint64 now = std::min(piece, limit - offset);
        const bool chunked = current.framing == TestHttpAnswer::Framing::Chunked;

        if (piece > 0) {
            // A chunk cut short still announces its full size.
            if (chunked)
                socket->write(QByteArray::number(piece, 16) + "\r\n");
            socket->write(body.constData() + offset, now);
            if (chunked && now == piece)
                socket->write("\r\n");
            offset += now;
        }

        if (offset < limit) {
            QTimer::singleShot(current.pieceDelayMs, this, [this] { sendPiece(); });
            return;
        }

        sending = false;
        if (current.stopAfter >= 0) {
            emit server->answerEnded(target, offset, false);
            if (current.closeAtStop)
                QTimer::singleShot(current.closeDelayMs, this, [this] { socket->disconnectFromHost(); });
            else
                holding = true;
            return;
        }
        if (chunked)
            socket->write("0\r\n\r\n");
        emit server->answerEnded(target, offset, true);
        if (!keepAlive || current.framing == TestHttpAnswer::Framing::CloseDelimited)
            socket->disconnectFromHost();
        else
            readRequests(); // the next request may already be waiting
    }

    void end()
    {
        if (ended)
            return;
        ended = true;
        if (sending) {
            sending = false;
            emit server->answerEnded(target, offset, false);
        }
        server->closed();
        deleteLater();
    }

    TestHttpServer *server;
    QTcpSocket *socket;
    int number = ++server->accepted;
    QByteArray buffer;
    TestHttpAnswer current;
    QString target;
    qint64 offset = 0;
    qint64 limit = 0;
    bool keepAlive = true;
    bool sending = false;
    bool holding = false;
    bool ended = false;
};

// ---- TestHttpServer ---------------------------------------------------------

TestHttpServer::TestHttpServer(QObject *parent)
    : QTcpServer(parent)
{
}

TestHttpServer::TestHttpServer(const QSslCertificate &certificate, const QSslKey &privateKey, QObject *parent)
    : QTcpServer(parent)
    , https(true)
    , certificate(certificate)
    , privateKey(privateKey)
{
}

TestHttpServer::~TestHttpServer()
{
    // The connections are children, but they must go while the server is
    // still whole: their sockets report to it as they close.
    while (!connections.isEmpty())
        delete *connections.begin();
}

bool TestHttpServer::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

QString TestHttpServer::url(const QString &pathAndQuery) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(https ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(serverPort())
        .arg(pathAndQuery);
}

void TestHttpServer::setAnswer(const QString &path, const TestHttpAnswer &answer)
{
    setAnswers(path, {answer});
}

void TestHttpServer::setAnswers(const QString &path, const QList<TestHttpAnswer> &list)
{
    answers.insert(path, list);
    answered.remove(path);
}

void TestHttpServer::clearAnswers()
{
    answers.clear();
    answered.clear();
}

bool TestHttpServer::waitForRequests(int count, int timeoutMs)
{
    if (received.size() >= count)
        return true;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &TestHttpServer::requestReceived, &loop, [&] {
        if (received.size() >= count)
            loop.quit();
    });
    timer.start(timeoutMs);
    loop.exec();
    return received.size() >= count;
}

void TestHttpServer::incomingConnection(qintptr socketDescriptor)
{
    QTcpSocket *socket = nullptr;
    if (https) {
        auto *sslSocket = new QSslSocket;
        sslSocket->setLocalCertificate(certificate);
        sslSocket->setPrivateKey(privateKey);
        sslSocket->setPeerVerifyMode(QSslSocket::VerifyNone);
        socket = sslSocket;
    } else {
        socket = new QTcpSocket;
    }
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }
    ++open;
    new TestHttpConnection(this, socket);
    if (https)
        static_cast<QSslSocket *>(socket)->startServerEncryption();
}

TestHttpAnswer TestHttpServer::answerFor(const TestHttpRequest &request)
{
    QString key = QString::fromLatin1(request.target);
    if (!answers.contains(key))
        key = QString::fromLatin1(request.path());
    const auto found = answers.constFind(key);
    if (found == answers.constEnd() || found->isEmpty())
        return TestHttpAnswer::withStatus(404, "no answer for " + request.target + "\n");
    const int turn = answered.value(key);
    answered[key] = turn + 1;
    return found->at(std::min(turn, int(found->size()) - 1));
}

void TestHttpServer::record(const TestHttpRequest &request)
{
    received.append(request);
    emit requestReceived(QString::fromLatin1(request.target));
}

void TestHttpServer::closed()
{
    --open;
    emit connectionClosed();
}
