#include "NativePlatform.h"

#include <QtTest>

#include <signal.h>

// The Linux native layer itself, against real processes: which of them run
// from inside a bundle.
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

        QTest::newRow("inside-bundle") << "Example.app"
                                       << "copy" << true << true;
        QTest::newRow("name-only-begins-alike") << "Example.app2"
                                                << "copy" << true << false;
        QTest::newRow("started-by-us") << "Example.app"
                                       << "copy" << false << false;
        QTest::newRow("script-run-by-interpreter") << "Example.app"
                                                   << "script" << true << false;
    }

    void processesInsideBundle()
    {
        QFETCH(QString, bundle);
        QFETCH(QString, program);
        QFETCH(bool, detached);
        QFETCH(bool, found);

        // given: the program in Example.app or beside it, running
        const QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString folder = QFileInfo(dir.path()).canonicalFilePath() + "/" + bundle + "/Contents/MacOS";
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
        const QString exe = QString("/proc/%1/exe").arg(pid);
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(exe).symLinkTarget(), runs, 10000);

        // when
        const std::vector<int> inside = NativePlatform::processesInsideBundle(
            QFileInfo(dir.path()).canonicalFilePath().toStdString() + "/Example.app");

        // then
        QCOMPARE(std::count(inside.begin(), inside.end(), int(pid)), found ? 1L : 0L);
        QCOMPARE(std::count(inside.begin(), inside.end(), int(QCoreApplication::applicationPid())), 0L);
    }
};

QTEST_GUILESS_MAIN(tst_NativePlatform)
#include "tst_NativePlatform.moc"
