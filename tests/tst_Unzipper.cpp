#include "Unzipper.h"

#include <QtTest>

#include <zip.h>

// Archives made with minizip's writer. The archive road of a whole update
// (stored and deflated entries, damaged data, letter case) is in tests/e2e.
class tst_Unzipper : public QObject
{
    Q_OBJECT

private slots:
    void unzip_data();
    void unzip();

private:
    // An archive of `names`, each holding `data`, then with bytes changed: an
    // offset into the file and the value it gets. For one stored "Update.pkg"
    // the local header is at 0 and its central header at 340040.
    QString makeZip(const QStringList &names, int method, const QList<QPair<qint64, char>> &changes = {})
    {
        const QString path = folder.filePath(QString::number(++archives) + ".zip");
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
        for (const auto &[offset, byte] : changes) {
            if (file.isOpen() || file.open(QIODevice::ReadWrite))
                file.seek(offset), file.write(&byte, 1);
        }
        return path;
    }
    const QByteArray data = QByteArray("stand-in package ").repeated(20000);
    QTemporaryDir folder;
    int archives = 0;
};

void tst_Unzipper::unzip_data()
{
    QTest::addColumn<QString>("archive"); // empty: none opened
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("error"); // empty: extracted whole

    const QString out = folder.filePath("out"), blocked = folder.filePath("1.zip/x");
    const auto row = [](const char *name, QString archive, QString entry, QString out, QString error) {
        QTest::newRow(name) << archive << entry << out << error;
    };
    row("second-entry", makeZip({"a", "Update.pkg"}, 0), "Update.pkg", out, "");
    row("deflated", makeZip({"Update.pkg"}, Z_DEFLATED), "update.PKG", out, "");
    row("not-open", "", "Update.pkg", out, "Error code 2.");
    row("no-file", "none.zip", "Update.pkg", out, "Error code 1.");
    row("bad-local-header", makeZip({"Update.pkg"}, 0, {{0, 'X'}}), "Update.pkg", out, "Error code 4 (-103).");
    row("bad-deflate", makeZip({"Update.pkg"}, Z_DEFLATED, {{40, '\xff'}}), "Update.pkg", out, "Error code 6.");
    // Both headers changed alike: minizip refuses headers that disagree.
    row("size-past-end", makeZip({"Update.pkg"}, 0, {{21, 1}, {340063, 1}}), "Update.pkg", out, "Error code 5 (0).");
    row("encrypted-flag", makeZip({"Update.pkg"}, 0, {{6, 1}, {340048, 1}}), "Update.pkg", out, "");
    row("bzip2", makeZip({"Update.pkg"}, 0, {{8, 12}, {340050, 12}}), "Update.pkg", out, "Error code 4 (-103).");
    row("nested-folder-missing", makeZip({"sub/Update.pkg"}, 0), "sub/Update.pkg", out,
        "Failed to create " + out + "/sub/Update.pkg (No such file or directory).");
    row("folder-not-accessible", makeZip({"Update.pkg"}, 0), "Update.pkg", blocked,
        "The directory " + blocked + " is not accessible.");
}

void tst_Unzipper::unzip()
{
    QFETCH(QString, archive);
    QFETCH(QString, entry);
    QFETCH(QString, out);
    QFETCH(QString, error);

    Unzipper unzipper;
    QString message = QStringLiteral("untouched");
    // Opening a second archive closes the first, even when it fails.
    QVERIFY(unzipper.open(makeZip({"Update.pkg"}, 0), message));
    if (archive.isEmpty())
        unzipper.close();
    const bool opened = archive.isEmpty() || unzipper.open(archive, message);
    const bool ok = opened && unzipper.unzip(entry, out, message);
    QCOMPARE(message, error.isEmpty() ? QStringLiteral("untouched") : error);
    QCOMPARE(ok, error.isEmpty());
    QFile file(out + "/" + entry);
    QCOMPARE(file.exists(), ok);
    if (ok) {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), data);
        QVERIFY(unzipper.unzip(entry, out, message) && file.remove()); // still open
    }
    unzipper.close();
    QVERIFY(!unzipper.unzip(entry, out, message));
}

QTEST_GUILESS_MAIN(tst_Unzipper)
#include "tst_Unzipper.moc"
