#include "MessageBoxCSS.h"
#include "StyleSheets.h"

#include <QtTest>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <memory>

namespace {

constexpr int noButton = 0;
constexpr int close = QMessageBox::Close;
constexpr int yes = QMessageBox::Yes;
constexpr int no = QMessageBox::No;
constexpr int cancel = QMessageBox::Cancel;
constexpr int save = QMessageBox::Save;
constexpr int ok = QMessageBox::Ok;

// The window sheet's #CC4fcd7f drawn over its #323232 background.
const QColor filledGreen(qRound(0.8 * 0x4f + 0.2 * 0x32), qRound(0.8 * 0xcd + 0.2 * 0x32),
                         qRound(0.8 * 0x7f + 0.2 * 0x32));
const QColor windowGrey(0x32, 0x32, 0x32);

bool near(const QColor &a, const QColor &b)
{
    constexpr int tolerance = 4;
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance;
}

struct SeenButton
{
    int value = 0;
    QString text;
    QString name;
    bool isDefault = false;
    // The button's fill, sampled left of its text from a grab of the whole box.
    QColor fill;
};

// What a person would see of the open box.
struct SeenBox
{
    bool found = false;
    QPointer<QMessageBox> box;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::WindowModality modality = Qt::NonModal;
    Qt::WindowFlags flags;
    QWidget *parent = nullptr;
    QString styleSheet;
    QList<SeenButton> buttons;

    const SeenButton *button(int value) const
    {
        for (const SeenButton &b : buttons)
            if (b.value == value)
                return &b;
        return nullptr;
    }
};

// Waits for the message box to be on screen, notes what it shows and presses
// the button `press` (closing the box some other way if it lacks that button).
class BoxDriver : public QObject
{
public:
    explicit BoxDriver(int press)
        : press(press)
    {
        connect(&timer, &QTimer::timeout, this, &BoxDriver::poll);
        timer.start(10);
        clock.start();
    }

    SeenBox seen;

private:
    static QMessageBox *openBox()
    {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (box && box->isVisible() && box->windowHandle() && box->windowHandle()->isExposed())
                return box;
        }
        return nullptr;
    }

    void poll()
    {
        QMessageBox *box = openBox();
        if (!box) {
            if (clock.hasExpired(30000))
                timer.stop();
            return;
        }
        timer.stop();
        record(box);
        if (QAbstractButton *button = box->button(QMessageBox::StandardButton(press)))
            QTest::mouseClick(button, Qt::LeftButton);
        else
            box->done(-1);
    }

    void record(QMessageBox *box)
    {
        seen.found = true;
        seen.box = box;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.modality = box->windowModality();
        seen.flags = box->windowFlags();
        seen.parent = box->parentWidget();
        seen.styleSheet = box->styleSheet();
        const QImage image = box->grab().toImage();
        for (QAbstractButton *button : box->buttons()) {
            SeenButton b;
            b.value = box->standardButton(button);
            b.text = button->text();
            b.name = button->objectName();
            if (auto *push = qobject_cast<QPushButton *>(button))
                b.isDefault = push->isDefault();
            const QPoint inside = button->mapTo(box, QPoint(12, button->height() / 2));
            b.fill = image.pixelColor(inside * image.devicePixelRatio());
            seen.buttons << b;
        }
    }

    const int press;
    QTimer timer;
    QElapsedTimer clock;
};

// A widget styled as the installer window is.
std::unique_ptr<QWidget> styledParent()
{
    auto parent = std::make_unique<QWidget>();
    parent->setStyleSheet(QString::fromUtf8(StyleSheets::window));
    parent->resize(564, 148);
    parent->show();
    return parent;
}

enum class Kind { Information, Question, Warning, Critical };
enum class Look { Filled, Outlined, Plain };

int showBox(Kind kind, QWidget *parent, const QString &title, const QString &text, bool modal, int button0,
            const QString &buttonText0, const QString &buttonName0, int button1, const QString &buttonText1,
            const QString &buttonName1, int button2, const QString &buttonText2, const QString &buttonName2,
            int defaultButton)
{
    switch (kind) {
    case Kind::Information:
        return MessageBoxCSS::information(parent, title, text, modal, button0, buttonText0, buttonName0, button1,
                                          buttonText1, buttonName1, button2, buttonText2, buttonName2, defaultButton);
    case Kind::Question:
        return MessageBoxCSS::question(parent, title, text, modal, button0, buttonText0, buttonName0, button1,
                                       buttonText1, buttonName1, button2, buttonText2, buttonName2, defaultButton);
    case Kind::Warning:
        return MessageBoxCSS::warning(parent, title, text, modal, button0, buttonText0, buttonName0, button1,
                                      buttonText1, buttonName1, button2, buttonText2, buttonName2, defaultButton);
    case Kind::Critical:
        break;
    }
    return MessageBoxCSS::critical(parent, title, text, modal, button0, buttonText0, buttonName0, button1, buttonText1,
                                   buttonName1, button2, buttonText2, buttonName2, defaultButton);
}

// The program's own call for a failure.
int showFailure(QWidget *parent, const QString &text)
{
    return MessageBoxCSS::critical(parent, QStringLiteral("Tarnwick Installer"), text, true, close,
                                   QStringLiteral("CLOSE"), QString(), noButton, QString(), QString(), noButton,
                                   QString(), QString(), noButton);
}

QString describe(const QColor &color)
{
    return color.name();
}

} // namespace

Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(Look)

class tst_MessageBoxCSS : public QObject
{
    Q_OBJECT

private slots:
    void programCall();
    void boxIsDeletedLater();
    void nullParent();
    void kinds_data();
    void kinds();
    void buttonTriples_data();
    void buttonTriples();
    void buttonLook_data();
    void buttonLook();
    void modality_data();
    void modality();
    void defaultButton_data();
    void defaultButton();
    void defaultConstructed();
    void parentDestroyedFirst();
};

void tst_MessageBoxCSS::programCall()
{
    // given
    const auto window = styledParent();
    BoxDriver driver(close);

    // when
    const int result = showFailure(window.get(), QStringLiteral("Failed to update.\n\nno route to host"));

    // then
    const SeenBox &seen = driver.seen;
    QVERIFY(seen.found);
    QCOMPARE(result, int(QMessageBox::Close));
    QCOMPARE(seen.title, QStringLiteral("Tarnwick Installer"));
    QCOMPARE(seen.text, QStringLiteral("Failed to update.\n\nno route to host"));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QCOMPARE(seen.parent, window.get());
    QCOMPARE(seen.modality, Qt::WindowModal);
    // Qt turns a window-modal box with a parent into a sheet of that window.
    QCOMPARE(seen.flags & Qt::WindowType_Mask, Qt::Sheet);
    QVERIFY(seen.styleSheet.isEmpty());
    QCOMPARE(seen.buttons.size(), 1);
    QCOMPARE(seen.buttons.first().value, close);
    QCOMPARE(seen.buttons.first().text, QStringLiteral("CLOSE"));
    QCOMPARE(seen.buttons.first().name, QStringLiteral("CLOSE"));
    QVERIFY2(near(seen.buttons.first().fill, filledGreen), qPrintable(describe(seen.buttons.first().fill)));
}

void tst_MessageBoxCSS::boxIsDeletedLater()
{
    const auto window = styledParent();
    BoxDriver driver(close);

    showFailure(window.get(), QStringLiteral("text"));

    QVERIFY(driver.seen.found);
    // Still there right after the call: deletion waits for the event loop.
    QVERIFY(!driver.seen.box.isNull());
    QTRY_VERIFY_WITH_TIMEOUT(driver.seen.box.isNull(), 10000);
}

void tst_MessageBoxCSS::nullParent()
{
    BoxDriver driver(close);

    const int result = showFailure(nullptr, QStringLiteral("Failed to update.\n\n"));

    const SeenBox &seen = driver.seen;
    QVERIFY(seen.found);
    QCOMPARE(result, close);
    QVERIFY(seen.parent == nullptr);
    QCOMPARE(seen.buttons.size(), 1);
    QCOMPARE(seen.buttons.first().name, QStringLiteral("CLOSE"));
    // No window sheet reaches it: the application's own look.
    QVERIFY2(!near(seen.buttons.first().fill, filledGreen), qPrintable(describe(seen.buttons.first().fill)));
    QTRY_VERIFY_WITH_TIMEOUT(seen.box.isNull(), 10000);
}

void tst_MessageBoxCSS::kinds_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QMessageBox::Icon>("icon");

    QTest::newRow("information") << Kind::Information << QMessageBox::Information;
    QTest::newRow("question") << Kind::Question << QMessageBox::Question;
    QTest::newRow("warning") << Kind::Warning << QMessageBox::Warning;
    QTest::newRow("critical") << Kind::Critical << QMessageBox::Critical;
}

void tst_MessageBoxCSS::kinds()
{
    QFETCH(Kind, kind);
    QFETCH(QMessageBox::Icon, icon);

    const auto window = styledParent();
    BoxDriver driver(no);

    // Not modal, so that the flags stay those the box was made with.
    const int result =
        showBox(kind, window.get(), QStringLiteral("Title"), QStringLiteral("Text"), false, yes, QStringLiteral("LOAD"),
                QString(), no, QStringLiteral("NO"), QString(), noButton, QString(), QString(), noButton);

    const SeenBox &seen = driver.seen;
    QVERIFY(seen.found);
    QCOMPARE(seen.icon, icon);
    QCOMPARE(seen.title, QStringLiteral("Title"));
    QCOMPARE(seen.text, QStringLiteral("Text"));
    QCOMPARE(seen.parent, window.get());
    QCOMPARE(seen.flags & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(seen.flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
    QCOMPARE(result, no);
}

void tst_MessageBoxCSS::buttonTriples_data()
{
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("press");
    // For each button of the box: its text and name, or an empty string where
    // Qt's own text and name must stay.
    QTest::addColumn<QList<int>>("expectedValues");
    QTest::addColumn<QStringList>("expectedTexts");
    QTest::addColumn<QStringList>("expectedNames");

    QTest::newRow("text-and-name") << QList<int>{yes, no, cancel} << QStringList{"INSTALL", "LATER", "STOP"}
                                   << QStringList{"LOAD", "NO", "CANCEL"} << no << QList<int>{yes, no, cancel}
                                   << QStringList{"INSTALL", "LATER", "STOP"} << QStringList{"LOAD", "NO", "CANCEL"};
    QTest::newRow("text-without-name") << QList<int>{save, cancel, noButton} << QStringList{"LOAD", "CANCEL", ""}
                                       << QStringList{"", "", ""} << save << QList<int>{save, cancel}
                                       << QStringList{"LOAD", "CANCEL"} << QStringList{"LOAD", "CANCEL"};
    QTest::newRow("name-without-text") << QList<int>{ok, cancel, noButton} << QStringList{"", "STOP", ""}
                                       << QStringList{"LOAD", "", ""} << cancel << QList<int>{ok, cancel}
                                       << QStringList{"", "STOP"} << QStringList{"", "STOP"};
    QTest::newRow("value-without-button")
        << QList<int>{close, noButton, noButton} << QStringList{"CLOSE", "STRAY", "OTHER"}
        << QStringList{"", "STRAY", ""} << close << QList<int>{close} << QStringList{"CLOSE"} << QStringList{"CLOSE"};
}

void tst_MessageBoxCSS::buttonTriples()
{
    QFETCH(QList<int>, values);
    QFETCH(QStringList, texts);
    QFETCH(QStringList, names);
    QFETCH(int, press);
    QFETCH(QList<int>, expectedValues);
    QFETCH(QStringList, expectedTexts);
    QFETCH(QStringList, expectedNames);

    // Qt's own texts and names for these buttons, from a box left alone.
    const QMessageBox reference(QStringLiteral("Title"), QStringLiteral("Text"), QMessageBox::Question, values[0],
                                values[1], values[2]);
    const auto window = styledParent();
    BoxDriver driver(press);

    const int result = MessageBoxCSS::question(window.get(), QStringLiteral("Title"), QStringLiteral("Text"), true,
                                               values[0], texts[0], names[0], values[1], texts[1], names[1], values[2],
                                               texts[2], names[2], noButton);

    const SeenBox &seen = driver.seen;
    QVERIFY(seen.found);
    QCOMPARE(result, press);
    QCOMPARE(seen.buttons.size(), expectedValues.size());
    for (int i = 0; i < expectedValues.size(); ++i) {
        const SeenButton *button = seen.button(expectedValues[i]);
        QVERIFY2(button, qPrintable(QStringLiteral("no button %1").arg(expectedValues[i], 0, 16)));
        const QAbstractButton *untouched = reference.button(QMessageBox::StandardButton(expectedValues[i]));
        QVERIFY(untouched);
        QCOMPARE(button->text, expectedTexts[i].isEmpty() ? untouched->text() : expectedTexts[i]);
        QCOMPARE(button->name, expectedNames[i].isEmpty() ? untouched->objectName() : expectedNames[i]);
    }
    for (const QString &name : names + texts)
        if (!name.isEmpty() && !expectedNames.contains(name))
            QVERIFY2(!seen.box || !seen.box->findChild<QWidget *>(name), qPrintable(name));
}

void tst_MessageBoxCSS::buttonLook_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Look>("look");

    QTest::newRow("close-filled") << "CLOSE" << Look::Filled;
    QTest::newRow("load-filled") << "LOAD" << Look::Filled;
    QTest::newRow("no-outlined") << "NO" << Look::Outlined;
    QTest::newRow("cancel-outlined") << "CANCEL" << Look::Outlined;
    QTest::newRow("unknown-plain") << "DONE" << Look::Plain;
}

void tst_MessageBoxCSS::buttonLook()
{
    QFETCH(QString, name);
    QFETCH(Look, look);

    const auto window = styledParent();
    BoxDriver driver(ok);

    MessageBoxCSS::information(window.get(), QStringLiteral("Title"), QStringLiteral("Text"), true, ok,
                               QStringLiteral("Label"), name, noButton, QString(), QString(), noButton, QString(),
                               QString(), noButton);

    QVERIFY(driver.seen.found);
    const SeenButton *button = driver.seen.button(ok);
    QVERIFY(button);
    QCOMPARE(button->name, name);
    const QString fill = describe(button->fill);
    switch (look) {
    case Look::Filled:
        QVERIFY2(near(button->fill, filledGreen), qPrintable(fill));
        break;
    case Look::Outlined:
        // A transparent inside: the box's own grey shows through.
        QVERIFY2(near(button->fill, windowGrey), qPrintable(fill));
        break;
    case Look::Plain:
        // Only the general QWidget rule: the style draws the button.
        QVERIFY2(!near(button->fill, filledGreen) && !near(button->fill, windowGrey), qPrintable(fill));
        break;
    }
}

void tst_MessageBoxCSS::modality_data()
{
    QTest::addColumn<bool>("modal");
    QTest::addColumn<bool>("withParent");
    QTest::addColumn<Qt::WindowModality>("modality");

    QTest::newRow("modal") << true << true << Qt::WindowModal;
    QTest::newRow("modal-no-parent") << true << false << Qt::WindowModal;
    // Qt's default: exec() makes an unmodal dialog application modal.
    QTest::newRow("not-modal") << false << true << Qt::ApplicationModal;
}

void tst_MessageBoxCSS::modality()
{
    QFETCH(bool, modal);
    QFETCH(bool, withParent);
    QFETCH(Qt::WindowModality, modality);

    const auto window = styledParent();
    BoxDriver driver(close);

    const int result = MessageBoxCSS::warning(withParent ? window.get() : nullptr, QStringLiteral("Title"),
                                              QStringLiteral("Text"), modal, close, QStringLiteral("CLOSE"), QString(),
                                              noButton, QString(), QString(), noButton, QString(), QString(), noButton);

    QVERIFY(driver.seen.found);
    QCOMPARE(driver.seen.modality, modality);
    // exec() blocked until the press, whatever the modality.
    QCOMPARE(result, close);
}

void tst_MessageBoxCSS::defaultButton_data()
{
    QTest::addColumn<int>("defaultButton");
    QTest::addColumn<int>("expectedDefault");

    QTest::newRow("second") << no << no;
    QTest::newRow("third") << cancel << cancel;
    QTest::newRow("first") << yes << yes;
    // Not among the box's buttons: ignored.
    QTest::newRow("absent") << save << noButton;
}

void tst_MessageBoxCSS::defaultButton()
{
    QFETCH(int, defaultButton);
    QFETCH(int, expectedDefault);

    const auto window = styledParent();
    BoxDriver driver(cancel);

    const int result = MessageBoxCSS::question(window.get(), QStringLiteral("Title"), QStringLiteral("Text"), true, yes,
                                               QStringLiteral("LOAD"), QString(), no, QStringLiteral("NO"), QString(),
                                               cancel, QStringLiteral("CANCEL"), QString(), defaultButton);

    const SeenBox &seen = driver.seen;
    QVERIFY(seen.found);
    QCOMPARE(result, cancel);
    QCOMPARE(seen.buttons.size(), 3);
    int defaults = 0;
    for (const SeenButton &button : seen.buttons) {
        defaults += button.isDefault ? 1 : 0;
        if (expectedDefault != noButton)
            QCOMPARE(button.isDefault, button.value == expectedDefault);
    }
    QVERIFY(defaults <= 1);
    QVERIFY(seen.button(save) == nullptr);
}

void tst_MessageBoxCSS::defaultConstructed()
{
    MessageBoxCSS box;
    QCOMPARE(box.exec(), 0);
    for (QWidget *widget : QApplication::topLevelWidgets())
        QVERIFY(!qobject_cast<QMessageBox *>(widget));
}

void tst_MessageBoxCSS::parentDestroyedFirst()
{
    auto parent = styledParent();
    QPointer<QMessageBox> box;
    {
        MessageBoxCSS owner(QStringLiteral("Title"), QStringLiteral("Text"), QMessageBox::Critical, close,
                            QStringLiteral("CLOSE"), QString(), noButton, QString(), QString(), noButton, QString(),
                            QString(), noButton, parent.get(), true, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
        box = parent->findChild<QMessageBox *>();
        QVERIFY(box);
        QCOMPARE(box->button(QMessageBox::Close)->objectName(), QStringLiteral("CLOSE"));

        parent.reset();

        QVERIFY(box.isNull());
        // Nothing left to show; the owner must not touch the freed box.
        QCOMPARE(owner.exec(), 0);
    }
}

QTEST_MAIN(tst_MessageBoxCSS)
#include "tst_MessageBoxCSS.moc"
