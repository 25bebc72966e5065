#include "BundleLocation.h"

#include <QtTest>

// The rule by which the updater finds its own bundle from its executable.
class tst_BundleLocation : public QObject
{
    Q_OBJECT

private slots:
    void bundle_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("bundle");

        QTest::newRow("in-bundle") << "/Applications/Example.app/Contents/MacOS/Example"
                                   << "/Applications/Example.app";
        QTest::newRow("upper-case-suffix") << "/V/Applications/E.APP/Contents/MacOS/x"
                                           << "/V/Applications/E.APP";
        QTest::newRow("several-dots") << "/A/Example 2.5.app/Contents/MacOS/Example 2"
                                      << "/A/Example 2.5.app";
        QTest::newRow("other-folder-in-contents") << "/A/E.app/Contents/Other/x"
                                                  << "/A/E.app/Contents/Other";
        QTest::newRow("no-contents") << "/A/E.app/MacOS/x"
                                     << "/A/E.app/MacOS";
        QTest::newRow("not-an-app") << "/A/E/Contents/MacOS/x"
                                    << "/A/E/Contents/MacOS";
        QTest::newRow("suffix-alone") << "/A/.app/Contents/MacOS/x"
                                      << "/A/.app/Contents/MacOS";
        QTest::newRow("outside-any-bundle") << "/usr/bin/x"
                                            << "/usr/bin";
    }

    void bundle()
    {
        QFETCH(QString, executable);
        QFETCH(QString, bundle);

        QCOMPARE(bundlePathForExecutable(executable), bundle);
    }
};

QTEST_GUILESS_MAIN(tst_BundleLocation)
#include "tst_BundleLocation.moc"
