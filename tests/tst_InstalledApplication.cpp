#include "InstalledApplication.h"

#include <QtTest>

#include <sys/stat.h>

// The installed application's identity, from its Info.plist in the two forms bundles ship (XML and binary, the latter
// written by Python's plistlib), and each way that file can fail to say it.
class tst_InstalledApplication : public QObject
{
    Q_OBJECT

private slots:
    void read_data()
    {
        QTest::addColumn<QString>("form");       // "xml" or "binary" through plistlib; "raw": `content` as it is
        QTest::addColumn<QByteArray>("content"); // plistlib: a Python dict
        QTest::addColumn<QString>("expected");   // "identifier version", or the error ({plist}: the file)

        const QByteArray example = "{'CFBundleIdentifier': 'com.example.Example', 'CFBundleVersion': '42'}";
        QTest::newRow("xml") << "xml" << example << "com.example.Example 42";
        QTest::newRow("binary") << "binary" << example << "com.example.Example 42";
        QTest::newRow("no-version") << "binary" << QByteArray("{'CFBundleIdentifier': 'com.example.Example'}")
                                    << "com.example.Example ";
        QTest::newRow("no-identifier") << "xml" << QByteArray("{'CFBundleVersion': '42'}")
                                       << "The application's {plist} gives no CFBundleIdentifier.";
        QTest::newRow("identifier-not-a-string") << "binary" << QByteArray("{'CFBundleIdentifier': 7}")
                                                 << "The application's {plist} gives no CFBundleIdentifier.";
        QTest::newRow("not-a-dictionary") << "xml" << QByteArray("['com.example.Example']")
                                          << "The application's {plist} is not a property list of a bundle.";
        QTest::newRow("garbage") << "raw" << QByteArray("bplist00 not really")
                                 << "The application's {plist} is not a property list of a bundle.";
        QTest::newRow("missing") << "none" << QByteArray()
                                 << "The application's {plist} cannot be read (No such file or directory).";
        // Opened without waiting for a writer.
        QTest::newRow("fifo") << "fifo" << QByteArray()
                              << "The application's {plist} cannot be read (it is not a regular file).";
        // At the limit, whitespace filling it out.
        QByteArray largest =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
            "<string>com.example.Example</string><key>CFBundleVersion</key><string>42</string></dict>";
        largest += QByteArray(1024 * 1024 - largest.size() - 8, ' ') + "</plist>";
        QTest::newRow("largest") << "raw" << largest << "com.example.Example 42";
        QTest::newRow("too-large") << "raw" << QByteArray(1024 * 1024 + 1, ' ')
                                   << "The application's {plist} cannot be read (it is larger than 1048576 bytes).";
    }

    void read()
    {
        QFETCH(QString, form);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);

        const QTemporaryDir dir;
        const QString bundle = dir.filePath("Example.app");
        const QString plist = bundle + "/Contents/Info.plist";
        QVERIFY(QDir().mkpath(bundle + "/Contents"));
        if (form == "xml" || form == "binary") {
            QProcess python;
            python.start("python3", {"-c", "import plistlib, sys; sys.stdout.buffer.write(plistlib.dumps(" + content +
                                               ", fmt=plistlib.FMT_" + form.toUpper() + "))"});
            QVERIFY(python.waitForFinished() && python.exitCode() == 0);
            content = python.readAllStandardOutput();
            QCOMPARE(content.startsWith("bplist00"), form == "binary");
        }
        if (form == "fifo")
            QCOMPARE(mkfifo(QFile::encodeName(plist).constData(), 0600), 0);
        if (form != "none" && form != "fifo") {
            QFile file(plist);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        }

        BundleIdentity installed;
        QString error;
        const bool read = readInstalledApplication(bundle, installed, error);
        QCOMPARE(read ? installed.identifier + ' ' + installed.version : error,
                 QString(expected).replace("{plist}", plist));
    }
};

QTEST_GUILESS_MAIN(tst_InstalledApplication)
#include "tst_InstalledApplication.moc"
