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
#include <QWidget>

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
    buttonCancel->setGeometry(361, 90, 171, 32);
    buttonCancel->setStyleSheet(QString::fromUtf8(StyleSheets::cancelButton));

    label = new QLabel(centralwidget);
    label->setObjectName(QString::fromLatin1("label"));
    label->setGeometry(30, 30, 80, 80);
    label->setMinimumSize(80, 80);
    label->setMaximumSize(80, 80);
    label->setPixmap(QPixmap(QString::fromLatin1(":/main/zeph@2x.png")));

    progressBar = new QProgressBar(centralwidget);
    progressBar->setObjectName(QString::fromLatin1("progressBar"));
    progressBar->setGeometry(140, 55, 391, 10);
    progressBar->setStyleSheet(QString::fromUtf8(StyleSheets::progressBar));
    progressBar->setMaximum(1000);
    progressBar->setValue(350);
    progressBar->setTextVisible(false);

    label_2 = new QLabel(centralwidget);
    label_2->setObjectName(QString::fromLatin1("label_2"));
    label_2->setGeometry(140, 35, 171, 16);
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
