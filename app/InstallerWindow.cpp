#include "InstallerWindow.h"

#include "InstallCommand.h"
#include "InstallerWindowForm.h"
#include "NativePlatform.h"

#include <QFile>
#include <QProgressBar>

#include <utility>

InstallerWindow::InstallerWindow(QString appPath, QString url, QWidget *parent)
    : QMainWindow(parent)
    , appPath(std::move(appPath))
{
    Q_UNUSED(url)
    ui = std::make_unique<Ui_InstallerWindow>();
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint);
    setupTitle();
    ui->progressBar->setValue(0);
}

InstallerWindow::~InstallerWindow()
{
    ui.reset();
}

void InstallerWindow::setupTitle()
{
    // winId() creates the native window if it does not exist yet.
    NativePlatform::setupTitleBar(reinterpret_cast<void *>(winId()));
}

QString InstallerWindow::getAppPath()
{
    return QString::fromStdString(NativePlatform::bundlePath());
}

bool InstallerWindow::install(QString packagePath, QString target, QString &error)
{
    NativePlatform::PrivilegedCommand command;
    if (!InstallCommand::makeCommand(packagePath, target, command, error))
        return false;
    return InstallCommand::interpretOutcome(NativePlatform::runPrivilegedScript(command), error);
}

void InstallerWindow::on_buttonCancel_clicked()
{
    if (!filePath.isEmpty())
        QFile::remove(filePath);
    close();
}
