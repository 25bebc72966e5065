#include "NativePlatform.h"

#include <QtTest>

#include <signal.h>
#include <unistd.h>

// The Linux native layer itself, against real processes: which of them run from inside a bundle.
class tst_NativePlatform : public QObject
{
    Q_OBJECT

private slots:
    void processesInsideBundle_data()
    {
        QTest::addColumn<QString>("bundle");  // where the program lies, below the test's folder
        QTest::addColumn<QString>("program"); // "copy": a copy of sleep; "script": a Python script
        QTest::addColumn<bool>("detached");   // else started by this process
        QTest::addColumn<bool>("found");      // when Example.app is asked for

        const auto row = [](const char *tag, const char *bundle, const char *program, bool detached, bool found) {
            QTest::newRow(tag) << QString(bundle) << QString(program) << detached << found;
        };
        row("inside-bundle", "Example.app", "copy", true, true);
        row("name-only-begins-alike", "Example.app2", "copy", true, false);
        row("started-by-us", "Example.app", "copy", false, false);
        row("script-run-by-interpreter", "Example.app", "script", true, false);
    }

    void processesInsideBundle()
    {
        QFETCH(QString, bundle);
        QFETCH(QString, program);
        QFETCH(bool, detached);
        QFETCH(bool, found);

        const QTemporaryDir dir;
        const QString root = QFileInfo(dir.path()).canonicalFilePath();
        const QString folder = root + "/" + bundle + "/Contents/MacOS";
        const QString executable = folder + "/Example";
        QVERIFY(QDir().mkpath(folder));
        QString runs; // what /proc/<pid>/exe shows once it has started
        if (program == "copy") {
            QVERIFY(QFile::copy(QStandardPaths::findExecutable("sleep"), executable));
            runs = executable;
        } else {
            QFile script(executable);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/usr/bin/python3\nimport time\ntime.sleep(30)\n");
            runs = QFileInfo("/usr/bin/python3").canonicalFilePath();
        }
        QVERIFY(QFile::setPermissions(executable, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QProcess child;
        qint64 pid = 0;
        if (detached) // its parent ends at once: it is no descendant of ours
            QVERIFY(QProcess::startDetached(executable, {"30"}, QString(), &pid));
        else {
            child.start(executable, {"30"});
            QVERIFY(child.waitForStarted());
            pid = child.processId();
        }
        const auto end = qScopeGuard([&] {
            ::kill(pid_t(pid), SIGKILL);
            child.waitForFinished();
        });
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(QString("/proc/%1/exe").arg(pid)).symLinkTarget(), runs, 10000);

        const std::vector<int> inside = NativePlatform::processesInsideBundle(root.toStdString() + "/Example.app");
        QCOMPARE(std::count(inside.begin(), inside.end(), int(pid)), found ? 1L : 0L);
        QCOMPARE(std::count(inside.begin(), inside.end(), int(QCoreApplication::applicationPid())), 0L);
    }

    // Root's command as the stand-in runs it (as root: no prompt): its input at its end, so that it never waits for a
    // line nobody types; its output not kept; on failure its status and its error output, trimmed.
    void runPrivilegedScript_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("status"); // 0: succeeded
        QTest::addColumn<QString>("message");
        QTest::newRow("input-at-its-end") << "timeout 5 cat > /dev/null" << 0 << "";
        QTest::newRow("output-not-kept") << "test ! -p /dev/stdout" << 0 << "";
        QTest::newRow("failure") << "echo out; echo ' root said so ' >&2; exit 3" << 3 << "root said so";
    }

    void runPrivilegedScript()
    {
        QFETCH(QString, command);
        QFETCH(int, status);
        QFETCH(QString, message);
        if (geteuid() != 0)
            QSKIP("as a normal user the command goes through pkexec and its prompt");

        const NativePlatform::ScriptOutcome outcome =
            NativePlatform::runPrivilegedScript({std::string(), command.toStdString()});
        QCOMPARE(outcome.succeeded, status == 0);
        QCOMPARE(outcome.errorNumber.value_or(0), status);
        QCOMPARE(QString::fromStdString(outcome.errorMessage.value_or(std::string())), message);
    }
};

QTEST_GUILESS_MAIN(tst_NativePlatform)
#include "tst_NativePlatform.moc"
