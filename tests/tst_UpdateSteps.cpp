#include "UpdateSteps.h"

#include <QtTest>

// The text logic of an update: its paths and its progress.
class tst_UpdateSteps : public QObject
{
    Q_OBJECT

private slots:
    void paths_data()
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
    void paths()
    {
        QFETCH(QString, appPath);
        QFETCH(QString, target);
        QFETCH(QString, executable);

        QCOMPARE(UpdateSteps::installationTarget(appPath), target);
        QCOMPARE(UpdateSteps::relaunchProgram(appPath), appPath + "/Contents/MacOS/" + executable);
        QCOMPARE(UpdateSteps::isArchive(appPath + ".zIp"), true);
        QCOMPARE(UpdateSteps::packagePathForArchive(appPath + ".zIp"), appPath + ".pkg");
        QCOMPARE(UpdateSteps::isArchive(appPath + "zip"), false);
    }
    void progress_data()
    {
        QTest::addColumn<qulonglong>("received");
        QTest::addColumn<qulonglong>("total");
        QTest::addColumn<int>("value"); // -1: no change

        QTest::newRow("total-zero") << 5000ull << 0ull << -1;
        QTest::newRow("below-floor") << 145ull << 5000ull << 30;
        QTest::newRow("above-floor") << 155ull << 5000ull << 31;
        QTest::newRow("more-than-announced") << 6000ull << 5000ull << 1200;
        QTest::newRow("unknown-size") << 123456789ull << ~0ull << 30;
        QTest::newRow("product-wraps") << (1ull << 61) << (1ull << 61) << 30;
        QTest::newRow("low-bits-negative") << 0x80000000ull << 1000ull << 30;
        QTest::newRow("quotient-above-32-bits") << (1ull << 32) + 500 << 1000ull << 500;
    }
    void progress()
    {
        QFETCH(qulonglong, received);
        QFETCH(qulonglong, total);
        QFETCH(int, value);

        QCOMPARE(UpdateSteps::progressValue(received, total).value_or(-1), value);
    }
};

QTEST_GUILESS_MAIN(tst_UpdateSteps)
#include "tst_UpdateSteps.moc"
