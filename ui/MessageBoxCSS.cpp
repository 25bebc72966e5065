#include "MessageBoxCSS.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QWidget>

#include <utility>

MessageBoxCSS::MessageBoxCSS() = default;

MessageBoxCSS::MessageBoxCSS(const QString &title, const QString &text, QMessageBox::Icon icon, int button0,
                             QString buttonText0, QString buttonName0, int button1, QString buttonText1,
                             QString buttonName1, int button2, QString buttonText2, QString buttonName2,
                             int defaultButton, QWidget *parent, bool modal, Qt::WindowFlags flags)
{
    // Owned by this object (deleteLater in the destructor) and by `parent`,
    // whichever comes first.
    // The old flags of a button value (Default, Escape) are no buttons.
    const auto buttons = QMessageBox::StandardButtons((button0 | button1 | button2) & QMessageBox::ButtonMask);
    messageBox = new QMessageBox(icon, title, text, buttons, parent, flags);
    if (modal)
        messageBox->setWindowModality(Qt::WindowModal);

    nameButton(button0, buttonText0, buttonName0);
    nameButton(button1, buttonText1, buttonName1);
    nameButton(button2, buttonText2, buttonName2);

    // Setting the same sheet again makes Qt re-polish the parent and all its
    // children, so the id selectors now see the buttons' new object names.
    if (parent)
        parent->setStyleSheet(parent->styleSheet());

    if (defaultButton != 0) {
        // QMessageBox's own setter: besides QPushButton::setDefault(true) it
        // gives the button the focus, without which the focused (first)
        // auto-default button takes the default role when the box is shown.
        auto *button = qobject_cast<QPushButton *>(messageBox->button(QMessageBox::StandardButton(defaultButton)));
        if (button)
            messageBox->setDefaultButton(button);
    }
}

MessageBoxCSS::~MessageBoxCSS()
{
    if (messageBox)
        messageBox->deleteLater();
}

int MessageBoxCSS::exec()
{
    return messageBox ? messageBox->exec() : 0;
}

void MessageBoxCSS::nameButton(int button, const QString &buttonText, const QString &buttonName)
{
    if (buttonText.isEmpty())
        return;
    QAbstractButton *widget = messageBox->button(QMessageBox::StandardButton(button));
    if (!widget)
        return;
    widget->setText(buttonText);
    widget->setObjectName(buttonName.isEmpty() ? buttonText : buttonName);
}

int MessageBoxCSS::run(QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text, bool modal,
                       int button0, const QString &buttonText0, QString buttonName0, int button1,
                       const QString &buttonText1, QString buttonName1, int button2, const QString &buttonText2,
                       QString buttonName2, int defaultButton)
{
    MessageBoxCSS box(title, text, icon, button0, buttonText0, std::move(buttonName0), button1, buttonText1,
                      std::move(buttonName1), button2, buttonText2, std::move(buttonName2), defaultButton, parent,
                      modal, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    return box.exec();
}

int MessageBoxCSS::information(QWidget *parent, const QString &title, const QString &text, bool modal, int button0,
                               const QString &buttonText0, QString buttonName0, int button1, const QString &buttonText1,
                               QString buttonName1, int button2, const QString &buttonText2, QString buttonName2,
                               int defaultButton)
{
    return run(QMessageBox::Information, parent, title, text, modal, button0, buttonText0, std::move(buttonName0),
               button1, buttonText1, std::move(buttonName1), button2, buttonText2, std::move(buttonName2),
               defaultButton);
}

int MessageBoxCSS::question(QWidget *parent, const QString &title, const QString &text, bool modal, int button0,
                            const QString &buttonText0, QString buttonName0, int button1, const QString &buttonText1,
                            QString buttonName1, int button2, const QString &buttonText2, QString buttonName2,
                            int defaultButton)
{
    return run(QMessageBox::Question, parent, title, text, modal, button0, buttonText0, std::move(buttonName0), button1,
               buttonText1, std::move(buttonName1), button2, buttonText2, std::move(buttonName2), defaultButton);
}

int MessageBoxCSS::warning(QWidget *parent, const QString &title, const QString &text, bool modal, int button0,
                           const QString &buttonText0, QString buttonName0, int button1, const QString &buttonText1,
                           QString buttonName1, int button2, const QString &buttonText2, QString buttonName2,
                           int defaultButton)
{
    return run(QMessageBox::Warning, parent, title, text, modal, button0, buttonText0, std::move(buttonName0), button1,
               buttonText1, std::move(buttonName1), button2, buttonText2, std::move(buttonName2), defaultButton);
}

int MessageBoxCSS::critical(QWidget *parent, const QString &title, const QString &text, bool modal, int button0,
                            const QString &buttonText0, QString buttonName0, int button1, const QString &buttonText1,
                            QString buttonName1, int button2, const QString &buttonText2, QString buttonName2,
                            int defaultButton)
{
    return run(QMessageBox::Critical, parent, title, text, modal, button0, buttonText0, std::move(buttonName0), button1,
               buttonText1, std::move(buttonName1), button2, buttonText2, std::move(buttonName2), defaultButton);
}
