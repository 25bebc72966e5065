#include "StreamingUnzipper.h"
#include "Unzipper.h"

#include "Chunkings.h"
#include "Zips.h"

#include <QtTest>

#include <thread>

namespace {

// Little-endian `value` over the `size` bytes at `at`.
void put(QByteArray &zip, int at, quint64 value, int size = 4)
{
    for (int i = 0; i < size; ++i)
        zip[at + i] = char(value >> (8 * i));
}

void flip(QByteArray &zip, int at, char bits)
{
    zip[at] = char(zip.at(at) ^ bits);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// Archives fed to the streaming unzipper as a download writes them, in several chunkings (Chunkings.h), then held
// against their central directory by Unzipper::adopt. Whatever road a row takes, its end is the unzipper's own verdict
// after the download: the same bytes, or the same text.
class tst_StreamingUnzipper : public QObject
{
    Q_OBJECT

private slots:
    void road_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("road");  // streamed (adopted), gives-up, not-opened, disagrees or refused (by adopt)
        QTest::addColumn<QString>("error"); // what the unzipper says after the download; empty: it extracts
        QTest::addColumn<QByteArray>("contents"); // what it extracts

        const auto row = [](const char *name, const QByteArray &archive, const char *road, const char *error,
                            const QByteArray &contents = {}) {
            QTest::newRow(name) << archive << QString(road) << QString(error) << contents;
        };
        const QByteArray other = QByteArray("another package ").repeated(3000);
        const QByteArray deflated = zip({{"Update.pkg", data}}), stored = zip({{"Update.pkg", small}}, 0);
        const QByteArray entry64 = readFile(TARNWICK_TEST_DATA "/zip64-entry.pkg"),
                         descriptor = readFile(TARNWICK_TEST_DATA "/descriptor-info-zip.zip"),
                         zip64InfoZip = readFile(TARNWICK_TEST_DATA "/zip64-info-zip-forced.zip");
        const int central = int(deflated.indexOf("PK\x01\x02"));
        // Changed in the local header and the central one alike, or in the central one only.
        const auto changed = [](QByteArray zip, int local, quint64 value, int size = 4, bool both = true) {
            const int central = int(zip.indexOf("PK\x01\x02"));
            if (both)
                put(zip, local, value, size);
            put(zip, central + local + (local < 26 ? 2 : 16), value, size);
            return zip;
        };
        row("stored", stored, "streamed", "", small);
        row("deflated-several-buffers", deflated, "streamed", "", data);
        row("descriptor-info-zip", descriptor, "streamed", "", entry64);
        row("zip64-descriptor-bsdtar", readFile(TARNWICK_TEST_DATA "/zip64-bsdtar.zip"), "streamed", "", entry64);
        row("zip64-python", readFile(TARNWICK_TEST_DATA "/zip64-python-forced.zip"), "streamed", "", entry64);
        row("zip64-info-zip", zip64InfoZip, "streamed", "", entry64);
        // Both local sizes marked as kept in its Zip64 field, which is given room for one of them.
        QByteArray zip64Short = readFile(TARNWICK_TEST_DATA "/zip64-python-forced.zip");
        put(zip64Short, 42, 8, 2);
        row("zip64-local-field-too-short", zip64Short, "gives-up", "", entry64);
        row("upper-case-name", zip({{"UPDATE.PKG", small}}, 0), "streamed", "", small);
        row("named-twice", zip({{"Update.pkg", data}, {"Update.pkg", other}}), "streamed", "", data);
        // Out of the stream's reach: the unzipper extracts after the download, as without streaming.
        row("second-entry", zip({{"a", small}, {"Update.pkg", small}}, 0), "gives-up", "", small);
        row("in-a-folder", zip({{"pkg/Update.pkg", small}}, 0), "gives-up", "Error code 3 (-100).");
        row("after-stub", "#!/bin/sh\nexit 1\n" + stored, "gives-up", "", small);
        row("encrypted-flag", changed(stored, 6, 1, 2), "gives-up", "", small);
        row("stored-with-descriptor", changed(stored, 6, 8, 2), "gives-up", "", small);
        row("bzip2", changed(stored, 8, 12, 2), "gives-up", "Error code 4 (-103).");
        QByteArray damaged = stored;
        flip(damaged, 40, 1);
        row("crc-wrong", damaged, "gives-up", "Error code 9 (-105).");
        damaged = deflated;
        damaged[40] = '\xff';
        row("bad-deflate", damaged, "gives-up", "Error code 6.");
        damaged = descriptor;
        flip(damaged, int(damaged.indexOf("PK\x07\x08")) + 4, 1); // the descriptor's CRC-32, which minizip never reads
        row("descriptor-crc-wrong", damaged, "gives-up", "", entry64);
        // minizip's deflated entry with its sizes and CRC-32 moved into a data descriptor, signed or not.
        const auto described = [&](const char *signature) {
            QByteArray zip = deflated;
            zip.insert(central, signature + zip.mid(14, 12));
            put(zip, 6, 8, 2);
            put(zip, int(zip.indexOf("PK\x01\x02")) + 8, 8, 2);
            for (const int field : {14, 18, 22})
                put(zip, field, 0);
            put(zip, int(zip.size()) - 6, quint64(zip.indexOf("PK\x01\x02")));
            return zip;
        };
        row("descriptor-deflated", described("PK\x07\x08"), "streamed", "", data);
        row("descriptor-unsigned", described(""), "streamed", "", data);
        // minizip does not hold a header with a descriptor to the central one: adopt() must.
        QByteArray otherCrc = described("PK\x07\x08");
        flip(otherCrc, int(otherCrc.indexOf("PK\x01\x02")) + 16, 1);
        row("descriptor-central-crc-differs", otherCrc, "disagrees", "Error code 9 (-105).");
        row("cut-short", deflated.left(60), "gives-up", "Error code 1.");
        row("no-central-directory", deflated.left(central), "not-opened", "Error code 1.");
        // The central directory disagrees with what was streamed.
        row("central-crc-differs", changed(deflated, 14, 1, 4, false), "refused", "Error code 4 (-103).");
        row("central-size-differs", changed(deflated, 22, data.size() + 1, 4, false), "refused",
            "Error code 4 (-103).");
        row("central-method-differs", changed(deflated, 8, 0, 2, false), "refused", "Error code 4 (-103).");
        row("central-flags-differ", changed(deflated, 6, 0x800, 2, false), "disagrees", "", data);
        QByteArray renamed = deflated;
        renamed[central + 46 + 9] = 'X';
        row("central-names-another", renamed, "refused", "Error code 3 (-100).");
        // Its deflated data ends where the stream stopped, its recorded size past the archive's end.
        row("size-past-end", changed(deflated, 18, quint64(deflated.size())), "refused", "Error code 5 (0).");
        // The central directory's first record of the name is the second entry's, which has the first one's size and
        // CRC-32: these five bytes XORed anywhere keep a CRC-32.
        QByteArray forged = small;
        for (int i = 0; i < 5; ++i)
            flip(forged, 100 + i, QByteArray::fromHex("410671db01").at(i));
        QByteArray twice = zip({{"Update.pkg", small}, {"Update.pkg", forged}}, 0);
        const int first = int(twice.indexOf("PK\x01\x02")), second = int(twice.indexOf("PK\x01\x02", first + 1));
        twice = twice.left(first) + twice.mid(second, second - first) + twice.mid(first, second - first) +
                twice.mid(2 * second - first);
        row("named-twice-other-first", twice, "disagrees", "", forged);
        // Info-ZIP keeps the central size in a Zip64 field only (tests/data): one byte short there.
        QByteArray zip64 = zip64InfoZip;
        flip(zip64, int(zip64.indexOf(QByteArray::fromHex("01000800"), zip64.indexOf("PK\x01\x02"))) + 4, 3);
        row("zip64-central-size-differs", zip64, "disagrees", "Error code 9 (-105).");
        // The fuzzer's: Python's Zip64 sizes in the local header, which minizip does not compare, and central ones
        // given a Zip64 field of 2^62 bytes each, past the end and more than any disk holds: the unzipper asks for room
        // first.
        QByteArray huge = readFile(TARNWICK_TEST_DATA "/zip64-python-forced.zip");
        const int record = int(huge.indexOf("PK\x01\x02"));
        huge.insert(record + 46 + 10,
                    QByteArray::fromHex("01001000") + QByteArray::fromHex("0000000000000040").repeated(2));
        for (const int field : {20, 24})
            put(huge, record + field, 0xffffffff);
        put(huge, record + 30, 20, 2);
        put(huge, int(huge.size()) - 10, quint64(huge.size() - 22 - record));
        row("zip64-central-sizes-beyond-room", huge, "disagrees",
            qPrintable("Not enough free space in " + folder.filePath("out") +
                       " to extract Update.pkg: 4611686018427387904 bytes needed, …"));
    }

    void road()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, road);
        QFETCH(QString, error);
        QFETCH(QByteArray, contents);

        // After the download, as without streaming.
        const QString path = folder.filePath("Update.zip"), out = folder.filePath("out"), package = out + "/Update.pkg";
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(archive) == archive.size());
        file.close();
        const std::optional<FileIdentity> written = FileIdentity::ofPath(path);
        QString message;
        Unzipper unzipper;
        unzipper.expectArchive(*written, {});
        const bool extracted = unzipper.open(path, message) && unzipper.unzip("Update.pkg", out, message);
        QVERIFY2(error.endsWith(u'…') ? message.startsWith(error.chopped(1)) : message == error, qPrintable(message));
        QCOMPARE(readFile(package), contents);
        QFile::remove(package);

        Chunkings chunkings(archive, {{archive}, Chunkings::of(archive, 1)}, 6);
        for (QList<QByteArray> chunks; chunkings.next(chunks);) {
            StreamingUnzipper streaming(package);
            // On a thread of its own, as the downloader's; by pointer and shared, alternately.
            std::thread([&] {
                for (int i = 0; i < chunks.size(); ++i)
                    i % 2 ? streaming.consumeShared(chunks.at(i))
                          : streaming.consume(chunks.at(i).constData(), chunks.at(i).size());
            }).join();
            const std::optional<StreamedEntry> streamed = streaming.finish();
            QCOMPARE(bool(streamed), road != "gives-up");
            if (!streamed) {
                QCOMPARE(QDir(out).entryList(QDir::Files), QStringList());
                continue;
            }
            QCOMPARE(streamed->path, package);
            const QByteArray streamedContents = readFile(package);
            QCOMPARE(streamed->sha256, QCryptographicHash::hash(streamedContents, QCryptographicHash::Sha256));
            Unzipper adopter;
            adopter.expectArchive(*written, {});
            message.clear();
            QCOMPARE(adopter.open(path, message), road != "not-opened");
            QCOMPARE(message, road == "not-opened" ? error : QString());
            QVERIFY(QFile::remove(package));
            if (road == "not-opened")
                continue;
            const Unzipper::Adoption adoption = adopter.adopt("Update.pkg", *streamed, message);
            const QStringList roads = {"streamed", "refused", "disagrees"};
            QCOMPARE(roads.at(int(adoption)), road);
            QCOMPARE(message, adoption == Unzipper::Adoption::Refused ? error : QString());
            if (adoption == Unzipper::Adoption::Adopted) {
                QVERIFY(extracted);
                QCOMPARE(streamedContents, contents);
                QCOMPARE(adopter.sha256(), unzipper.sha256());
                QCOMPARE(adopter.extractedSize(), unzipper.extractedSize());
            }
        }
    }

    // Cancelled while the archive comes, from another thread, cut short, or dropped before its end: nothing is left
    // and nothing is handed out.
    void interrupted_data()
    {
        QTest::addColumn<QString>("end"); // how the streaming ends
        QTest::newRow("cancelled") << "cancel";
        QTest::newRow("archive-cut-short") << "finish";
        QTest::newRow("dropped") << "destroy";
    }

    void interrupted()
    {
        QFETCH(QString, end);
        const bool cancel = end == "cancel";

        const QByteArray archive = zip({{"Update.pkg", QByteArray(32 << 20, 'p')}}, 0);
        const QString out = folder.filePath("interrupted");
        auto streaming = std::make_unique<StreamingUnzipper>(out + "/Update.pkg");
        const QList<QByteArray> chunks = Chunkings::of(archive, 1 << 16);
        std::thread feeding([&] {
            for (const QByteArray &chunk : chunks.mid(0, cancel ? chunks.size() : chunks.size() / 2))
                streaming->consumeShared(chunk);
        });
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo(out + "/Update.pkg").size() >= (4 << 20); }, 20000));
        if (cancel)
            streaming->cancel();
        feeding.join();
        if (cancel)
            QCOMPARE(QDir(out).entryList(QDir::Files), QStringList());
        if (end == "destroy")
            streaming.reset();
        else
            QVERIFY(!streaming->finish());
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList());
    }

private:
    // An archive of `entries` made with minizip's writer.
    QByteArray zip(const QList<QPair<QByteArray, QByteArray>> &entries, int method = Z_DEFLATED)
    {
        const QString path = folder.filePath("made.zip");
        return writeZip(path, entries, method, 6) ? readFile(path) : QByteArray();
    }

    const QByteArray data = QByteArray("stand-in package ").repeated(40000); // inflated over several buffers
    const QByteArray small = data.left(20000);
    QTemporaryDir folder;
};

QTEST_GUILESS_MAIN(tst_StreamingUnzipper)
#include "tst_StreamingUnzipper.moc"
