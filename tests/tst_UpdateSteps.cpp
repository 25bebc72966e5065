#include "UpdateSteps.h"

#include <QtTest>

#include <limits>

class tst_UpdateSteps : public QObject
{
    Q_OBJECT

private slots:
    void archiveRoad_data();
    void archiveRoad();
    void targetAndRelaunch_data();
    void targetAndRelaunch();
    void progress_data();
    void progress();
};

void tst_UpdateSteps::archiveRoad_data()
{
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<bool>("archive");
    QTest::addColumn<QString>("packagePath");

    QTest::newRow("zip") << "/dir/Update.zip" << true << "/dir/Update.pkg";
    QTest::newRow("upper-case-suffix") << "/dir/Update.ZIP" << true << "/dir/Update.pkg";
    QTest::newRow("mixed-case-suffix") << "/dir/update.Zip" << true << "/dir/update.pkg";
    QTest::newRow("pkg") << "/dir/Update.pkg" << false << QString();
    QTest::newRow("no-suffix") << "/dir/Update" << false << QString();
    QTest::newRow("zip-without-dot") << "/dir/Updatezip" << false << QString();
    QTest::newRow("zip-inside-name") << "/dir/Update.zip.pkg" << false << QString();
    QTest::newRow("only-suffix") << ".zip" << true << ".pkg";
    QTest::newRow("shorter-than-suffix") << "zip" << false << QString();
    QTest::newRow("dots-and-spaces") << "/my dir/Up date 2.5.zip" << true << "/my dir/Up date 2.5.pkg";
}

void tst_UpdateSteps::archiveRoad()
{
    QFETCH(QString, filePath);
    QFETCH(bool, archive);
    QFETCH(QString, packagePath);

    QCOMPARE(UpdateSteps::isArchive(filePath), archive);
    if (archive)
        QCOMPARE(UpdateSteps::packagePathForArchive(filePath), packagePath);
}

void tst_UpdateSteps::targetAndRelaunch_data()
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
    QTest::newRow("home") << "/Users/me/Applications/Example.app"
                          << "/Users/me/"
                          << "/Users/me/Applications/Example.app/Contents/MacOS/Example";
    QTest::newRow("several-dots") << "/Applications/Example 2.5.app"
                                  << "/"
                                  << "/Applications/Example 2.5.app/Contents/MacOS/Example 2";
    QTest::newRow("not-below-applications")
        << "/Users/me/Desktop/Example.app" << QString() << "/Users/me/Desktop/Example.app/Contents/MacOS/Example";
    QTest::newRow("lower-case-applications")
        << "/applications/Example.app" << QString() << "/applications/Example.app/Contents/MacOS/Example";
    QTest::newRow("text-search-not-component") << "/Volumes/Data/ApplicationsOld/Example.app"
                                               << "/Volumes/Data/"
                                               << "/Volumes/Data/ApplicationsOld/Example.app/Contents/MacOS/Example";
    QTest::newRow("first-occurrence") << "/x/Applications/y/Applications/E.app"
                                      << "/x/"
                                      << "/x/Applications/y/Applications/E.app/Contents/MacOS/E";
    QTest::newRow("non-ascii") << QString::fromUtf8("/Volumes/Données/Applications/Éxample.app")
                               << QString::fromUtf8("/Volumes/Données/")
                               << QString::fromUtf8("/Volumes/Données/Applications/Éxample.app/Contents/MacOS/Éxample");
}

void tst_UpdateSteps::targetAndRelaunch()
{
    QFETCH(QString, appPath);
    QFETCH(QString, target);
    QFETCH(QString, program);

    QCOMPARE(UpdateSteps::installationTarget(appPath), target);
    QCOMPARE(UpdateSteps::relaunchProgram(appPath), program);
}

void tst_UpdateSteps::progress_data()
{
    QTest::addColumn<qulonglong>("received");
    QTest::addColumn<qulonglong>("total");
    QTest::addColumn<int>("value"); // -1: no change

    const qulonglong unknown = std::numeric_limits<qulonglong>::max();
    QTest::newRow("total-zero") << 5000ull << 0ull << -1;
    QTest::newRow("nothing-yet") << 0ull << 5000ull << 30;
    QTest::newRow("just-below-floor") << 145ull << 5000ull << 30;
    QTest::newRow("floor") << 150ull << 5000ull << 30;
    QTest::newRow("above-floor") << 160ull << 5000ull << 32;
    QTest::newRow("full") << 5000ull << 5000ull << 1000;
    QTest::newRow("more-than-announced") << 6000ull << 5000ull << 1200;
    QTest::newRow("unknown-size") << 123456789ull << unknown << 30;
    // received * 1000 wraps modulo 2^64 before the division.
    QTest::newRow("product-wraps") << (1ull << 61) << (1ull << 61) << 30;
    QTest::newRow("large-without-wrap") << (1ull << 50) << (1ull << 51) << 500;
    // The quotient's low 32 bits, read as a signed int, may be negative.
    QTest::newRow("low-bits-negative") << 0x80000000ull << 1000ull << 30;
    QTest::newRow("quotient-above-32-bits") << (1ull << 32) + 500 << 1000ull << 500;
    QTest::newRow("low-bits-large") << 0x7fffffffull << 1000ull << 0x7fffffff;
}

void tst_UpdateSteps::progress()
{
    QFETCH(qulonglong, received);
    QFETCH(qulonglong, total);
    QFETCH(int, value);

    const std::optional<int> result = UpdateSteps::progressValue(received, total);
    if (value < 0)
        QVERIFY(!result.has_value());
    else
        QCOMPARE(result.value_or(-1), value);
}

QTEST_GUILESS_MAIN(tst_UpdateSteps)
#include "tst_UpdateSteps.moc"
