#include "InstallCommand.h"

#include <QtTest>

#include <optional>

#include <unistd.h>

Q_DECLARE_METATYPE(InstallCommand::Flavour)
Q_DECLARE_METATYPE(InstallCommand::Result)

namespace {

const QByteArray digest = QByteArray::fromHex("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");

// The values of the variables named after the command's assignments run in /bin/sh.
QStringList shellValues(const QString &command, const QStringList &names)
{
    const QString assignments = command.chopped(int(qstrlen(InstallCommand::script)));
    QString print = QStringLiteral("\nprintf '%s\\0'");
    for (const QString &name : names)
        print += " \"$" + name + '"';
    QProcess shell;
    shell.start("/bin/sh", {"-c", assignments + print});
    shell.waitForFinished();
    const QByteArray output = shell.readAllStandardOutput();
    return QString::fromUtf8(output.constData(), output.size()).split(QChar(0)).mid(0, names.size());
}

struct RootRun
{
    int exitCode;
    QString errors;
};

// Root's script run here by /bin/sh, its folder made in dir and, with keepFolder, left there. This process is the
// updater of dir's Example.app unless `application` says otherwise.
RootRun runScript(const QTemporaryDir &dir, const InstallCommand::Package &package, InstallCommand::Flavour flavour,
                  bool keepFolder = false, std::optional<InstallCommand::Application> application = {})
{
    const bool macOS = flavour == InstallCommand::Flavour::MacOS;
    const InstallCommand::Application ours{dir.filePath("Example.app"), QCoreApplication::applicationPid()};
    QString command = InstallCommand::shellCommand(package, "/", application.value_or(ours), flavour);
    command.replace(macOS ? "'/private/tmp/tarnwick.XXXXXXXX'" : "'/tmp/tarnwick.XXXXXXXX'",
                    "'" + dir.filePath("root.XXXXXXXX") + "'");
    if (keepFolder)
        command.replace("\ntrap '", "\n: '");
    QProcess shell;
    shell.start("/bin/sh", {"-c", command});
    if (!shell.waitForFinished())
        return {-1, QStringLiteral("the script did not finish")};
    return {shell.exitCode(), QString::fromUtf8(shell.readAllStandardError())};
}

} // namespace

// The text of root's command, for either system, and what its outcome means. How the Linux script runs is seen in the
// end-to-end table, as root and with the package changed while the password is asked for.
class tst_InstallCommand : public QObject
{
    Q_OBJECT

private slots:
    void quoting_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("target");

        const auto row = [](const char *tag, const QString &package, const QString &name, const QString &target) {
            QTest::newRow(tag) << package << name << target;
        };
        row("single-quotes", "/t/it's.pkg", "it's.pkg", "/V/Jo's/");
        row("quotes-and-expansions", "/t/\"q\" \\ $HOME `id` $(id) %@ %1.pkg", "\"q\" \\ $HOME `id` $(id) %@ %1.pkg",
            "/V/\\\"$d/");
        row("non-ascii", QString::fromUtf8("/t/Été 更新\u0085.pkg"), QString::fromUtf8("Été 更新\u0085.pkg"),
            QString::fromUtf8("/Volumes/Données/"));
    }

    // Every value reaches root's shell as it was given.
    void quoting()
    {
        QFETCH(QString, package);
        QFETCH(QString, name);
        QFETCH(QString, target);

        NativePlatform::PrivilegedCommand command;
        QString error;
        const QString bundle = target + "Applications/" + name + ".app";
        QVERIFY(InstallCommand::makeCommand({package, 4096, digest}, target, {bundle, 77}, command, error));
        const QString shell = QString::fromStdString(command.shellCommand);
        const QStringList expected{package, name, target, InstallCommand::packageIsLink(package),
                                   InstallCommand::packageIsNotRegular(package)};
        QCOMPARE(shellValues(shell, {"p", "name", "target", "is_link", "not_regular"}), expected);
        QCOMPARE(shellValues(shell, {"bundle"}), QStringList{bundle});
    }

    void flavour_data()
    {
        QTest::addColumn<InstallCommand::Flavour>("flavour");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("clone");
        QTest::addColumn<QString>("listing");

        const auto row = [](const char *tag, InstallCommand::Flavour flavour, const char *folder, const char *clone,
                            const char *listing) {
            QTest::newRow(tag) << flavour << QString(folder) << QString(clone) << QString(listing);
        };
        row("macos", InstallCommand::Flavour::MacOS, "/private/tmp/tarnwick.XXXXXXXX", "yes", "ps");
        row("linux", InstallCommand::Flavour::Linux, "/tmp/tarnwick.XXXXXXXX", "no", "proc");
    }

    // Both systems run the one script; only the values before it differ.
    void flavour()
    {
        QFETCH(InstallCommand::Flavour, flavour);
        QFETCH(QString, folder);
        QFETCH(QString, clone);
        QFETCH(QString, listing);

        const QString command =
            InstallCommand::shellCommand({"/d/Update.pkg", 4096, digest}, "/", {"/A/Example.app", 4242}, flavour);
        QVERIFY(command.endsWith(QLatin1String(InstallCommand::script)));
        const QStringList expected{
            folder, clone, listing, "4096", QString::fromLatin1(digest.toHex()), InstallCommand::packageChanged};
        QCOMPARE(shellValues(command, {"folder", "clone", "listing", "size", "sha256", "changed"}), expected);
    }

    // The macOS script run here, where cp refuses -c as a volume without clones does: the plain copy is made and
    // checked and reaches the installer, and the refused clone adds nothing to the errors that macOS shows when the
    // script fails.
    void macOSScriptWithoutClone()
    {
#ifdef Q_OS_MACOS
        QSKIP("it would run the system's installer");
#endif
        const QTemporaryDir dir;
        QFile package(dir.filePath("Update.pkg"));
        QVERIFY(package.open(QIODevice::WriteOnly) && package.write("test") == 4 && package.flush());
        const RootRun run = runScript(dir, {package.fileName(), 4, digest}, InstallCommand::Flavour::MacOS);
        QVERIFY2(run.errors.count('\n') == 1 && run.errors.endsWith("/usr/sbin/installer: not found\n"),
                 qPrintable(run.errors));
        QCOMPARE(run.exitCode, 127);
        // Root's folder goes in the background.
        QTRY_COMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"Update.pkg"});
    }

    // Root's messages name the package as it is: echo would take its backslash for an escape.
    void refusalNamesThePackage()
    {
        const QTemporaryDir dir;
        const QString package = dir.filePath("new\\cline.pkg");
        QVERIFY(QFile::link(dir.filePath("elsewhere"), package));
        const RootRun run = runScript(dir, {package, 4, digest}, InstallCommand::Flavour::Linux);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.errors, InstallCommand::packageIsLink(package) + '\n');
    }

    // Root's copy stops at the package's size, as it must when the name is swapped after the check for a link to an
    // endless file: here a file of /proc, whose size reads 0 but which holds more.
    void copyStopsAtTheSize()
    {
        if (!QFile::exists("/proc/self/status"))
            QSKIP("no /proc");
        const QTemporaryDir dir;
        const RootRun run = runScript(dir, {"/proc/self/status", 0, digest}, InstallCommand::Flavour::Linux, true);
        QCOMPARE(run.exitCode, 1);
        const QStringList folders = QDir(dir.path()).entryList({"root.*"}, QDir::Dirs);
        QCOMPARE(folders.size(), 1);
        QCOMPARE(QFileInfo(dir.filePath(folders.first() + "/status")).size(), 0);
    }

    void applicationStartedMeanwhile_data()
    {
        QTest::addColumn<QString>("bundle"); // where a copy of sleep runs, below the test's folder
        QTest::addColumn<QString>("runs");   // as this process's "child", as the "updater", as "nobody"
        QTest::addColumn<bool>("refused");

        const auto row = [](const char *tag, const char *bundle, const char *runs, bool refused) {
            QTest::newRow(tag) << QString(bundle) << QString(runs) << refused;
        };
        row("copy-in-bundle", "Example.app", "child", true);
        row("name-only-begins-alike", "Example.app2", "child", false);
        row("updater-itself", "Example.app", "updater", false);
        row("another-user", "Example.app", "nobody", false);
    }

    // Root looks for the application once more just before the installer, among the processes of the updater's user
    // (the updater itself left out): one running from inside the bundle ends the script with the status and message
    // that the updater takes for "wait again"; otherwise it goes on to the installer (absent here).
    void applicationStartedMeanwhile()
    {
        QFETCH(QString, bundle);
        QFETCH(QString, runs);
        QFETCH(bool, refused);
#ifdef Q_OS_MACOS
        QSKIP("it would run the system's installer");
#endif
        if (runs == "nobody" && ::geteuid() != 0)
            QSKIP("needs root to start a process of another user");

        QTemporaryDir dir;
        const QString root = QFileInfo(dir.path()).canonicalFilePath();
        const QString executable = root + "/" + bundle + "/Contents/MacOS/Example";
        const QFile::Permissions anyoneRuns(0x7755); // rwxr-xr-x
        QVERIFY(QDir().mkpath(QFileInfo(executable).path()) && QFile::setPermissions(root, anyoneRuns));
        QVERIFY(QFile::copy(QStandardPaths::findExecutable("sleep"), executable) &&
                QFile::setPermissions(executable, anyoneRuns));
        QProcess sleeper;
        if (runs == "nobody")
            sleeper.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", executable, "30"});
        else
            sleeper.start(executable, {"30"});
        QVERIFY(sleeper.waitForStarted());
        const auto end = qScopeGuard([&] {
            sleeper.kill();
            sleeper.waitForFinished();
        });
        QTRY_COMPARE(QFileInfo(QString("/proc/%1/exe").arg(sleeper.processId())).symLinkTarget(), executable);
        QFile package(dir.filePath("Update.pkg"));
        QVERIFY(package.open(QIODevice::WriteOnly) && package.write("test") == 4 && package.flush());

        const qint64 updater = runs == "updater" ? sleeper.processId() : QCoreApplication::applicationPid();
        const RootRun run = runScript(dir, {package.fileName(), 4, digest}, InstallCommand::Flavour::Linux, false,
                                      InstallCommand::Application{root + "/Example.app", updater});
        QString error;
        QCOMPARE(InstallCommand::interpretOutcome({false, run.exitCode, run.errors.toStdString()}, error),
                 refused ? InstallCommand::Result::ApplicationRuns : InstallCommand::Result::Failed);
        const QString last = refused ? QString(InstallCommand::applicationRuns) : "/usr/sbin/installer: not found";
        QVERIFY2(run.errors.endsWith(last + '\n'), qPrintable(run.errors));
        QTRY_COMPARE(QDir(dir.path()).entryList({"root.*"}, QDir::Dirs), QStringList());
    }

    // AppleScript's string keeps the command's quotes, backslashes and lines.
    void appleScript()
    {
        QCOMPARE(InstallCommand::appleScriptSource("p='a\\\"b'\nc\n"),
                 QStringLiteral("do shell script \"p='a\\\\\\\"b'\\nc\\n\" with administrator privileges"));
    }

    void refused_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("bundle");
        QTest::addColumn<QByteArray>("sha256");
        QTest::addColumn<QString>("error");

        const auto row = [](const char *tag, const QString &package, const QString &target, const QByteArray &sha256,
                            const QString &error, const QString &bundle = "/Applications/Example.app") {
            QTest::newRow(tag) << package << target << bundle << sha256 << error;
        };
        const QString refused = "The package path \"%1\" contains a control character; it was not installed.";
        row("line-feed", "/t/a\nb.pkg", "/", digest, refused.arg("/t/a\\nb.pkg"));
        row("delete-and-cr", "/t/\x7f\r", "/", digest, refused.arg("/t/\\x7f\\r"));
        row("unit-separator-in-target", "/d/Update.pkg", "/V/\x1f\t/", digest,
            "The installation target \"/V/\\x1f\\t/\" contains a control character; nothing was installed.");
        // Root's list of processes has one a line.
        row("line-feed-in-bundle", "/d/Update.pkg", "/", digest,
            "The application path \"/Applications/E\\nx.app\" contains a control character; nothing was installed.",
            "/Applications/E\nx.app");
        row("no-digest", "/d/Update.pkg", "/", QByteArray(),
            "The SHA-256 digest of the package /d/Update.pkg could not be computed; it was not installed.");
    }

    // Nothing is made to run.
    void refused()
    {
        QFETCH(QString, package);
        QFETCH(QString, target);
        QFETCH(QString, bundle);
        QFETCH(QByteArray, sha256);
        QFETCH(QString, error);

        NativePlatform::PrivilegedCommand command{"untouched", "untouched"};
        QString message;
        QVERIFY(!InstallCommand::makeCommand({package, 4096, sha256}, target, {bundle, 1}, command, message));
        QCOMPARE(message, error);
        QCOMPARE(command.appleScriptSource + command.shellCommand, std::string("untoucheduntouched"));
    }

    void outcome_data()
    {
        using Result = InstallCommand::Result;
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<int>("number");         // 0: none
        QTest::addColumn<QByteArray>("message"); // null: none
        QTest::addColumn<Result>("result");
        QTest::addColumn<QString>("error"); // null: error untouched

        const QByteArray runs = InstallCommand::applicationRuns;
        QTest::newRow("success") << true << 1 << QByteArray("ignored") << Result::Installed << QString();
        QTest::newRow("cancelled") << false << -128 << QByteArray("User canceled.") << Result::Failed
                                   << "The administrator password is required to do this.";
        QTest::newRow("message") << false << 1 << QByteArray("installer: damaged \xc3\xa9") << Result::Failed
                                 << QString::fromUtf8("installer: damaged é");
        QTest::newRow("nothing") << false << 128 << QByteArray() << Result::Failed << "";
        QTest::newRow("application-runs") << false << 75 << runs + '\n' << Result::ApplicationRuns << QString();
        // The installer's own status 75 is a failure like any other.
        QTest::newRow("status-75-of-another")
            << false << 75 << QByteArray("installer: busy") << Result::Failed << "installer: busy";
    }

    void outcome()
    {
        QFETCH(bool, succeeded);
        QFETCH(int, number);
        QFETCH(QByteArray, message);
        QFETCH(InstallCommand::Result, result);
        QFETCH(QString, error);

        NativePlatform::ScriptOutcome outcome;
        outcome.succeeded = succeeded;
        if (number != 0)
            outcome.errorNumber = number;
        if (!message.isNull())
            outcome.errorMessage = message.toStdString();
        QString text = QStringLiteral("before");
        QCOMPARE(InstallCommand::interpretOutcome(outcome, text), result);
        QCOMPARE(text, error.isNull() ? QStringLiteral("before") : error);
    }
};

QTEST_GUILESS_MAIN(tst_InstallCommand)
#include "tst_InstallCommand.moc"
