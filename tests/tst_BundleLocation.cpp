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

        const auto row = [](const char *tag, const QString &executable, const QString &bundle) {
            QTest::newRow(tag) << executable << bundle;
        };
        row("in-bundle", "/Applications/Example.app/Contents/MacOS/Example", "/Applications/Example.app");
        row("upper-case-suffix", "/V/Applications/E.APP/Contents/MacOS/x", "/V/Applications/E.APP");
        row("several-dots", "/A/Example 2.5.app/Contents/MacOS/Example 2", "/A/Example 2.5.app");
        row("other-folder-in-contents", "/A/E.app/Contents/Other/x", "/A/E.app/Contents/Other");
        row("no-contents", "/A/E.app/MacOS/x", "/A/E.app/MacOS");
        row("not-an-app", "/A/E/Contents/MacOS/x", "/A/E/Contents/MacOS");
        row("suffix-alone", "/A/.app/Contents/MacOS/x", "/A/.app/Contents/MacOS");
        row("outside-any-bundle", "/usr/bin/x", "/usr/bin");
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
