#include "BundleLocation.h"
#include "UpdateSteps.h"

#include <QtTest>

class tst_UpdateSteps : public QObject
{
    Q_OBJECT

private slots:
    void paths_data();
    void paths();
    void progress_data();
    void progress();
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

QTEST_GUILESS_MAIN(tst_UpdateSteps)
#include "tst_UpdateSteps.moc"
