#include "InstallerWindow.h"

#include "FileDownloader.h"
#include "InstallCommand.h"
#include "InstallerWindowForm.h"
#include "MessageBoxCSS.h"
#include "NativePlatform.h"
#include "Unzipper.h"
#include "UpdateSteps.h"

#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QUrl>

#include <utility>

InstallerWindow::InstallerWindow(QString appPath, QString url, QWidget *parent)
    : QMainWindow(parent)
    , appPath(std::move(appPath))
{
    ui = std::make_unique<Ui_InstallerWindow>();
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint);
    setupTitle();
    ui->progressBar->setValue(0);

    downloader = new FileDownloader(this);
    connect(downloader, &FileDownloader::finished, this, &InstallerWindow::on_downloadFinished);
    connect(downloader, &FileDownloader::errorOccurred, this, &InstallerWindow::on_errorOccurred);
    connect(downloader, &FileDownloader::downloadProgress, this, &InstallerWindow::on_progress);

    // The update is written beside the updater's own bundle.
    const QString directory = QFileInfo(getAppPath()).path();
    QString error;
    // The package's digest comes from its extraction when the update is an
    // archive: hashing the archive too would only slow the download.
    downloader->setHashingFile(!UpdateSteps::isArchive(QUrl(url, QUrl::TolerantMode).fileName()));
    if (!downloader->download(url, directory, filePath, error)) {
        showFailure(QStringLiteral("Failed to download the update.\n\n%1").arg(error));
        close();
        // The caller shows the window only after this constructor returns: close
        // it again once the event loop runs, which then ends with status 0.
        QMetaObject::invokeMethod(
            this, [this] { close(); }, Qt::QueuedConnection);
    }
}

InstallerWindow::~InstallerWindow()
{
    ui.reset();
    downloader->deleteLater();
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
    if (!InstallCommand::makeCommand(packagePath, target, packageSha256, command, error))
        return false;
    return InstallCommand::interpretOutcome(NativePlatform::runPrivilegedScript(command), error);
}

void InstallerWindow::on_buttonCancel_clicked()
{
    if (!filePath.isEmpty())
        QFile::remove(filePath);
    close();
}

void InstallerWindow::on_errorOccurred(QString error)
{
    showFailure(QStringLiteral("Failed to update.\n\n%1").arg(error));
    close();
}

void InstallerWindow::on_progress(qulonglong bytesReceived, qulonglong bytesTotal)
{
    if (const std::optional<int> value = UpdateSteps::progressValue(bytesReceived, bytesTotal))
        ui->progressBar->setValue(*value);
}

void InstallerWindow::on_downloadFinished()
{
    const bool archive = UpdateSteps::isArchive(filePath);
    const QString packagePath = archive ? UpdateSteps::packagePathForArchive(filePath) : filePath;
    // Removes what was downloaded and extracted, after a failure past extraction.
    const auto removeDownloads = [&] {
        QFile::remove(filePath);
        if (archive)
            QFile::remove(packagePath);
    };

    QString error;
    if (archive) {
        Unzipper unzipper(nullptr);
        if (!unzipper.open(filePath, error)) {
            showFailure(QStringLiteral("Failed to update.\n\n%1").arg(error));
            close();
            return;
        }
        const QFileInfo package(packagePath);
        if (!unzipper.unzip(package.fileName(), package.path(), error)) {
            showFailure(QStringLiteral("Failed to update.\n\n%1").arg(error));
            QFile::remove(filePath);
            close();
            return;
        }
        packageSha256 = unzipper.sha256();
        unzipper.close();
    } else {
        packageSha256 = downloader->fileSha256();
    }

    const QString application = UpdateSteps::cleanApplicationPath(appPath);
    const QString target = UpdateSteps::installationTarget(application);
    if (target.isEmpty()) {
        showFailure(QStringLiteral("Failed to update.\n\nUnexpected application path %1").arg(appPath));
        removeDownloads();
        close();
        return;
    }

    error.clear();
    if (!install(packagePath, target, error)) {
        showFailure(QStringLiteral("Failed to update.\n\n%1").arg(error));
        removeDownloads();
        close();
        return;
    }

    QProcess relaunch;
    relaunch.setProgram(UpdateSteps::relaunchProgram(application));
    relaunch.startDetached();

    if (archive)
        QFile::remove(filePath);
    if (!QFile::remove(packagePath))
        showFailure(QStringLiteral("Failed to remove file.\n\n%1").arg(packagePath));
    close();
}

void InstallerWindow::showFailure(const QString &text)
{
    MessageBoxCSS::critical(this, QStringLiteral("Tarnwick Installer"), text, true, QMessageBox::Close,
                            QStringLiteral("CLOSE"), QString(), 0, QString(), QString(), 0, QString(), QString(), 0);
}
