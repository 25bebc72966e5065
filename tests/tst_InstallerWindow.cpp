#include "InstallerWindow.h"
#include "NativePlatform.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

// The native layer here: no title bar to dress, the bundle in the current
// folder (where the window starts its download), nothing installed.
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

// The window as built, before its event loop runs. The update itself is
// exercised with the real binary (tests/e2e).
class tst_InstallerWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(folder.path())); }
    void widgets_data();
    void widgets();
    void progress();

private:
    QTemporaryDir folder;
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
    QTest::newRow("logo") << "label" << QRect(30, 30, 80, 80) << ""
                          << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

void tst_InstallerWindow::widgets()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(QByteArray, sheet);

    InstallerWindow window(QStringLiteral("/Applications/Example.app"), QStringLiteral("http://127.0.0.1:9/U.zip"),
                           nullptr);
    QWidget *widget = name == window.objectName() ? &window : window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry().size(), geometry.size());
    if (widget != &window)
        QCOMPARE(widget->pos(), geometry.topLeft());
    QCOMPARE(QCryptographicHash::hash(widget->styleSheet().toUtf8(), QCryptographicHash::Sha256).toHex(), sheet);
    QCOMPARE(widget->property(widget == &window ? "windowTitle" : "text").toString(), text);
    if (auto *logo = qobject_cast<QLabel *>(widget); logo && text.isEmpty())
        QCOMPARE(logo->pixmap(Qt::ReturnByValue).size(), QSize(154, 144));
}

void tst_InstallerWindow::progress()
{
    InstallerWindow window(QStringLiteral("/Applications/Example.app"), QStringLiteral("http://127.0.0.1:9/U.pkg"),
                           nullptr);
    QVERIFY(window.windowFlags().testFlag(Qt::Dialog));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->maximum(), 1000);
    QVERIFY(!bar->isTextVisible());
    QVERIFY(QFile::exists(QStringLiteral("U.pkg")));
    const auto report = [&](qulonglong received, qulonglong total) {
        QMetaObject::invokeMethod(&window, "on_progress", Q_ARG(qulonglong, received), Q_ARG(qulonglong, total));
        return bar->value();
    };
    QCOMPARE(report(600, 1000), 600);
    QCOMPARE(report(1, 0), 600);
    QCOMPARE(report(0, 1000), 30);
}

QTEST_MAIN(tst_InstallerWindow)
#include "tst_InstallerWindow.moc"
