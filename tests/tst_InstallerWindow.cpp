#include "InstallerWindow.h"
#include "NativeStub.h"
#include "Zips.h"

#include <QtTest>

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>

using namespace NativeStub;

// `file` at the server's port on 127.0.0.1.
QString urlOn(quint16 port, const char *file)
{
    return QString("http://127.0.0.1:%1/%2").arg(port).arg(file);
}

class tst_InstallerWindow : public QObject
{
    Q_OBJECT

private slots:
    // The widgets' places and texts, and the look the style sheets give, as Qt applies them: the colours of the
    // widgets' palettes, their fonts, and pixels of the window as drawn with the bar half full. CLOSE, CANCEL, LOAD and
    // NO are the buttons of the message boxes shown over the window, styled by its sheet: stand-ins are added.
    void look_data()
    {
        // aspect: "geometry", "caption", "title bar" (whose native view the platform dressed), "text" or "background"
        // colour, "font", "pixel x y"; colours as #aarrggbb
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("aspect");
        QTest::addColumn<QString>("value");

        const auto row = [](const char *tag, const QString &name, const QString &aspect, const QString &value) {
            QTest::newRow(tag) << name << aspect << value;
        };
        row("window-size", "InstallerWindow", "geometry", "0,0 564x148");
        row("cancel-geometry", "buttonCancel", "geometry", "361,90 171x32");
        row("cancel-caption", "buttonCancel", "caption", "CANCEL UPDATE");
        row("bar-geometry", "progressBar", "geometry", "140,55 391x10");
        row("status-geometry", "label_2", "geometry", "140,35 171x16");
        row("logo-geometry", "label", "geometry", "30,30 80x80");
        row("window-title-bar", "InstallerWindow", "title bar", "the window's own");
        row("window-background", "InstallerWindow", "pixel 5 5", "#ff323232");
        row("window-text", "InstallerWindow", "text", "#ffffffff");
        row("window-font", "InstallerWindow", "font", "Montserrat, 12 px, normal");
        row("status-text", "label_2", "text", "#ffcfcfcf");
        row("status-font", "label_2", "font", "Montserrat, 13 px, normal");
        row("cancel-update-text", "buttonCancel", "text", "#ccffffff");
        row("cancel-update-see-through", "buttonCancel", "background", "#00000000");
        // CSS's weight 900: black or heavier, as each toolkit counts weights.
        row("cancel-update-font", "buttonCancel", "font", "Montserrat Medium, 12 px, black");
        row("bar-chunk-green", "progressBar", "pixel 97 5", "#ff4fcd7f");
        row("bar-track-grey", "progressBar", "pixel 293 5", "#ff808080");
        // The see-through #CCFFFFFF over the window's #323232: 0.8 * 255 + 0.2 * 50 = 214.
        row("cancel-update-outline", "buttonCancel", "pixel 85 1", "#ffd6d6d6");
        row("close-button-text", "CLOSE", "text", "#ccffffff");
        // The stand-ins are 100 x 30. #CC4fcd7f over #323232: 0.8 * (79, 205, 127) + 0.2 * 50.
        row("close-button-fill", "CLOSE", "pixel 20 15", "#ff49ae70");
        row("close-button-outline", "CLOSE", "pixel 50 1", "#ff323232");
        row("cancel-button-text", "CANCEL", "text", "#ccffffff");
        row("cancel-button-outline", "CANCEL", "pixel 50 1", "#ffd6d6d6");
        row("cancel-button-inside", "CANCEL", "pixel 20 15", "#ff323232");
        row("load-button-green", "LOAD", "background", "#cc4fcd7f");
        row("no-button-see-through", "NO", "background", "#00000000");
    }

    void look()
    {
        QFETCH(QString, name);
        QFETCH(QString, aspect);
        QFETCH(QString, value);

        const InTemporaryFolder folder;
        InstallerWindow window("/Applications/Example.app", "http://127.0.0.1:9/U.zip", nullptr);
        QWidget *widget = name == window.objectName() ? &window : window.findChild<QWidget *>(name);
        if (!widget) {
            widget = new QPushButton(name, &window);
            widget->setObjectName(name);
        }
        widget->ensurePolished();

        const QStringList words = aspect.split(' ');
        const QRect place = widget == &window ? QRect(QPoint(), window.size()) : widget->geometry();
        const QFont font = widget->font();
        const QString weight = font.weight() == QFont::Normal  ? QStringLiteral("normal")
                               : font.weight() >= QFont::Black ? QStringLiteral("black")
                                                               : QString::number(font.weight());
        QString seen;
        if (aspect == "geometry")
            seen = QString::asprintf("%d,%d %dx%d", place.x(), place.y(), place.width(), place.height());
        else if (aspect == "caption")
            seen = widget->property("text").toString(); // the window's title is how tests/e2e finds it
        else if (aspect == "text" || aspect == "background")
            seen = widget->palette()
                       .color(aspect == "text" ? widget->foregroundRole() : widget->backgroundRole())
                       .name(QColor::HexArgb);
        else if (aspect == "title bar")
            seen = titleBarView == reinterpret_cast<void *>(window.winId()) ? "the window's own" : "none";
        else if (aspect == "font")
            seen = QString("%1, %2 px, %3").arg(font.family()).arg(font.pixelSize()).arg(weight);
        else if (words.first() == "pixel") { // as the whole window draws it: see-through colours over what is below
            window.findChild<QProgressBar *>("progressBar")->setValue(500);
            seen = window.grab()
                       .toImage()
                       .pixelColor(widget->mapTo(&window, QPoint(words.at(1).toInt(), words.at(2).toInt())))
                       .name(QColor::HexArgb);
        }
        QCOMPARE(seen, value);
    }

    // The bar follows the bytes as they come, and UpdateSteps' arithmetic.
    void progress()
    {
        const InTemporaryFolder folder;
        QTcpServer server; // sends 600 bytes of 1000 and waits
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, &server, [&] {
            server.nextPendingConnection()->write("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" +
                                                  QByteArray(600, 'p'));
        });
        InstallerWindow window("/Applications/Example.app", urlOn(server.serverPort(), "U.pkg"), nullptr);
        QVERIFY(QFile::exists("U.pkg") && window.windowFlags().testFlag(Qt::Dialog));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QCOMPARE(window.findChild<QLabel *>("label")->pixmap(Qt::ReturnByValue).size(), QSize(154, 144));
        auto *bar = window.findChild<QProgressBar *>("progressBar");
        QVERIFY(bar->value() == 0 && bar->maximum() == 1000 && !bar->isTextVisible());
        QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 600, 10000);
        const qulonglong steps[][3] = {{700, 1000, 700}, {1, 0, 700}, {0, 1000, 30}}; // received, total, value
        for (const auto &step : steps) {
            QMetaObject::invokeMethod(&window, "on_progress", Q_ARG(qulonglong, step[0]), Q_ARG(qulonglong, step[1]));
            QCOMPARE(qulonglong(bar->value()), step[2]);
        }
    }

    // The package extracted as the archive downloaded is the one installed: it is not written again after the
    // download. The server holds the central directory back until the package is whole.
    void streamedPackageInstalled()
    {
        const InTemporaryFolder folder;
        const QTemporaryDir served;
        QVERIFY(writeZip(served.filePath("U.zip"), {{"U.pkg", QByteArray("stand-in package ").repeated(5000)}}));
        QFile zip(served.filePath("U.zip"));
        QVERIFY(zip.open(QIODevice::ReadOnly));
        const QByteArray bytes = zip.readAll();
        const qsizetype directory = bytes.indexOf("PK\x01\x02");
        QVERIFY(directory > 0);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QPointer<QTcpSocket> client;
        connect(&server, &QTcpServer::newConnection, &server, [&] {
            client = server.nextPendingConnection();
            client->write(QByteArray("HTTP/1.1 200 OK\r\nContent-Length: ") + QByteArray::number(bytes.size()) +
                          "\r\n\r\n" + bytes.left(directory));
        });
        QDateTime written;
        observe = [&] { written = QFileInfo("U.pkg").fileTime(QFileDevice::FileModificationTime); };
        const auto forget = qScopeGuard([] { observe = nullptr; });
        InstallerWindow window("/Applications/Example.app", urlOn(server.serverPort(), "U.zip"), nullptr);
        window.show();
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo("U.pkg").size(), 85000, 10000);
        const QDateTime streamed = QFileInfo("U.pkg").fileTime(QFileDevice::FileModificationTime);
        QTest::qWait(50); // a second extraction would leave another time
        QVERIFY(client);
        client->write(bytes.mid(directory));
        QTRY_COMPARE_WITH_TIMEOUT(privilegedRuns, 1, 10000);
        QCOMPARE(written, streamed);
    }

    // A failure is shown once, over the window and modal to it alone, with CLOSE as its one button, which closes the
    // window.
    void failureShownOnce()
    {
        const InTemporaryFolder folder;
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        InstallerWindow window("/Applications/Example.app", urlOn(port, "U.pkg"), nullptr);
        QList<QMessageBox *> boxes;
        QStringList seen; // the box's modality, title, text and buttons
        QTimer look;      // the box runs its own event loop
        connect(&look, &QTimer::timeout, &window, [&] {
            auto *box = window.findChild<QMessageBox *>();
            if (!box || !box->isVisible() || boxes.contains(box))
                return;
            boxes << box;
            seen << QString::number(box->windowModality()) << box->windowTitle() << box->text().section('\n', 0, 1);
            for (QAbstractButton *button : box->buttons())
                seen << button->text();
            box->buttons().constFirst()->click();
        });
        look.start(20);
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(!boxes.isEmpty() && !window.isVisible(), 10000);
        QTest::qWait(300);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(seen,
                 (QStringList{QString::number(Qt::WindowModal), "Tarnwick Installer", "Failed to update.\n", "CLOSE"}));
    }

    // A download that ends (or fails) in the same pass of the event loop as the click on CANCEL UPDATE: nothing more
    // happens, no extraction, no prompt, no box, and the download is removed. The title bar takes the same road
    // (tests/e2e's close rows keep the download).
    void closedBeforeTheEnd()
    {
        const InTemporaryFolder folder;
        QTcpServer silent; // takes the connection and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        InstallerWindow window("/Applications/Example.app", urlOn(silent.serverPort(), "U.zip"), nullptr);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(QDir().entryList(QDir::Files), QStringList{"U.zip"});

        window.findChild<QPushButton *>("buttonCancel")->click();
        QMetaObject::invokeMethod(&window, "on_downloadFinished");
        QMetaObject::invokeMethod(&window, "on_errorOccurred", Q_ARG(QString, "late"));
        QTest::qWait(300);

        QVERIFY(!window.isVisible());
        QVERIFY(!window.findChild<QMessageBox *>());
        QCOMPARE(privilegedRuns, 0);
        QCOMPARE(QDir().entryList(QDir::Files), QStringList());
    }

    // A downloaded archive whose package is extracted while a copy of the application runs and does not quit: nothing
    // privileged begins, the bar stays full and the status names the application, checked again every 500 ms while the
    // event loop runs, until the title bar closes the window and keeps the download. Its quitting and CANCEL UPDATE are
    // tests/e2e's.
    void waitingForTheApplication()
    {
        const InTemporaryFolder folder;
        running = true;
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        InstallerWindow window("/Applications/Example.app", urlOn(silent.serverPort(), "U.zip"), nullptr);
        QVERIFY(writeZip("U.zip", {{"U.pkg", QByteArray("stand-in package ").repeated(5000)}}));
        auto *status = window.findChild<QLabel *>("label_2");
        auto *bar = window.findChild<QProgressBar *>("progressBar");
        QStringList seen;
        observe = [&] {
            if (seen.isEmpty() || seen.last() != status->text())
                seen << status->text();
        };
        const auto forget = qScopeGuard([] { observe = nullptr; });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QElapsedTimer started;
        started.start();
        QMetaObject::invokeMethod(&window, "on_downloadFinished");

        QTRY_VERIFY_WITH_TIMEOUT(applicationChecks >= 3, 10000);
        // The third check comes two intervals after the first.
        QVERIFY2(started.elapsed() >= 900, qPrintable(QString::number(started.elapsed())));
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(seen, (QStringList{"Installing update...", "Waiting for Example to quit..."}));
        QCOMPARE(status->text(), seen.last());
        QVERIFY2(status->fontMetrics().horizontalAdvance(status->text()) <= status->width(),
                 qPrintable(QString::number(status->width())));
        window.close();
        const int checks = applicationChecks;
        QTest::qWait(700); // a check that should not come
        QCOMPARE(applicationChecks, checks);
        QCOMPARE(bundleChecked, std::string("/Applications/Example.app"));
        QCOMPARE(privilegedRuns, 0);
        QVERIFY(!window.findChild<QMessageBox *>());
        QCOMPARE(QDir().entryList(QDir::Files), QStringList{"U.zip"});
    }
};

QTEST_MAIN(tst_InstallerWindow)
#include "tst_InstallerWindow.moc"
