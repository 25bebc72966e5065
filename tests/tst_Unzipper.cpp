#include "Unzipper.h"
#include "ZipBuilder.h"
#include "ZipDamage.h"

#include <QtTest>

#include <unzip.h>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

using Method = ZipBuilder::Method;
using Format = ZipBuilder::Format;
using Field = ZipDamage::Field;

namespace {

constexpr int bufferSize = 262144;

// What a caller's error string held before the call: success must leave it.
const QString untouched = QStringLiteral("untouched");

// Bytes that do not compress, the same on every run.
QByteArray noise(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (char &byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Text that compresses well.
QByteArray text(int size)
{
    QByteArray bytes;
    bytes.reserve(size + 64);
    for (int line = 0; bytes.size() < size; ++line)
        bytes += "line " + QByteArray::number(line) + " of the installer package\n";
    bytes.truncate(size);
    return bytes;
}

// The file's bytes, or a null array when it cannot be read.
QByteArray contents(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes = file.readAll();
    return bytes.isNull() ? QByteArray("") : bytes;
}

[[nodiscard]] bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

[[nodiscard]] bool writeZip(const ZipBuilder &builder, const QString &path)
{
    QString error;
    if (!builder.write(path, error)) {
        qWarning("cannot write %s: %s", qPrintable(path), qPrintable(error));
        return false;
    }
    return true;
}

// Whether minizip, asked for the first entry's record, passes on the 32-bit
// marker 0xFFFFFFFF instead of the size from the zip64 extra field. Debian's
// minizip 1.1 does so on 64-bit systems: it compares the 64-bit field with
// 2^64 - 1 rather than with the 32-bit marker.
bool minizipIgnoresZip64Sizes(const QString &zipPath)
{
    const unzFile zip = unzOpen64(zipPath.toUtf8().constData());
    if (!zip)
        return false;
    unz_file_info64 info{};
    const bool ignores = unzGoToFirstFile(zip) == UNZ_OK &&
                         unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK &&
                         info.uncompressed_size == 0xffffffffu;
    unzClose(zip);
    return ignores;
}

// Descriptors open in this process; each open archive holds one.
int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
        .size();
}

// Lowers this process's limit on the size of files it writes, so that the
// system fails any write past `bytes` (EFBIG); restores it when destroyed.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        // A write past the limit would otherwise end the process.
        savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved;
        lowered.rlim_cur = bytes;
        active = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, savedHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    [[nodiscard]] bool isActive() const { return active; }

private:
    rlimit saved{};
    void (*savedHandler)(int) = SIG_DFL;
    bool active = false;
};

// Makes `path` the current directory until destroyed.
class CurrentDirectory
{
public:
    explicit CurrentDirectory(const QString &path)
        : saved(QDir::currentPath())
        , changed(QDir::setCurrent(path))
    {
    }
    ~CurrentDirectory() { QDir::setCurrent(saved); }
    CurrentDirectory(const CurrentDirectory &) = delete;
    CurrentDirectory &operator=(const CurrentDirectory &) = delete;

    [[nodiscard]] bool isChanged() const { return changed; }

private:
    QString saved;
    bool changed;
};

// How an archive's entry is damaged before it is extracted.
enum class Damage {
    BrokenLocalHeader,
    UnknownMethod,
    DataPastEndOfFile,
    InvalidDeflateBlock,
    RecordedSizeTooLarge,
    RecordedSizeTooSmall,
    FlippedByte,
    WrongCrc,
};

[[nodiscard]] bool damage(const QString &zipPath, const QByteArray &name, Damage kind, qint64 argument)
{
    switch (kind) {
    case Damage::BrokenLocalHeader:
        return ZipDamage::breakLocalHeader(zipPath, name);
    case Damage::UnknownMethod:
        return ZipDamage::setField(zipPath, name, Field::Method, 99);
    case Damage::DataPastEndOfFile:
        return ZipDamage::setField(zipPath, name, Field::CompressedSize, quint32(argument)) &&
               ZipDamage::setField(zipPath, name, Field::UncompressedSize, quint32(argument));
    case Damage::InvalidDeflateBlock:
        // A final block of the reserved type 3.
        return ZipDamage::overwriteData(zipPath, name, 0, QByteArray(1, '\x07'));
    case Damage::RecordedSizeTooLarge:
    case Damage::RecordedSizeTooSmall:
        return ZipDamage::setField(zipPath, name, Field::UncompressedSize, quint32(argument));
    case Damage::FlippedByte:
        return ZipDamage::flipDataByte(zipPath, name, int(argument));
    case Damage::WrongCrc:
        return ZipDamage::setField(zipPath, name, Field::Crc32, quint32(argument));
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Method)
Q_DECLARE_METATYPE(Format)
Q_DECLARE_METATYPE(Damage)

class tst_Unzipper : public QObject
{
    Q_OBJECT

private slots:
    void extractsEntry_data();
    void extractsEntry();
    void locatesEntryByName_data();
    void locatesEntryByName();
    void createsDestination_data();
    void createsDestination();
    void openFailure_data();
    void openFailure();
    void noArchiveOpen_data();
    void noArchiveOpen();
    void damagedEntry_data();
    void damagedEntry();
    void destinationNotAccessible_data();
    void destinationNotAccessible();
    void outputCannotBeCreated_data();
    void outputCannotBeCreated();
    void writeFails_data();
    void writeFails();
    void diskFull_data();
    void diskFull();
    void releasesArchive_data();
    void releasesArchive();
    void archiveStaysOpen_data();
    void archiveStaysOpen();
};

void tst_Unzipper::extractsEntry_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<Method>("method");
    QTest::addColumn<Format>("format");
    QTest::addColumn<QByteArray>("before"); // a file already at the output path

    const QByteArray none;
    QTest::newRow("empty-stored") << QByteArray() << Method::Stored << Format::Classic << none;
    QTest::newRow("empty-deflated") << QByteArray() << Method::Deflated << Format::Classic << none;
    QTest::newRow("one-byte") << QByteArray("x") << Method::Stored << Format::Classic << none;
    QTest::newRow("one-buffer-stored") << noise(bufferSize) << Method::Stored << Format::Classic << none;
    QTest::newRow("one-buffer-deflated") << text(bufferSize) << Method::Deflated << Format::Classic << none;
    QTest::newRow("one-buffer-plus-one-stored") << noise(bufferSize + 1) << Method::Stored << Format::Classic << none;
    QTest::newRow("one-buffer-plus-one-deflated")
        << text(bufferSize + 1) << Method::Deflated << Format::Classic << none;
    QTest::newRow("one-buffer-minus-one-deflated")
        << text(bufferSize - 1) << Method::Deflated << Format::Classic << none;
    QTest::newRow("several-buffers-deflated")
        << text(3 * bufferSize + 17) << Method::Deflated << Format::Classic << none;
    QTest::newRow("noise-deflated") << noise(2 * bufferSize + 5) << Method::Deflated << Format::Classic << none;
    QTest::newRow("replaces-longer-file")
        << QByteArray("new") << Method::Stored << Format::Classic << QByteArray("an older and longer file");
    QTest::newRow("empty-replaces-file") << QByteArray() << Method::Deflated << Format::Classic
                                         << QByteArray("an older file");
    QTest::newRow("zip64-stored") << noise(bufferSize + 1) << Method::Stored << Format::Zip64 << none;
    QTest::newRow("zip64-deflated") << text(3 * bufferSize) << Method::Deflated << Format::Zip64 << none;
    QTest::newRow("zip64-empty") << QByteArray() << Method::Deflated << Format::Zip64 << none;
    QTest::newRow("zip64-sizes-stored") << noise(bufferSize + 1) << Method::Stored << Format::Zip64Sizes << none;
    QTest::newRow("zip64-sizes-deflated") << text(3 * bufferSize) << Method::Deflated << Format::Zip64Sizes << none;
}

void tst_Unzipper::extractsEntry()
{
    QFETCH(QByteArray, data);
    QFETCH(Method, method);
    QFETCH(Format, format);
    QFETCH(QByteArray, before);

    // given an archive with the entry between others
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString zipPath = tmp.filePath("Update.zip");
    QVERIFY(writeZip(ZipBuilder()
                         .setFormat(format)
                         .add("Before.pkg", "before", method)
                         .add("Update.pkg", data, method)
                         .add("After.pkg", "after", method),
                     zipPath));
    if (format != Format::Classic)
        QVERIFY2(contents(zipPath).contains("PK\x06\x06"), "the archive has no zip64 end record");
    const QString dirPath = tmp.filePath("out");
    if (!before.isNull()) {
        QVERIFY(QDir().mkpath(dirPath));
        QVERIFY(writeFile(dirPath + "/Update.pkg", before));
    }

    // when
    Unzipper unzipper(nullptr);
    QString error = untouched;
    QVERIFY(unzipper.open(zipPath, error));
    const bool ok = unzipper.unzip("Update.pkg", dirPath, error);

    // then
    if (format == Format::Zip64Sizes && minizipIgnoresZip64Sizes(zipPath))
        QEXPECT_FAIL("", "this minizip takes 0xFFFFFFFF for the entry's size instead of the zip64 field", Abort);
    QVERIFY2(ok, qPrintable(error));
    QCOMPARE(error, untouched);
    const QByteArray written = contents(dirPath + "/Update.pkg");
    QCOMPARE(written.size(), data.size());
    QVERIFY(written == data);
    QCOMPARE(QDir(dirPath).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"Update.pkg"});
}

void tst_Unzipper::locatesEntryByName_data()
{
    QTest::addColumn<QByteArray>("stub"); // bytes before the archive, as in a self-extractor
    QTest::addColumn<QByteArrayList>("stored");
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("subdirectory"); // made below the destination first
    QTest::addColumn<int>("expectedEntry");    // index into `stored`, or -1
    QTest::addColumn<QString>("expectedError");

    const QString ok;
    const QString notFound = QStringLiteral("Error code 3 (-100).");
    const QByteArray none;
    // minizip cannot find the end record of an empty archive at offset 0.
    const QByteArray stub = "#!/bin/sh\nexit 1\n";
    const QString tooLong = QStringLiteral("Error code 3 (-102).");
    const QByteArray name255 = "d/" + QByteArray(253, 'n');
    const QByteArray name256 = "d/" + QByteArray(254, 'n');
    const QByteArray twoByteLetters256 = QString(128, QChar(0xe9)).toUtf8(); // 128 x "é"
    const QByteArray precomposed = "\xc3\x9cnits.pkg";                       // "Ünits.pkg", U+00DC
    const QByteArray decomposed = "U\xcc\x88nits.pkg";                       // U and U+0308
    const QByteArray lowerNonAscii = "\xc3\xbcnits.pkg";                     // "ünits.pkg"

    QTest::newRow("exact-name") << none << QByteArrayList{"Update.pkg"} << "Update.pkg"
                                << "" << 0 << ok;
    QTest::newRow("ascii-case-differs") << none << QByteArrayList{"Update.pkg"} << "uPDATE.PKG"
                                        << "" << 0 << ok;
    QTest::newRow("first-of-case-variants")
        << none << QByteArrayList{"update.pkg", "UPDATE.PKG", "Update.pkg"} << "Update.pkg"
        << "" << 0 << ok;
    QTest::newRow("first-match-not-first-entry")
        << none << QByteArrayList{"Other.pkg", "UPDATE.PKG", "update.pkg"} << "update.pkg"
        << "" << 1 << ok;
    QTest::newRow("same-name-twice") << none << QByteArrayList{"Update.pkg", "Update.pkg"} << "Update.pkg"
                                     << "" << 0 << ok;
    QTest::newRow("folder-part-given") << none << QByteArrayList{"Update.pkg", "pkg/Update.pkg"} << "pkg/Update.pkg"
                                       << "pkg" << 1 << ok;
    QTest::newRow("folder-part-case-differs") << none << QByteArrayList{"Pkg/Update.pkg"} << "pkg/UPDATE.pkg"
                                              << "pkg" << 0 << ok;
    QTest::newRow("folder-part-missing") << none << QByteArrayList{"pkg/Update.pkg"} << "Update.pkg"
                                         << "" << -1 << notFound;
    QTest::newRow("not-in-archive") << none << QByteArrayList{"Update.pkg"} << "Other.pkg"
                                    << "" << -1 << notFound;
    QTest::newRow("prefix-of-stored-name") << none << QByteArrayList{"Update.pkg.old"} << "Update.pkg"
                                           << "" << -1 << notFound;
    QTest::newRow("no-entries-after-stub") << stub << QByteArrayList{} << "Update.pkg"
                                           << "" << -1 << notFound;
    QTest::newRow("non-ascii-same-bytes")
        << none << QByteArrayList{precomposed} << QString::fromUtf8(precomposed) << "" << 0 << ok;
    QTest::newRow("non-ascii-case-differs")
        << none << QByteArrayList{lowerNonAscii} << QString::fromUtf8(precomposed) << "" << -1 << notFound;
    QTest::newRow("non-ascii-decomposed")
        << none << QByteArrayList{decomposed} << QString::fromUtf8(precomposed) << "" << -1 << notFound;
    QTest::newRow("name-255-bytes") << none << QByteArrayList{name255} << QString::fromUtf8(name255) << "d" << 0 << ok;
    QTest::newRow("name-256-bytes") << none << QByteArrayList{name256} << QString::fromUtf8(name256) << "" << -1
                                    << tooLong;
    QTest::newRow("two-byte-letters-256-bytes")
        << none << QByteArrayList{twoByteLetters256} << QString::fromUtf8(twoByteLetters256) << "" << -1 << tooLong;
    QTest::newRow("after-stub") << stub << QByteArrayList{"Update.pkg"} << "Update.pkg"
                                << "" << 0 << ok;
}

void tst_Unzipper::locatesEntryByName()
{
    QFETCH(QByteArray, stub);
    QFETCH(QByteArrayList, stored);
    QFETCH(QString, requested);
    QFETCH(QString, subdirectory);
    QFETCH(int, expectedEntry);
    QFETCH(QString, expectedError);

    // given entries whose data tell them apart
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString zipPath = tmp.filePath("Update.zip");
    ZipBuilder builder;
    for (int i = 0; i < stored.size(); ++i)
        builder.add(stored.at(i), "entry " + QByteArray::number(i), i % 2 ? Method::Stored : Method::Deflated);
    QVERIFY(writeZip(builder, zipPath));
    if (!stub.isEmpty())
        QVERIFY(writeFile(zipPath, stub + contents(zipPath)));
    const QString dirPath = tmp.filePath("out/deeper");
    if (!subdirectory.isEmpty())
        QVERIFY(QDir().mkpath(dirPath + '/' + subdirectory));

    // when
    Unzipper unzipper(nullptr);
    QString error = untouched;
    QVERIFY(unzipper.open(zipPath, error));
    const bool ok = unzipper.unzip(requested, dirPath, error);

    // then
    if (expectedEntry < 0) {
        QVERIFY(!ok);
        QCOMPARE(error, expectedError);
        QVERIFY2(!QFileInfo::exists(tmp.filePath("out")), "a failed lookup must leave the disk untouched");
        return;
    }
    QVERIFY2(ok, qPrintable(error));
    QCOMPARE(error, untouched);
    // The output takes the caller's spelling of the name.
    QCOMPARE(contents(dirPath + '/' + requested), "entry " + QByteArray::number(expectedEntry));
    const QFileInfo written(dirPath + '/' + requested);
    QCOMPARE(QDir(written.absolutePath()).entryList(QDir::Files), QStringList{written.fileName()});
}

void tst_Unzipper::createsDestination_data()
{
    QTest::addColumn<QString>("dirPath");    // below the test's directory, which is current
    QTest::addColumn<QString>("outputPath"); // where the file must appear, below the same
    QTest::addColumn<bool>("existsBefore");

    QTest::newRow("several-levels-deep") << "a/b/c/d"
                                         << "a/b/c/d/Update.pkg" << false;
    QTest::newRow("existing") << "out"
                              << "out/Update.pkg" << true;
    QTest::newRow("trailing-slash") << "out/"
                                    << "out/Update.pkg" << false;
    QTest::newRow("non-ascii") << QString::fromUtf8("Zoë/Ünits") << QString::fromUtf8("Zoë/Ünits/Update.pkg") << false;
}

void tst_Unzipper::createsDestination()
{
    QFETCH(QString, dirPath);
    QFETCH(QString, outputPath);
    QFETCH(bool, existsBefore);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString zipPath = tmp.filePath("Update.zip");
    const QByteArray data = text(1000);
    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", data), zipPath));
    if (existsBefore)
        QVERIFY(QDir(tmp.path()).mkpath(dirPath));

    for (const bool relative : {false, true}) {
        const QString cleanUp = QDir(tmp.path()).filePath(dirPath.section('/', 0, 0));
        if (!existsBefore)
            QVERIFY(!QFileInfo::exists(cleanUp));

        Unzipper unzipper(nullptr);
        QString error = untouched;
        QVERIFY(unzipper.open(zipPath, error));
        bool ok = false;
        if (relative) {
            // A relative destination is taken from the current directory.
            const CurrentDirectory current(tmp.path());
            QVERIFY(current.isChanged());
            ok = unzipper.unzip("Update.pkg", dirPath, error);
        } else {
            ok = unzipper.unzip("Update.pkg", tmp.path() + '/' + dirPath, error);
        }

        QVERIFY2(ok, qPrintable(error));
        QCOMPARE(error, untouched);
        QCOMPARE(contents(tmp.filePath(outputPath)), data);
        if (!existsBefore)
            QVERIFY(QDir(cleanUp).removeRecursively());
        else
            QVERIFY(QFile::remove(tmp.filePath(outputPath)));
    }
}

void tst_Unzipper::openFailure_data()
{
    QTest::addColumn<QByteArray>("fileBytes"); // null: no file at all
    QTest::addColumn<bool>("isDirectory");

    QByteArray validZip;
    {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        QVERIFY(writeZip(ZipBuilder().add("Update.pkg", text(5000)), tmp.filePath("a.zip")));
        validZip = contents(tmp.filePath("a.zip"));
        QVERIFY(!validZip.isEmpty());
    }

    QTest::newRow("missing-file") << QByteArray() << false;
    QTest::newRow("directory") << QByteArray() << true;
    QTest::newRow("empty-file") << QByteArray("") << false;
    QTest::newRow("not-a-zip") << text(10000) << false;
    QTest::newRow("end-record-missing") << validZip.left(validZip.size() - 22) << false;
    QTest::newRow("only-local-entries") << validZip.left(validZip.indexOf("PK\x01\x02")) << false;
}

void tst_Unzipper::openFailure()
{
    QFETCH(QByteArray, fileBytes);
    QFETCH(bool, isDirectory);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString goodZip = tmp.filePath("Good.zip");
    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", "good"), goodZip));
    const QString badPath = tmp.filePath("Update.zip");
    if (isDirectory)
        QVERIFY(QDir().mkpath(badPath));
    else if (!fileBytes.isNull())
        QVERIFY(writeFile(badPath, fileBytes));

    // given an archive that was open before
    Unzipper unzipper(nullptr);
    QString error = untouched;
    QVERIFY(unzipper.open(goodZip, error));

    // when
    const bool ok = unzipper.open(badPath, error);

    // then nothing is open any more, not even the archive from before
    QVERIFY(!ok);
    QCOMPARE(error, QStringLiteral("Error code 1."));
    QVERIFY(!unzipper.unzip("Update.pkg", tmp.filePath("out"), error));
    QCOMPARE(error, QStringLiteral("Error code 2."));
    QVERIFY(!QFileInfo::exists(tmp.filePath("out")));
}

void tst_Unzipper::noArchiveOpen_data()
{
    QTest::addColumn<QStringList>("steps"); // "open-good", "open-bad", "close", run in order

    QTest::newRow("never-opened") << QStringList{};
    QTest::newRow("after-close") << QStringList{"open-good", "close"};
    QTest::newRow("after-close-twice") << QStringList{"open-good", "close", "close"};
    QTest::newRow("close-without-open") << QStringList{"close"};
    QTest::newRow("after-failed-open") << QStringList{"open-bad"};
    QTest::newRow("failed-open-after-good") << QStringList{"open-good", "open-bad"};
}

void tst_Unzipper::noArchiveOpen()
{
    QFETCH(QStringList, steps);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString goodZip = tmp.filePath("Update.zip");
    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", "good"), goodZip));

    Unzipper unzipper(nullptr);
    for (const QString &step : steps) {
        QString ignored;
        if (step == "open-good")
            QVERIFY(unzipper.open(goodZip, ignored));
        else if (step == "open-bad")
            QVERIFY(!unzipper.open(tmp.filePath("missing.zip"), ignored));
        else
            unzipper.close();
    }

    QString error = untouched;
    QVERIFY(!unzipper.unzip("Update.pkg", tmp.filePath("out"), error));
    QCOMPARE(error, QStringLiteral("Error code 2."));
    QVERIFY(!QFileInfo::exists(tmp.filePath("out")));
}

void tst_Unzipper::damagedEntry_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<Method>("method");
    QTest::addColumn<Damage>("kind");
    QTest::addColumn<qint64>("argument");
    QTest::addColumn<bool>("fileBefore"); // a file already stands at the output path
    QTest::addColumn<bool>("copyStarted");
    QTest::addColumn<QString>("expectedError");

    const QString badZip = QStringLiteral("Error code 4 (-103).");
    const QString badCrc = QStringLiteral("Error code 9 (-105).");
    for (const bool fileBefore : {false, true}) {
        const char *suffix = fileBefore ? "-over-file" : "";
        auto row = [suffix](const char *tag) -> QTestData & {
            return QTest::newRow(qPrintable(QString(tag) + suffix));
        };

        row("broken-local-header") << noise(1000) << Method::Stored << Damage::BrokenLocalHeader << qint64(0)
                                   << fileBefore << false << badZip;
        row("unknown-method") << text(1000) << Method::Deflated << Damage::UnknownMethod << qint64(0) << fileBefore
                              << false << badZip;
        // Reads run past the end of the file, which sets no errno.
        row("data-past-end-of-file") << noise(1000) << Method::Stored << Damage::DataPastEndOfFile
                                     << qint64(3 * bufferSize) << fileBefore << true
                                     << QStringLiteral("Error code 5 (0).");
        row("invalid-deflate-block") << text(1000) << Method::Deflated << Damage::InvalidDeflateBlock << qint64(0)
                                     << fileBefore << true << QStringLiteral("Error code 6.");
        // 600,000 - 262,144 - 262,144: the data ends in the first chunk.
        row("recorded-size-too-large-stored")
            << noise(1000) << Method::Stored << Damage::RecordedSizeTooLarge << qint64(600000) << fileBefore << true
            << QStringLiteral("Error code 7 (75712");
        // 1,000,000 - 3 x 262,144: the data ends in the second chunk.
        row("recorded-size-too-large-deflated")
            << text(300000) << Method::Deflated << Damage::RecordedSizeTooLarge << qint64(1000000) << fileBefore << true
            << QStringLiteral("Error code 7 (213568");
        // The data ends inside the last chunk asked for: the loop reaches the
        // recorded size, but 500 (then 100,000) bytes never came.
        row("recorded-size-short-in-last-chunk-stored")
            << noise(1000) << Method::Stored << Damage::RecordedSizeTooLarge << qint64(1500) << fileBefore << true
            << QStringLiteral("Error code 7 (500");
        row("recorded-size-short-in-last-chunk-deflated")
            << text(300000) << Method::Deflated << Damage::RecordedSizeTooLarge << qint64(400000) << fileBefore << true
            << QStringLiteral("Error code 7 (100000");
        row("recorded-size-too-small") << text(300000) << Method::Deflated << Damage::RecordedSizeTooSmall
                                       << qint64(200000) << fileBefore << true << badCrc;
        row("flipped-byte-first-chunk") << noise(1000) << Method::Stored << Damage::FlippedByte << qint64(0)
                                        << fileBefore << true << badCrc;
        row("flipped-byte-last-chunk") << noise(bufferSize + 1) << Method::Stored << Damage::FlippedByte
                                       << qint64(bufferSize) << fileBefore << true << badCrc;
        row("wrong-crc-deflated") << text(3 * bufferSize) << Method::Deflated << Damage::WrongCrc << qint64(0x12345678)
                                  << fileBefore << true << badCrc;
        row("wrong-crc-empty") << QByteArray() << Method::Stored << Damage::WrongCrc << qint64(1) << fileBefore << true
                               << badCrc;
    }
}

void tst_Unzipper::damagedEntry()
{
    QFETCH(QByteArray, data);
    QFETCH(Method, method);
    QFETCH(Damage, kind);
    QFETCH(qint64, argument);
    QFETCH(bool, fileBefore);
    QFETCH(bool, copyStarted);
    QFETCH(QString, expectedError);

    // given
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString zipPath = tmp.filePath("Update.zip");
    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", data, method), zipPath));
    QVERIFY(damage(zipPath, "Update.pkg", kind, argument));
    const QString dirPath = tmp.filePath("out");
    const QString outputPath = dirPath + "/Update.pkg";
    const QByteArray before = "a file that was there before";
    if (fileBefore) {
        QVERIFY(QDir().mkpath(dirPath));
        QVERIFY(writeFile(outputPath, before));
    }

    // when
    Unzipper unzipper(nullptr);
    QString error = untouched;
    QVERIFY(unzipper.open(zipPath, error));
    const bool ok = unzipper.unzip("Update.pkg", dirPath, error);

    // then
    QVERIFY(!ok);
    QCOMPARE(error, expectedError);
    if (copyStarted) {
        QVERIFY2(!QFileInfo::exists(outputPath), "a failed copy must leave no file behind");
        QVERIFY(QFileInfo(dirPath).isDir());
    } else if (fileBefore) {
        QCOMPARE(contents(outputPath), before);
    } else {
        QVERIFY2(!QFileInfo::exists(dirPath), "an entry that cannot be opened must leave the disk untouched");
    }
}

void tst_Unzipper::destinationNotAccessible_data()
{
    QTest::addColumn<QString>("dirPath"); // below the test's directory, which holds a file named "file"

    QTest::newRow("is-a-file") << "file";
    QTest::newRow("below-a-file") << "file/out";
    QTest::newRow("deep-below-a-file") << "file/a/b";
}

void tst_Unzipper::destinationNotAccessible()
{
    QFETCH(QString, dirPath);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString zipPath = tmp.filePath("Update.zip");
    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", "update").add("Other.pkg", "other"), zipPath));
    QVERIFY(writeFile(tmp.filePath("file"), "in the way"));
    const QString fullDirPath = tmp.path() + '/' + dirPath;

    Unzipper unzipper(nullptr);
    QString error = untouched;
    QVERIFY(unzipper.open(zipPath, error));
    QVERIFY(!unzipper.unzip("Update.pkg", fullDirPath, error));
    QCOMPARE(error, QStringLiteral("The directory %1 is not accessible.").arg(fullDirPath));
    QCOMPARE(contents(tmp.filePath("file")), QByteArray("in the way"));

    // The entry was closed again: the archive still serves the next call.
    error = untouched;
    QVERIFY2(unzipper.unzip("Other.pkg", tmp.filePath("elsewhere"), error), qPrintable(error));
    QCOMPARE(contents(tmp.filePath("elsewhere/Other.pkg")), QByteArray("other"));
}

void tst_Unzipper::outputCannotBeCreated_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("dirPath");        // relative to the test's directory
    QTest::addColumn<QString>("existingFolder"); // made there first, if given
    QTest::addColumn<QString>("outputPath");     // relative, as named in the message
    QTest::addColumn<QString>("reason");

    QTest::newRow("missing-subdirectory") << "sub/Update.pkg"
                                          << "out"
                                          << ""
                                          << "out/sub/Update.pkg"
                                          << "No such file or directory";
    QTest::newRow("missing-subdirectory-trailing-slash") << "sub/Update.pkg"
                                                         << "out/"
                                                         << ""
                                                         << "out//sub/Update.pkg"
                                                         << "No such file or directory";
    QTest::newRow("output-is-a-folder") << "Update.pkg"
                                        << "out"
                                        << "out/Update.pkg"
                                        << "out/Update.pkg"
                                        << "Is a directory";
}

void tst_Unzipper::outputCannotBeCreated()
{
    QFETCH(QString, fileName);
    QFETCH(QString, dirPath);
    QFETCH(QString, existingFolder);
    QFETCH(QString, outputPath);
    QFETCH(QString, reason);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString zipPath = tmp.filePath("Update.zip");
    QVERIFY(writeZip(ZipBuilder().add(fileName.toUtf8(), "update").add("Other.pkg", "other"), zipPath));
    if (!existingFolder.isEmpty())
        QVERIFY(QDir(tmp.path()).mkpath(existingFolder));

    Unzipper unzipper(nullptr);
    QString error = untouched;
    QVERIFY(unzipper.open(zipPath, error));
    QVERIFY(!unzipper.unzip(fileName, tmp.path() + '/' + dirPath, error));
    QCOMPARE(error, QStringLiteral("Failed to create %1/%2 (%3).").arg(tmp.path(), outputPath, reason));
    // Only the destination itself is made, nothing below it.
    QCOMPARE(QDir(tmp.filePath("out")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             existingFolder.isEmpty() ? QStringList{} : QStringList{"Update.pkg"});

    // The entry was closed again: the archive still serves the next call.
    error = untouched;
    QVERIFY2(unzipper.unzip("Other.pkg", tmp.filePath("out"), error), qPrintable(error));
    QCOMPARE(contents(tmp.filePath("out/Other.pkg")), QByteArray("other"));
}

void tst_Unzipper::writeFails_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<Method>("method");
    QTest::addColumn<int>("sizeLimit"); // largest file this process may write
    QTest::addColumn<bool>("fileBefore");

    for (const bool fileBefore : {false, true}) {
        const char *suffix = fileBefore ? "-over-file" : "";
        auto row = [suffix](const char *tag) -> QTestData & {
            return QTest::newRow(qPrintable(QString(tag) + suffix));
        };
        row("nothing-fits") << noise(1000) << Method::Stored << 0 << fileBefore;
        // Smaller than Qt's own write buffer, whose failure would show only on closing.
        row("small-entry-cut-short") << noise(1000) << Method::Stored << 100 << fileBefore;
        row("cut-short-in-first-chunk") << text(3 * bufferSize) << Method::Deflated << 1000 << fileBefore;
        row("cut-at-chunk-boundary") << noise(bufferSize + 1) << Method::Stored << bufferSize << fileBefore;
        row("cut-short-in-last-chunk") << text(2 * bufferSize + 1000) << Method::Deflated << 2 * bufferSize + 500
                                       << fileBefore;
    }
}

void tst_Unzipper::writeFails()
{
    QFETCH(QByteArray, data);
    QFETCH(Method, method);
    QFETCH(int, sizeLimit);
    QFETCH(bool, fileBefore);

    // given
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString zipPath = tmp.filePath("Update.zip");
    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", data, method), zipPath));
    const QString dirPath = tmp.filePath("out");
    const QString outputPath = dirPath + "/Update.pkg";
    QVERIFY(QDir().mkpath(dirPath));
    if (fileBefore)
        QVERIFY(writeFile(outputPath, "a file that was there before"));

    // when the system refuses to grow the output past the limit
    Unzipper unzipper(nullptr);
    QString error = untouched;
    QVERIFY(unzipper.open(zipPath, error));
    bool ok = false;
    {
        const FileSizeLimit limit(static_cast<rlim_t>(sizeLimit));
        QVERIFY(limit.isActive());
        ok = unzipper.unzip("Update.pkg", dirPath, error);
    }

    // then
    QVERIFY(!ok);
    QCOMPARE(error, QStringLiteral("Error code 8 (File too large)"));
    QVERIFY2(!QFileInfo::exists(outputPath), "a failed copy must leave no file behind");
}

void tst_Unzipper::diskFull_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<Method>("method");
    QTest::addColumn<int>("fillerKiB"); // written to the 64 KiB file system first
    QTest::addColumn<bool>("fileBefore");

    QTest::newRow("large-entry") << text(4 * bufferSize) << Method::Deflated << 0 << false;
    QTest::newRow("large-entry-over-file") << text(4 * bufferSize) << Method::Deflated << 0 << true;
    QTest::newRow("small-entry-one-page-free") << noise(10000) << Method::Stored << 60 << false;
}

void tst_Unzipper::diskFull()
{
    QFETCH(QByteArray, data);
    QFETCH(Method, method);
    QFETCH(int, fillerKiB);
    QFETCH(bool, fileBefore);

    const bool mustRun = geteuid() == 0 || !qEnvironmentVariableIsEmpty("CI");
    const QString unshare = QStandardPaths::findExecutable("unshare");
    if (unshare.isEmpty()) {
        if (!mustRun)
            QSKIP("needs unshare (util-linux)");
        QFAIL("unshare (util-linux) is not installed");
    }

    // given a 64 KiB file system in a private mount namespace, so that
    // nothing outside this test ever sees it
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString zipPath = tmp.filePath("Update.zip");
    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", data, method), zipPath));
    const QString mountPoint = tmp.filePath("small");
    QVERIFY(QDir().mkpath(mountPoint));
    const QString script = QStringLiteral(R"(
        mount -t tmpfs -o size=64k tarnwick-test "$1" || exit 90
        echo mounted
        mkdir "$1/out"
        if [ "$4" -gt 0 ]; then head -c "$4"K /dev/zero > "$1/filler"; fi
        if [ "$5" = 1 ]; then echo before > "$1/out/Update.pkg"; fi
        "$2" "$3" Update.pkg "$1/out"
        status=$?
        if [ -e "$1/out/Update.pkg" ]; then echo left-behind; fi
        exit $status
    )");
    QStringList arguments{"--mount", "--propagation", "private"};
    if (geteuid() != 0)
        arguments = QStringList{"--user", "--map-root-user"} + arguments;
    arguments += QStringList{"/bin/sh",
                             "-c",
                             script,
                             "sh",
                             mountPoint,
                             TARNWICK_UNZIP_ONE,
                             zipPath,
                             QString::number(fillerKiB),
                             fileBefore ? "1" : "0"};

    // when
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(unshare, arguments);
    QVERIFY(process.waitForFinished(120000));
    const QString output = QString::fromLocal8Bit(process.readAll());

    // then
    if (!output.startsWith("mounted\n")) {
        if (!mustRun)
            QSKIP(qPrintable("cannot mount a private tmpfs as this user: " + output));
        QFAIL(qPrintable("cannot mount a private tmpfs: " + output));
    }
    QCOMPARE(output, QStringLiteral("mounted\nError code 8 (No space left on device)\n"));
    QCOMPARE(process.exitCode(), 1);
}

void tst_Unzipper::releasesArchive_data()
{
    QTest::addColumn<QStringList>("steps"); // "open", "open-other", "open-bad", "close", "destroy", "unzip-missing"
    QTest::addColumn<int>("openArchives");  // afterwards

    QTest::newRow("open") << QStringList{"open"} << 1;
    QTest::newRow("close") << QStringList{"open", "close"} << 0;
    QTest::newRow("destroy-while-open") << QStringList{"open", "destroy"} << 0;
    QTest::newRow("open-other") << QStringList{"open", "open-other"} << 1;
    QTest::newRow("open-same-again") << QStringList{"open", "open"} << 1;
    QTest::newRow("failed-open") << QStringList{"open", "open-bad"} << 0;
    QTest::newRow("failed-unzip") << QStringList{"open", "unzip-missing"} << 1;
    QTest::newRow("failed-unzip-then-destroy") << QStringList{"open", "unzip-missing", "destroy"} << 0;
}

void tst_Unzipper::releasesArchive()
{
    QFETCH(QStringList, steps);
    QFETCH(int, openArchives);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", "one"), tmp.filePath("One.zip")));
    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", "two"), tmp.filePath("Two.zip")));
    QVERIFY(writeFile(tmp.filePath("Bad.zip"), text(1000)));

    const int descriptorsBefore = openDescriptors();
    auto unzipper = std::make_unique<Unzipper>(nullptr);
    for (const QString &step : steps) {
        QString error;
        if (step == "open")
            QVERIFY(unzipper->open(tmp.filePath("One.zip"), error));
        else if (step == "open-other")
            QVERIFY(unzipper->open(tmp.filePath("Two.zip"), error));
        else if (step == "open-bad")
            QVERIFY(!unzipper->open(tmp.filePath("Bad.zip"), error));
        else if (step == "unzip-missing")
            QVERIFY(!unzipper->unzip("Missing.pkg", tmp.filePath("out"), error));
        else if (step == "close")
            unzipper->close();
        else
            unzipper.reset();
    }

    QCOMPARE(openDescriptors() - descriptorsBefore, openArchives);
}

void tst_Unzipper::archiveStaysOpen_data()
{
    QTest::addColumn<QString>("firstName"); // asked for first
    QTest::addColumn<bool>("firstSucceeds");

    QTest::newRow("after-success") << "First.pkg" << true;
    QTest::newRow("after-missing-entry") << "Missing.pkg" << false;
    QTest::newRow("after-damaged-entry") << "Damaged.pkg" << false;
    QTest::newRow("after-same-entry") << "Update.pkg" << true;
}

void tst_Unzipper::archiveStaysOpen()
{
    QFETCH(QString, firstName);
    QFETCH(bool, firstSucceeds);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString zipPath = tmp.filePath("Update.zip");
    const QByteArray data = text(bufferSize + 10);
    QVERIFY(writeZip(
        ZipBuilder().add("First.pkg", "first").add("Damaged.pkg", noise(2000), Method::Stored).add("Update.pkg", data),
        zipPath));
    QVERIFY(ZipDamage::flipDataByte(zipPath, "Damaged.pkg", 1999));

    Unzipper unzipper(nullptr);
    QString error;
    QVERIFY(unzipper.open(zipPath, error));
    QCOMPARE(unzipper.unzip(firstName, tmp.filePath("first"), error), firstSucceeds);

    error = untouched;
    QVERIFY2(unzipper.unzip("Update.pkg", tmp.filePath("out"), error), qPrintable(error));
    QCOMPARE(error, untouched);
    QCOMPARE(contents(tmp.filePath("out/Update.pkg")), data);
}

QTEST_GUILESS_MAIN(tst_Unzipper)
#include "tst_Unzipper.moc"
