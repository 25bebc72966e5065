#include "NativePlatform.h"
#include "UpdateCompletion.h"

#include <QtTest>

#include <zip.h>

#include <functional>

// The native layer as this test wants it: the privileged run is recorded and
// ends as the row says, after an action of the row's.
namespace {
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
    // A ZIP archive at `path` holding `entries` of `size` bytes each
    // (deflated, patterned), as Python or Info-ZIP would make it.
    static void writeZip(const QString &path, const QStringList &entries, qint64 size)
    {
        zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
        QVERIFY(zip);
        const QByteArray block = QByteArray("stand-in package ").repeated(4096);
        for (const QString &name : entries) {
            zip_fileinfo info{};
            QCOMPARE(zipOpenNewFileInZip64(zip, name.toUtf8().constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                                           Z_DEFLATED, 1, 1),
                     ZIP_OK);
            for (qint64 left = size; left > 0; left -= block.size())
                zipWriteInFileInZip(zip, block.constData(), unsigned(qMin<qint64>(left, block.size())));
            zipCloseFileInZip(zip);
        }
        zipClose(zip, nullptr);
    }
    // An application bundle under `folder` of `dir` whose executable records
    // its start as the file "started" there.
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
    QTest::addColumn<QString>("download"); // the downloaded file's name
    QTest::addColumn<QString>("folder");   // the application's folder, below the test's
    QTest::addColumn<int>("outcome");      // of the privileged run: 0 success, else its error number
    QTest::addColumn<QString>("message");  // empty: no box
    QTest::addColumn<QStringList>("left"); // beside the download
    QTest::addColumn<bool>("installs");    // the installer ran
    QTest::addColumn<bool>("relaunches");

    const auto row = [](const char *name, QString download, QString folder, int outcome, QString message,
                        QStringList left, bool installs, bool relaunches) {
        QTest::newRow(name) << download << folder << outcome << message << left << installs << relaunches;
    };
    const QString fails = "Failed to update.\n\n";
    row("archive-installed", "Update.zip", "Applications", 0, "", {}, true, true);
    row("package-installed", "Update.pkg", "Applications", 0, "", {}, true, true);
    row("a-archive-not-opened", "NotZip.zip", "Applications", 0, fails + "Error code 1.", {"NotZip.zip"}, false, false);
    row("b-package-not-extracted", "Empty.zip", "Applications", 0, fails + "Error code 3 (-100).", {}, false, false);
    row("b-archive-changed", "Changed.zip", "Applications", 0,
        fails + "The archive {downloads}/Changed.zip changed after it was downloaded.", {}, false, false);
    row("c-outside-applications", "Update.zip", "Desktop", 0,
        fails + "Unexpected application path {dir}/Desktop/Example.app", {}, false, false);
    row("d-not-installed", "Update.zip", "Applications", 1, fails + "installer: the package is damaged.", {}, true,
        false);
    row("d-password-dismissed", "Update.pkg", "Applications", -128,
        fails + "The administrator password is required to do this.", {}, true, false);
    row("d-no-digest", "Unhashed.pkg", "Applications", 0,
        fails +
            "The SHA-256 digest of the package {downloads}/Unhashed.pkg could not be computed; it was not installed.",
        {}, false, false);
    row("e-package-not-removed", "Stuck.zip", "Applications", 0, "Failed to remove file.\n\n{downloads}/Stuck.pkg",
        {"Stuck.pkg"}, true, true);
}

void tst_UpdateCompletion::ending()
{
    QFETCH(QString, download);
    QFETCH(QString, folder);
    QFETCH(int, outcome);
    QFETCH(QString, message);
    QFETCH(QStringList, left);
    QFETCH(bool, installs);
    QFETCH(bool, relaunches);

    // given: a download as the downloader leaves it, and an application
    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString downloads = dir.filePath("downloads");
    QVERIFY(QDir().mkpath(downloads));
    const QString filePath = downloads + "/" + download;
    const QString package = QFileInfo(download).completeBaseName();
    if (download.endsWith(".zip") && download != "NotZip.zip")
        writeZip(filePath, download == "Empty.zip" ? QStringList{"Other.pkg"} : QStringList{package + ".pkg"}, 70000);
    else {
        QFile file(filePath);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(5000, 'p')) == 5000);
    }
    const std::optional<FileIdentity> identity = FileIdentity::ofPath(filePath);
    QByteArray sha256;
    if (download.endsWith(".pkg") && download != "Unhashed.pkg")
        sha256 = QCryptographicHash::hash(QByteArray(5000, 'p'), QCryptographicHash::Sha256);
    if (download == "Changed.zip") {
        QFile file(filePath);
        QVERIFY(file.open(QIODevice::Append) && file.write("x") == 1);
    }
    const QString app = makeApplication(dir, folder);
    if (outcome == -128)
        nextOutcome = {false, -128, std::string("User canceled.")};
    else if (outcome != 0)
        nextOutcome = {false, outcome, std::string("installer: the package is damaged.")};
    if (download == "Stuck.zip")
        duringRun = [=] { QFile::remove(downloads + "/Stuck.pkg"), QDir().mkpath(downloads + "/Stuck.pkg/x"); };

    // when
    UpdateCompletion completion(app, {filePath, sha256, identity});
    QSignalSpy ended(&completion, &UpdateCompletion::ended);
    completion.start();

    // then
    QVERIFY(ended.count() == 1 || ended.wait(20000));
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.first().first().toString(), message.replace("{downloads}", downloads).replace("{dir}", dir.path()));
    QStringList leftNames = QDir(downloads).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    QCOMPARE(leftNames, left);
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
    writeZip(archive, {"Update.pkg"}, 512 << 20);
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
