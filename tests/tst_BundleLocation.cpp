#include "BundleLocation.h"

#include <QtTest>

class tst_BundleLocation : public QObject
{
    Q_OBJECT

private slots:
    void bundleOfExecutable_data();
    void bundleOfExecutable();
};

void tst_BundleLocation::bundleOfExecutable_data()
{
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("bundle");

    QTest::newRow("in-bundle") << "/Applications/Tools/Tarnwick Installer.app/Contents/MacOS/Tarnwick Installer"
                               << "/Applications/Tools/Tarnwick Installer.app";
    QTest::newRow("upper-case-suffix") << "/opt/X.APP/Contents/MacOS/x"
                                       << "/opt/X.APP";
    QTest::newRow("plain-folder") << "/work/build/bin/tarnwick-installer"
                                  << "/work/build/bin";
    QTest::newRow("contents-macos-without-app") << "/opt/Tool/Contents/MacOS/tool"
                                                << "/opt/Tool/Contents/MacOS";
    QTest::newRow("bare-dot-app") << "/opt/.app/Contents/MacOS/tool"
                                  << "/opt/.app/Contents/MacOS";
    QTest::newRow("nested-deeper") << "/opt/X.app/Contents/MacOS/sub/tool"
                                   << "/opt/X.app/Contents/MacOS/sub";
    QTest::newRow("helper-in-resources") << "/opt/X.app/Contents/Resources/tool"
                                         << "/opt/X.app/Contents/Resources";
    QTest::newRow("root") << "/tool"
                          << "/";
    QTest::newRow("non-ascii") << QString::fromUtf8("/Users/zoë/Ünits.app/Contents/MacOS/Ünits")
                               << QString::fromUtf8("/Users/zoë/Ünits.app");
}

void tst_BundleLocation::bundleOfExecutable()
{
    QFETCH(QString, executable);
    QFETCH(QString, bundle);

    QCOMPARE(bundlePathForExecutable(executable), bundle);
}

QTEST_GUILESS_MAIN(tst_BundleLocation)
#include "tst_BundleLocation.moc"
