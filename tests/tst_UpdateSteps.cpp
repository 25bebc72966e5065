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
    QTest::addColumn<QString>("executable");
    const auto row = [](const char *name, QString appPath, QString target, QString executable) {
        QTest::newRow(name) << appPath << target << executable;
    };
    row("system", "/Applications/Example.app", "/", "Example");
    row("other-volume", "/Volumes/Data/Applications/E.app", "/Volumes/Data/", "E");
    row("several-dots", "/Applications/Example 2.5.app", "/", "Example 2");
    row("not-below-applications", "/Users/me/Desktop/E.app", QString(), "E");
    row("lower-case", "/applications/E.app", QString(), "E");
    row("text-search", "/V/ApplicationsOld/E.app", "/V/", "E");
    row("first-occurrence", "/x/Applications/y/Applications/E.app", "/x/", "E");
}

void tst_UpdateSteps::paths()
{
    QFETCH(QString, appPath);
    QFETCH(QString, target);
    QFETCH(QString, executable);

    const QString program = appPath + "/Contents/MacOS/" + executable;
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
    QTest::newRow("above-floor") << 155ull << 5000ull << 31;
    QTest::newRow("more-than-announced") << 6000ull << 5000ull << 1200;
    QTest::newRow("unknown-size") << 123456789ull << ~0ull << 30;
    QTest::newRow("product-wraps") << (1ull << 61) << (1ull << 61) << 30;
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
    QTest::addColumn<QString>("expected"); // in the AppleScript source, or the refusal
    QTest::addColumn<QByteArray>("sha256");
    const QByteArray sha256 = QByteArray::fromHex("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    const auto row = [&](const char *name, QString package, QString target, QString expected,
                         QByteArray digest = QByteArray()) {
        QTest::newRow(name) << package << target << expected << (digest.isNull() ? sha256 : digest);
    };
    const QString refused = "The package path \"%1\" contains a control character; it was not installed.";
    row("plain", "/d/Update.pkg", "/",
        "do shell script \"d=$(/usr/bin/mktemp -d /tmp/tarnwick.XXXXXXXX) || exit 1; trap '/bin/rm -rf \\\"$d\\\"' "
        "EXIT; p='/d/Update.pkg'; c=\\\"$d\\\"/'Update.pkg'; refuse() { echo \\\"$1\\\" >&2; exit 1; }; check() { "
        "if [ -L \\\"$1\\\" ]; then refuse 'The package /d/Update.pkg is now a symbolic link; nothing was installed.'; "
        "elif [ ! -f \\\"$1\\\" ]; then refuse 'The package /d/Update.pkg is no longer a regular file; nothing was "
        "installed.'; elif [ -z \\\"$(/usr/bin/find \\\"$1\\\" -prune -size 4096c)\\\" ]; then refuse 'The package "
        "changed before it could be installed.'; fi; }; check \\\"$p\\\"; /bin/cp -RP \\\"$p\\\" \\\"$c\\\" || exit 1; "
        "check \\\"$c\\\"; h=$(/usr/bin/openssl dgst -sha256 < \\\"$c\\\") || exit 1; if [ \\\"${h##* }\\\" != '%1' ]; "
        "then refuse 'The package changed before it could be installed.'; fi; /usr/sbin/installer -pkg \\\"$c\\\" "
        "-target '/'\" with administrator privileges");
    row("quotes-backslash-format", "/t/it's \"q\" \\ %@.pkg", "/V/Jo's/",
        "p='/t/it'\\\\''s \\\"q\\\" \\\\ %@.pkg'; c=\\\"$d\\\"/'it'\\\\''s \\\"q\\\" \\\\ %@.pkg'");
    row("target-quoted", "/d/Update.pkg", "/V/Jo's/", "-target '/V/Jo'\\\\''s/'\" with administrator privileges");
    row("non-ascii", QString::fromUtf8("/t/Été 更新\u0085.pkg"), "/", QString::fromUtf8("p='/t/Été 更新\u0085.pkg'"));
    row("line-feed", "/t/a\nb.pkg", "/", refused.arg("/t/a\\nb.pkg"));
    row("delete-and-cr", "/t/\x7f\r", "/", refused.arg("/t/\\x7f\\r"));
    row("unit-separator-in-target", "/d/Update.pkg", "/V/\x1f\t/",
        "The installation target \"/V/\\x1f\\t/\" contains a control character; nothing was installed.");
    row("no-digest", "/d/Update.pkg", "/",
        "The SHA-256 digest of the package /d/Update.pkg could not be computed; it was not installed.", "");
}

// How the shell command itself runs is seen in the end-to-end table, as root
// and with the package changed while the password is asked for.
void tst_UpdateSteps::command()
{
    QFETCH(QString, package);
    QFETCH(QString, target);
    QFETCH(QString, expected);
    QFETCH(QByteArray, sha256);

    NativePlatform::PrivilegedCommand command{"untouched", "untouched"};
    QString error;
    const bool made = InstallCommand::makeCommand({package, 4096, sha256}, target, command, error);
    const QString source = QString::fromStdString(command.appleScriptSource);
    QVERIFY2(made ? source.contains(QString(expected).replace("%1", sha256.toHex())) : error == expected,
             qPrintable(source + error));
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
