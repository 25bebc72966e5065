#include "Unzipper.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <zip.h>

namespace {

const QByteArray data = QByteArray("stand-in package ").repeated(20000);

constexpr qint64 intact = -1;

// An archive made with minizip's writer, holding `names` (each with `data`),
// with the byte at `offset` from the first entry's data set to `byte`.
QString makeZip(const QString &path, const QStringList &names, int method, qint64 offset = intact, char byte = 0)
{
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    for (const QString &name : names) {
        zip_fileinfo info{};
        zipOpenNewFileInZip64(zip, name.toUtf8().constData(), &info, nullptr, 0, nullptr, 0, nullptr, method,
                              method ? 6 : 0, 0);
        zipWriteInFileInZip(zip, data.constData(), unsigned(data.size()));
        zipCloseFileInZip(zip);
    }
    zipClose(zip, nullptr);
    QFile file(path);
    if (offset != intact && file.open(QIODevice::ReadWrite)) {
        file.seek(30 + names[0].size() + offset); // 30: the local header's fixed part
        file.write(&byte, 1);
    }
    return path;
}

} // namespace

class tst_Unzipper : public QObject
{
    Q_OBJECT

private slots:
    void unzip_data();
    void unzip();
    void notOpen();
    void writeFailure();

private:
    QTemporaryDir folder;
};

void tst_Unzipper::unzip_data()
{
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("error"); // empty: extracted whole

    const auto zip = [this](const QString &name, const QStringList &names, int method, qint64 offset = intact,
                            char byte = 0) { return makeZip(folder.filePath(name), names, method, offset, byte); };
    QTest::newRow("stored") << zip("s.zip", {"a.txt", "Update.pkg"}, 0) << "Update.pkg"
                            << "";
    QTest::newRow("deflated") << zip("d.zip", {"Update.pkg"}, Z_DEFLATED) << "Update.pkg"
                              << "";
    QTest::newRow("letter-case") << zip("c.zip", {"UPDATE.pkg"}, Z_DEFLATED) << "update.PKG"
                                 << "";
    QTest::newRow("missing") << zip("m.zip", {"Other.pkg"}, 0) << "Update.pkg"
                             << "Error code 3 (-100).";
    QTest::newRow("not-a-zip") << QString(TARNWICK_WORLD) << "Update.pkg"
                               << "Error code 1.";
    QTest::newRow("no-file") << folder.filePath("none.zip") << "Update.pkg"
                             << "Error code 1.";
    QTest::newRow("crc") << zip("crc.zip", {"Update.pkg"}, 0, 7, 'X') << "Update.pkg"
                         << "Error code 9 (-105).";
    QTest::newRow("bad-deflate") << zip("bd.zip", {"Update.pkg"}, Z_DEFLATED, 0, '\xff') << "Update.pkg"
                                 << "Error code 6.";
    QTest::newRow("bad-local-header") << zip("lh.zip", {"Update.pkg"}, 0, -40, 'X') << "Update.pkg"
                                      << "Error code 4 (-103).";
    QTest::newRow("nested-folder-missing") << zip("n.zip", {"sub/Update.pkg"}, 0) << "sub/Update.pkg"
                                           << "Failed to create %1/sub/Update.pkg (No such file or directory).";
}

void tst_Unzipper::unzip()
{
    QFETCH(QString, archive);
    QFETCH(QString, entry);
    QFETCH(QString, error);

    const QString out = folder.filePath("out/" + QString(QTest::currentDataTag()));
    Unzipper unzipper;
    QString message = QStringLiteral("untouched");
    const bool opened = unzipper.open(archive, message);
    const bool ok = opened && unzipper.unzip(entry, out, message);
    QCOMPARE(message, error.isEmpty() ? QStringLiteral("untouched") : error.replace("%1", out));
    QCOMPARE(ok, error.isEmpty());
    QFile file(out + "/" + entry);
    QCOMPARE(file.exists(), ok);
    if (ok) {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), data);
        // Still open: the same entry once more.
        QVERIFY(unzipper.unzip(entry, out, message));
    }
    unzipper.close();
    QVERIFY(!unzipper.unzip(entry, out, message) || !opened);
}

void tst_Unzipper::notOpen()
{
    Unzipper unzipper;
    QString error;
    QVERIFY(!unzipper.unzip(QStringLiteral("Update.pkg"), folder.path(), error));
    QCOMPARE(error, QStringLiteral("Error code 2."));
    QVERIFY(unzipper.open(makeZip(folder.filePath("o.zip"), {"Update.pkg"}, 0), error));
    QVERIFY(!unzipper.open(folder.filePath("none.zip"), error));
    QVERIFY(!unzipper.unzip(QStringLiteral("Update.pkg"), folder.path(), error));
    QCOMPARE(error, QStringLiteral("Error code 2."));
    QFile blocker(folder.filePath("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    QVERIFY(unzipper.open(folder.filePath("o.zip"), error));
    QVERIFY(!unzipper.unzip(QStringLiteral("Update.pkg"), blocker.fileName() + "/x", error));
    QCOMPARE(error, "The directory " + blocker.fileName() + "/x is not accessible.");
}

// A write the file system refuses (past the process's file size limit) fails
// the extraction and leaves nothing behind.
void tst_Unzipper::writeFailure()
{
    const QString archive = makeZip(folder.filePath("w.zip"), {"Update.pkg"}, Z_DEFLATED);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit before = limit;
    limit.rlim_cur = 100000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
    Unzipper unzipper;
    QString error;
    QVERIFY(unzipper.open(archive, error));
    const bool ok = unzipper.unzip(QStringLiteral("Update.pkg"), folder.filePath("w"), error);
    setrlimit(RLIMIT_FSIZE, &before);
    QVERIFY(!ok);
    QCOMPARE(error, QStringLiteral("Error code 8 (File too large)"));
    QVERIFY(!QFile::exists(folder.filePath("w/Update.pkg")));
}

QTEST_GUILESS_MAIN(tst_Unzipper)
#include "tst_Unzipper.moc"
