#include "InstallCommand.h"
#include "NativePlatform.h"

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

const QString passwordRequired = QStringLiteral("The administrator password is required to do this.");
constexpr uid_t nobody = 65534;

bool writeExecutable(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                               QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                               QFileDevice::ExeOther);
}

QByteArray singleQuoted(const QString &text)
{
    return "'" + InstallCommand::escapedForSingleQuotes(text).toUtf8() + "'";
}

QStringList readArguments(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("<no record>")};
    const QList<QByteArray> parts = file.readAll().split('\0');
    QStringList arguments;
    for (int i = 0; i + 1 < parts.size(); ++i)
        arguments << QString::fromUtf8(parts.at(i));
    return arguments;
}

// A private world for the installer command: a folder that becomes the upper
// layer of an overlay on /usr/sbin (so /usr/sbin/installer is a stand-in that
// records its arguments), a records folder anyone may write to, and a bin
// folder for a stand-in pkexec. Only the probe's mount namespace sees it.
class Sandbox
{
public:
    Sandbox()
    {
        const QDir root(dir.path());
        valid = dir.isValid() && root.mkpath(QStringLiteral("upper")) && root.mkpath(QStringLiteral("work")) &&
                root.mkpath(QStringLiteral("records")) && root.mkpath(QStringLiteral("bin"));
        // The probe may run as nobody: it must reach its copy, pkexec and the records.
        const auto open = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                          QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                          QFileDevice::ExeOther;
        valid = valid && QFile::setPermissions(dir.path(), open) &&
                QFile::setPermissions(path("records"), open | QFileDevice::WriteGroup | QFileDevice::WriteOther) &&
                QFile::copy(QStringLiteral(TARNWICK_INSTALL_PROBE), path("bin/install-probe")) &&
                QFile::setPermissions(path("bin/install-probe"), open);
    }

    bool isValid() const { return valid; }
    QString path(const char *relative) const { return dir.filePath(QString::fromLatin1(relative)); }

    // /usr/sbin/installer: notes the call and its arguments, then runs `behaviour`.
    bool setInstaller(const QByteArray &behaviour)
    {
        return writeExecutable(path("upper/installer"),
                               "#!/bin/sh\nprintf 'call\\n' >> " + singleQuoted(path("records/calls")) +
                                   "\nprintf '%s\\000' \"$@\" > " + singleQuoted(path("records/installer-args")) +
                                   "\n" + behaviour + "\n");
    }

    // pkexec on the probe's PATH: notes its arguments, then runs `behaviour`.
    bool setPkexec(const QByteArray &behaviour)
    {
        return writeExecutable(path("bin/pkexec"), "#!/bin/sh\nprintf '%s\\000' \"$@\" > " +
                                                       singleQuoted(path("records/pkexec-args")) + "\n" + behaviour +
                                                       "\n");
    }

    // Runs the probe in a new mount namespace with the overlay in place,
    // as root or, with `asNobody`, as the user nobody with the stand-in pkexec
    // first on its PATH. Empty object and `failure` set when it did not report.
    QJsonObject runProbe(const QString &package, const QString &target, bool asNobody, QString &failure) const
    {
        QStringList arguments{QStringLiteral("--mount"),
                              QStringLiteral("--"),
                              QStringLiteral("/bin/sh"),
                              QStringLiteral("-c"),
                              QStringLiteral("mount -t overlay overlay -o "
                                             "\"lowerdir=/usr/sbin,upperdir=$1/upper,workdir=$1/work\" /usr/sbin "
                                             "&& shift && exec \"$@\""),
                              QStringLiteral("sh"),
                              dir.path()};
        if (asNobody)
            arguments << QStringLiteral("setpriv") << QStringLiteral("--reuid=%1").arg(nobody)
                      << QStringLiteral("--regid=%1").arg(nobody) << QStringLiteral("--clear-groups")
                      << QStringLiteral("env") << QStringLiteral("PATH=%1:/usr/bin:/bin").arg(path("bin"))
                      << QStringLiteral("ASAN_OPTIONS=detect_leaks=0");
        arguments << path("bin/install-probe") << package << target;

        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(QStringLiteral("unshare"), arguments);
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0) {
            failure = QStringLiteral("probe failed (%1): %2")
                          .arg(process.errorString(), QString::fromUtf8(process.readAllStandardError()));
            return {};
        }
        QJsonParseError parseError;
        const QJsonDocument report = QJsonDocument::fromJson(process.readAllStandardOutput(), &parseError);
        if (!report.isObject())
            failure = QStringLiteral("no report: ") + parseError.errorString();
        return report.object();
    }

    QStringList installerArguments() const { return readArguments(path("records/installer-args")); }
    QStringList pkexecArguments() const { return readArguments(path("records/pkexec-args")); }
    int installerCalls() const
    {
        QFile file(path("records/calls"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().count("call\n") : 0;
    }
    QStringList records() const
    {
        return QDir(path("records")).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    }

private:
    QTemporaryDir dir;
    bool valid = false;
};

} // namespace

class tst_NativePlatformLinux : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void directRun_data();
    void directRun();
    void directRunBlocksUntilDone();
    void installerStandIn_data();
    void installerStandIn();
    void pathsArriveWhole_data();
    void pathsArriveWhole();
    void controlCharacterRunsNothing();
    void throughPkexec_data();
    void throughPkexec();
};

void tst_NativePlatformLinux::initTestCase()
{
    // Mount namespaces and the switch to another user need root. Elsewhere
    // these tests skip, but not under CI, which runs as root and must run them.
    if (geteuid() != 0) {
        if (qEnvironmentVariableIsSet("CI"))
            QFAIL("these tests must run as root under CI");
        QSKIP("needs root for a private mount namespace");
    }
    for (const char *tool : {"unshare", "setpriv", "mount"})
        QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(), tool);
    QVERIFY(QFile::exists(QStringLiteral(TARNWICK_INSTALL_PROBE)));
}

void tst_NativePlatformLinux::directRun_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("succeeded");
    // A null string: no message expected.
    QTest::addColumn<QString>("message");

    QTest::newRow("success") << "exit 0" << true << QString();
    QTest::newRow("output-ignored") << "echo lots of output; echo and a warning >&2" << true << QString();
    QTest::newRow("no-input") << "cat" << true << QString();
    QTest::newRow("message") << "echo 'installer: Error - the package is damaged.' >&2; exit 1" << false
                             << "installer: Error - the package is damaged.";
    QTest::newRow("message-trimmed") << "printf '\\n  two\\nlines \\n\\n' >&2; exit 2" << false << "two\nlines";
    QTest::newRow("utf8-message") << QString::fromUtf8("echo 'Paket beschädigt' >&2; exit 1") << false
                                  << QString::fromUtf8("Paket beschädigt");
    QTest::newRow("silent") << "exit 3" << false << "The command exited with status 3.";
    QTest::newRow("whitespace-only") << "printf ' \\n\\t' >&2; exit 4" << false << "The command exited with status 4.";
    // Only pkexec's status means a dismissed dialog.
    QTest::newRow("status-126-as-root") << "exit 126" << false << "The command exited with status 126.";
    QTest::newRow("not-found") << "/nonexistent/installer -pkg x" << false
                               << "/bin/sh: 1: /nonexistent/installer: not found";
    QTest::newRow("killed") << "kill -9 $$" << false << "The command was ended by a signal.";
}

void tst_NativePlatformLinux::directRun()
{
    QFETCH(QString, command);
    QFETCH(bool, succeeded);
    QFETCH(QString, message);

    const NativePlatform::ScriptOutcome outcome =
        NativePlatform::runPrivilegedScript({"not used here", command.toStdString()});

    QCOMPARE(outcome.succeeded, succeeded);
    QVERIFY(!outcome.errorNumber);
    QCOMPARE(outcome.errorMessage.has_value(), !message.isNull());
    if (outcome.errorMessage)
        QCOMPARE(QString::fromStdString(*outcome.errorMessage), message);
}

void tst_NativePlatformLinux::directRunBlocksUntilDone()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString done = dir.filePath(QStringLiteral("done"));

    const NativePlatform::ScriptOutcome outcome = NativePlatform::runPrivilegedScript(
        {"not used here", ("sleep 0.3; echo finished > " + singleQuoted(done)).toStdString()});

    QVERIFY(outcome.succeeded);
    // Written at the very end of the command: it must be there on return.
    QVERIFY(QFile::exists(done));
}

void tst_NativePlatformLinux::installerStandIn_data()
{
    QTest::addColumn<QByteArray>("behaviour");
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("error");

    QTest::newRow("succeeds") << QByteArray("echo 'installer: The install was successful.'; exit 0") << true
                              << QString() << QString();
    QTest::newRow("fails-with-message") << QByteArray("echo 'installer: Error - the package is damaged.' >&2; exit 1")
                                        << false << "installer: Error - the package is damaged."
                                        << "installer: Error - the package is damaged.";
    QTest::newRow("fails-with-padded-message")
        << QByteArray("printf '\\n\\ninstaller: no space\\n\\n' >&2; exit 1") << false << "installer: no space"
        << "installer: no space";
    QTest::newRow("fails-silently") << QByteArray("exit 5") << false << "The command exited with status 5."
                                    << "The command exited with status 5.";
}

void tst_NativePlatformLinux::installerStandIn()
{
    QFETCH(QByteArray, behaviour);
    QFETCH(bool, succeeded);
    QFETCH(QString, message);
    QFETCH(QString, error);

    // given
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QVERIFY(sandbox.setInstaller(behaviour));

    // when
    QString failure;
    const QJsonObject report = sandbox.runProbe(QStringLiteral("/dir/Update.pkg"), QStringLiteral("/"), false, failure);

    // then
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(report.value("succeeded").toBool(), succeeded);
    QVERIFY(!report.contains("errorNumber"));
    QCOMPARE(report.contains("errorMessage"), !message.isNull());
    QCOMPARE(report.value("errorMessage").toString(), message);
    QCOMPARE(report.value("result").toBool(), succeeded);
    QCOMPARE(report.value("error").toString(), error);
    QCOMPARE(sandbox.installerCalls(), 1);
    QCOMPARE(sandbox.installerArguments(), (QStringList{"-pkg", "/dir/Update.pkg", "-target", "/"}));
}

void tst_NativePlatformLinux::pathsArriveWhole_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("target");

    // @RECORDS@ becomes the records folder: anything that ran would leave a file there.
    QTest::newRow("plain") << "/dir/Update.pkg"
                           << "/";
    QTest::newRow("spaces") << "/Users/Jo Doe/Update 2.pkg"
                            << "/Volumes/Macintosh HD/";
    QTest::newRow("quotes-and-backslash") << "/tmp/it's \"q\" \\ x.pkg"
                                          << "/";
    QTest::newRow("command-substitution") << "/tmp/$(touch @RECORDS@/pwned).pkg"
                                          << "/";
    QTest::newRow("backticks") << "/tmp/`touch @RECORDS@/pwned`.pkg"
                               << "/";
    QTest::newRow("quote-breakout") << "/tmp/x'; touch @RECORDS@/pwned; echo '.pkg"
                                    << "/";
    QTest::newRow("backslash-quote-breakout") << "/tmp/x\\'; touch @RECORDS@/pwned; '.pkg"
                                              << "/";
    QTest::newRow("target-injection") << "/dir/Update.pkg"
                                      << "/'$(touch @RECORDS@/pwned)'";
    QTest::newRow("variables-and-globs") << "/tmp/$HOME ${PATH} * ?.pkg"
                                         << "/~/";
    QTest::newRow("non-ascii") << QString::fromUtf8("/tmp/Ünïcødé 更新.pkg") << QString::fromUtf8("/Volumes/Données/");
    QTest::newRow("format-signs") << "/tmp/%@ %1 %s.pkg"
                                  << "/%@/";
}

void tst_NativePlatformLinux::pathsArriveWhole()
{
    QFETCH(QString, package);
    QFETCH(QString, target);

    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QVERIFY(sandbox.setInstaller("exit 0"));
    package.replace(QLatin1String("@RECORDS@"), sandbox.path("records"));
    target.replace(QLatin1String("@RECORDS@"), sandbox.path("records"));

    QString failure;
    const QJsonObject report = sandbox.runProbe(package, target, false, failure);

    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY2(report.value("result").toBool(), qPrintable(report.value("error").toString()));
    QCOMPARE(sandbox.installerArguments(), (QStringList{"-pkg", package, "-target", target}));
    QCOMPARE(sandbox.installerCalls(), 1);
    // Nothing but the installer ran.
    QCOMPARE(sandbox.records(), (QStringList{"calls", "installer-args"}));
}

void tst_NativePlatformLinux::controlCharacterRunsNothing()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QVERIFY(sandbox.setInstaller("exit 0"));

    QString failure;
    const QJsonObject report = sandbox.runProbe(QStringLiteral("/tmp/a\nb.pkg"), QStringLiteral("/"), false, failure);

    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY(report.value("refused").toBool());
    QVERIFY(!report.value("result").toBool());
    QCOMPARE(report.value("error").toString(),
             QStringLiteral("The package path \"/tmp/a\\nb.pkg\" contains a control character; it was not installed."));
    QCOMPARE(sandbox.installerCalls(), 0);
    QVERIFY(sandbox.records().isEmpty());
}

void tst_NativePlatformLinux::throughPkexec_data()
{
    QTest::addColumn<QByteArray>("pkexec");
    QTest::addColumn<QByteArray>("installer");
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("installerRan");

    const QByteArray runs = "exec \"$@\"";
    QTest::newRow("dismissed") << QByteArray("exit 126") << QByteArray("exit 0") << false << -128 << QString()
                               << passwordRequired << false;
    QTest::newRow("not-authorized")
        << QByteArray("echo 'Error executing command as another user: Not authorized' >&2; exit 127")
        << QByteArray("exit 0") << false << 0 << "Error executing command as another user: Not authorized"
        << "Error executing command as another user: Not authorized" << false;
    QTest::newRow("authorized") << runs << QByteArray("exit 0") << true << 0 << QString() << QString() << true;
    QTest::newRow("authorized-installer-fails")
        << runs << QByteArray("echo 'installer: Error - the package is damaged.' >&2; exit 1") << false << 0
        << "installer: Error - the package is damaged."
        << "installer: Error - the package is damaged." << true;
    QTest::newRow("authorized-installer-silent")
        << runs << QByteArray("exit 7") << false << 0 << "The command exited with status 7."
        << "The command exited with status 7." << true;
}

void tst_NativePlatformLinux::throughPkexec()
{
    QFETCH(QByteArray, pkexec);
    QFETCH(QByteArray, installer);
    QFETCH(bool, succeeded);
    QFETCH(int, number);
    QFETCH(QString, message);
    QFETCH(QString, error);
    QFETCH(bool, installerRan);

    // given
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QVERIFY(sandbox.setInstaller(installer));
    QVERIFY(sandbox.setPkexec(pkexec));
    const QString package = QStringLiteral("/tmp/it's \"q\" \\ x.pkg");
    const QString target = QStringLiteral("/");

    // when: not root, so the layer goes through pkexec
    QString failure;
    const QJsonObject report = sandbox.runProbe(package, target, true, failure);

    // then
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(report.value("succeeded").toBool(), succeeded);
    QCOMPARE(report.contains("errorNumber"), number != 0);
    QCOMPARE(report.value("errorNumber").toInt(), number);
    QCOMPARE(report.contains("errorMessage"), !message.isNull());
    QCOMPARE(report.value("errorMessage").toString(), message);
    QCOMPARE(report.value("result").toBool(), succeeded);
    QCOMPARE(report.value("error").toString(), error);
    QCOMPARE(sandbox.pkexecArguments(), (QStringList{"/bin/sh", "-c", InstallCommand::shellCommand(package, target)}));
    QCOMPARE(sandbox.installerCalls(), installerRan ? 1 : 0);
    if (installerRan)
        QCOMPARE(sandbox.installerArguments(), (QStringList{"-pkg", package, "-target", target}));
}

QTEST_GUILESS_MAIN(tst_NativePlatformLinux)
#include "tst_NativePlatformLinux.moc"
