#include "InstallerWindowForm.h"

#include "InstallerWindow.h"
#include "StyleSheets.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMetaObject>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QStyle>
#include <QWidget>

namespace {

// Places `widget` at the form's `rectangle`, mirrored in the window when it is
// laid out right to left: Qt mirrors layouts, not a form placed by geometry.
void place(QWidget *widget, const QRect &rectangle, const InstallerWindow *window)
{
    widget->setGeometry(QStyle::visualRect(window->layoutDirection(), QRect(QPoint(), window->size()), rectangle));
}

} // namespace

void Ui_InstallerWindow::setupUi(InstallerWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QString::fromLatin1("InstallerWindow"));
    window->resize(564, 148);
    window->setMinimumSize(564, 148);
    window->setMaximumSize(564, 148);
    window->setStyleSheet(QString::fromUtf8(StyleSheets::window));

    centralwidget = new QWidget(window);
    centralwidget->setObjectName(QString::fromLatin1("centralwidget"));

    buttonCancel = new QPushButton(centralwidget);
    buttonCancel->setObjectName(QString::fromLatin1("buttonCancel"));
    place(buttonCancel, QRect(361, 90, 171, 32), window);
    buttonCancel->setStyleSheet(QString::fromUtf8(StyleSheets::cancelButton));

    label = new QLabel(centralwidget);
    label->setObjectName(QString::fromLatin1("label"));
    place(label, QRect(30, 30, 80, 80), window);
    label->setMinimumSize(80, 80);
    label->setMaximumSize(80, 80);
    label->setPixmap(QPixmap(QString::fromLatin1(":/main/zeph@2x.png")));

    progressBar = new QProgressBar(centralwidget);
    progressBar->setObjectName(QString::fromLatin1("progressBar"));
    place(progressBar, QRect(140, 55, 391, 10), window);
    progressBar->setStyleSheet(QString::fromUtf8(StyleSheets::progressBar));
    progressBar->setMaximum(1000);
    progressBar->setValue(350);
    progressBar->setTextVisible(false);

    label_2 = new QLabel(centralwidget);
    label_2->setObjectName(QString::fromLatin1("label_2"));
    place(label_2, QRect(140, 35, 171, 16), window);
    label_2->setStyleSheet(QString::fromUtf8(StyleSheets::statusText));

    window->setCentralWidget(centralwidget);

    retranslateUi(window);

    QMetaObject::connectSlotsByName(window);
}

void Ui_InstallerWindow::retranslateUi(InstallerWindow *window)
{
    window->setWindowTitle(QCoreApplication::translate("InstallerWindow", "Installing update..."));
    buttonCancel->setText(QCoreApplication::translate("InstallerWindow", "CANCEL UPDATE"));
    label->setText(QString());
    label_2->setText(QCoreApplication::translate("InstallerWindow", "Installing update..."));
}
