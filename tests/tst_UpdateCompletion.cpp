#include "AppleRootCertificate.h"
#include "InstallCommand.h"
#include "NativeStub.h"
#include "PackageSignatureCheck.h"
#include "StreamingUnzipper.h"
#include "UpdateCompletion.h"
#include "Zips.h"

#include <QtTest>

// Within the signing certificate's validity, as the check's clock.
const QDateTime checkedAt(QDate(2026, 6, 1), QTime(12, 0), Qt::UTC);

// The completion of a downloaded update, one row per way it can end before the installer runs that the whole updates of
// tests/e2e do not take: the message shown, and nothing left beside the download.
class tst_UpdateCompletion : public QObject
{
    Q_OBJECT

private slots:
    void init() { NativeStub::reset(); } // the application has quit: the waiting is the window's test

    void ending_data()
    {
        // What the downloader left: a package without its digest ("unhashed"), or a "zip" of Update.pkg, a stand-in or
        // ("signed-zip") tests/data's valid.pkg, signed by team T4SK8ZXCXG with Apple's timestamp; "streamed-misnamed":
        // a zip streamed as it downloaded, whose central directory names Update.pkX; "not-a-zip" beside an Update.pkg
        // that is not the updater's.
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("team");   // the team pin; empty: none
        QTest::addColumn<QString>("folder"); // the application's, below the test's
        QTest::addColumn<QString>("message");

        const auto row = [](const char *name, QString given, QString team, QString folder, QString message) {
            QTest::newRow(name) << given << team << folder << "Failed to update.\n\n" + message;
        };
        const QString apps = "Applications";
        row("no-digest", "unhashed", "", apps,
            "The SHA-256 digest of the package {downloads}/Update.pkg could not be computed; it was not installed.");
        row("signed-by-another-team", "signed-zip", "A1B2C3D4E5", apps,
            "Update.pkg is signed by the team T4SK8ZXCXG, not by A1B2C3D4E5.");
        // Signed by the team, but a launch agent's package: it updates no application.
        row("signed-for-no-application", "signed-zip", "T4SK8ZXCXG", apps,
            "Update.pkg names no application bundle that it installs.");
        // The application's place is refused before the package's signature is looked at.
        row("unsigned-archive-outside-applications", "zip", "T4SK8ZXCXG", "Desktop",
            "Unexpected application path {dir}/Desktop/Example.app");
        // The streamed package goes with the archive.
        row("streamed-directory-names-another", "streamed-misnamed", "", apps, "Error code 3 (-100).");
        // Nothing was extracted: the file of the package's name is someone else's, and stays with the download.
        row("archive-not-opened", "not-a-zip", "", apps, "Error code 1.");
    }

    void ending()
    {
        QFETCH(QString, given);
        QFETCH(QString, team);
        QFETCH(QString, folder);
        QFETCH(QString, message);

        const QTemporaryDir dir;
        const QString downloads = dir.filePath("downloads");
        QVERIFY(QDir().mkpath(downloads));
        const bool archive = given != "unhashed";
        const QString filePath = downloads + (archive ? "/Update.zip" : "/Update.pkg");
        QByteArray package(5000, 'p');
        QFile file(given == "signed-zip" ? QStringLiteral(TARNWICK_TEST_DATA "/packages/valid.pkg") : filePath);
        if (given == "signed-zip")
            QVERIFY(file.open(QIODevice::ReadOnly) && !(package = file.readAll()).isEmpty());
        if (given == "not-a-zip") {
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("not a zip") == 9);
            file.close();
            file.setFileName(downloads + "/Update.pkg");
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(package) == package.size());
        } else if (archive)
            QVERIFY(writeZip(filePath, {{"Update.pkg", package}}, Z_DEFLATED, 1, true));
        else
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(package) == package.size());
        file.close();
        auto streaming = std::make_unique<StreamingUnzipper>(downloads + "/Update.pkg");
        if (given == "streamed-misnamed") {
            QFile zip(filePath);
            QVERIFY(zip.open(QIODevice::ReadWrite));
            QByteArray bytes = zip.readAll();
            bytes[int(bytes.indexOf("PK\x01\x02")) + 46 + 9] = 'X';
            QVERIFY(zip.seek(0) && zip.write(bytes) == bytes.size());
            zip.close();
            streaming->consumeShared(bytes);
        }

        UpdateCompletion completion(dir.filePath(folder + "/Example.app"),
                                    {filePath, QByteArray(), FileIdentity::ofPath(filePath)});
        if (given == "streamed-misnamed")
            completion.takeStreamedPackage(std::move(streaming), nullptr);
        if (!team.isEmpty())
            completion.requireSignature(
                std::make_unique<PackageSignatureCheck>(team, appleRootCertificate(), checkedAt));
        QSignalSpy ended(&completion, &UpdateCompletion::ended);
        completion.start();

        QVERIFY(ended.count() == 1 || ended.wait(20000));
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.first().first().toString(),
                 message.replace("{downloads}", downloads).replace("{dir}", dir.path()));
        QCOMPARE(QDir(downloads).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 given == "not-a-zip" ? QStringList({"Update.pkg", "Update.zip"}) : QStringList());
        QCOMPARE(NativeStub::privilegedRuns, 0);
    }

    // Cancelled once the extraction has ended, before its end has reached the completion: nothing is installed, the
    // package goes, and ended() never comes.
    void cancelledAsExtractionEnds()
    {
        const QTemporaryDir dir;
        const QString downloads = dir.filePath("downloads"), archive = downloads + "/Update.zip";
        QVERIFY(QDir().mkpath(downloads) && writeZip(archive, {{"Update.pkg", QByteArray(5000, 'p')}}));
        UpdateCompletion completion(dir.filePath("Applications/Example.app"),
                                    {archive, QByteArray(), FileIdentity::ofPath(archive)});
        QSignalSpy ended(&completion, &UpdateCompletion::ended);
        completion.start();
        // Without events meanwhile: the worker's end waits in the queue.
        for (int i = 0; i < 1000 && QFileInfo(downloads + "/Update.pkg").size() != 5000; ++i)
            QThread::msleep(10);
        QThread::msleep(300);
        completion.cancel();
        QVERIFY(!ended.wait(1000));
        QCOMPARE(NativeStub::privilegedRuns, 0);
        QCOMPARE(QDir(downloads).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList({"Update.zip"}));
    }

    void startedDuringThePrompt_data()
    {
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("installed-once-quit") << false;
        QTest::newRow("cancelled-while-waiting-again") << true;
    }

    // A copy of the application started while the password was asked for: root installs nothing and says so, and the
    // completion waits as before the prompt, seeing the copy on two checks. Once it has quit, root runs again;
    // cancelled meanwhile, nothing more runs and the package goes (the window removes the download).
    void startedDuringThePrompt()
    {
        QFETCH(bool, cancelled);

        const QTemporaryDir dir;
        const QString downloads = dir.filePath("downloads"), archive = downloads + "/Update.zip";
        QVERIFY(QDir().mkpath(downloads) && writeZip(archive, {{"Update.pkg", QByteArray(5000, 'p')}}));
        NativeStub::outcomes = {{false, InstallCommand::applicationRunsStatus, InstallCommand::applicationRuns}};
        int checksSinceRoot = 0;
        NativeStub::observe = [&] { NativeStub::running = NativeStub::privilegedRuns == 1 && ++checksSinceRoot <= 2; };
        UpdateCompletion completion(dir.filePath("Applications/Example.app"),
                                    {archive, QByteArray(), FileIdentity::ofPath(archive)});
        QSignalSpy ended(&completion, &UpdateCompletion::ended);
        QSignalSpy waiting(&completion, &UpdateCompletion::waitingForApplication);
        completion.start();

        QTRY_COMPARE_WITH_TIMEOUT(checksSinceRoot, 1, 10000);
        QCOMPARE(waiting.count(), 1);
        if (cancelled)
            completion.cancel();
        QCOMPARE(ended.wait(cancelled ? 1200 : 10000), !cancelled); // past the checks that find it gone
        QCOMPARE(ended.value(0).value(0).toString(), QString());
        QCOMPARE(checksSinceRoot, cancelled ? 1 : 3);
        QCOMPARE(NativeStub::privilegedRuns, cancelled ? 1 : 2);
        QCOMPARE(QDir(downloads).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 cancelled ? QStringList{"Update.zip"} : QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_UpdateCompletion)
#include "tst_UpdateCompletion.moc"
