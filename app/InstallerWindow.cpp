#include "InstallerWindow.h"

#include "AppleRootCertificate.h"
#include "DownloadPin.h"
#include "FileDownloader.h"
#include "InstallerWindowForm.h"
#include "MessageBoxCSS.h"
#include "NativePlatform.h"
#include "PackageSignatureCheck.h"
#include "StreamingUnzipper.h"
#include "UpdateCompletion.h"
#include "UpdateSteps.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
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
    if (downloader->download(url, directory, filePath, error)) {
        // The package's digest comes from its extraction when the update is an
        // archive: hashing the archive too would only slow the download.
        const bool archive = UpdateSteps::isArchive(filePath);
        downloader->setHashingFile(!archive);
        // download() has read the pin already and refused one it cannot read.
        DownloadPin pin;
        const auto newCheck = [&pin] {
            return std::make_unique<PackageSignatureCheck>(pin.team, appleRootCertificate(),
                                                           QDateTime::currentDateTimeUtc());
        };
        if (DownloadPin::read(QUrl(url, QUrl::TolerantMode), pin, error) && !pin.team.isEmpty()) {
            signatureCheck = newCheck();
            if (!archive)
                downloader->setWrittenBytesConsumer(signatureCheck.get());
        }
        // The package is extracted from the archive's bytes as they are
        // written, on the download's helper threads; the completion extracts
        // it afterwards only where that could not be done.
        if (archive) {
            streaming = std::make_unique<StreamingUnzipper>(UpdateSteps::packagePathForArchive(filePath));
            if (signatureCheck) {
                streamedCheck = newCheck();
                streaming->setEntryConsumer(streamedCheck.get());
            }
            downloader->setWrittenBytesConsumer(streaming.get());
        }
    } else {
        showFailure(QCoreApplication::translate("InstallerWindow", "Failed to download the update.\n\n%1").arg(error));
        close();
        // The caller shows the window only after this constructor returns: close
        // it again once the event loop runs, which then ends with status 0.
        QMetaObject::invokeMethod(
            this, [this] { close(); }, Qt::QueuedConnection);
    }
}

InstallerWindow::~InstallerWindow()
{
    completion.reset();
    // The download's helper thread may still be feeding the signature check
    // or the streaming, whose own threads feed its check.
    downloader->clean();
    streaming.reset();
    streamedCheck.reset();
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

void InstallerWindow::on_buttonCancel_clicked()
{
    if (!filePath.isEmpty())
        QFile::remove(filePath);
    close();
}

void InstallerWindow::on_errorOccurred(QString error)
{
    // Whatever was extracted goes before the box shows: the download may be kept, never the package.
    if (streaming)
        streaming->cancel();
    if (closing)
        return;
    showFailure(QCoreApplication::translate("InstallerWindow", "Failed to update.\n\n%1").arg(error));
    close();
}

void InstallerWindow::on_progress(qulonglong bytesReceived, qulonglong bytesTotal)
{
    if (const std::optional<int> value = UpdateSteps::progressValue(bytesReceived, bytesTotal))
        ui->progressBar->setValue(*value);
}

void InstallerWindow::on_downloadFinished()
{
    // A download can finish in the same pass of the event loop as the click
    // that closed the window.
    if (closing)
        return;
    completion = std::make_unique<UpdateCompletion>(
        appPath, UpdateCompletion::Download{filePath, downloader->fileSha256(), downloader->fileIdentity()});
    if (signatureCheck)
        completion->requireSignature(std::move(signatureCheck));
    // The downloader has handed it every byte, and hands it nothing more.
    if (streaming)
        completion->takeStreamedPackage(std::move(streaming), std::move(streamedCheck));
    connect(completion.get(), &UpdateCompletion::ended, this, [this](const QString &message) {
        if (!message.isEmpty())
            showFailure(message);
        close();
    });
    connect(completion.get(), &UpdateCompletion::waitingForApplication, this, [this](const QString &name) {
        ui->progressBar->setValue(ui->progressBar->maximum());
        // The label is as wide as "Installing update..."; the bar's width
        // holds the longer text (from the bar's right end when right to left).
        ui->label_2->setGeometry(ui->progressBar->x(), ui->label_2->y(), ui->progressBar->width(),
                                 ui->label_2->height());
        ui->label_2->setText(QCoreApplication::translate("InstallerWindow", "Waiting for %1 to quit...").arg(name));
    });
    connect(completion.get(), &UpdateCompletion::waitingEnded, this, [this] {
        ui->label_2->setText(QCoreApplication::translate("InstallerWindow", "Installing update..."));
        // Painted now: the installation that follows holds the event loop.
        ui->label_2->repaint();
    });
    completion->start();
}

void InstallerWindow::closeEvent(QCloseEvent *event)
{
    closing = true;
    // A download that did not finish: nothing of its package stays. First, so
    // that the downloader's thread, which may wait for room in the
    // streaming's queue, is let go at once.
    if (streaming)
        streaming->cancel();
    downloader->clean();
    if (completion)
        completion->cancel();
    QMainWindow::closeEvent(event);
}

void InstallerWindow::showFailure(const QString &text)
{
    // Named CLOSE in every language: the window's style sheet styles it by that name.
    MessageBoxCSS::critical(this, QStringLiteral("Tarnwick Installer"), text, true, QMessageBox::Close,
                            QCoreApplication::translate("InstallerWindow", "CLOSE"), QStringLiteral("CLOSE"), 0,
                            QString(), QString(), 0, QString(), QString(), 0);
}
