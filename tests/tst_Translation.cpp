#include "InstallerWindow.h"
#include "NativeStub.h"
#include "Translation.h"
#include "Zips.h"

#include <QtTest>

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTcpServer>
#include <QTextLayout>

// The test's own empty folder as the current one (the download lands there), the previous one restored after.
struct InTemporaryFolder
{
    QTemporaryDir folder;
    const QString previous = QDir::currentPath();
    InTemporaryFolder()
    {
        QDir::setCurrent(folder.path());
        NativeStub::reset();
    }
    ~InTemporaryFolder() { QDir::setCurrent(previous); }
};

// A server that takes the connection and never answers: the window waits.
struct Silent
{
    QTcpServer server;
    Silent() { server.listen(QHostAddress::LocalHost); }
    QString url(const char *file) const { return QString("http://127.0.0.1:%1/%2").arg(server.serverPort()).arg(file); }
};

// The width `widget`'s style leaves for a text: inside a button's margin, border and padding, a label's contents.
int room(QWidget *widget)
{
    widget->ensurePolished();
    auto *button = qobject_cast<QPushButton *>(widget);
    if (!button)
        return widget->contentsRect().width();
    QStyleOptionButton option;
    option.initFrom(button);
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width();
}

// Why `text` does not fit `room` in `widget`'s own font, the style sheet's: too wide, or a character that no installed
// font draws (a width measured without the glyph means nothing). Empty if it fits.
QString misfit(QWidget *widget, const QString &text, int room)
{
    QTextLayout layout(text, widget->font());
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    for (const QGlyphRun &run : runs) {
        if (run.glyphIndexes().contains(0))
            return QString("a character of \"%1\" has no glyph in %2").arg(text, run.rawFont().familyName());
    }
    const int width = QFontMetrics(widget->font()).horizontalAdvance(text);
    return width <= room ? QString() : QString("\"%1\" is %2 px wide, %3 px given").arg(text).arg(width).arg(room);
}

// The languages as macOS lists them ("zh-Hans" for the catalogue zh_Hans).
QString tag(const QString &catalogue)
{
    return QString(catalogue).replace('_', '-');
}

class tst_Translation : public QObject
{
    Q_OBJECT

private slots:
    // The user's languages in their order: the first one we have, matched by language and script, English otherwise.
    void choose_data()
    {
        QTest::addColumn<QStringList>("preferred");
        QTest::addColumn<QString>("chosen");

        QTest::newRow("first-had") << QStringList{"fi-FI", "de-AT", "fr-FR"} << "de";
        QTest::newRow("english-first") << QStringList{"en-GB", "de-DE"} << "";
        QTest::newRow("none-had") << QStringList{"fi-FI", "el"} << "";
        QTest::newRow("c-locale") << QStringList{"C"} << "";
        QTest::newRow("portugal-reads-brazil") << QStringList{"pt-PT"} << "pt_BR";
        QTest::newRow("hong-kong-traditional") << QStringList{"zh-HK"} << "zh_Hant";
        QTest::newRow("taiwan-with-script") << QStringList{"zh-Hant-TW"} << "zh_Hant";
        QTest::newRow("singapore-simplified") << QStringList{"zh-SG", "zh-TW"} << "zh_Hans";
        QTest::newRow("hebrew-old-code") << QStringList{"iw-IL"} << "he";
    }

    void choose()
    {
        QFETCH(QStringList, preferred);
        QFETCH(QString, chosen);

        // Every catalogue of the build is compiled in (the other tables go through these).
        const QStringList available = Translation::available();
        QStringList built = QString(TARNWICK_LANGUAGES).split(' ');
        built.sort();
        QCOMPARE(available, built);
        QCOMPARE(Translation::choose(preferred, available), chosen);
    }

    // Every text the window writes, in every language: translated, with its "%1" and line breaks where they stand, and
    // fitting its widget in the window's font. Qt's own texts from Qt's catalogue, which has no Swedish.
    void catalogues_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("widget"); // where it must fit; empty: a box's text, which wraps

        const QStringList languages = Translation::available();
        for (const QString &language : languages) {
            const auto row = [&](const char *name, const char *source, const char *widget) {
                QTest::addRow("%s-%s", qPrintable(language), name) << language << source << widget;
            };
            row("status", "Installing update...", "label_2");
            row("cancel", "CANCEL UPDATE", "buttonCancel");
            row("waiting", "Waiting for %1 to quit...", "label_2 wide"); // the status takes the bar's width
            row("start-failed", "Failed to download the update.\n\n%1", "");
            row("failed", "Failed to update.\n\n%1", "");
            row("unexpected-path", "Failed to update.\n\nUnexpected application path %1", "");
            row("not-removed", "Failed to remove file.\n\n%1", "");
        }
    }

    void catalogues()
    {
        QFETCH(QString, language);
        QFETCH(QString, source);
        QFETCH(QString, widget);

        const Translation translation({tag(language)});
        QCOMPARE(translation.language(), language);
        const InTemporaryFolder folder;
        const Silent silent;
        InstallerWindow window("/Applications/Example.app", silent.url("U.zip"), nullptr);

        const QString text = QCoreApplication::translate("InstallerWindow", source.toUtf8());
        QVERIFY2(text != source, "not translated");
        QCOMPARE(text.count("%1"), source.count("%1"));
        QCOMPARE(text.count('\n'), source.count('\n'));
        // The reason stands alone under the headline, as it came.
        QCOMPARE(text.endsWith("\n\n%1"), source.endsWith("\n\n%1"));
        if (!widget.isEmpty()) {
            const QString shown = text.contains("%1") ? text.arg("Example") : text;
            auto *label = window.findChild<QLabel *>("label_2");
            auto *button = window.findChild<QPushButton *>("buttonCancel");
            // CANCEL UPDATE keeps clear of the button's rounded ends, which its sheet gives a 15 px radius and no
            // padding; the status takes the bar's width while the application runs.
            const QString problem = widget == "buttonCancel" ? misfit(button, shown, room(button) - 15)
                                    : widget == "label_2"
                                        ? misfit(label, shown, room(label))
                                        : misfit(label, shown, window.findChild<QWidget *>("progressBar")->width());
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
        }
        if (source == "Installing update...")
            QCOMPARE(window.windowTitle(), text);
    }

    // A failure's box in each language: the headline translated, Qt's own reason from Qt's catalogue, CLOSE translated
    // and fitting its button, still named CLOSE for the style sheet; the layout direction the language's.
    void box_data()
    {
        QTest::addColumn<QString>("language");
        const QStringList languages = Translation::available();
        for (const QString &language : languages)
            QTest::newRow(qPrintable(language)) << language;
    }

    void box()
    {
        QFETCH(QString, language);

        const Translation translation({tag(language)});
        const InTemporaryFolder folder;
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        InstallerWindow window("/Applications/Example.app", QString("http://127.0.0.1:%1/U.pkg").arg(port), nullptr);
        QStringList seen; // the box's text, its button's text, name and fit
        QTimer look;
        connect(&look, &QTimer::timeout, &window, [&] {
            auto *box = window.findChild<QMessageBox *>();
            if (!box || !box->isVisible() || !seen.isEmpty())
                return;
            QAbstractButton *button = box->buttons().constFirst();
            seen << box->text() << button->text() << button->objectName()
                 << misfit(button, button->text(), room(button));
            button->click();
        });
        look.start(20);
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty() && !window.isVisible(), 10000);

        const QString refused = QCoreApplication::translate("QHttp", "Connection refused");
        QCOMPARE(refused == "Connection refused", language == "sv");
        const QString headline = QCoreApplication::translate("InstallerWindow", "Failed to update.\n\n%1");
        QCOMPARE(seen, (QStringList{headline.arg(refused), QCoreApplication::translate("InstallerWindow", "CLOSE"),
                                    "CLOSE", QString()}));
        QVERIFY(seen.at(1) != "CLOSE");
        const bool rightToLeft = language == "ar" || language == "he";
        QCOMPARE(QCoreApplication::translate("QGuiApplication", "QT_LAYOUT_DIRECTION"), rightToLeft ? "RTL" : "LTR");
        QCOMPARE(QApplication::layoutDirection(), rightToLeft ? Qt::RightToLeft : Qt::LeftToRight);
    }

    // Right to left, the form's places mirrored in the window: the logo at the right, the button at the left; the
    // status taking the bar's width while the application runs.
    void mirrored_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("arabic") << "ar";
        QTest::newRow("hebrew") << "he";
    }

    void mirrored()
    {
        QFETCH(QString, language);

        const Translation translation({language});
        const InTemporaryFolder folder;
        const Silent silent;
        NativeStub::running = true;
        InstallerWindow window("/Applications/Example.app", silent.url("U.zip"), nullptr);
        QVERIFY(window.isRightToLeft());
        QStringList places;
        for (const char *name : {"label", "progressBar", "buttonCancel", "label_2"})
            places << QString(name) + QString::asprintf(" %d,%d", window.findChild<QWidget *>(name)->x(),
                                                        window.findChild<QWidget *>(name)->y());
        QCOMPARE(places, (QStringList{"label 454,30", "progressBar 33,55", "buttonCancel 32,90", "label_2 253,35"}));

        QVERIFY(writeZip("U.zip", {{"U.pkg", "stand-in package"}}));
        QMetaObject::invokeMethod(&window, "on_downloadFinished");
        auto *status = window.findChild<QLabel *>("label_2");
        const QString waiting = QCoreApplication::translate("InstallerWindow", "Waiting for %1 to quit...");
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), waiting.arg("Example"), 10000);
        QCOMPARE(status->geometry(), QRect(33, 35, 391, 16)); // the bar's place, as high as before
        window.close();
    }
};

QTEST_MAIN(tst_Translation)
#include "tst_Translation.moc"
