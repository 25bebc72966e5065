#include "FileDownloader.h"

#include <QtTest>

#include <QSslConfiguration>

#include "FileSizeLimit.h"

// What one download emitted.
struct Emitted
{
    explicit Emitted(FileDownloader &downloader)
    {
        QObject::connect(&downloader, &FileDownloader::finished, &downloader, [this] { ++finished; });
        QObject::connect(&downloader, &FileDownloader::errorOccurred, &downloader,
                         [this](const QString &error) { errors << error; });
        QObject::connect(&downloader, &FileDownloader::downloadProgress, &downloader,
                         [this](qulonglong received, qulonglong total) {
                             progress = {received, total};
                         });
    }
    // Waits for the end, then a little more for anything that must not follow.
    bool ended(int count = 1)
    {
        const bool ended = QTest::qWaitFor([=] { return finished + errors.size() >= count; }, 20000);
        return QTest::qWait(100), ended;
    }
    int finished = 0;
    QStringList errors;
    QPair<qulonglong, qulonglong> progress;
};

// Downloads from the end-to-end tests' server on 127.0.0.1 (tests/e2e/world.py).
class tst_FileDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void toFile_data();
    void toFile();
    void toMemory();
    void writeFailure_data();
    void writeFailure();
    void restartFromErrorReceiver();

    void cleanupTestCase() { server.kill(), server.waitForFinished(); }

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
    for (const auto &[name, size] : {qMakePair(QString("Update.pkg"), 300000), qMakePair(QString("Small.pkg"), 5000)}) {
        QFile file(served.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(package.left(size)) == size);
    }
    server.start(QStringLiteral("python3"), {QStringLiteral(TARNWICK_WORLD), QStringLiteral("serve"), served.path()});
    QVERIFY(QTest::qWaitFor([this] { return server.canReadLine(); }, 20000));
    ports = QString::fromLatin1(server.readLine().trimmed()).split(' ');
    QCOMPARE(ports.size(), 2);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(served.filePath("cert.pem"));
    QSslConfiguration::setDefaultConfiguration(tls);
}

void tst_FileDownloader::toFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("error"); // a pattern; empty for success
    QTest::addColumn<qulonglong>("total");

    QTest::newRow("length") << "HTTP:Update.pkg"
                            << "" << 300000ull;
    QTest::newRow("announced-too-long") << "HTTP:Update.pkg?length=300001"
                                        << "Incomplete download \\(300000 of 300001 bytes\\)\\.|.*closed.*" << 0ull;
    QTest::newRow("chunked") << "HTTP:Update.pkg?framing=chunked&step=1000"
                             << "" << 0ull;
    QTest::newRow("close") << "HTTP:Update.pkg?framing=close"
                           << "" << 0ull;
    QTest::newRow("tls") << "HTTPS:Update.pkg"
                         << "" << 300000ull;
    QTest::newRow("redirect-to-tls") << "HTTP:Moved.pkg?status=302&redirect=HTTPS:Update.pkg"
                                     << "" << 300000ull;
    QTest::newRow("insecure-redirect") << "HTTPS:Moved.pkg?status=302&redirect=HTTP:Update.pkg"
                                       << "Insecure redirect" << 0ull;
    QTest::newRow("not-found") << "HTTP:Missing.pkg"
                               << "Error transferring http://127.0.0.1:\\d+/Missing.pkg - server replied: Not Found"
                               << 0ull;
    QTest::newRow("cut-short") << "HTTP:Update.pkg?cut=100000&step=50000"
                               << "Incomplete download \\(100000 of 300000 bytes\\)\\.|.*closed.*" << 0ull;
}

void tst_FileDownloader::toFile()
{
    QFETCH(QString, path);
    QFETCH(QString, error);
    QFETCH(qulonglong, total);

    FileDownloader downloader(nullptr);
    Emitted emitted(downloader);
    QString filePath, message;
    QVERIFY(downloader.download(url(path), saved.filePath("in/new"), filePath, message));
    QCOMPARE(filePath, saved.filePath("in/new/") + QUrl(url(path)).fileName());
    QVERIFY(emitted.ended());
    QCOMPARE(emitted.finished + emitted.errors.size(), 1);
    QVERIFY2(QRegularExpression("^(" + error + ")$").match(emitted.errors.value(0)).hasMatch(),
             qPrintable(emitted.errors.value(0)));
    QFile file(filePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    if (error.isEmpty())
        QCOMPARE(qMakePair(file.readAll(), emitted.progress), qMakePair(package, qMakePair(300000ull, total)));
}

// Byte-array mode, and the request alone (counted, never finished).
void tst_FileDownloader::toMemory()
{
    FileDownloader downloader(nullptr);
    Emitted emitted(downloader);
    QByteArray body;
    QString error;
    QVERIFY(downloader.download(url("HTTP:Update.pkg?framing=chunked"), &body, error));
    QVERIFY(emitted.ended() && body == package);
    QVERIFY(downloader.download(url("HTTP:Update.pkg?cut=1000"), &body, error));
    QVERIFY(emitted.ended(2));
    QVERIFY(emitted.errors.value(0).contains("Incomplete") || emitted.errors.value(0).contains("closed"));

    QVERIFY(downloader.download(url("HTTP:Update.pkg"), error));
    QVERIFY(QTest::qWaitFor([&] { return emitted.progress.first == qulonglong(package.size()); }, 20000));
    QTest::qWait(200);
    QCOMPARE(emitted.finished + emitted.errors.size(), 2);
}

void tst_FileDownloader::writeFailure_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("chunk") << "HTTP:Update.pkg?step=16384&pause=0.01";
    QTest::newRow("at-close") << "HTTP:Small.pkg";
}

// A write the file system refuses (here: past the process's file size limit)
// is reported once, while the receiver runs a nested event loop as a modal box
// does, and nothing finishes afterwards.
void tst_FileDownloader::writeFailure()
{
    QFETCH(QString, path);

    FileDownloader downloader(nullptr);
    Emitted emitted(downloader);
    connect(&downloader, &FileDownloader::errorOccurred, this, [] { QTest::qWait(500); });
    QString filePath, error;
    FileSizeLimit limit(4096);
    QVERIFY(downloader.download(url(path), saved.path(), filePath, error));
    QVERIFY(emitted.ended());
    QTest::qWait(500);
    QCOMPARE(emitted.finished + emitted.errors.size(), 1);
    QVERIFY2(emitted.errors.value(0).startsWith("I/O failure ("), qPrintable(emitted.errors.value(0)));
}

void tst_FileDownloader::restartFromErrorReceiver()
{
    FileDownloader downloader(nullptr);
    Emitted emitted(downloader);
    QByteArray body;
    connect(&downloader, &FileDownloader::errorOccurred, this, [&] {
        QString error;
        downloader.download(url("HTTP:Update.pkg"), &body, error);
    });
    QString error;
    QVERIFY(downloader.download(url("HTTP:Missing.pkg"), &body, error));
    QVERIFY(QTest::qWaitFor([&] { return emitted.finished == 1; }, 20000));
    QCOMPARE(body, package);
}

QTEST_GUILESS_MAIN(tst_FileDownloader)
#include "tst_FileDownloader.moc"
