#include "AppleRootCertificate.h"
#include "NativePlatform.h"
#include "PackageSignatureCheck.h"
#include "UpdateCompletion.h"

#include <QtTest>

#include <zip.h>

#include <functional>

// What the downloader left: Update.pkg for the first three, else Update.zip.
enum class Given {
    Package,          // with its digest
    UnhashedPackage,  // without a digest
    SignedPackage,    // tests/data's valid.pkg, signed by team T4SK8ZXCXG with Apple's timestamp
    Archive,          // holding Update.pkg
    ArchiveOfAnother, // holding another package only
    NotAnArchive,
    ChangedArchive, // changed after the download's last write
    SignedArchive,  // holding the signed package
};
Q_DECLARE_METATYPE(Given)

// The privileged run is counted and ends as the row says, after an action of the row's.
namespace {
// Within the signing certificate's validity, as the check's clock.
const QDateTime checkedAt(QDate(2026, 6, 1), QTime(12, 0), Qt::UTC);
int runs = 0;
NativePlatform::ScriptOutcome nextOutcome;
std::function<void()> duringRun;
} // namespace

namespace NativePlatform {
void setupTitleBar(void *) {}
std::string bundlePath()
{
    return std::string();
}
ScriptOutcome runPrivilegedScript(const PrivilegedCommand &)
{
    ++runs;
    if (duringRun)
        duringRun();
    return nextOutcome;
}
std::vector<int> processesInsideBundle(const std::string &)
{
    return {}; // the application has quit: the waiting is the window's test
}
} // namespace NativePlatform

// The completion of a downloaded update, one row per way it can end: the
// message shown, the files left beside the download, whether the installer
// ran and whether the application was started again.
class tst_UpdateCompletion : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void ending_data();
    void ending();
    void cancelDuringExtraction();

private:
    // A ZIP archive at `path` holding `entries` (name, bytes written `repeat` times), deflated.
    static void writeZip(const QString &path, const QList<QPair<QString, QByteArray>> &entries, int repeat = 1)
    {
        zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
        QVERIFY(zip);
        for (const auto &[name, data] : entries) {
            zip_fileinfo info{};
            QCOMPARE(zipOpenNewFileInZip64(zip, name.toUtf8().constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                                           Z_DEFLATED, 1, 1),
                     ZIP_OK);
            for (int i = 0; i < repeat; ++i)
                QCOMPARE(zipWriteInFileInZip(zip, data.constData(), unsigned(data.size())), ZIP_OK);
            zipCloseFileInZip(zip);
        }
        zipClose(zip, nullptr);
    }
    static bool write(const QString &path, const QByteArray &data, QIODevice::OpenMode mode = QIODevice::WriteOnly)
    {
        QFile file(path);
        return file.open(mode) && file.write(data) == data.size();
    }
    // An application bundle under `folder` of `dir` whose executable records its start as the file "started" there.
    static QString makeApplication(const QTemporaryDir &dir, const QString &folder)
    {
        const QString app = dir.filePath(folder + "/Example.app");
        QDir().mkpath(app + "/Contents/MacOS");
        QFile executable(app + "/Contents/MacOS/Example");
        if (!executable.open(QIODevice::WriteOnly))
            return QString();
        executable.write("#!/bin/sh\necho started >> '" + QFile::encodeName(dir.filePath("started")) + "'\n");
        executable.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return app;
    }
};

void tst_UpdateCompletion::init()
{
    runs = 0;
    nextOutcome = NativePlatform::ScriptOutcome{true, std::nullopt, std::nullopt};
    duringRun = nullptr;
}

void tst_UpdateCompletion::ending_data()
{
    QTest::addColumn<Given>("given");
    QTest::addColumn<QString>("team");     // the team pin; empty: none
    QTest::addColumn<QString>("folder");   // the application's folder, below the test's
    QTest::addColumn<int>("outcome");      // of the privileged run: 0 success, else its error number
    QTest::addColumn<bool>("jams");        // the installation leaves a folder at the package's path
    QTest::addColumn<QString>("message");  // empty: no box
    QTest::addColumn<QStringList>("left"); // beside the download
    QTest::addColumn<bool>("installs");    // the installer ran
    QTest::addColumn<bool>("relaunches");

    const auto row = [](const char *name, Given given, QString team, QString folder, int outcome, bool jams,
                        QString message, QStringList left, bool installs, bool relaunches) {
        QTest::newRow(name) << given << team << folder << outcome << jams << message << left << installs << relaunches;
    };
    const QString fails = "Failed to update.\n\n";
    const QString team = "T4SK8ZXCXG";
    const QString apps = "Applications";
    row("archive-installed", Given::Archive, "", apps, 0, false, "", {}, true, true);
    row("package-installed", Given::Package, "", apps, 0, false, "", {}, true, true);
    row("a-archive-not-opened", Given::NotAnArchive, "", apps, 0, false, fails + "Error code 1.", {"Update.zip"}, false,
        false);
    row("b-package-not-extracted", Given::ArchiveOfAnother, "", apps, 0, false, fails + "Error code 3 (-100).", {},
        false, false);
    row("b-archive-changed", Given::ChangedArchive, "", apps, 0, false,
        fails + "The archive {downloads}/Update.zip changed after it was downloaded.", {}, false, false);
    row("c-outside-applications", Given::Archive, "", "Desktop", 0, false,
        fails + "Unexpected application path {dir}/Desktop/Example.app", {}, false, false);
    row("d-not-installed", Given::Archive, "", apps, 1, false, fails + "installer: the package is damaged.", {}, true,
        false);
    row("d-password-dismissed", Given::Package, "", apps, -128, false,
        fails + "The administrator password is required to do this.", {}, true, false);
    row("d-no-digest", Given::UnhashedPackage, "", apps, 0, false,
        fails + "The SHA-256 digest of the package {downloads}/Update.pkg could not be computed; it was not installed.",
        {}, false, false);
    row("e-package-not-removed", Given::Archive, "", apps, 0, true, "Failed to remove file.\n\n{downloads}/Update.pkg",
        {"Update.pkg"}, true, true);
    // With a team pin: the package downloaded was checked as it was written, the extracted one is checked here.
    row("signed-package-installed", Given::SignedPackage, team, apps, 0, false, "", {}, true, true);
    row("signed-archive-installed", Given::SignedArchive, team, apps, 0, false, "", {}, true, true);
    row("signed-by-another-team", Given::SignedArchive, "A1B2C3D4E5", apps, 0, false,
        fails + "Update.pkg is signed by the team T4SK8ZXCXG, not by A1B2C3D4E5.", {}, false, false);
    row("unsigned-package", Given::Package, team, apps, 0, false,
        fails + "Update.pkg is not an installer package: it is not a xar archive.", {}, false, false);
    row("unsigned-archive-outside-applications", Given::Archive, team, "Desktop", 0, false,
        fails + "Unexpected application path {dir}/Desktop/Example.app", {}, false, false);
}

void tst_UpdateCompletion::ending()
{
    QFETCH(Given, given);
    QFETCH(QString, team);
    QFETCH(QString, folder);
    QFETCH(int, outcome);
    QFETCH(bool, jams);
    QFETCH(QString, message);
    QFETCH(QStringList, left);
    QFETCH(bool, installs);
    QFETCH(bool, relaunches);

    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString downloads = dir.filePath("downloads");
    QVERIFY(QDir().mkpath(downloads));
    const bool packageRoad = given <= Given::SignedPackage;
    const QString filePath = downloads + (packageRoad ? "/Update.pkg" : "/Update.zip");
    QByteArray package(5000, 'p');
    if (given == Given::SignedPackage || given == Given::SignedArchive) {
        QFile file(QStringLiteral(TARNWICK_TEST_DATA "/packages/valid.pkg"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        package = file.readAll();
    }
    switch (given) {
    case Given::Archive:
    case Given::ChangedArchive:
    case Given::SignedArchive:
        writeZip(filePath, {{"Update.pkg", package}});
        break;
    case Given::ArchiveOfAnother:
        writeZip(filePath, {{"Other.pkg", package}});
        break;
    default:
        QVERIFY(write(filePath, package));
    }
    const std::optional<FileIdentity> identity = FileIdentity::ofPath(filePath);
    const QByteArray sha256 = packageRoad && given != Given::UnhashedPackage
                                  ? QCryptographicHash::hash(package, QCryptographicHash::Sha256)
                                  : QByteArray();
    if (given == Given::ChangedArchive)
        QVERIFY(write(filePath, "x", QIODevice::Append));
    const QString app = makeApplication(dir, folder);
    if (outcome == -128)
        nextOutcome = {false, -128, std::string("User canceled.")};
    else if (outcome != 0)
        nextOutcome = {false, outcome, std::string("installer: the package is damaged.")};
    if (jams)
        duringRun = [=] { QFile::remove(downloads + "/Update.pkg"), QDir().mkpath(downloads + "/Update.pkg/x"); };

    UpdateCompletion completion(app, {filePath, sha256, identity});
    if (!team.isEmpty()) {
        auto check = std::make_unique<PackageSignatureCheck>(team, appleRootCertificate(), checkedAt);
        // On the package road the downloader feeds it as it writes.
        if (packageRoad)
            check->consume(package.constData(), package.size());
        completion.requireSignature(std::move(check));
    }
    QSignalSpy ended(&completion, &UpdateCompletion::ended);
    completion.start();

    QVERIFY(ended.count() == 1 || ended.wait(20000));
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.first().first().toString(), message.replace("{downloads}", downloads).replace("{dir}", dir.path()));
    QCOMPARE(QDir(downloads).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), left);
    QCOMPARE(runs, installs ? 1 : 0);
    if (relaunches)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("started")), 10000);
    else
        QTest::qWait(200); // a start that should not come
    QCOMPARE(QFile::exists(dir.filePath("started")), relaunches);
}

// CANCEL UPDATE while the package is being extracted: the extraction stops,
// its package is removed, nothing is installed or started, no box follows.
void tst_UpdateCompletion::cancelDuringExtraction()
{
    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString archive = dir.filePath("Update.zip");
    writeZip(archive, {{"Update.pkg", QByteArray("stand-in package ").repeated(1 << 16)}}, 512);
    const QString app = makeApplication(dir, "Applications");

    UpdateCompletion completion(app, {archive, QByteArray(), FileIdentity::ofPath(archive)});
    QSignalSpy ended(&completion, &UpdateCompletion::ended);
    completion.start();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("Update.pkg")), 20000);
    completion.cancel();

    QVERIFY(!QFile::exists(dir.filePath("Update.pkg")));
    QVERIFY(QFile::exists(archive)); // the window's CANCEL UPDATE removes the download
    QTest::qWait(300);
    QCOMPARE(ended.count(), 0);
    QCOMPARE(runs, 0);
    QVERIFY(!QFile::exists(dir.filePath("started")));
}

QTEST_GUILESS_MAIN(tst_UpdateCompletion)
#include "tst_UpdateCompletion.moc"
