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

// The width a button's style leaves for its text, inside its margin, border and padding.
int room(QPushButton *button)
{
    button->ensurePolished();
    QStyleOptionButton option;
    option.initFrom(button);
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width();
}

// Why `text` does not fit `room` in `widget`'s own font, the style sheet's: too wide, or a character that no installed
// font draws (a width measured without the glyph means nothing). Empty if it fits.
QString misfit(QWidget *widget, const QString &text, int room)
{
    widget->ensurePolished();
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

QString translated(const char *source)
{
    return QCoreApplication::translate("InstallerWindow", source);
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

        // Every catalogue of the build is compiled in (the next table goes through these).
        const QStringList available = Translation::available();
        QStringList built = QString(TARNWICK_LANGUAGES).split(' ');
        built.sort();
        QCOMPARE(available, built);
        QCOMPARE(Translation::choose(preferred, available), chosen);
    }

    // Each language, chosen by its macOS name: every text the window writes translated, its "%1" and line breaks where
    // they stand (the reason alone under the headline), and the form's texts fitting their widgets in the window's
    // font. Then a failure's box: the headline over Qt's own reason from Qt's catalogue (which has no Swedish), CLOSE
    // translated, fitting and still named CLOSE for the style sheet. The layout direction is the language's.
    void languages_data()
    {
        QTest::addColumn<QString>("language");
        const QStringList languages = Translation::available();
        for (const QString &language : languages)
            QTest::newRow(qPrintable(language)) << language;
    }

    void languages()
    {
        QFETCH(QString, language);

        const Translation translation({QString(language).replace('_', '-')});
        QCOMPARE(translation.language(), language);
        const NativeStub::InTemporaryFolder folder;
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        InstallerWindow window("/Applications/Example.app", QString("http://127.0.0.1:%1/U.pkg").arg(port), nullptr);

        for (const char *source :
             {"Installing update...", "CANCEL UPDATE", "Waiting for %1 to quit...", "CLOSE",
              "Failed to download the update.\n\n%1", "Failed to update.\n\n%1",
              "Failed to update.\n\nUnexpected application path %1", "Failed to remove file.\n\n%1"}) {
            const QString text = translated(source), original = source;
            QVERIFY2(text != original && text.count("%1") == original.count("%1") &&
                         text.count('\n') == original.count('\n') &&
                         text.endsWith("\n\n%1") == original.endsWith("\n\n%1"),
                     qPrintable(original + " -> " + text));
        }
        auto *status = window.findChild<QLabel *>("label_2");
        auto *cancel = window.findChild<QPushButton *>("buttonCancel");
        QCOMPARE(window.windowTitle(), translated("Installing update..."));
        QCOMPARE(status->text(), window.windowTitle());
        QCOMPARE(cancel->text(), translated("CANCEL UPDATE"));
        // CANCEL UPDATE keeps clear of its button's rounded ends, a 15 px radius its sheet does not pad; while the
        // application runs, the status takes the bar's width.
        for (const QString &problem :
             {misfit(status, status->text(), status->width()), misfit(cancel, cancel->text(), room(cancel) - 15),
              misfit(status, translated("Waiting for %1 to quit...").arg("Example"),
                     window.findChild<QWidget *>("progressBar")->width())})
            QVERIFY2(problem.isEmpty(), qPrintable(problem));

        QStringList seen; // the box's text, its button's text, name and fit
        QTimer look;
        connect(&look, &QTimer::timeout, &window, [&] {
            auto *box = window.findChild<QMessageBox *>();
            if (!box || !box->isVisible() || !seen.isEmpty())
                return;
            auto *button = qobject_cast<QPushButton *>(box->buttons().constFirst());
            seen << box->text() << button->text() << button->objectName()
                 << misfit(button, button->text(), room(button));
            button->click();
        });
        look.start(20);
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty() && !window.isVisible(), 10000);
        const QString refused = QCoreApplication::translate("QHttp", "Connection refused");
        QCOMPARE(refused == "Connection refused", language == "sv");
        QCOMPARE(seen, (QStringList{translated("Failed to update.\n\n%1").arg(refused), translated("CLOSE"), "CLOSE",
                                    QString()}));
        const bool rightToLeft = language == "ar" || language == "he";
        QCOMPARE(QCoreApplication::translate("QGuiApplication", "QT_LAYOUT_DIRECTION"), rightToLeft ? "RTL" : "LTR");
        QCOMPARE(QApplication::layoutDirection(), rightToLeft ? Qt::RightToLeft : Qt::LeftToRight);
    }

    // Right to left, the form's places mirrored in the window: the logo at the right, the button at the left; the
    // status taking the bar's place while the application runs.
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
        const NativeStub::InTemporaryFolder folder;
        NativeStub::running = true;
        QTcpServer silent; // takes the connection and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        InstallerWindow window("/Applications/Example.app",
                               QString("http://127.0.0.1:%1/U.zip").arg(silent.serverPort()), nullptr);
        QStringList places;
        for (const char *name : {"label", "progressBar", "buttonCancel", "label_2"})
            places << QString::asprintf("%s %d,%d", name, window.findChild<QWidget *>(name)->x(),
                                        window.findChild<QWidget *>(name)->y());
        QCOMPARE(places, (QStringList{"label 454,30", "progressBar 33,55", "buttonCancel 32,90", "label_2 253,35"}));

        QVERIFY(writeZip("U.zip", {{"U.pkg", "stand-in package"}}));
        QMetaObject::invokeMethod(&window, "on_downloadFinished");
        auto *status = window.findChild<QLabel *>("label_2");
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), translated("Waiting for %1 to quit...").arg("Example"), 10000);
        QCOMPARE(status->geometry(), QRect(33, 35, 391, 16));
        window.close();
    }
};

QTEST_MAIN(tst_Translation)
#include "tst_Translation.moc"
