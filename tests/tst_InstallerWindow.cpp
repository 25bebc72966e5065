#include "FakeNativePlatform.h"
#include "InstallerWindow.h"
#include "TestHttpServer.h"
#include "ZipBuilder.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>

#include <algorithm>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

QByteArray sha256(const QString &text)
{
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex();
}

// What a message box showed before it was dismissed.
struct SeenBox
{
    QString title;
    QString text;
    QStringList buttonTexts;
    QStringList buttonNames;
    bool windowModal = false;
};

// Dismisses every message box that appears, as a person would, by clicking its
// "CLOSE" button, and remembers what each one showed. Polls from a timer, so it
// also works inside the boxes' own event loops.
class BoxCloser : public QObject
{
public:
    BoxCloser()
    {
        connect(&timer, &QTimer::timeout, this, &BoxCloser::closeOpenBoxes);
        timer.start(10);
    }

    QList<SeenBox> seen;
    // Runs while a box is still open, before it is dismissed.
    std::function<void()> beforeClosing;

private:
    void closeOpenBoxes()
    {
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget *widget : windows) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible() || handled.contains(box))
                continue;
            handled << box;
            SeenBox record;
            record.title = box->windowTitle();
            record.text = box->text();
            record.windowModal = box->windowModality() == Qt::WindowModal;
            QAbstractButton *close = nullptr;
            const QList<QAbstractButton *> buttons = box->buttons();
            for (QAbstractButton *button : buttons) {
                record.buttonTexts << button->text();
                record.buttonNames << button->objectName();
                if (button->text() == QLatin1String("CLOSE"))
                    close = button;
            }
            seen << record;
            if (beforeClosing)
                beforeClosing();
            if (close)
                close->click();
        }
    }

    QTimer timer;
    QList<QPointer<QMessageBox>> handled;
};

QStringList texts(const QList<SeenBox> &boxes)
{
    QStringList result;
    for (const SeenBox &box : boxes)
        result << box.text;
    return result;
}

QStringList entries(const QString &dirPath)
{
    return QDir(dirPath).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray zipHolding(const QByteArray &entryName, const QByteArray &data)
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("made.zip"));
    QString error;
    if (!ZipBuilder().add(entryName, data).write(path, error))
        qFatal("cannot make a test archive: %s", qPrintable(error));
    return readFile(path);
}

// An application bundle whose executable writes `marker` when it is started.
bool makeApplication(const QString &appPath, const QString &marker)
{
    const QString executable = appPath + QStringLiteral("/Contents/MacOS/") + QFileInfo(appPath).baseName();
    return QDir().mkpath(QFileInfo(executable).path()) &&
           writeFile(executable, "#!/bin/sh\necho started > '" + marker.toUtf8() + "'\n") &&
           QFile::setPermissions(executable, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

NativePlatform::ScriptOutcome outcome(bool succeeded, std::optional<int> number = std::nullopt,
                                      std::optional<std::string> message = std::nullopt)
{
    NativePlatform::ScriptOutcome result;
    result.succeeded = succeeded;
    result.errorNumber = number;
    result.errorMessage = std::move(message);
    return result;
}

} // namespace

Q_DECLARE_METATYPE(NativePlatform::ScriptOutcome)

class tst_InstallerWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

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
    void installRefusesControlCharacters_data();
    void installRefusesControlCharacters();

    void downloadsBesideOwnBundle();
    void startFailure_data();
    void startFailure();
    void progress_data();
    void progress();
    void progressFollowsDownload();
    void transferError();
    void failedWriteNeverInstalls_data();
    void failedWriteNeverInstalls();
    void leaveDuringDownload_data();
    void leaveDuringDownload();
    void completion_data();
    void completion();
    void relaunchBeforeFailedCleanUp();

private:
    // A window whose download goes beside tmp/"Tarnwick Installer.app".
    std::unique_ptr<InstallerWindow> makeWindow(const QString &appPath = QStringLiteral("/Applications/Example.app"),
                                                const QString &url = QString());
    QString downloadDir() const { return tmp->path(); }

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<TestHttpServer> server;
};

void tst_InstallerWindow::init()
{
    FakeNativePlatform::reset();
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    FakeNativePlatform::setBundlePath(tmp->filePath(QStringLiteral("Tarnwick Installer.app")).toStdString());
    server = std::make_unique<TestHttpServer>();
    QVERIFY(server->start());
    // By default the download starts and then waits: the form tests see a
    // window in its downloading state.
    server->setAnswer(QStringLiteral("/Update.zip"), TestHttpAnswer::ok("PK").holdAfter(0));
}

void tst_InstallerWindow::cleanup()
{
    server.reset();
    tmp.reset();
}

std::unique_ptr<InstallerWindow> tst_InstallerWindow::makeWindow(const QString &appPath, const QString &url)
{
    return std::make_unique<InstallerWindow>(appPath, url.isEmpty() ? server->url(QStringLiteral("/Update.zip")) : url,
                                             nullptr);
}

void tst_InstallerWindow::windowProperties()
{
    const auto owner = makeWindow();
    InstallerWindow &window = *owner;

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
    const auto owner = makeWindow();
    InstallerWindow &window = *owner;

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

    const auto owner = makeWindow();
    InstallerWindow &window = *owner;
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

    const auto owner = makeWindow();
    InstallerWindow &window = *owner;
    QWidget *widget = name == window.objectName() ? &window : window.findChild<QWidget *>(name);
    QVERIFY(widget);
    const QString sheet = widget->styleSheet();
    QCOMPARE(sheet.size(), length);
    QCOMPARE(sha256(sheet), hash);
}

void tst_InstallerWindow::progressBarStartsEmpty()
{
    const auto owner = makeWindow();
    InstallerWindow &window = *owner;
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(bar);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 1000);
    QCOMPARE(bar->value(), 0);
    QVERIFY(!bar->isTextVisible());
}

void tst_InstallerWindow::logo()
{
    const auto owner = makeWindow();
    InstallerWindow &window = *owner;
    auto *label = window.findChild<QLabel *>(QStringLiteral("label"));
    QVERIFY(label);
    const QPixmap pixmap = label->pixmap(Qt::ReturnByValue);
    QVERIFY(!pixmap.isNull());
    QCOMPARE(pixmap.size(), QSize(154, 144));
    QCOMPARE(pixmap.devicePixelRatio(), 2.0);
}

void tst_InstallerWindow::titleBarSetUpOnce()
{
    const auto owner = makeWindow();
    InstallerWindow &window = *owner;
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
    const auto owner = makeWindow();
    InstallerWindow &window = *owner;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *button = window.findChild<QPushButton *>(QStringLiteral("buttonCancel"));
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!window.isVisible());
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

    const auto owner = makeWindow();
    InstallerWindow &window = *owner;
    QString error;
    QVERIFY(!window.install(package, target, error));
    QVERIFY2(error.contains(QLatin1Char('"') + named + QLatin1Char('"')), qPrintable(error));
    QVERIFY2(error.contains(QLatin1String("control character")), qPrintable(error));
    QVERIFY(FakeNativePlatform::scriptsRun().empty());
}

void tst_InstallerWindow::downloadsBesideOwnBundle()
{
    // given
    server->setAnswer(QStringLiteral("/files/Update%20v2.pkg?token=1"), TestHttpAnswer::ok("package").holdAfter(3));

    // when
    const auto window = makeWindow(QStringLiteral("/Applications/Example.app"),
                                   server->url(QStringLiteral("/files/Update%20v2.pkg?token=1")));

    // then: the file is named after the URL's decoded last segment, in the
    // folder that holds the updater's bundle.
    QVERIFY(server->waitForRequests(1));
    QCOMPARE(server->requests().first().target, QByteArray("/files/Update%20v2.pkg?token=1"));
    QTRY_VERIFY(QFileInfo::exists(tmp->filePath(QStringLiteral("Update v2.pkg"))));
    QCOMPARE(entries(downloadDir()), QStringList{"Update v2.pkg"});
}

void tst_InstallerWindow::startFailure_data()
{
    QTest::addColumn<QString>("bundleParent"); // relative to the temporary folder
    QTest::addColumn<QString>("urlPath");
    QTest::addColumn<QString>("reason"); // %1: the temporary folder

    QTest::newRow("directory-under-a-file") << "plain-file/sub"
                                            << "/Update.zip"
                                            << "The directory %1/plain-file/sub is not accessible.";
    QTest::newRow("url-ends-in-slash") << "updates"
                                       << "/downloads/"
                                       << "Failed to create %1/updates/ (";
}

void tst_InstallerWindow::startFailure()
{
    QFETCH(QString, bundleParent);
    QFETCH(QString, urlPath);
    QFETCH(QString, reason);

    // given
    QVERIFY(writeFile(tmp->filePath(QStringLiteral("plain-file")), "not a folder"));
    FakeNativePlatform::setBundlePath(tmp->filePath(bundleParent + QStringLiteral("/Updater.app")).toStdString());
    BoxCloser closer;

    // when: the box is shown and dismissed inside the constructor
    const auto window = makeWindow(QStringLiteral("/Applications/Example.app"), server->url(urlPath));
    QCOMPARE(closer.seen.size(), 1);
    window->show(); // as the program's entry does after construction

    // then
    const SeenBox &box = closer.seen.first();
    QCOMPARE(box.title, QStringLiteral("Tarnwick Installer"));
    QVERIFY2(box.text.startsWith(QStringLiteral("Failed to download the update.\n\n") + reason.arg(tmp->path())),
             qPrintable(box.text));
    QCOMPARE(box.buttonTexts, QStringList{"CLOSE"});
    QCOMPARE(box.buttonNames, QStringList{"CLOSE"});
    QVERIFY(box.windowModal);
    QTRY_VERIFY(!window->isVisible());
    QVERIFY(server->requests().isEmpty());
    QVERIFY(FakeNativePlatform::scriptsRun().empty());
}

void tst_InstallerWindow::progress_data()
{
    QTest::addColumn<qulonglong>("received");
    QTest::addColumn<qulonglong>("total");
    QTest::addColumn<int>("value");

    // Each row starts from a bar at 500.
    QTest::newRow("total-zero") << 10ull << 0ull << 500;
    QTest::newRow("nothing-yet") << 0ull << 5000ull << 30;
    QTest::newRow("below-floor") << 145ull << 5000ull << 30;
    QTest::newRow("above-floor") << 160ull << 5000ull << 32;
    QTest::newRow("complete") << 5000ull << 5000ull << 1000;
    QTest::newRow("more-than-announced") << 5005ull << 5000ull << 500;
    QTest::newRow("unknown-size") << 1000000ull << 18446744073709551615ull << 30;
}

void tst_InstallerWindow::progress()
{
    QFETCH(qulonglong, received);
    QFETCH(qulonglong, total);
    QFETCH(int, value);

    const auto window = makeWindow();
    auto *bar = window->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    bar->setValue(500);
    QVERIFY(
        QMetaObject::invokeMethod(window.get(), "on_progress", Q_ARG(qulonglong, received), Q_ARG(qulonglong, total)));
    QCOMPARE(bar->value(), value);
}

void tst_InstallerWindow::progressFollowsDownload()
{
    // given: a body that arrives in slow pieces, held open at the end
    const QByteArray body(200000, 'p');
    server->setAnswer(QStringLiteral("/Update.zip"),
                      TestHttpAnswer::ok(body).inPieces(20000, 20).holdAfter(body.size() - 1));

    // when
    const auto window = makeWindow();
    auto *bar = window->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QList<int> values;
    connect(bar, &QProgressBar::valueChanged, this, [&values](int value) { values << value; });

    // then: from the floor of 30 up, never back, to just below full
    QTRY_VERIFY_WITH_TIMEOUT(!values.isEmpty() && values.last() == 999, 20000);
    QVERIFY2(values.first() >= 30, qPrintable(QString::number(values.first())));
    QVERIFY(std::is_sorted(values.begin(), values.end()));
    QVERIFY(values.size() > 1);
}

void tst_InstallerWindow::transferError()
{
    // given
    server->setAnswer(QStringLiteral("/Update.zip"), TestHttpAnswer::withStatus(404, "no such update"));
    BoxCloser closer;

    // when
    const auto window = makeWindow();
    window->show();

    // then: the box, the window closed, the error page kept on disk
    QTRY_VERIFY(!window->isVisible());
    QCOMPARE(texts(closer.seen), QStringList{QStringLiteral("Failed to update.\n\nError transferring %1 - server "
                                                            "replied: Not Found")
                                                 .arg(server->url(QStringLiteral("/Update.zip")))});
    QCOMPARE(readFile(tmp->filePath(QStringLiteral("Update.zip"))), QByteArray("no such update"));
    QVERIFY(FakeNativePlatform::scriptsRun().empty());
}

void tst_InstallerWindow::failedWriteNeverInstalls_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("in-pieces") << 300000;
    QTest::newRow("fits-in-file-buffer") << 1000;
}

void tst_InstallerWindow::failedWriteNeverInstalls()
{
    QFETCH(int, size);

    if (geteuid() != 0 && qEnvironmentVariableIsEmpty("CI"))
        QSKIP("needs root to make a character device");
    // given: the download lands on a private copy of /dev/full, so every write fails
    const QString full = tmp->filePath(QStringLiteral("Update.pkg"));
    QVERIFY2(mknod(full.toLocal8Bit().constData(), S_IFCHR | 0600, makedev(1, 7)) == 0, strerror(errno));
    const QByteArray body(size, 'p');
    server->setAnswer(QStringLiteral("/Update.pkg"), TestHttpAnswer::ok(body).inPieces(qMin(size, 50000), 10));
    BoxCloser closer;
    QSignalSpy ended(server.get(), &TestHttpServer::answerEnded);

    // when
    const auto window =
        makeWindow(QStringLiteral("/Applications/Example.app"), server->url(QStringLiteral("/Update.pkg")));
    window->show();

    // then: one box; the rest of the body arrives but nothing is installed
    QTRY_VERIFY(!window->isVisible());
    QVERIFY(!ended.isEmpty() || ended.wait(20000));
    QTest::qWait(200);
    QCOMPARE(texts(closer.seen), QStringList{"Failed to update.\n\nI/O failure (No space left on device)"});
    QVERIFY(FakeNativePlatform::scriptsRun().empty());
}

void tst_InstallerWindow::leaveDuringDownload_data()
{
    QTest::addColumn<bool>("cancel"); // the "CANCEL UPDATE" button, else the title bar's close button
    QTest::addColumn<bool>("fileKept");

    QTest::newRow("cancel-removes-file") << true << false;
    QTest::newRow("close-keeps-file") << false << true;
}

void tst_InstallerWindow::leaveDuringDownload()
{
    QFETCH(bool, cancel);
    QFETCH(bool, fileKept);

    // given: part of the body is on disk
    server->setAnswer(QStringLiteral("/Update.zip"), TestHttpAnswer::ok(QByteArray(200000, 'z')).holdAfter(100000));
    const auto window = makeWindow();
    window->show();
    const QString file = tmp->filePath(QStringLiteral("Update.zip"));
    QTRY_VERIFY(QFileInfo(file).size() > 0); // what the file's buffer has let through

    // when
    if (cancel)
        QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("buttonCancel")), Qt::LeftButton);
    else
        QVERIFY(window->close());

    // then
    QVERIFY(!window->isVisible());
    QCOMPARE(QFileInfo(file).size() > 0, fileKept);
    QCOMPARE(QFileInfo::exists(file), fileKept);
    QVERIFY(FakeNativePlatform::scriptsRun().empty());
}

void tst_InstallerWindow::completion_data()
{
    QTest::addColumn<QString>("fileName");  // the URL's last segment
    QTest::addColumn<QByteArray>("body");   // what the server sends
    QTest::addColumn<QString>("appFolder"); // below the temporary folder
    QTest::addColumn<NativePlatform::ScriptOutcome>("installOutcome");
    QTest::addColumn<QString>("installed"); // package handed to the installer; empty: none
    QTest::addColumn<QString>("boxText");   // empty: no box; %1: the app path
    QTest::addColumn<bool>("relaunched");
    QTest::addColumn<QStringList>("left"); // the download folder's entries afterwards

    const QByteArray package = "xar! the package";
    const QString apps = QStringLiteral("apps/Applications");
    const QStringList nothing{"apps"};
    const auto ok = outcome(true);

    QTest::newRow("zip") << "Update.zip" << zipHolding("Update.pkg", package) << apps << ok << "Update.pkg" << QString()
                         << true << nothing;
    QTest::newRow("upper-case-zip") << "Update.ZIP" << zipHolding("Update.pkg", package) << apps << ok << "Update.pkg"
                                    << QString() << true << nothing;
    QTest::newRow("mixed-case-zip") << "update.Zip" << zipHolding("update.pkg", package) << apps << ok << "update.pkg"
                                    << QString() << true << nothing;
    QTest::newRow("entry-in-other-case") << "Update.zip" << zipHolding("UPDATE.PKG", package) << apps << ok
                                         << "Update.pkg" << QString() << true << nothing;
    QTest::newRow("pkg") << "Update.pkg" << package << apps << ok << "Update.pkg" << QString() << true << nothing;
    QTest::newRow("other-suffix") << "Update.dmg" << package << apps << ok << "Update.dmg" << QString() << true
                                  << nothing;
    QTest::newRow("a-not-an-archive") << "Update.zip" << package << apps << ok << QString()
                                      << "Failed to update.\n\nError code 1." << false
                                      << QStringList{"Update.zip", "apps"};
    QTest::newRow("b-no-package-entry") << "Update.zip" << zipHolding("Other.pkg", package) << apps << ok << QString()
                                        << "Failed to update.\n\nError code 3 (-100)." << false << nothing;
    QTest::newRow("b-package-in-folder") << "Update.zip" << zipHolding("Folder/Update.pkg", package) << apps << ok
                                         << QString() << "Failed to update.\n\nError code 3 (-100)." << false
                                         << nothing;
    QTest::newRow("c-zip") << "Update.zip" << zipHolding("Update.pkg", package) << "apps/Desktop" << ok << QString()
                           << "Failed to update.\n\nUnexpected application path %1" << false << nothing;
    QTest::newRow("c-pkg") << "Update.pkg" << package << "apps/applications" << ok << QString()
                           << "Failed to update.\n\nUnexpected application path %1" << false << nothing;
    QTest::newRow("d-message") << "Update.zip" << zipHolding("Update.pkg", package) << apps
                               << outcome(false, 1, std::string("installer: the package is damaged")) << "Update.pkg"
                               << "Failed to update.\n\ninstaller: the package is damaged" << false << nothing;
    QTest::newRow("d-cancelled") << "Update.pkg" << package << apps
                                 << outcome(false, -128, std::string("User canceled.")) << "Update.pkg"
                                 << "Failed to update.\n\nThe administrator password is required to do this." << false
                                 << nothing;
    QTest::newRow("d-silent") << "Update.zip" << zipHolding("Update.pkg", package) << apps << outcome(false)
                              << "Update.pkg"
                              << "Failed to update.\n\n"
                              << false << nothing;
}

void tst_InstallerWindow::completion()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, body);
    QFETCH(QString, appFolder);
    QFETCH(NativePlatform::ScriptOutcome, installOutcome);
    QFETCH(QString, installed);
    QFETCH(QString, boxText);
    QFETCH(bool, relaunched);
    QFETCH(QStringList, left);

    // given
    const QString appPath = tmp->filePath(appFolder + QStringLiteral("/Example.app"));
    const QString marker = tmp->filePath(QStringLiteral("apps/started"));
    QVERIFY(makeApplication(appPath, marker));
    server->setAnswer(QLatin1Char('/') + fileName, TestHttpAnswer::ok(body));
    FakeNativePlatform::setScriptOutcome(installOutcome);
    QByteArray packageSeen;
    FakeNativePlatform::setScriptAction(
        [&](const NativePlatform::PrivilegedCommand &) { packageSeen = readFile(tmp->filePath(installed)); });
    BoxCloser closer;

    // when
    const auto window = makeWindow(appPath, server->url(QLatin1Char('/') + fileName));
    window->show();
    QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 20000);

    // then
    if (boxText.contains(QLatin1String("%1")))
        boxText = boxText.arg(appPath);
    QCOMPARE(texts(closer.seen), boxText.isEmpty() ? QStringList() : QStringList{boxText});
    const auto &scripts = FakeNativePlatform::scriptsRun();
    if (installed.isEmpty()) {
        QVERIFY(scripts.empty());
    } else {
        QCOMPARE(scripts.size(), size_t(1));
        const QString target = appPath.left(appPath.indexOf(QStringLiteral("/Applications")) + 1);
        QCOMPARE(QString::fromStdString(scripts.front().shellCommand),
                 QStringLiteral("/usr/sbin/installer -pkg '%1' -target '%2'").arg(tmp->filePath(installed), target));
        QCOMPARE(packageSeen, QByteArray("xar! the package"));
    }
    if (relaunched)
        QTRY_VERIFY(QFileInfo::exists(marker));
    else
        QTest::qWait(200); // a relaunch would have written the marker by now
    QCOMPARE(QFileInfo::exists(marker), relaunched);
    QFile::remove(marker);
    QCOMPARE(entries(downloadDir()), left);
}

void tst_InstallerWindow::relaunchBeforeFailedCleanUp()
{
    // given: the installer leaves a folder where the package was, which
    // QFile::remove cannot take away
    const QString appPath = tmp->filePath(QStringLiteral("apps/Applications/Example 2.5.app"));
    const QString marker = tmp->filePath(QStringLiteral("apps/started"));
    QVERIFY(makeApplication(appPath, marker));
    server->setAnswer(QStringLiteral("/Update.zip"), TestHttpAnswer::ok(zipHolding("Update.pkg", "package")));
    const QString package = tmp->filePath(QStringLiteral("Update.pkg"));
    FakeNativePlatform::setScriptAction([&](const NativePlatform::PrivilegedCommand &) {
        QFile::remove(package);
        QDir().mkpath(package + QStringLiteral("/Contents"));
    });
    BoxCloser closer;
    bool startedWhileBoxOpen = false;
    closer.beforeClosing = [&] { startedWhileBoxOpen = QTest::qWaitFor([&] { return QFileInfo::exists(marker); }); };

    // when
    const auto window = makeWindow(appPath, server->url(QStringLiteral("/Update.zip")));
    window->show();
    QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 20000);

    // then
    QCOMPARE(texts(closer.seen), QStringList{"Failed to remove file.\n\n" + package});
    QVERIFY2(startedWhileBoxOpen, "the application is started before the clean-up is reported");
    QVERIFY(!QFileInfo::exists(tmp->filePath(QStringLiteral("Update.zip"))));
}

QTEST_MAIN(tst_InstallerWindow)
#include "tst_InstallerWindow.moc"
