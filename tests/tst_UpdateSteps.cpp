#include "BundleLocation.h"
#include "InstallCommand.h"
#include "UpdateSteps.h"

#include <QtTest>

// The text logic of an update: paths, progress, the install command and its outcome.
class tst_UpdateSteps : public QObject
{
    Q_OBJECT

private slots:
    void paths_data();
    void paths();
    void progress_data();
    void progress();
    void command_data();
    void command();
    void outcome_data();
    void outcome();
};

void tst_UpdateSteps::paths_data()
{
    QTest::addColumn<QString>("appPath");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("program");

    QTest::newRow("system") << "/Applications/Example.app"
                            << "/"
                            << "/Applications/Example.app/Contents/MacOS/Example";
    QTest::newRow("other-volume") << "/Volumes/Data/Applications/Example.app"
                                  << "/Volumes/Data/"
                                  << "/Volumes/Data/Applications/Example.app/Contents/MacOS/Example";
    QTest::newRow("several-dots") << "/Applications/Example 2.5.app"
                                  << "/"
                                  << "/Applications/Example 2.5.app/Contents/MacOS/Example 2";
    QTest::newRow("not-below-applications")
        << "/Users/me/Desktop/Example.app" << QString() << "/Users/me/Desktop/Example.app/Contents/MacOS/Example";
    QTest::newRow("lower-case") << "/applications/E.app" << QString() << "/applications/E.app/Contents/MacOS/E";
    QTest::newRow("text-search") << "/V/ApplicationsOld/E.app"
                                 << "/V/"
                                 << "/V/ApplicationsOld/E.app/Contents/MacOS/E";
    QTest::newRow("first-occurrence") << "/x/Applications/y/Applications/E.app"
                                      << "/x/"
                                      << "/x/Applications/y/Applications/E.app/Contents/MacOS/E";
}

void tst_UpdateSteps::paths()
{
    QFETCH(QString, appPath);
    QFETCH(QString, target);
    QFETCH(QString, program);

    QCOMPARE(UpdateSteps::installationTarget(appPath), target);
    QCOMPARE(UpdateSteps::relaunchProgram(appPath), program);
    // The same rule finds the updater's own bundle from its executable.
    QCOMPARE(bundlePathForExecutable(program), appPath);
    QCOMPARE(bundlePathForExecutable(appPath + "/Contents/Other/x"), appPath + "/Contents/Other");
    QCOMPARE(bundlePathForExecutable(appPath + "/MacOS/x"), appPath + "/MacOS");
    QCOMPARE(bundlePathForExecutable(appPath.chopped(4) + "/Contents/MacOS/x"), appPath.chopped(4) + "/Contents/MacOS");
    QCOMPARE(UpdateSteps::isArchive(appPath + ".zIp"), true);
    QCOMPARE(UpdateSteps::packagePathForArchive(appPath + ".zIp"), appPath + ".pkg");
    QCOMPARE(UpdateSteps::isArchive(appPath + "zip"), false);
}

void tst_UpdateSteps::progress_data()
{
    QTest::addColumn<qulonglong>("received");
    QTest::addColumn<qulonglong>("total");
    QTest::addColumn<int>("value"); // -1: no change

    QTest::newRow("total-zero") << 5000ull << 0ull << -1;
    QTest::newRow("nothing-yet") << 0ull << 5000ull << 30;
    QTest::newRow("floor") << 150ull << 5000ull << 30;
    QTest::newRow("above-floor") << 155ull << 5000ull << 31;
    QTest::newRow("full") << 5000ull << 5000ull << 1000;
    QTest::newRow("more-than-announced") << 6000ull << 5000ull << 1200;
    QTest::newRow("unknown-size") << 123456789ull << ~0ull << 30;
    QTest::newRow("product-wraps") << (1ull << 61) << (1ull << 61) << 30;
    QTest::newRow("large-without-wrap") << (1ull << 50) << (1ull << 51) << 500;
    QTest::newRow("low-bits-negative") << 0x80000000ull << 1000ull << 30;
    QTest::newRow("quotient-above-32-bits") << (1ull << 32) + 500 << 1000ull << 500;
}

void tst_UpdateSteps::progress()
{
    QFETCH(qulonglong, received);
    QFETCH(qulonglong, total);
    QFETCH(int, value);

    QCOMPARE(UpdateSteps::progressValue(received, total).value_or(-1), value);
}

void tst_UpdateSteps::command_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("expected"); // the AppleScript source, or the refusal

    QTest::newRow("plain") << "/d/Update.pkg"
                           << "/"
                           << "do shell script \"/usr/sbin/installer -pkg '/d/Update.pkg' -target '/'\" with "
                              "administrator privileges";
    QTest::newRow("quotes-backslash-format") << "/t/it's \"q\" \\ %@.pkg"
                                             << "/V/Jo's/"
                                             << "do shell script \"/usr/sbin/installer -pkg '/t/it'\\\\''s \\\"q\\\" "
                                                "\\\\ %@.pkg' -target '/V/Jo'\\\\''s/'\" with administrator privileges";
    QTest::newRow("non-ascii") << QString::fromUtf8("/t/Été 更新.pkg") << "/"
                               << QString::fromUtf8("do shell script \"/usr/sbin/installer -pkg '/t/Été 更新.pkg' "
                                                    "-target '/'\" with administrator privileges");
    QTest::newRow("line-feed") << "/t/a\nb.pkg"
                               << "/"
                               << "The package path \"/t/a\\nb.pkg\" contains a control character; it was not "
                                  "installed.";
    QTest::newRow("delete-and-cr") << QString("/t/\x7f\r") << "/"
                                   << "The package path \"/t/\\x7f\\r\" contains a control character; it was not "
                                      "installed.";
    QTest::newRow("unit-separator-in-target")
        << "/d/Update.pkg" << QString("/V/\x1f\t/")
        << "The installation target \"/V/\\x1f\\t/\" contains a control character; nothing was installed.";
    QTest::newRow("c1-is-not-control") << QString::fromUtf8("/t/\u0085 .pkg") << "/"
                                       << QString::fromUtf8("do shell script \"/usr/sbin/installer -pkg '/t/\u0085 "
                                                            ".pkg' -target '/'\" with administrator privileges");
}

// The shell form is checked by running it: see the end-to-end paths.
void tst_UpdateSteps::command()
{
    QFETCH(QString, package);
    QFETCH(QString, target);
    QFETCH(QString, expected);

    NativePlatform::PrivilegedCommand command{"untouched", "untouched"};
    QString error;
    const bool made = InstallCommand::makeCommand(package, target, command, error);
    QCOMPARE(made ? QString::fromStdString(command.appleScriptSource) : error, expected);
    QCOMPARE(command.shellCommand == "untouched", !made);
}

void tst_UpdateSteps::outcome_data()
{
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<int>("number");         // 0: none
    QTest::addColumn<QByteArray>("message"); // null: none
    QTest::addColumn<QString>("error");      // null: success, error untouched

    QTest::newRow("success") << true << 1 << QByteArray("ignored") << QString();
    QTest::newRow("cancelled") << false << -128 << QByteArray("User canceled.")
                               << "The administrator password is required to do this.";
    QTest::newRow("message") << false << 1 << QByteArray("installer: damaged \xc3\xa9")
                             << QString::fromUtf8("installer: damaged é");
    QTest::newRow("nothing") << false << 128 << QByteArray() << "";
}

void tst_UpdateSteps::outcome()
{
    QFETCH(bool, succeeded);
    QFETCH(int, number);
    QFETCH(QByteArray, message);
    QFETCH(QString, error);

    NativePlatform::ScriptOutcome outcome;
    outcome.succeeded = succeeded;
    if (number != 0)
        outcome.errorNumber = number;
    if (!message.isNull())
        outcome.errorMessage = message.toStdString();
    QString text = QStringLiteral("before");
    QCOMPARE(InstallCommand::interpretOutcome(outcome, text), error.isNull());
    QCOMPARE(text, error.isNull() ? QStringLiteral("before") : error);
}

QTEST_GUILESS_MAIN(tst_UpdateSteps)
#include "tst_UpdateSteps.moc"
