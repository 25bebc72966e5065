#include "FakeNativePlatform.h"
#include "InstallerWindow.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>

namespace {

QByteArray sha256(const QString &text)
{
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex();
}

} // namespace

class tst_InstallerWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void windowProperties();
    void widgetTree();
    void childGeometry_data();
    void childGeometry();
    void styleSheets_data();
    void styleSheets();
    void progressBarStartsEmpty();
    void logo();
    void titleBarSetUpOnce();
    void metaObject();
    void cancelClosesWindow();
    void installRunsOneCommand_data();
    void installRunsOneCommand();
    void installResult_data();
    void installResult();
    void installRefusesControlCharacters_data();
    void installRefusesControlCharacters();
};

void tst_InstallerWindow::init()
{
    FakeNativePlatform::reset();
}

void tst_InstallerWindow::windowProperties()
{
    InstallerWindow window(QStringLiteral("/Applications/Example.app"), QStringLiteral("http://127.0.0.1:9/Update.zip"),
                           nullptr);

    QCOMPARE(window.objectName(), QStringLiteral("InstallerWindow"));
    QCOMPARE(window.size(), QSize(564, 148));
    QCOMPARE(window.minimumSize(), QSize(564, 148));
    QCOMPARE(window.maximumSize(), QSize(564, 148));
    QCOMPARE(window.windowTitle(), QStringLiteral("Installing update..."));
    QCOMPARE(window.windowFlags() & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(window.windowFlags().testFlag(Qt::WindowTitleHint));
    QVERIFY(!window.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(window.menuWidget() == nullptr);
    QVERIFY(window.findChild<QStatusBar *>() == nullptr);
    QVERIFY(window.findChild<QToolBar *>() == nullptr);
}

void tst_InstallerWindow::widgetTree()
{
    InstallerWindow window(QString(), QString(), nullptr);

    QWidget *central = window.centralWidget();
    QVERIFY(central);
    QCOMPARE(central->objectName(), QStringLiteral("centralwidget"));
    QVERIFY(central->layout() == nullptr);
    QVERIFY(central->styleSheet().isEmpty());

    QStringList names;
    for (QObject *child : central->children())
        if (child->isWidgetType())
            names << child->objectName();
    QCOMPARE(names, (QStringList{"buttonCancel", "label", "progressBar", "label_2"}));

    auto *button = central->findChild<QPushButton *>(QStringLiteral("buttonCancel"));
    QVERIFY(button);
    QCOMPARE(button->text(), QStringLiteral("CANCEL UPDATE"));
    QVERIFY(!button->isDefault());
    auto *label = central->findChild<QLabel *>(QStringLiteral("label"));
    QVERIFY(label);
    QVERIFY(label->text().isEmpty());
    QCOMPARE(label->minimumSize(), QSize(80, 80));
    QCOMPARE(label->maximumSize(), QSize(80, 80));
    auto *status = central->findChild<QLabel *>(QStringLiteral("label_2"));
    QVERIFY(status);
    QCOMPARE(status->text(), QStringLiteral("Installing update..."));
}

void tst_InstallerWindow::childGeometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("cancel") << "buttonCancel" << QRect(361, 90, 171, 32);
    QTest::newRow("logo") << "label" << QRect(30, 30, 80, 80);
    QTest::newRow("progress") << "progressBar" << QRect(140, 55, 391, 10);
    QTest::newRow("status") << "label_2" << QRect(140, 35, 171, 16);
}

void tst_InstallerWindow::childGeometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);

    InstallerWindow window(QString(), QString(), nullptr);
    auto *widget = window.centralWidget()->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), geometry);
}

void tst_InstallerWindow::styleSheets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("hash");

    // Lengths and SHA-256 of the designed texts, taken from the design itself.
    QTest::newRow("window") << "InstallerWindow" << 1926
                            << QByteArray("5a0f6798b1ab1f967dd0116cb94ac622ad18a0e3bfbb045bcfffd4e9e662aa8c");
    QTest::newRow("cancel-button") << "buttonCancel" << 487
                                   << QByteArray("9bbb18fdce7a16e33113d6d3581fb79612dbddb6bb16fcb9925d9d71a2f32776");
    QTest::newRow("progress-bar") << "progressBar" << 159
                                  << QByteArray("835e52eeae4beda6d23db8f503379f8af5d761d9650a498a752218909b9e740e");
    QTest::newRow("status-text") << "label_2" << 59
                                 << QByteArray("cd754c1f360084a47dc15c46d160367b4d149254a715499ceca0f5762adf2ff1");
}

void tst_InstallerWindow::styleSheets()
{
    QFETCH(QString, name);
    QFETCH(int, length);
    QFETCH(QByteArray, hash);

    InstallerWindow window(QString(), QString(), nullptr);
    QWidget *widget = name == window.objectName() ? &window : window.findChild<QWidget *>(name);
    QVERIFY(widget);
    const QString sheet = widget->styleSheet();
    QCOMPARE(sheet.size(), length);
    QCOMPARE(sha256(sheet), hash);
}

void tst_InstallerWindow::progressBarStartsEmpty()
{
    InstallerWindow window(QString(), QString(), nullptr);
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(bar);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 1000);
    QCOMPARE(bar->value(), 0);
    QVERIFY(!bar->isTextVisible());
}

void tst_InstallerWindow::logo()
{
    InstallerWindow window(QString(), QString(), nullptr);
    auto *label = window.findChild<QLabel *>(QStringLiteral("label"));
    QVERIFY(label);
    const QPixmap pixmap = label->pixmap(Qt::ReturnByValue);
    QVERIFY(!pixmap.isNull());
    QCOMPARE(pixmap.size(), QSize(154, 144));
    QCOMPARE(pixmap.devicePixelRatio(), 2.0);
}

void tst_InstallerWindow::titleBarSetUpOnce()
{
    InstallerWindow window(QString(), QString(), nullptr);
    QCOMPARE(FakeNativePlatform::titleBarCalls(), 1);
    // The native window exists by then, and the flags were set before it.
    QVERIFY(FakeNativePlatform::lastTitleBarView() != nullptr);
    QCOMPARE(FakeNativePlatform::lastTitleBarView(), reinterpret_cast<void *>(window.winId()));
}

void tst_InstallerWindow::metaObject()
{
    const QMetaObject &meta = InstallerWindow::staticMetaObject;
    QCOMPARE(meta.className(), "InstallerWindow");
    QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
    const int first = meta.methodOffset();
    QVERIFY(meta.methodCount() > first);
    QCOMPARE(meta.method(first).methodSignature(), QByteArray("on_buttonCancel_clicked()"));
    QCOMPARE(meta.method(first).access(), QMetaMethod::Private);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
}

void tst_InstallerWindow::cancelClosesWindow()
{
    InstallerWindow window(QString(), QString(), nullptr);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *button = window.findChild<QPushButton *>(QStringLiteral("buttonCancel"));
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!window.isVisible());
}

void tst_InstallerWindow::installRunsOneCommand_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("shell");

    QTest::newRow("plain") << "/dir/Update.pkg"
                           << "/"
                           << QByteArray("do shell script \"/usr/sbin/installer -pkg '/dir/Update.pkg' -target '/'\" "
                                         "with administrator privileges")
                           << QByteArray("/usr/sbin/installer -pkg '/dir/Update.pkg' -target '/'");
    QTest::newRow("quoted") << "/tmp/it's \"q\" \\ x.pkg"
                            << "/Volumes/Data/"
                            << QByteArray("do shell script \"/usr/sbin/installer -pkg '/tmp/it'\\\\''s \\\"q\\\" "
                                          "\\\\ x.pkg' -target '/Volumes/Data/'\" with administrator privileges")
                            << QByteArray("/usr/sbin/installer -pkg '/tmp/it'\\''s \"q\" \\ x.pkg' -target "
                                          "'/Volumes/Data/'");
    QTest::newRow("utf8") << QString::fromUtf8("/Users/Zoë/Update.pkg") << "/"
                          << QByteArray("do shell script \"/usr/sbin/installer -pkg '/Users/Zo\xc3\xab/Update.pkg' "
                                        "-target '/'\" with administrator privileges")
                          << QByteArray("/usr/sbin/installer -pkg '/Users/Zo\xc3\xab/Update.pkg' -target '/'");
}

void tst_InstallerWindow::installRunsOneCommand()
{
    QFETCH(QString, package);
    QFETCH(QString, target);
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, shell);

    InstallerWindow window(QString(), QString(), nullptr);
    QString error;
    QVERIFY(window.install(package, target, error));
    QVERIFY(error.isEmpty());

    const auto &scripts = FakeNativePlatform::scriptsRun();
    QCOMPARE(scripts.size(), size_t(1));
    QCOMPARE(QByteArray::fromStdString(scripts.front().appleScriptSource), script);
    QCOMPARE(QByteArray::fromStdString(scripts.front().shellCommand), shell);
}

void tst_InstallerWindow::installResult_data()
{
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<int>("number");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("error");

    // number 0 and a null message stand for "not given".
    QTest::newRow("success") << true << 0 << QByteArray() << true << QString();
    QTest::newRow("cancelled") << false << -128 << QByteArray("User canceled.") << false
                               << "The administrator password is required to do this.";
    QTest::newRow("failed-with-message") << false << 1 << QByteArray("installer: Error - the package is damaged.")
                                         << false << "installer: Error - the package is damaged.";
    QTest::newRow("failed-silently") << false << 0 << QByteArray() << false << QString();
}

void tst_InstallerWindow::installResult()
{
    QFETCH(bool, succeeded);
    QFETCH(int, number);
    QFETCH(QByteArray, message);
    QFETCH(bool, result);
    QFETCH(QString, error);

    NativePlatform::ScriptOutcome outcome;
    outcome.succeeded = succeeded;
    if (number != 0)
        outcome.errorNumber = number;
    if (!message.isNull())
        outcome.errorMessage = message.toStdString();
    FakeNativePlatform::setScriptOutcome(outcome);

    InstallerWindow window(QString(), QString(), nullptr);
    QString text;
    QCOMPARE(window.install(QStringLiteral("/dir/Update.pkg"), QStringLiteral("/"), text), result);
    QCOMPARE(text, error);
    QCOMPARE(FakeNativePlatform::scriptsRun().size(), size_t(1));
}

void tst_InstallerWindow::installRefusesControlCharacters_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("named");

    QTest::newRow("package-line-feed") << "/tmp/a\nb.pkg"
                                       << "/"
                                       << "/tmp/a\\nb.pkg";
    QTest::newRow("package-nul") << QString("/tmp/a") + QChar(0) + "; rm -rf x.pkg"
                                 << "/"
                                 << "/tmp/a\\x00; rm -rf x.pkg";
    QTest::newRow("target-delete") << "/dir/Update.pkg" << QString("/") + QChar(0x7f) << "/\\x7f";
}

void tst_InstallerWindow::installRefusesControlCharacters()
{
    QFETCH(QString, package);
    QFETCH(QString, target);
    QFETCH(QString, named);

    InstallerWindow window(QString(), QString(), nullptr);
    QString error;
    QVERIFY(!window.install(package, target, error));
    QVERIFY2(error.contains(QLatin1Char('"') + named + QLatin1Char('"')), qPrintable(error));
    QVERIFY2(error.contains(QLatin1String("control character")), qPrintable(error));
    QVERIFY(FakeNativePlatform::scriptsRun().empty());
}

QTEST_MAIN(tst_InstallerWindow)
#include "tst_InstallerWindow.moc"
