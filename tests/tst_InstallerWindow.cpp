#include "InstallerWindow.h"
#include "NativePlatform.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QLabel>
#include <QProgressBar>

// Here the bundle is in the current folder, where the window starts its
// download, and nothing is installed: the update itself runs in tests/e2e.
namespace NativePlatform {
void setupTitleBar(void *) {}
std::string bundlePath()
{
    return "Tarnwick Installer.app";
}
ScriptOutcome runPrivilegedScript(const PrivilegedCommand &)
{
    return {};
}
} // namespace NativePlatform

class tst_InstallerWindow : public QObject
{
    Q_OBJECT

private slots:
    void widgets_data();
    void widgets();
    void progress();
};

void tst_InstallerWindow::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("sheet"); // SHA-256 of the designed style sheet

    QTest::newRow("window") << "InstallerWindow" << QRect(0, 0, 564, 148) << "Installing update..."
                            << QByteArray("5a0f6798b1ab1f967dd0116cb94ac622ad18a0e3bfbb045bcfffd4e9e662aa8c");
    QTest::newRow("cancel") << "buttonCancel" << QRect(361, 90, 171, 32) << "CANCEL UPDATE"
                            << QByteArray("9bbb18fdce7a16e33113d6d3581fb79612dbddb6bb16fcb9925d9d71a2f32776");
    QTest::newRow("bar") << "progressBar" << QRect(140, 55, 391, 10) << "0%"
                         << QByteArray("835e52eeae4beda6d23db8f503379f8af5d761d9650a498a752218909b9e740e");
    QTest::newRow("status") << "label_2" << QRect(140, 35, 171, 16) << "Installing update..."
                            << QByteArray("cd754c1f360084a47dc15c46d160367b4d149254a715499ceca0f5762adf2ff1");
}

void tst_InstallerWindow::widgets()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(QByteArray, sheet);

    QTemporaryDir folder;
    QDir::setCurrent(folder.path());
    InstallerWindow window("/Applications/Example.app", "http://127.0.0.1:9/U.zip", nullptr);
    QWidget *widget = name == window.objectName() ? &window : window.findChild<QWidget *>(name);
    QCOMPARE(widget == &window ? QRect(QPoint(), window.size()) : widget->geometry(), geometry);
    QCOMPARE(widget->property(widget == &window ? "windowTitle" : "text").toString(), text);
    QCOMPARE(QCryptographicHash::hash(widget->styleSheet().toUtf8(), QCryptographicHash::Sha256).toHex(), sheet);
}

void tst_InstallerWindow::progress()
{
    QTemporaryDir folder;
    QDir::setCurrent(folder.path());
    InstallerWindow window("/Applications/Example.app", "http://127.0.0.1:9/U.pkg", nullptr);
    QVERIFY(QFile::exists("U.pkg") && window.windowFlags().testFlag(Qt::Dialog));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(window.findChild<QLabel *>("label")->pixmap(Qt::ReturnByValue).size(), QSize(154, 144));
    auto *bar = window.findChild<QProgressBar *>("progressBar");
    QVERIFY(bar->value() == 0 && bar->maximum() == 1000 && !bar->isTextVisible());
    const qulonglong steps[][3] = {{600, 1000, 600}, {1, 0, 600}, {0, 1000, 30}}; // received, total, value
    for (const auto &step : steps) {
        QMetaObject::invokeMethod(&window, "on_progress", Q_ARG(qulonglong, step[0]), Q_ARG(qulonglong, step[1]));
        QCOMPARE(qulonglong(bar->value()), step[2]);
    }
}

QTEST_MAIN(tst_InstallerWindow)
#include "tst_InstallerWindow.moc"
