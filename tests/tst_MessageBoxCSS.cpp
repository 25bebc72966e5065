#include "MessageBoxCSS.h"

#include <QtTest>

#include <QPushButton>

using Show = int (*)(QWidget *, const QString &, const QString &, bool, int, const QString &, QString, int,
                     const QString &, QString, int, const QString &, QString, int);
Q_DECLARE_METATYPE(Show)

class tst_MessageBoxCSS : public QObject
{
    Q_OBJECT

private slots:
    void emptyBox() { QCOMPARE(MessageBoxCSS().exec(), 0); }

    void box_data()
    {
        QTest::addColumn<Show>("show");
        QTest::addColumn<int>("icon");
        QTest::addColumn<bool>("modal");

        QTest::newRow("information") << &MessageBoxCSS::information << int(QMessageBox::Information) << false;
        QTest::newRow("question") << &MessageBoxCSS::question << int(QMessageBox::Question) << true;
        QTest::newRow("warning") << &MessageBoxCSS::warning << int(QMessageBox::Warning) << false;
        QTest::newRow("critical") << &MessageBoxCSS::critical << int(QMessageBox::Critical) << true;
    }

    // The box as it is on screen, and what pressing its default button returns.
    void box()
    {
        QFETCH(Show, show);
        QFETCH(int, icon);
        QFETCH(bool, modal);

        QWidget parent;
        parent.setStyleSheet(QStringLiteral("QPushButton#LOAD { color: #00ff00 } QPushButton#NO { color: #ff0000 }"));
        parent.show();
        QTimer::singleShot(0, &parent, [&] {
            auto *box = parent.findChild<QMessageBox *>();
            QVERIFY(box && box->isVisible());
            QCOMPARE(box->windowTitle(), QStringLiteral("Title"));
            QCOMPARE(box->text(), QStringLiteral("Text"));
            QCOMPARE(int(box->icon()), icon);
            QCOMPARE(box->windowModality(), modal ? Qt::WindowModal : Qt::ApplicationModal);
            QVERIFY(box->windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint) || modal);
            // A button given no name of its own is named by its text.
            const struct
            {
                QMessageBox::StandardButton which;
                const char *text, *name;
            } buttons[] = {{QMessageBox::Yes, "Load", "LOAD"},
                           {QMessageBox::No, "NO", "NO"},
                           {QMessageBox::Cancel, "Later", "LATER"}};
            for (const auto &button : buttons) {
                QCOMPARE(box->button(button.which)->text(), QString::fromLatin1(button.text));
                QCOMPARE(box->button(button.which)->objectName(), QString::fromLatin1(button.name));
            }
            auto *load = qobject_cast<QPushButton *>(box->button(QMessageBox::Yes));
            auto *no = qobject_cast<QPushButton *>(box->button(QMessageBox::No));
            QCOMPARE(load->palette().color(QPalette::ButtonText), QColor(0, 255, 0));
            QCOMPARE(no->palette().color(QPalette::ButtonText), QColor(255, 0, 0));
            QVERIFY(no->isDefault() && !load->isDefault());
        });
        QTimer::singleShot(50, &parent, [&] { QTest::keyClick(parent.findChild<QMessageBox *>(), Qt::Key_Return); });
        const int pressed =
            show(&parent, QStringLiteral("Title"), QStringLiteral("Text"), modal, QMessageBox::Yes,
                 QStringLiteral("Load"), QStringLiteral("LOAD"), QMessageBox::No, QStringLiteral("NO"), QString(),
                 QMessageBox::Cancel, QStringLiteral("Later"), QStringLiteral("LATER"), QMessageBox::No);
        QCOMPARE(pressed, int(QMessageBox::No));
        // The box goes once shown, not only with its parent.
        QTRY_COMPARE(parent.findChildren<QMessageBox *>().size(), 0);
    }
};

QTEST_MAIN(tst_MessageBoxCSS)
#include "tst_MessageBoxCSS.moc"
