#include "Unzipper.h"

#include "Zips.h"

#include <QtTest>

#include <QStorageInfo>

#include <sys/stat.h>
#include <unistd.h>

// Archives made with minizip's writer. The archive road of a whole update (stored and deflated entries, damaged data,
// letter case) is in tests/e2e.
class tst_Unzipper : public QObject
{
    Q_OBJECT

private slots:
    void unzip_data()
    {
        QTest::addColumn<QString>("archive"); // empty: none opened
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("error"); // empty: extracted whole
        QTest::addColumn<QByteArray>("contents");

        const QString out = folder.filePath("out"), blocked = folder.filePath("1.zip/x");
        const auto row = [&](const char *name, QString archive, QString error, QByteArray contents = {},
                             QString entry = "Update.pkg", QString into = {}) {
            QTest::newRow(name) << archive << entry << (into.isEmpty() ? out : into) << error
                                << (contents.isNull() ? data : contents);
        };
        QFile zip64Entry(QStringLiteral(TARNWICK_TEST_DATA "/zip64-entry.pkg"));
        QVERIFY(zip64Entry.open(QIODevice::ReadOnly));
        const QByteArray zip64Contents = zip64Entry.readAll();
        row("second-entry", makeZip(0, {}, {}, {"a", "Update.pkg"}), "");
        row("not-open", "", "Error code 2.");
        row("no-file", "none.zip", "Error code 1.");
        row("bad-local-header", makeZip(0, {{0, 'X'}}), "Error code 4 (-103).");
        row("bad-deflate", makeZip(Z_DEFLATED, {{40, '\xff'}}), "Error code 6.");
        // Both headers changed alike (minizip refuses headers that disagree): the compressed size runs 5 bytes past the
        // end of the file.
        row("size-just-past-end", makeZip(0, {{18, 0x73}, {340060, 0x73}}), "Error code 5 (0).");
        row("encrypted-flag", makeZip(0, {{6, 1}, {340048, 1}}), "");
        // Compressed size 1024 bytes short of the uncompressed one, in both headers.
        row("stored-shorter-than-recorded", makeZip(0, {{19, 0x2c}, {340061, 0x2c}}), "Error code 7 (1024");
        // 256 KiB short: the last read gives nothing at all.
        row("stored-a-read-short", makeZip(0, {{20, 0x01}, {340062, 0x01}}), "Error code 7 (262144");
        // Both sizes marked as kept in a Zip64 field of the central header, after another field; when the field holds
        // only one of them, the 8 bytes after it belong to no size even if they look like the real one.
        QList<QPair<qint64, char>> marked;
        for (const qint64 field : {18, 22, 340060, 340064})
            for (int byte = 0; byte < 4; ++byte)
                marked.append({field + byte, '\xff'});
        QByteArray sizes64;
        for (int byte = 0; byte < 16; ++byte)
            sizes64.append(char(quint64(data.size()) >> (8 * (byte % 8))));
        const QByteArray before = QByteArray::fromHex("019902006162"); // id 0x9901 (WinZip AES), 2 bytes
        row("zip64-after-another-field", makeZip(0, marked, before + QByteArray::fromHex("01001000") + sizes64), "");
        row("zip64-field-too-short", makeZip(0, marked, before + QByteArray::fromHex("01000800") + sizes64),
            "Error code 5 (0).");
        row("bzip2", makeZip(0, {{8, 12}, {340050, 12}}), "Error code 4 (-103).");
        row("nested-folder-missing", makeZip(0, {}, {}, {"sub/Update.pkg"}),
            "Failed to create " + out + "/sub/Update.pkg (No such file or directory).", {}, "sub/Update.pkg");
        row("folder-not-accessible", makeZip(), "The directory " + blocked + " is not accessible.", {}, "Update.pkg",
            blocked);
        // Small archives with Zip64 records, as Info-ZIP, bsdtar and Python write them (tests/data).
        for (const char *maker :
             {"zip64-info-zip-forced", "zip64-info-zip-attributes", "zip64-bsdtar", "zip64-python-forced"})
            row(maker, TARNWICK_TEST_DATA "/" + QString(maker) + ".zip", "", zip64Contents);
        const QString link = folder.filePath("link.zip"), fifo = folder.filePath("fifo.zip");
        QFile::link(makeZip(), link);
        ::mkfifo(QFile::encodeName(fifo).constData(), 0600);
        row("archive-is-a-link", link, "Error code 1.");
        row("archive-is-a-fifo", fifo, "Error code 1.");
        // The central directory is read through a window of 64 KiB on the archive: 1022 records of 64 bytes (46 and a
        // name of 18), one of 77, then that of Update.pkg, whose name starts 5 bytes before the window's edge.
        QList<QPair<QByteArray, QByteArray>> entries;
        for (int entry = 0; entry <= 1023; ++entry) {
            QByteArray name = entry < 1023 ? QByteArray::number(entry).rightJustified(18, '0') : "Update.pkg";
            if (entry == 1022)
                name = name.rightJustified(31, '0');
            entries.append({name, name + " holds this"});
        }
        QVERIFY(writeZip(folder.filePath("many.zip"), entries, 0));
        row("name-across-read-window", folder.filePath("many.zip"), "", "Update.pkg holds this");
        // Zeros deflated: the inflater's last bytes of input hold the last KiBs of output, which go past a buffer's
        // end; the next buffer gets them with no input left to take.
        const QByteArray zeros((4 << 18) + 100, '\0');
        QVERIFY(writeZip(folder.filePath("zeros.zip"), {{"Update.pkg", zeros}}, Z_DEFLATED, 9));
        row("zeros-past-a-buffer", folder.filePath("zeros.zip"), "", zeros);
    }

    void unzip()
    {
        QFETCH(QString, archive);
        QFETCH(QString, entry);
        QFETCH(QString, out);
        QFETCH(QString, error);
        QFETCH(QByteArray, contents);

        Unzipper unzipper;
        QString message = QStringLiteral("untouched");
        // Opening a second archive closes the first, even when it fails.
        QVERIFY(unzipper.open(makeZip(), message));
        if (archive.isEmpty())
            unzipper.close();
        const bool ok = (archive.isEmpty() || unzipper.open(archive, message)) && unzipper.unzip(entry, out, message);
        QCOMPARE(message, error.isEmpty() ? QStringLiteral("untouched") : error);
        QCOMPARE(ok, error.isEmpty());
        QFile file(out + "/" + entry);
        QCOMPARE(file.exists(), ok);
        if (ok) {
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), contents);
            QVERIFY(unzipper.unzip(entry, out, message) && file.remove()); // still open
        }
        unzipper.close();
        QVERIFY(!unzipper.unzip(entry, out, message));
    }

    // The archive is read only while it is the file that was written: the same file at its path, unchanged, and for a
    // pinned one, bytes with its digest.
    void asWritten_data()
    {
        QTest::addColumn<QString>("change"); // what happens to the archive after it was written
        QTest::addColumn<bool>("pinned");
        QTest::addColumn<bool>("extracted");

        QTest::newRow("unchanged-pinned") << "" << true << true;
        QTest::newRow("rewritten-in-place") << "rewrite" << false << false;
        QTest::newRow("replaced-by-rename") << "rename" << false << false;
        QTest::newRow("wrong-digest") << "digest" << true << false;
    }

    void asWritten()
    {
        QFETCH(QString, change);
        QFETCH(bool, pinned);
        QFETCH(bool, extracted);

        const QString archive = makeZip(Z_DEFLATED, {}, {}, {"Other.pkg", "Update.pkg", "Last.pkg"});
        const std::optional<FileIdentity> written = FileIdentity::ofPath(archive);
        QVERIFY(written);
        QFile file(archive);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray sha256 = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
        // It changes, its bytes kept the same length.
        if (change == "rewrite") {
            QTest::qWait(20); // a later tick of the file system's clock
            QVERIFY(file.seek(0) && file.write("P") == 1);
        } else if (change == "rename") {
            const QString copy = folder.filePath("copy.zip");
            QVERIFY(QFile::copy(archive, copy) && QFile::remove(archive) && QFile::rename(copy, archive));
        } else if (change == "digest") {
            sha256[0] = char(sha256[0] ^ 1);
        }
        file.close();
        Unzipper unzipper;
        unzipper.expectArchive(*written, pinned ? sha256 : QByteArray());
        QString error;
        const QString out = folder.filePath(QTest::currentDataTag());
        const bool ok = unzipper.open(archive, error) && unzipper.unzip("Update.pkg", out, error);
        QCOMPARE(ok, extracted);
        QCOMPARE(error, extracted ? QString() : "The archive " + archive + " changed after it was downloaded.");
        QCOMPARE(QFile::exists(out + "/Update.pkg"), extracted);
        QCOMPARE(unzipper.sha256().isEmpty(), !extracted);
    }

    // From another thread, before the extraction begins or once part of the entry is out, the extraction is cancelled
    // or another program cuts the archive short: it ends there, with an error, and leaves nothing. The entry (64 MiB)
    // is followed by another as large, which a pinned archive's digest reads once the entry is out.
    void interrupted_data()
    {
        QTest::addColumn<qint64>("reached"); // bytes of the entry out; -1: before the extraction
        QTest::addColumn<bool>("cut");       // else cancel()
        QTest::addColumn<bool>("pinned");
        QTest::addColumn<QString>("error");

        const QString cancelled = "The extraction was cancelled.";
        QTest::newRow("cancelled-before") << qint64(-1) << false << false << cancelled;
        QTest::newRow("cancelled-during") << qint64(4 << 20) << false << false << cancelled;
        QTest::newRow("archive-cut-short-during") << qint64(4 << 20) << true << false << "Error code 5 (0).";
        QTest::newRow("cancelled-while-the-rest-is-hashed") << qint64(64 << 20) << false << true << cancelled;
    }

    void interrupted()
    {
        QFETCH(qint64, reached);
        QFETCH(bool, cut);
        QFETCH(bool, pinned);
        QFETCH(QString, error);

        const QString archive = folder.filePath("large.zip"), out = folder.filePath(QTest::currentDataTag());
        const QByteArray block(1 << 20, 'p');
        QVERIFY(writeZip(archive, {{"Update.pkg", block}, {"Other.pkg", block}}, 0, 0, false, 64));
        Unzipper unzipper;
        if (pinned) {
            QFile file(archive);
            QCryptographicHash sha256(QCryptographicHash::Sha256);
            QVERIFY(file.open(QIODevice::ReadOnly) && sha256.addData(&file));
            unzipper.expectArchive(*FileIdentity::ofPath(archive), sha256.result());
        }
        QString message;
        QVERIFY(unzipper.open(archive, message));
        bool done = false;
        std::unique_ptr<QThread> other(QThread::create([&] {
            const QString extracted = out + "/Update.pkg";
            QElapsedTimer waited;
            for (waited.start(); reached >= 0 && QFileInfo(extracted).size() < reached && waited.elapsed() < 20000;)
                QThread::usleep(100);
            if (!cut)
                unzipper.cancel();
            done = !cut || QFile::resize(archive, 1000);
        }));
        other->start();
        QVERIFY(reached >= 0 || other->wait(10000));
        QVERIFY(!unzipper.unzip("Update.pkg", out, message));
        QVERIFY(other->wait(30000) && done);
        QCOMPARE(message, error);
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList());
    }

    // A parent may start the updater with its standard input closed: the next file opened, the archive or the extracted
    // package, then gets descriptor 0.
    void standardInputClosed_data()
    {
        QTest::addColumn<bool>("beforeOpen");
        QTest::newRow("archive-gets-0") << true;
        QTest::newRow("package-gets-0") << false;
    }

    void standardInputClosed()
    {
        QFETCH(bool, beforeOpen);

        Unzipper unzipper;
        QString error;
        const QString archive = makeZip();
        QVERIFY(beforeOpen || unzipper.open(archive, error));
        const int input = ::dup(0);
        QVERIFY(input > 0 && ::close(0) == 0);
        const bool ok = (!beforeOpen || unzipper.open(archive, error)) &&
                        unzipper.unzip("Update.pkg", folder.filePath(QTest::currentDataTag()), error);
        const qint64 extracted = unzipper.extractedSize();
        unzipper.close(); // descriptor 0 is free again
        QCOMPARE(::dup2(input, 0), 0);
        ::close(input);
        QVERIFY2(ok, qPrintable(error));
        QCOMPARE(extracted, qint64(data.size()));
    }

    // An entry larger than 4 GiB needs Zip64 records. Its 4097 MiB of zeros are extracted into /dev/shm where there
    // is room: on disk it takes three times as long.
    void zip64PastFourGiB()
    {
        constexpr qint64 block = 1 << 20, blocks = 4097, size = block * blocks;
        const auto hasRoom = [](const QString &path) { return QStorageInfo(path).bytesAvailable() > size + (1 << 30); };
        QTemporaryDir memory(QStringLiteral("/dev/shm/tst_Unzipper-XXXXXX"));
        const QString outside = memory.isValid() && hasRoom(memory.path()) ? memory.path() : folder.path();
        if (!hasRoom(outside))
            QSKIP("needs 5 GiB of free space");
        const QString path = folder.filePath("big.zip"), out = outside + "/big";
        QVERIFY(writeZip(path, {{"Update.pkg", QByteArray(block, '\0')}}, Z_DEFLATED, 1, true, blocks));

        Unzipper unzipper;
        QString error;
        QVERIFY2(unzipper.open(path, error) && unzipper.unzip("Update.pkg", out, error), qPrintable(error));
        QCOMPARE(QFileInfo(out + "/Update.pkg").size(), size);
        QCOMPARE(unzipper.extractedSize(), size);
        // sha256sum of 4097 MiB of zeros
        QCOMPARE(unzipper.sha256().toHex(),
                 QByteArray("829816e339ff597ec3ada4c30fc840d3f2298444169d242952a54bcf3fcd7747"));
        QFile::remove(out + "/Update.pkg");
    }

private:
    // An archive of `names`, each holding `data` and `centralExtra`, then with bytes changed (offset, value). For one
    // stored "Update.pkg" the local header is at 0 and its central header at 340040.
    QString makeZip(int method = 0, const QList<QPair<qint64, char>> &changes = {}, const QByteArray &centralExtra = {},
                    const QStringList &names = {"Update.pkg"})
    {
        const QString path = folder.filePath(QString::number(++archives) + ".zip");
        QList<QPair<QByteArray, QByteArray>> entries;
        for (const QString &name : names)
            entries.append({name.toUtf8(), data});
        writeZip(path, entries, method, 6, false, 1, centralExtra);
        QFile file(path);
        for (const auto &[offset, byte] : changes)
            if (file.isOpen() || file.open(QIODevice::ReadWrite))
                file.seek(offset), file.write(&byte, 1);
        return path;
    }
    const QByteArray data = QByteArray("stand-in package ").repeated(20000);
    QTemporaryDir folder;
    int archives = 0;
};

QTEST_GUILESS_MAIN(tst_Unzipper)
#include "tst_Unzipper.moc"
