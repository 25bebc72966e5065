#include "ChunkConsumer.h"
#include "FailingFile.h"
#include "FileDownloader.h"

#include <QtTest>

#include <QSslConfiguration>
#include <QTcpServer>

// What one download emitted, and Qt's warnings meanwhile.
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
            lastReceived = received;
            lastTotal = total;
        });
        warnings.clear();
        testsHandler =
            qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
                if (type != QtDebugMsg && type != QtInfoMsg)
                    warnings << text;
                testsHandler(type, context, text);
            });
    }
    ~Emitted() { qInstallMessageHandler(testsHandler); }

    // Waits for `count` ends in all, then a little more for anything that must not follow.
    bool ended(int count = 1)
    {
        const bool ended = QTest::qWaitFor([=] { return finished + errors.size() >= count; }, 20000);
        return QTest::qWait(300), ended;
    }
    int finished = 0;
    QStringList errors;
    qulonglong lastReceived = 0, lastTotal = 0;
    static inline QStringList warnings;
    static inline QtMessageHandler testsHandler = nullptr;
};

// The bytes a download wrote, as its consumer is handed them.
struct Collected final : ChunkConsumer
{
    void consume(const char *data, qsizetype size) override { bytes.append(data, int(size)); }
    QByteArray bytes;
};

// Downloads from the end-to-end tests' server on 127.0.0.1 (scripts/world.py). File mode as a whole update uses it is
// also exercised there.
class tst_FileDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (quint32 value = 7; package.size() < 300000;)
            package.append(char((value = value * 1103515245 + 12345) >> 16));
        QFile file(served.filePath("Update.pkg"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(package) == package.size() && file.flush());
#ifdef Q_OS_LINUX
        QVERIFY(file.copy(served.filePath("Unclosable.pkg")));
        FailingFile::failFor("Unclosable.pkg");
#endif
        server.start("python3", {TARNWICK_WORLD, "serve", served.path()});
        QVERIFY(QTest::qWaitFor([this] { return server.canReadLine(); }, 20000));
        ports = QString::fromLatin1(server.readLine().trimmed()).split(' ');
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(served.filePath("cert.pem"));
        QSslConfiguration::setDefaultConfiguration(tls);
    }
    void cleanupTestCase()
    {
        QSslConfiguration::setDefaultConfiguration(defaultTls);
        server.kill(), server.waitForFinished();
    }
    // Into a file, or into an array ("memory-" rows), which failures leave as it was.
    void download_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("memory");
        QTest::addColumn<QString>("error");       // a pattern; empty for success
        QTest::addColumn<qint64>("kept");         // the file's size after the end; -1: removed
        QTest::addColumn<qulonglong>("received"); // in the last progress report, on success: the bytes on the wire
        QTest::addColumn<qulonglong>("total");    // in the last progress report, on success
        QTest::addColumn<int>("stallLimit");      // in milliseconds; 0: the 60 s default
        QTest::addColumn<bool>("restart");        // the error's receiver downloads HTTP:Update.pkg into the array

        const auto row = [](const char *name, QString path, QString error, qint64 kept, qulonglong received = 0,
                            qulonglong total = 0, int stallLimit = 0) {
            QTest::newRow(name) << path << false << error << kept << received << total << stallLimit << false;
        };
        const auto memoryRow = [](const char *name, QString path, QString error, bool restart = false) {
            QTest::newRow(name) << path << true << error << qint64(-1) << 0ull << 0ull << 0 << restart;
        };
        const qulonglong size = 300000, unknown = ~0ull;
        const qint64 whole = qint64(size), removed = -1;
        const QString badRequest =
            "Error transferring http://127.0.0.1:\\d+/Update.pkg\\?status=400(#size=5)? - server "
            "replied: Bad Request";
        // A transfer that fails keeps what came; one the downloader refuses does not.
        row("redirect-to-tls", "HTTP:M.pkg?status=302&redirect=HTTPS:Update.pkg", "", whole, size, size);
        row("insecure-redirect", "HTTPS:M.pkg?status=302&redirect=HTTP:Update.pkg", "Insecure redirect", 0);
        // A 3xx that Qt does not follow ends without error, and with no file.
        row("redirect-not-followed", "HTTP:Update.pkg?status=300&redirect=HTTP:Update.pkg",
            "The server answered 300 Multiple Choices instead of sending the file\\.", removed);
        // The server's page is no download to hold to the pin, nor one to remove: the box names the status. Its first
        // 64 KiB are kept, however much the server sends.
        row("bad-request-pinned", "HTTP:Update.pkg?status=400#size=5", badRequest, 65536);
        row("pinned-size-exceeded", "HTTP:Update.pkg?framing=chunked&repeat=1000#size=300000",
            "The download's size does not match its pin: expected 300000 bytes, received more \\(\\d+ so far\\)\\.",
            removed);
        row("stalled", "HTTP:Update.pkg?step=1000&pause=5", "Nothing arrived for 1 seconds.", 1000, 0, 0, 1000);
        row("slow-not-stalled", "HTTP:Update.pkg?step=60000&pause=0.6", "", whole, size, size, 1000);
        // Once the reply has reported its own progress, an unknown size is its -1, not the Content-Length of the
        // redirect before it.
        row("slow-size-unknown-after-redirect",
            "HTTP:M.pkg?status=302&redirect=HTTP:Update.pkg%3Fframing%3Dchunked%26step%3D100000%26pause%3D0.3", "",
            whole, size, unknown);
        // Progress counts the bytes on the wire: zlib's encoding of the package, as qCompress makes it after its 4-byte
        // length.
        row("deflate-answer", "HTTP:Update.pkg?encoding=deflate&framing=chunked&step=999#size=300000", "", whole,
            qulonglong(qCompress(package).size() - 4), 0);
        row("gzip-answer-cut", "HTTP:Update.pkg?encoding=gzip&framing=close&cut=5000",
            "The download could not be decoded \\(it ends early\\)\\.", removed);
        row("cut-short", "HTTP:Update.pkg?cut=100000&step=50000",
            "Incomplete download \\(100000 of 300000 bytes\\)\\.|.*closed.*", 100000);
#ifdef Q_OS_LINUX
        // The last writes may be lost when closing fails (FailingFile.h).
        row("close-fails", "HTTP:Unclosable.pkg", "I/O failure \\(Input/output error\\)", removed);
#endif
        memoryRow("memory-cut-short", "HTTP:Update.pkg?cut=1000",
                  "Incomplete download \\(1000 of 300000 bytes\\)\\.|.*closed.*");
        memoryRow("memory-pinned-digest-differs", "HTTP:Update.pkg#sha256=" + QString(64, 'a'),
                  "The download's SHA-256 digest does not match its pin: .*");
        memoryRow("memory-restarted-by-receiver", "HTTP:Missing.pkg",
                  "Error transferring http://127.0.0.1:\\d+/Missing.pkg - server replied: Not Found", true);
    }
    void download()
    {
        QFETCH(QString, path);
        QFETCH(bool, memory);
        QFETCH(QString, error);
        QFETCH(qint64, kept);
        QFETCH(qulonglong, received);
        QFETCH(qulonglong, total);
        QFETCH(int, stallLimit);
        QFETCH(bool, restart);

        Collected consumed; // outlives the downloader, which hands it the bytes written
        FileDownloader downloader(nullptr);
        Emitted emitted(downloader);
        if (stallLimit)
            downloader.setStallLimit(std::chrono::milliseconds(stallLimit));
        QString filePath, message;
        QByteArray body = "untouched";
        if (restart)
            connect(&downloader, &FileDownloader::errorOccurred, this,
                    [&] { QVERIFY(downloader.download(url("HTTP:Update.pkg"), &body, message)); });
        if (memory) {
            QVERIFY(downloader.download(url(path), &body, message));
        } else {
            QVERIFY(downloader.download(url(path), saved.filePath("in/new"), filePath, message));
            QCOMPARE(filePath, saved.filePath("in/new/") + QUrl(url(path)).fileName());
            downloader.setWrittenBytesConsumer(&consumed);
        }
        const int finished = error.isEmpty() || restart ? 1 : 0;
        QVERIFY(emitted.ended(finished + (error.isEmpty() ? 0 : 1)));
        QCOMPARE(emitted.finished, finished);
        QCOMPARE(emitted.errors.size(), error.isEmpty() ? 0 : 1);
        QVERIFY2(QRegularExpression("^(" + error + ")$").match(emitted.errors.value(0)).hasMatch(),
                 qPrintable(emitted.errors.value(0)));
        QCOMPARE(emitted.warnings, QStringList());
        if (memory) {
            QCOMPARE(body, finished ? package : QByteArray("untouched"));
            return;
        }
        QFile file(filePath);
        QCOMPARE(file.open(QIODevice::ReadOnly) ? file.size() : -1, kept);
        if (!error.isEmpty())
            return;
        QCOMPARE(file.readAll(), package);
        QCOMPARE(consumed.bytes, package);
        QCOMPARE(emitted.lastReceived, received);
        // Without a length, 0 until the reply reports its own progress, then its -1: whether Qt does so before the
        // last chunk is its own timing (Qt 6 varies).
        if (total == 0 && emitted.lastTotal == ~0ull)
            emitted.lastTotal = 0;
        QCOMPARE(emitted.lastTotal, total);
        // What was written, as handed on to the installation; nothing once another download is asked for, even one that
        // is refused.
        QCOMPARE(downloader.fileSha256(), QCryptographicHash::hash(package, QCryptographicHash::Sha256));
        QVERIFY(downloader.fileIdentity() && downloader.fileIdentity() == FileIdentity::ofPath(filePath));
        QVERIFY(!downloader.download("file:///x", saved.filePath("again"), filePath, message));
        QVERIFY(downloader.fileSha256().isEmpty() && !downloader.fileIdentity());
    }

    // While the receiver is busy, no more than the read buffer's MiB (and what one socket read brings past it, up to
    // 1.7 MiB seen) waits in memory, however fast the server sends; unbounded, a second's pause piles up tens of MiB;
    // cleaned, the download leaves no network manager (nor its thread and connections) behind.
    void bounded()
    {
        QFile large(served.filePath("Large.pkg"));
        QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(32 << 20));
        large.close();
        struct Largest final : ChunkConsumer
        {
            void consume(const char *, qsizetype size) override { largest = std::max(largest, size); }
            qsizetype largest = 0;
        } chunks;
        FileDownloader downloader(nullptr);
        Emitted emitted(downloader);
        bool busy = false;
        connect(&downloader, &FileDownloader::downloadProgress, this, [&] {
            if (!std::exchange(busy, true))
                QThread::msleep(1000);
        });
        QString filePath, message;
        QVERIFY(downloader.download(url("HTTP:Large.pkg"), saved.filePath("bounded"), filePath, message));
        downloader.setWrittenBytesConsumer(&chunks);
        QVERIFY(emitted.ended());
        QCOMPARE(emitted.finished, 1);
        QVERIFY2(chunks.largest <= (4 << 20), qPrintable(QString::number(chunks.largest)));
        downloader.clean();
        QTRY_COMPARE(downloader.findChildren<QNetworkAccessManager *>().size(), 0);
    }

    // The request step alone: its body is counted, and it never finishes, nor stalls once its answer is over.
    void requestOnly()
    {
        FileDownloader downloader(nullptr);
        Emitted emitted(downloader);
        downloader.setStallLimit(std::chrono::milliseconds(500));
        QString error;
        QVERIFY(downloader.download(url("HTTP:Update.pkg"), error));
        QVERIFY(QTest::qWaitFor([&] { return emitted.lastReceived == qulonglong(package.size()); }, 20000));
        QTest::qWait(1000);
        QCOMPARE(emitted.finished + emitted.errors.size(), 0);
    }

    // The request step asked for while a download runs replaces it: the download's connection goes with its network
    // manager, and it reports nothing more.
    void replaced()
    {
        FileDownloader downloader(nullptr);
        Emitted emitted(downloader);
        QString filePath, message;
        QVERIFY(
            downloader.download(url("HTTP:Update.pkg?step=1000&pause=5"), saved.filePath("first"), filePath, message));
        QVERIFY(QTest::qWaitFor([&] { return emitted.lastReceived > 0; }, 20000));
        QVERIFY(downloader.download(url("HTTP:Update.pkg"), message));
        QTRY_COMPARE(downloader.findChildren<QNetworkAccessManager *>().size(), 1);
        QCOMPARE(emitted.finished + emitted.errors.size(), 0);
    }

#ifdef Q_OS_LINUX
    // An older file of the download's name that cannot be emptied is not written over: its tail would outlast the
    // new bytes.
    void olderFileNotEmptied()
    {
        const QString folder = saved.filePath("older");
        QFile older(folder + "/Unclosable.pkg");
        QVERIFY(QDir().mkpath(folder) && older.open(QIODevice::WriteOnly) && older.write("older") == 5);
        older.close();
        FileDownloader downloader(nullptr);
        QString filePath, message;
        QVERIFY(!downloader.download(url("HTTP:Unclosable.pkg"), folder, filePath, message));
        QCOMPARE(message, "Failed to create " + older.fileName() + " (Input/output error).");
        QVERIFY(older.open(QIODevice::ReadOnly));
        QCOMPARE(older.readAll(), QByteArray("older"));
    }
#endif

    // A server that offers HTTP/2 over TLS (nginx) is spoken to in HTTP/1.1, as with either toolkit the body's
    // buffering and progress are those of HTTP/1.1.
    void http1OverTls()
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
        QProcess nginxServer;
        nginxServer.start(nginx, {"-c", config.fileName(), "-e", work.filePath("error.log")});
        QVERIFY(nginxServer.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(work.filePath("pid")); }, 10000));

        FileDownloader downloader(nullptr);
        Emitted emitted(downloader);
        QString filePath, error;
        QVERIFY(
            downloader.download("https://127.0.0.1:" + port + "/Update.pkg", saved.filePath("h1"), filePath, error));
        QVERIFY(emitted.ended());
        nginxServer.terminate();
        QVERIFY(nginxServer.waitForFinished());
        QCOMPARE(emitted.errors, QStringList());
        QFile log(work.filePath("access.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll(), QByteArray("HTTP/1.1\n"));
    }

    void refusedBeforeAnything_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("folder"); // empty: into an array; "-": the request step alone
        QTest::addColumn<QString>("error");

        const QString refused = saved.filePath("refused"), underFile = saved.filePath("a-file/refused");
        const QString noScheme =
            "The URL \"example.com/Update.pkg\" has no scheme: only http and https URLs are downloaded.";
        const QString fileScheme = "Only http and https URLs are downloaded, not \"file\".";
        const auto row = [](const char *tag, const QString &url, const QString &folder, const QString &error) {
            QTest::newRow(tag) << url << folder << error;
        };
        row("no-scheme", "example.com/Update.pkg", refused, noScheme);
        row("file-scheme-into-array", "file:///etc/passwd", "", fileScheme);
        row("no-scheme-request-only", "example.com/Update.pkg", "-", noScheme);
        row("folder-under-a-file", url("HTTP:Update.pkg"), underFile,
            "The directory " + underFile + " is not accessible.");
    }
    // Nothing is made on disk or sent, filePath keeps what it held, and no signal follows.
    void refusedBeforeAnything()
    {
        QFETCH(QString, url);
        QFETCH(QString, folder);
        QFETCH(QString, error);

        QVERIFY(QFile(saved.filePath("a-file")).open(QIODevice::WriteOnly));
        FileDownloader downloader(nullptr);
        Emitted emitted(downloader);
        QString filePath = "untouched", message;
        QByteArray body = "untouched";
        const bool started = folder.isEmpty() ? downloader.download(url, &body, message)
                             : folder == "-"  ? downloader.download(url, message)
                                              : downloader.download(url, folder, filePath, message);
        QVERIFY(!started);
        QCOMPARE(message, error);
        QCOMPARE(filePath + body, QStringLiteral("untoucheduntouched"));
        QVERIFY(folder.size() < 2 || !QFileInfo::exists(folder));
        QTest::qWait(300);
        QCOMPARE(emitted.finished + emitted.errors.size(), 0);
    }

private:
    QString url(QString path) const
    {
        return path.replace("HTTPS:", "https://127.0.0.1:" + ports[1] + "/")
            .replace("HTTP:", "http://127.0.0.1:" + ports[0] + "/");
    }
    const QSslConfiguration defaultTls = QSslConfiguration::defaultConfiguration();
    QTemporaryDir served, saved;
    QProcess server;
    QStringList ports;
    QByteArray package;
};

QTEST_GUILESS_MAIN(tst_FileDownloader)
#include "tst_FileDownloader.moc"
