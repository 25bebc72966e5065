#include "FileDownloader.h"

#include <QtTest>

#include <QSslConfiguration>
#include <QTcpServer>

// What one download emitted.
struct Emitted
{
    explicit Emitted(FileDownloader &downloader)
    {
        QObject::connect(&downloader, &FileDownloader::finished, [this] { ++finished; });
        QObject::connect(&downloader, &FileDownloader::errorOccurred, [this](const QString &error) {
            errors << error;
            QTest::qWait(300); // a nested event loop, as a modal box runs
        });
        QObject::connect(&downloader, &FileDownloader::downloadProgress, [this](qulonglong received, qulonglong total) {
            progress = {received, total};
        });
    }
    // Waits for `count` ends in all, then a little more for anything that must not follow.
    bool ended(int count = 1)
    {
        const bool ended = QTest::qWaitFor([=] { return finished + errors.size() >= count; }, 20000);
        return QTest::qWait(300), ended;
    }
    int finished = 0;
    QStringList errors;
    QPair<qulonglong, qulonglong> progress;
};

// Downloads from the end-to-end tests' server on 127.0.0.1 (scripts/world.py).
// File mode as a whole update uses it is also exercised there.
class tst_FileDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { server.kill(), server.waitForFinished(); }
    void toFile_data();
    void toFile();
    void toMemory();
    void http1OverTls();
    void refusedBeforeAnything_data();
    void refusedBeforeAnything();

private:
    QString url(QString path) const
    {
        return path.replace("HTTPS:", "https://127.0.0.1:" + ports[1] + "/")
            .replace("HTTP:", "http://127.0.0.1:" + ports[0] + "/");
    }
    QTemporaryDir served, saved;
    QProcess server;
    QStringList ports;
    QByteArray package;
};

void tst_FileDownloader::initTestCase()
{
    for (quint32 value = 7; package.size() < 300000;)
        package.append(char((value = value * 1103515245 + 12345) >> 16));
    QFile file(served.filePath("Update.pkg"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(package) == package.size());
    file.close();
    server.start("python3", {TARNWICK_WORLD, "serve", served.path()});
    QVERIFY(QTest::qWaitFor([this] { return server.canReadLine(); }, 20000));
    ports = QString::fromLatin1(server.readLine().trimmed()).split(' ');
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(served.filePath("cert.pem"));
    QSslConfiguration::setDefaultConfiguration(tls);
}

void tst_FileDownloader::toFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("error");    // a pattern; empty for success
    QTest::addColumn<qulonglong>("total"); // in the last progress report
    QTest::addColumn<int>("stallLimit");   // in milliseconds; 0: the 60 s default
    QTest::addColumn<bool>("kept");        // the file stays after the end

    // A transfer that fails keeps what came; one the downloader refuses does not.
    const auto row = [](const char *name, QString path, QString error, qulonglong total, int stallLimit = 0) {
        const bool refused = QRegularExpression("pin|decoded|answered|invalid|encoding").match(error).hasMatch();
        QTest::newRow(name) << path << error << total << stallLimit << !refused;
    };
    const QString sha256 = QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex();
    row("close", "HTTP:Update.pkg?framing=close", "", 0);
    row("redirect-to-tls", "HTTP:M.pkg?status=302&redirect=HTTPS:Update.pkg", "", 300000);
    row("insecure-redirect", "HTTPS:M.pkg?status=302&redirect=HTTP:Update.pkg", "Insecure redirect", 0);
    row("bad-request", "HTTP:Update.pkg?status=400",
        "Error transferring http://127.0.0.1:\\d+/Update.pkg\\?status=400 - server replied: Bad Request", 0);
    row("pinned", "HTTP:Update.pkg?framing=chunked#size=300000&sha256=" + sha256.toUpper(), "", 0);
    row("pinned-size-exceeded", "HTTP:Update.pkg?framing=chunked&repeat=1000#size=300000",
        "The download's size does not match its pin: expected 300000 bytes, received more \\(\\d+ so far\\)\\.", 0);
    row("stalled", "HTTP:Update.pkg?step=1000&pause=5", "Nothing arrived for 1 seconds.", 0, 1000);
    row("slow-not-stalled", "HTTP:Update.pkg?step=60000&pause=0.6", "", 300000, 1000);
    // Once the reply has reported its own progress, an unknown size is its -1.
    row("slow-size-unknown", "HTTP:Update.pkg?framing=chunked&step=100000&pause=0.3", "", ~0ull);
    row("partial-content", "HTTP:Update.pkg?status=206",
        "The server answered 206 Partial Content instead of sending the file.", 0);
    row("not-modified", "HTTP:Update.pkg?status=304",
        "The server answered 304 Not Modified instead of sending the file.", 0);
    row("deflate-answer", "HTTP:Update.pkg?encoding=deflate&framing=chunked&step=999#size=300000", "", 0);
    row("gzip-answer-cut", "HTTP:Update.pkg?encoding=gzip&framing=close&cut=5000",
        "The download could not be decoded \\(it ends early\\)\\.", 0);
    row("gzip-answer-corrupt", "HTTP:Update.pkg?encoding=deflate&framing=close&cut=5000&repeat=2",
        "The download could not be decoded \\(.+\\)\\.", 0);
    row("other-encoding", "HTTP:Update.pkg?encoding=br",
        "The download came in an encoding that cannot be decoded \\(\"br\"\\)\\.", 0);
    row("cut-short", "HTTP:Update.pkg?cut=100000&step=50000",
        "Incomplete download \\(100000 of 300000 bytes\\)\\.|.*closed.*", 0);
    row("negative-length", "HTTP:Update.pkg?length=-1&framing=length",
        "The server's answer is invalid: its Content-Length is \"-1\"\\.", 0);
    row("two-lengths", "HTTP:Update.pkg?length=300000,%20299999",
        "The server's answer is invalid: its Content-Length is \"300000, 299999\"\\.", 0);
    row("same-length-twice", "HTTP:Update.pkg?length=300000,300000", "", 300000);
}

void tst_FileDownloader::toFile()
{
    QFETCH(QString, path);
    QFETCH(QString, error);
    QFETCH(qulonglong, total);
    QFETCH(int, stallLimit);
    QFETCH(bool, kept);

    FileDownloader downloader(nullptr);
    Emitted emitted(downloader);
    if (stallLimit)
        downloader.setStallLimit(std::chrono::milliseconds(stallLimit));
    QString filePath, message;
    QVERIFY(downloader.download(url(path), saved.filePath("in/new"), filePath, message));
    QCOMPARE(filePath, saved.filePath("in/new/") + QUrl(url(path)).fileName());
    QVERIFY(emitted.ended());
    QCOMPARE(emitted.finished + emitted.errors.size(), 1);
    QVERIFY2(QRegularExpression("^(" + error + ")$").match(emitted.errors.value(0)).hasMatch(),
             qPrintable(emitted.errors.value(0)));
    QFile file(filePath);
    QCOMPARE(file.open(QIODevice::ReadOnly), kept);
    // Progress counts the bytes on the wire, which encoding changes.
    const qulonglong wire = path.contains("encoding") ? emitted.progress.first : 300000;
    if (!error.isEmpty())
        return;
    QCOMPARE(qMakePair(file.readAll(), emitted.progress), qMakePair(package, qMakePair(wire, total)));
    // What was written, as handed on to the installation; nothing once cleaned up.
    QCOMPARE(downloader.fileSha256(), QCryptographicHash::hash(package, QCryptographicHash::Sha256));
    QVERIFY(downloader.fileIdentity() && downloader.fileIdentity() == FileIdentity::ofPath(filePath));
    downloader.clean();
    QVERIFY(downloader.fileSha256().isEmpty() && !downloader.fileIdentity());
}

// Byte-array mode; a download started by the error receiver; the request alone
// (counted, never finished).
void tst_FileDownloader::toMemory()
{
    FileDownloader downloader(nullptr);
    Emitted emitted(downloader);
    QByteArray body;
    QString error;
    QVERIFY(downloader.download(url("HTTP:Update.pkg?framing=chunked"), &body, error));
    QVERIFY(emitted.ended() && body == package);
    // Failures leave the array as it was.
    QVERIFY(downloader.download(url("HTTP:Update.pkg?encoding=gzip&framing=close&cut=5000"), &body, error));
    QVERIFY(emitted.ended(2));
    QCOMPARE(emitted.errors.value(0), QStringLiteral("The download could not be decoded (it ends early)."));
    QVERIFY(downloader.download(url("HTTP:Update.pkg?cut=1000"), &body, error));
    QVERIFY(emitted.ended(3));
    QVERIFY(emitted.errors.value(1).contains("Incomplete") || emitted.errors.value(1).contains("closed"));
    QCOMPARE(body, package);
    connect(&downloader, &FileDownloader::errorOccurred, this,
            [&] { downloader.download(url("HTTP:Update.pkg"), &body, error); });
    QVERIFY(downloader.download(url("HTTP:Missing.pkg"), &body, error));
    QVERIFY(emitted.ended(5));
    QCOMPARE(emitted.finished, 2);
    QCOMPARE(body, package);
    FileDownloader requestOnly(nullptr);
    Emitted counted(requestOnly);
    QVERIFY(requestOnly.download(url("HTTP:Update.pkg"), error));
    QVERIFY(QTest::qWaitFor([&] { return counted.progress.first == qulonglong(package.size()); }, 20000));
    QTest::qWait(300);
    QCOMPARE(counted.finished + counted.errors.size(), 0);
}

// A server that offers HTTP/2 over TLS (nginx) is spoken to in HTTP/1.1, as
// with either toolkit the body's buffering and progress are those of HTTP/1.1.
void tst_FileDownloader::http1OverTls()
{
    const QString nginx = QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/bin"});
    if (nginx.isEmpty())
        QSKIP("nginx is not installed");
    QTemporaryDir work;
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QString port = QString::number(probe.serverPort());
    probe.close();
    QFile config(work.filePath("nginx.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QString("worker_processes 1; daemon off; user root; pid %1/pid; error_log %1/error.log;\n"
                         "events {}\nhttp { log_format protocol '$server_protocol';\n"
                         "  access_log %1/access.log protocol; client_body_temp_path %1; proxy_temp_path %1;\n"
                         "  fastcgi_temp_path %1; uwsgi_temp_path %1; scgi_temp_path %1;\n"
                         "  server { listen 127.0.0.1:%2 ssl http2; root %3;\n"
                         "    ssl_certificate %3/cert.pem; ssl_certificate_key %3/key.pem; } }\n")
                     .arg(work.path(), port, served.path())
                     .toUtf8());
    config.close();
    QProcess server;
    server.start(nginx, {"-c", config.fileName(), "-e", work.filePath("error.log")});
    QVERIFY(server.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return QFile::exists(work.filePath("pid")); }, 10000));

    FileDownloader downloader(nullptr);
    Emitted emitted(downloader);
    QString filePath, error;
    QVERIFY(downloader.download("https://127.0.0.1:" + port + "/Update.pkg", saved.filePath("h1"), filePath, error));
    QVERIFY(emitted.ended());
    server.terminate();
    QVERIFY(server.waitForFinished());
    QCOMPARE(emitted.errors, QStringList());
    QFile log(work.filePath("access.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QByteArray("HTTP/1.1\n"));
}

void tst_FileDownloader::refusedBeforeAnything_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("error");
    const QString refused = saved.filePath("refused"), underFile = saved.filePath("a-file/refused");
    QTest::newRow("no-scheme") << "example.com/Update.pkg" << refused
                               << "The URL \"example.com/Update.pkg\" has no scheme: only http and https URLs are "
                                  "downloaded.";
    QTest::newRow("file-scheme") << "file:///etc/passwd" << refused
                                 << "Only http and https URLs are downloaded, not \"file\".";
    QTest::newRow("folder-under-a-file") << url("HTTP:Update.pkg") << underFile
                                         << "The directory " + underFile + " is not accessible.";
}

// Nothing is made on disk, and filePath keeps what it held.
void tst_FileDownloader::refusedBeforeAnything()
{
    QFETCH(QString, url);
    QFETCH(QString, folder);
    QFETCH(QString, error);

    QFile file(saved.filePath("a-file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    FileDownloader downloader(nullptr);
    QString filePath = "untouched", message;
    QVERIFY(!downloader.download(url, folder, filePath, message));
    QCOMPARE(message, error);
    QCOMPARE(filePath, QStringLiteral("untouched"));
    QVERIFY(!QFileInfo::exists(folder));
}

QTEST_GUILESS_MAIN(tst_FileDownloader)
#include "tst_FileDownloader.moc"
