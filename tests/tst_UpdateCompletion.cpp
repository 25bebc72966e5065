#include "AppleRootCertificate.h"
#include "NativeStub.h"
#include "PackageSignatureCheck.h"
#include "UpdateCompletion.h"
#include "Zips.h"

#include <QtTest>

// Within the signing certificate's validity, as the check's clock.
const QDateTime checkedAt(QDate(2026, 6, 1), QTime(12, 0), Qt::UTC);

// The completion of a downloaded update, one row per way it can end: the
// message shown, the files left beside the download, whether the installer
// ran and whether the application was started again.
class tst_UpdateCompletion : public QObject
{
    Q_OBJECT

private slots:
    void init() { NativeStub::reset(); } // the application has quit: the waiting is the window's test
    void ending_data();
    void ending();
    void cancelDuringExtraction();

private:
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

void tst_UpdateCompletion::ending_data()
{
    // What the downloader left: a package "pkg" (with its digest, "unhashed" without, "signed": tests/data's
    // valid.pkg, signed by team T4SK8ZXCXG with Apple's timestamp), or a "zip" of Update.pkg ("signed-zip": of the
    // signed one, "changed-zip": changed after the download's last write), of "Other.pkg" only, or "not-zip".
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("team");     // the team pin; empty: none
    QTest::addColumn<QString>("folder");   // the application's folder, below the test's
    QTest::addColumn<int>("outcome");      // of the privileged run: 0 success, else its error number
    QTest::addColumn<bool>("jams");        // the installation leaves a folder at the package's path
    QTest::addColumn<QString>("message");  // empty: no box
    QTest::addColumn<QStringList>("left"); // beside the download
    QTest::addColumn<bool>("installs");    // the installer ran
    QTest::addColumn<bool>("relaunches");

    const auto row = [](const char *name, QString given, QString team, QString folder, int outcome, bool jams,
                        QString message, QStringList left, bool installs, bool relaunches) {
        QTest::newRow(name) << given << team << folder << outcome << jams << message << left << installs << relaunches;
    };
    const QString fails = "Failed to update.\n\n";
    const QString team = "T4SK8ZXCXG";
    const QString apps = "Applications";
    row("archive-installed", "zip", "", apps, 0, false, "", {}, true, true);
    row("package-installed", "pkg", "", apps, 0, false, "", {}, true, true);
    row("a-archive-not-opened", "not-zip", "", apps, 0, false, fails + "Error code 1.", {"Update.zip"}, false, false);
    row("b-package-not-extracted", "other-zip", "", apps, 0, false, fails + "Error code 3 (-100).", {}, false, false);
    row("b-archive-changed", "changed-zip", "", apps, 0, false,
        fails + "The archive {downloads}/Update.zip changed after it was downloaded.", {}, false, false);
    row("c-outside-applications", "zip", "", "Desktop", 0, false,
        fails + "Unexpected application path {dir}/Desktop/Example.app", {}, false, false);
    row("d-not-installed", "zip", "", apps, 1, false, fails + "installer: the package is damaged.", {}, true, false);
    row("d-password-dismissed", "pkg", "", apps, -128, false,
        fails + "The administrator password is required to do this.", {}, true, false);
    row("d-no-digest", "unhashed", "", apps, 0, false,
        fails + "The SHA-256 digest of the package {downloads}/Update.pkg could not be computed; it was not installed.",
        {}, false, false);
    row("e-package-not-removed", "zip", "", apps, 0, true, "Failed to remove file.\n\n{downloads}/Update.pkg",
        {"Update.pkg"}, true, true);
    // With a team pin: the package downloaded was checked as it was written, the extracted one is checked here.
    row("signed-package-installed", "signed", team, apps, 0, false, "", {}, true, true);
    row("signed-archive-installed", "signed-zip", team, apps, 0, false, "", {}, true, true);
    row("signed-by-another-team", "signed-zip", "A1B2C3D4E5", apps, 0, false,
        fails + "Update.pkg is signed by the team T4SK8ZXCXG, not by A1B2C3D4E5.", {}, false, false);
    row("unsigned-package", "pkg", team, apps, 0, false,
        fails + "Update.pkg is not an installer package: it is not a xar archive.", {}, false, false);
    row("unsigned-archive-outside-applications", "zip", team, "Desktop", 0, false,
        fails + "Unexpected application path {dir}/Desktop/Example.app", {}, false, false);
}

void tst_UpdateCompletion::ending()
{
    QFETCH(QString, given);
    QFETCH(QString, team);
    QFETCH(QString, folder);
    QFETCH(int, outcome);
    QFETCH(bool, jams);
    QFETCH(QString, message);
    QFETCH(QStringList, left);
    QFETCH(bool, installs);
    QFETCH(bool, relaunches);

    const QTemporaryDir dir;
    const QString downloads = dir.filePath("downloads");
    QVERIFY(QDir().mkpath(downloads));
    const bool packageRoad = !given.endsWith("zip");
    const QString filePath = downloads + (packageRoad ? "/Update.pkg" : "/Update.zip");
    QByteArray package(5000, 'p');
    if (given.startsWith("signed")) {
        QFile file(QStringLiteral(TARNWICK_TEST_DATA "/packages/valid.pkg"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        package = file.readAll();
    }
    QFile file(filePath);
    if (packageRoad || given == "not-zip")
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(package) == package.size());
    else
        QVERIFY(
            writeZip(filePath, {{given == "other-zip" ? "Other.pkg" : "Update.pkg", package}}, Z_DEFLATED, 1, true));
    file.close();
    const std::optional<FileIdentity> identity = FileIdentity::ofPath(filePath);
    const QByteArray sha256 = packageRoad && given != "unhashed"
                                  ? QCryptographicHash::hash(package, QCryptographicHash::Sha256)
                                  : QByteArray();
    if (given == "changed-zip")
        QVERIFY(file.open(QIODevice::Append) && file.write("x") == 1 && file.flush());
    const QString app = makeApplication(dir, folder);
    if (outcome == -128)
        NativeStub::outcome = {false, -128, std::string("User canceled.")};
    else if (outcome != 0)
        NativeStub::outcome = {false, outcome, std::string("installer: the package is damaged.")};
    if (jams) // during the privileged run, not at the look for the application before it
        NativeStub::observe = [=] {
            if (NativeStub::privilegedRuns)
                QFile::remove(downloads + "/Update.pkg"), QDir().mkpath(downloads + "/Update.pkg/x");
        };

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
    QCOMPARE(NativeStub::privilegedRuns, installs ? 1 : 0);
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
    const QString archive = dir.filePath("Update.zip");
    QVERIFY(writeZip(archive, {{"Update.pkg", QByteArray("stand-in package ").repeated(1 << 16)}}, Z_DEFLATED, 1, true,
                     512));
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
    QCOMPARE(NativeStub::privilegedRuns, 0);
    QVERIFY(!QFile::exists(dir.filePath("started")));
}

QTEST_GUILESS_MAIN(tst_UpdateCompletion)
#include "tst_UpdateCompletion.moc"
