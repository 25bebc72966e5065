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

// Writes `bytes` to `path`, making its folder first.
[[nodiscard]] bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
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

// What makes the copy of an entry fail: damage done to the archive, or a
// limit on the size of the file written (`argument` bytes).
enum class Damage {
    BrokenLocalHeader,
    UnknownMethod,
    DataPastEndOfFile,
    InvalidDeflateBlock,
    RecordedSize,
    FlippedByte,
    WrongCrc,
    FileSizeLimit,
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
    case Damage::RecordedSize:
        return ZipDamage::setField(zipPath, name, Field::UncompressedSize, quint32(argument));
    case Damage::FlippedByte:
        return ZipDamage::flipDataByte(zipPath, name, int(argument));
    case Damage::WrongCrc:
        return ZipDamage::setField(zipPath, name, Field::Crc32, quint32(argument));
    case Damage::FileSizeLimit:
        return true; // applied around the call
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
    void init();
    void extractsEntry_data();
    void extractsEntry();
    void locatesEntryByName_data();
    void locatesEntryByName();
    void copyFails_data();
    void copyFails();
    void outputFails_data();
    void outputFails();
    void diskFull_data();
    void diskFull();
    void openAndClose_data();
    void openAndClose();

private:
    // Writes `builder`'s archive, after `stub` if given, and opens it.
    [[nodiscard]] bool openArchive(const ZipBuilder &builder, const QByteArray &stub = {});
    [[nodiscard]] QString path(const QString &name) const { return tmp->filePath(name); }

    // Fresh for each row.
    std::unique_ptr<QTemporaryDir> tmp;
    QString zipPath;
    std::unique_ptr<Unzipper> unzipper;
    QString error;
};

void tst_Unzipper::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    zipPath = path("Update.zip");
    unzipper = std::make_unique<Unzipper>(nullptr);
    error = untouched;
}

bool tst_Unzipper::openArchive(const ZipBuilder &builder, const QByteArray &stub)
{
    if (!writeZip(builder, zipPath) || (!stub.isEmpty() && !writeFile(zipPath, stub + contents(zipPath))))
        return false;
    if (!unzipper->open(zipPath, error)) {
        qWarning("cannot open %s: %s", qPrintable(zipPath), qPrintable(error));
        return false;
    }
    return true;
}

void tst_Unzipper::extractsEntry_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<Method>("method");
    QTest::addColumn<Format>("format");
    QTest::addColumn<QByteArray>("before"); // a file already at the output path
    QTest::addColumn<QString>("dir");       // below the test's directory
    QTest::addColumn<bool>("relative");     // `dir` given relative to the test's directory, made current

    auto row = [](const char *tag, const QByteArray &data, Method method, Format format = Format::Classic,
                  const QByteArray &before = {}, const QString &dir = "out", bool relative = false) {
        QTest::newRow(tag) << data << method << format << before << dir << relative;
    };
    row("empty", QByteArray(), Method::Stored);
    row("one-buffer-stored", noise(bufferSize), Method::Stored);
    row("one-buffer-deflated", text(bufferSize), Method::Deflated);
    row("one-buffer-plus-one-stored", noise(bufferSize + 1), Method::Stored);
    row("one-buffer-plus-one-deflated", text(bufferSize + 1), Method::Deflated);
    row("several-buffers", text(3 * bufferSize + 17), Method::Deflated);
    row("replaces-longer-file", "new", Method::Stored, Format::Classic, "an older and longer file");
    row("empty-replaces-file", QByteArray(), Method::Deflated, Format::Classic, "an older file");
    row("zip64-stored", noise(bufferSize + 1), Method::Stored, Format::Zip64);
    row("zip64-deflated", text(3 * bufferSize), Method::Deflated, Format::Zip64);
    row("zip64-empty", QByteArray(), Method::Deflated, Format::Zip64);
    row("zip64-sizes-stored", noise(bufferSize + 1), Method::Stored, Format::Zip64Sizes);
    row("zip64-sizes-deflated", text(3 * bufferSize), Method::Deflated, Format::Zip64Sizes);
    const QString nonAscii = QString::fromUtf8("Zoë/Ünits");
    row("deep-dir", text(1000), Method::Deflated, Format::Classic, {}, "a/b/c/d");
    row("deep-dir-relative", text(1000), Method::Deflated, Format::Classic, {}, "a/b/c/d", true);
    row("trailing-slash", text(1000), Method::Deflated, Format::Classic, {}, "out/");
    row("non-ascii-dir", text(1000), Method::Deflated, Format::Classic, {}, nonAscii);
    row("non-ascii-dir-relative", text(1000), Method::Deflated, Format::Classic, {}, nonAscii, true);
}

void tst_Unzipper::extractsEntry()
{
    QFETCH(QByteArray, data);
    QFETCH(Method, method);
    QFETCH(Format, format);
    QFETCH(QByteArray, before);
    QFETCH(QString, dir);
    QFETCH(bool, relative);

    // given an archive with the entry between others
    QVERIFY(openArchive(ZipBuilder()
                            .setFormat(format)
                            .add("Before.pkg", "before", method)
                            .add("Update.pkg", data, method)
                            .add("After.pkg", "after", method)));
    if (format != Format::Classic)
        QVERIFY2(contents(zipPath).contains("PK\x06\x06"), "the archive has no zip64 end record");
    const QString dirPath = path(dir);
    if (!before.isNull())
        QVERIFY(writeFile(dirPath + "/Update.pkg", before));

    // when
    const QString savedCurrent = QDir::currentPath();
    QVERIFY(!relative || QDir::setCurrent(tmp->path()));
    const bool ok = unzipper->unzip("Update.pkg", relative ? dir : dirPath, error);
    QDir::setCurrent(savedCurrent);

    // then
    if (format == Format::Zip64Sizes && minizipIgnoresZip64Sizes(zipPath))
        QEXPECT_FAIL("", "this minizip takes 0xFFFFFFFF for the entry's size instead of the zip64 field", Abort);
    QVERIFY2(ok, qPrintable(error));
    QCOMPARE(error, untouched);
    const QByteArray written = contents(dirPath + "/Update.pkg");
    QCOMPARE(written.size(), data.size());
    QVERIFY(written == data);
    QCOMPARE(QDir(dirPath).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"Update.pkg"});

    // The archive stays open for the next call.
    QVERIFY2(unzipper->unzip("After.pkg", path("next"), error), qPrintable(error));
    QCOMPARE(contents(path("next/After.pkg")), QByteArray("after"));
}

void tst_Unzipper::locatesEntryByName_data()
{
    QTest::addColumn<QByteArray>("stub"); // bytes before the archive, as in a self-extractor
    QTest::addColumn<QByteArrayList>("stored");
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("subdirectory"); // made below the destination first
    QTest::addColumn<int>("expectedEntry");    // index into `stored`, or -1
    QTest::addColumn<QString>("expectedError");

    auto found = [](const char *tag, const QByteArrayList &stored, const QByteArray &requested, int entry,
                    const QString &subdirectory = {}, const QByteArray &stub = {}) {
        QTest::newRow(tag) << stub << stored << QString::fromUtf8(requested) << subdirectory << entry << QString();
    };
    const QString notFound = QStringLiteral("Error code 3 (-100).");
    auto missing = [](const char *tag, const QByteArrayList &stored, const QByteArray &requested, const QString &error,
                      const QByteArray &stub = {}) {
        QTest::newRow(tag) << stub << stored << QString::fromUtf8(requested) << QString() << -1 << error;
    };
    // minizip cannot find the end record of an empty archive at offset 0.
    const QByteArray stub = "#!/bin/sh\nexit 1\n";
    const QString tooLong = QStringLiteral("Error code 3 (-102).");
    const QByteArray name255 = "d/" + QByteArray(253, 'n');
    const QByteArray name256 = "d/" + QByteArray(254, 'n');
    const QByteArray twoByteLetters256 = QString(128, QChar(0xe9)).toUtf8(); // 128 x "é"
    const QByteArray precomposed = "\xc3\x9cnits.pkg";                       // "Ünits.pkg", U+00DC
    const QByteArray decomposed = "U\xcc\x88nits.pkg";                       // U and U+0308
    const QByteArray lowerNonAscii = "\xc3\xbcnits.pkg";                     // "ünits.pkg"

    found("exact-name", {"Update.pkg"}, "Update.pkg", 0);
    found("ascii-case-differs", {"Update.pkg"}, "uPDATE.PKG", 0);
    found("first-of-case-variants", {"update.pkg", "UPDATE.PKG", "Update.pkg"}, "Update.pkg", 0);
    found("first-match-not-first-entry", {"Other.pkg", "UPDATE.PKG", "update.pkg"}, "update.pkg", 1);
    found("folder-part-given", {"Update.pkg", "pkg/Update.pkg"}, "pkg/Update.pkg", 1, "pkg");
    found("folder-part-case-differs", {"Pkg/Update.pkg"}, "pkg/UPDATE.pkg", 0, "pkg");
    found("non-ascii-same-bytes", {precomposed}, precomposed, 0);
    found("name-255-bytes", {name255}, name255, 0, "d");
    found("after-stub", {"Update.pkg"}, "Update.pkg", 0, "", stub);
    missing("folder-part-missing", {"pkg/Update.pkg"}, "Update.pkg", notFound);
    missing("not-in-archive", {"Update.pkg"}, "Other.pkg", notFound);
    missing("prefix-of-stored-name", {"Update.pkg.old"}, "Update.pkg", notFound);
    missing("no-entries-after-stub", {}, "Update.pkg", notFound, stub);
    missing("non-ascii-case-differs", {lowerNonAscii}, precomposed, notFound);
    missing("non-ascii-decomposed", {decomposed}, precomposed, notFound);
    missing("name-256-bytes", {name256}, name256, tooLong);
    missing("two-byte-letters-256-bytes", {twoByteLetters256}, twoByteLetters256, tooLong);
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
    ZipBuilder builder;
    for (int i = 0; i < stored.size(); ++i)
        builder.add(stored.at(i), "entry " + QByteArray::number(i), i % 2 ? Method::Stored : Method::Deflated);
    QVERIFY(openArchive(builder, stub));
    const QString dirPath = path("out/deeper");
    if (!subdirectory.isEmpty())
        QVERIFY(QDir().mkpath(dirPath + '/' + subdirectory));

    // when
    const bool ok = unzipper->unzip(requested, dirPath, error);

    // then
    if (expectedEntry < 0) {
        QVERIFY(!ok);
        QCOMPARE(error, expectedError);
        QVERIFY2(!QFileInfo::exists(path("out")), "a failed lookup must leave the disk untouched");
        return;
    }
    QVERIFY2(ok, qPrintable(error));
    QCOMPARE(error, untouched);
    // The output takes the caller's spelling of the name.
    QCOMPARE(contents(dirPath + '/' + requested), "entry " + QByteArray::number(expectedEntry));
    const QFileInfo written(dirPath + '/' + requested);
    QCOMPARE(QDir(written.absolutePath()).entryList(QDir::Files), QStringList{written.fileName()});
}

void tst_Unzipper::copyFails_data()
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
    const QString tooLarge = QStringLiteral("Error code 8 (File too large)");
    for (const bool fileBefore : {false, true}) {
        auto row = [fileBefore](const char *tag, const QByteArray &data, Method method, Damage kind, qint64 argument,
                                bool copyStarted, const QString &expectedError) {
            QTest::newRow(qPrintable(QString(tag) + (fileBefore ? "-over-file" : "")))
                << data << method << kind << argument << fileBefore << copyStarted << expectedError;
        };
        row("broken-local-header", noise(1000), Method::Stored, Damage::BrokenLocalHeader, 0, false, badZip);
        row("unknown-method", text(1000), Method::Deflated, Damage::UnknownMethod, 0, false, badZip);
        // Reads run past the end of the file, which sets no errno.
        row("data-past-end-of-file", noise(1000), Method::Stored, Damage::DataPastEndOfFile, 3 * bufferSize, true,
            "Error code 5 (0).");
        row("invalid-deflate-block", text(1000), Method::Deflated, Damage::InvalidDeflateBlock, 0, true,
            "Error code 6.");
        // 600,000 - 262,144 - 262,144: the data ends in the first chunk.
        row("size-too-large-stored", noise(1000), Method::Stored, Damage::RecordedSize, 600000, true,
            "Error code 7 (75712");
        // 1,000,000 - 3 x 262,144: the data ends in the second chunk.
        row("size-too-large-deflated", text(300000), Method::Deflated, Damage::RecordedSize, 1000000, true,
            "Error code 7 (213568");
        // The data ends inside the last chunk asked for: the loop reaches the
        // recorded size, but 500 (then 100,000) bytes never came.
        row("size-short-in-last-chunk-stored", noise(1000), Method::Stored, Damage::RecordedSize, 1500, true,
            "Error code 7 (500");
        row("size-short-in-last-chunk-deflated", text(300000), Method::Deflated, Damage::RecordedSize, 400000, true,
            "Error code 7 (100000");
        row("size-too-small", text(300000), Method::Deflated, Damage::RecordedSize, 200000, true, badCrc);
        row("flipped-byte-first-chunk", noise(1000), Method::Stored, Damage::FlippedByte, 0, true, badCrc);
        row("flipped-byte-last-chunk", noise(bufferSize + 1), Method::Stored, Damage::FlippedByte, bufferSize, true,
            badCrc);
        row("wrong-crc-deflated", text(3 * bufferSize), Method::Deflated, Damage::WrongCrc, 0x12345678, true, badCrc);
        row("wrong-crc-empty", QByteArray(), Method::Stored, Damage::WrongCrc, 1, true, badCrc);
        row("write-nothing-fits", noise(1000), Method::Stored, Damage::FileSizeLimit, 0, true, tooLarge);
        // Smaller than Qt's own write buffer, whose failure would show only on closing.
        row("write-small-entry-cut", noise(1000), Method::Stored, Damage::FileSizeLimit, 100, true, tooLarge);
        row("write-cut-in-first-chunk", text(3 * bufferSize), Method::Deflated, Damage::FileSizeLimit, 1000, true,
            tooLarge);
        row("write-cut-at-chunk-boundary", noise(bufferSize + 1), Method::Stored, Damage::FileSizeLimit, bufferSize,
            true, tooLarge);
        row("write-cut-in-last-chunk", text(2 * bufferSize + 1000), Method::Deflated, Damage::FileSizeLimit,
            2 * bufferSize + 500, true, tooLarge);
    }
}

void tst_Unzipper::copyFails()
{
    QFETCH(QByteArray, data);
    QFETCH(Method, method);
    QFETCH(Damage, kind);
    QFETCH(qint64, argument);
    QFETCH(bool, fileBefore);
    QFETCH(bool, copyStarted);
    QFETCH(QString, expectedError);

    // given
    QVERIFY(writeZip(ZipBuilder().add("Other.pkg", "other").add("Update.pkg", data, method), zipPath));
    QVERIFY(damage(zipPath, "Update.pkg", kind, argument));
    const QString dirPath = path("out");
    const QString outputPath = dirPath + "/Update.pkg";
    const QByteArray before = "a file that was there before";
    if (fileBefore)
        QVERIFY(writeFile(outputPath, before));
    QVERIFY(unzipper->open(zipPath, error));

    // when, for a size limit, the system refuses to grow the output past it
    // (EFBIG) and does not end the process
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit lowered = saved;
    if (kind == Damage::FileSizeLimit)
        lowered.rlim_cur = static_cast<rlim_t>(argument);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    const bool limited = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    const bool ok = limited && unzipper->unzip("Update.pkg", dirPath, error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);

    // then
    QVERIFY(limited);
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

    // The entry was closed again: the archive still serves the next call.
    error = untouched;
    QVERIFY2(unzipper->unzip("Other.pkg", path("next"), error), qPrintable(error));
    QCOMPARE(contents(path("next/Other.pkg")), QByteArray("other"));
}

void tst_Unzipper::outputFails_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("dir");            // below the test's directory, which holds a file named "file"
    QTest::addColumn<QString>("existingFolder"); // made there first, if given
    QTest::addColumn<QString>("expectedError");  // "%1" stands for the test's directory

    auto row = [](const char *tag, const QString &fileName, const QString &dir, const QString &existingFolder,
                  const QString &expectedError) {
        QTest::newRow(tag) << fileName << dir << existingFolder << expectedError;
    };
    const QString notAccessible = QStringLiteral("The directory %1/%2 is not accessible.");
    const QString cannotCreate = QStringLiteral("Failed to create %1/%2 (%3).");
    const QString noSuchFile = QStringLiteral("No such file or directory");
    row("dir-is-a-file", "Update.pkg", "file", "", notAccessible.arg("%1", "file"));
    row("dir-below-a-file", "Update.pkg", "file/out", "", notAccessible.arg("%1", "file/out"));
    row("dir-deep-below-a-file", "Update.pkg", "file/a/b", "", notAccessible.arg("%1", "file/a/b"));
    row("missing-subdirectory", "sub/Update.pkg", "out", "", cannotCreate.arg("%1", "out/sub/Update.pkg", noSuchFile));
    row("missing-subdirectory-trailing-slash", "sub/Update.pkg", "out/", "",
        cannotCreate.arg("%1", "out//sub/Update.pkg", noSuchFile));
    row("output-is-a-folder", "Update.pkg", "out", "out/Update.pkg",
        cannotCreate.arg("%1", "out/Update.pkg", "Is a directory"));
    row("missing-entry", "Missing.pkg", "out", "", "Error code 3 (-100).");
}

void tst_Unzipper::outputFails()
{
    QFETCH(QString, fileName);
    QFETCH(QString, dir);
    QFETCH(QString, existingFolder);
    QFETCH(QString, expectedError);

    QVERIFY(openArchive(ZipBuilder().add("Update.pkg", "update").add("sub/Update.pkg", "sub").add("Other.pkg", "o")));
    QVERIFY(writeFile(path("file"), "in the way"));
    if (!existingFolder.isEmpty())
        QVERIFY(QDir(tmp->path()).mkpath(existingFolder));

    QVERIFY(!unzipper->unzip(fileName, tmp->path() + '/' + dir, error));
    QCOMPARE(error, QString(expectedError).replace("%1", tmp->path()));
    QCOMPARE(contents(path("file")), QByteArray("in the way"));
    // Only the destination itself is made, nothing below it.
    QCOMPARE(QDir(path("out")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             existingFolder.isEmpty() ? QStringList{} : QStringList{"Update.pkg"});

    // The entry was closed again: the archive still serves the next call.
    error = untouched;
    QVERIFY2(unzipper->unzip("Other.pkg", path("next"), error), qPrintable(error));
    QCOMPARE(contents(path("next/Other.pkg")), QByteArray("o"));
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
    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", data, method), zipPath));
    const QString mountPoint = path("small");
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
    arguments += QStringList{"/bin/sh", "-c", script, "sh", mountPoint, TARNWICK_UNZIP_ONE, zipPath};
    arguments += QStringList{QString::number(fillerKiB), fileBefore ? "1" : "0"};

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

void tst_Unzipper::openAndClose_data()
{
    // Run in order: a file to open ("One.zip" and "Two.zip" are archives,
    // the others not), "close", "destroy" or "unzip-missing".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("openArchives");     // afterwards
    QTest::addColumn<QByteArray>("extracted"); // by unzipping next, if not destroyed; null: "Error code 2."

    const QByteArray none;
    QTest::newRow("never-opened") << QStringList{} << 0 << none;
    QTest::newRow("open") << QStringList{"One.zip"} << 1 << QByteArray("one");
    QTest::newRow("close") << QStringList{"One.zip", "close"} << 0 << none;
    QTest::newRow("close-twice") << QStringList{"One.zip", "close", "close"} << 0 << none;
    QTest::newRow("close-without-open") << QStringList{"close"} << 0 << none;
    QTest::newRow("destroy-while-open") << QStringList{"One.zip", "destroy"} << 0 << none;
    QTest::newRow("open-other") << QStringList{"One.zip", "Two.zip"} << 1 << QByteArray("two");
    QTest::newRow("open-same-again") << QStringList{"One.zip", "One.zip"} << 1 << QByteArray("one");
    // A failed open closes the archive opened before.
    for (const char *bad :
         {"missing.zip", "folder.zip", "empty.zip", "text.zip", "no-end-record.zip", "local-only.zip"})
        QTest::newRow(qPrintable(QString(bad).chopped(4) + "-after-open")) << QStringList{"One.zip", bad} << 0 << none;
    QTest::newRow("failed-unzip") << QStringList{"One.zip", "unzip-missing"} << 1 << QByteArray("one");
    QTest::newRow("failed-unzip-then-destroy") << QStringList{"One.zip", "unzip-missing", "destroy"} << 0 << none;
}

void tst_Unzipper::openAndClose()
{
    QFETCH(QStringList, steps);
    QFETCH(int, openArchives);
    QFETCH(QByteArray, extracted);

    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", "one"), path("One.zip")));
    QVERIFY(writeZip(ZipBuilder().add("Update.pkg", "two"), path("Two.zip")));
    const QByteArray valid = contents(path("One.zip"));
    QVERIFY(QDir().mkpath(path("folder.zip")));
    QVERIFY(writeFile(path("empty.zip"), ""));
    QVERIFY(writeFile(path("text.zip"), text(10000)));
    QVERIFY(writeFile(path("no-end-record.zip"), valid.left(valid.size() - 22)));
    QVERIFY(writeFile(path("local-only.zip"), valid.left(valid.indexOf("PK\x01\x02"))));

    const int descriptorsBefore = openDescriptors();
    for (const QString &step : steps) {
        QString stepError = untouched;
        if (step == "close") {
            unzipper->close();
        } else if (step == "destroy") {
            unzipper.reset();
        } else if (step == "unzip-missing") {
            QVERIFY(!unzipper->unzip("Missing.pkg", path("out"), stepError));
        } else {
            const bool isArchive = step == "One.zip" || step == "Two.zip";
            QCOMPARE(unzipper->open(path(step), stepError), isArchive);
            QCOMPARE(stepError, isArchive ? untouched : QStringLiteral("Error code 1."));
        }
    }
    QCOMPARE(openDescriptors() - descriptorsBefore, openArchives);
    if (!unzipper)
        return;

    const bool ok = unzipper->unzip("Update.pkg", path("next"), error);
    if (extracted.isNull()) {
        QVERIFY(!ok);
        QCOMPARE(error, QStringLiteral("Error code 2."));
        QVERIFY(!QFileInfo::exists(path("next")));
    } else {
        QVERIFY2(ok, qPrintable(error));
        QCOMPARE(contents(path("next/Update.pkg")), extracted);
    }
}

QTEST_GUILESS_MAIN(tst_Unzipper)
#include "tst_Unzipper.moc"
