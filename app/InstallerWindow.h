#pragma once

#include <QMainWindow>
#include <QString>

#include <memory>

class FileDownloader;
class PackageSignatureCheck;
class StreamingUnzipper;
class Ui_InstallerWindow;
class UpdateCompletion;

// The one window of the program. It runs exactly one update, from its
// constructor to its closing: it downloads the update file beside the
// updater's own bundle, installs it and relaunches the application.
class InstallerWindow : public QMainWindow
{
    Q_OBJECT

public:
    InstallerWindow(QString appPath, QString url, QWidget *parent);
    ~InstallerWindow() override;

    // Adjusts the native title bar: transparent, dark, close button only.
    void setupTitle();
    // Path of the running program's own bundle.
    QString getAppPath();

protected:
    // However the window is closed (CANCEL UPDATE, the title bar, the end of
    // the update), nothing more of the update happens after it: the download
    // is released (its file kept), an extraction still running or the wait
    // for the application to quit is stopped and the package removed, and no
    // box, prompt or installation follows.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_buttonCancel_clicked();
    void on_downloadFinished();
    void on_errorOccurred(QString error);
    void on_progress(qulonglong bytesReceived, qulonglong bytesTotal);

private:
    // The program's one way to report a failure: a window-modal box titled
    // "Tarnwick Installer" with a single "CLOSE" button. Returns once dismissed.
    void showFailure(const QString &text);

    QString appPath;
    QString filePath;
    // With a team pin: fed the package's bytes as they are written, then
    // handed to the completion. Outlives every write of the downloader's.
    std::unique_ptr<PackageSignatureCheck> signatureCheck;
    // An archive: its package extracted as it downloads, with (for a team
    // pin) the check of the bytes streamed into it; handed to the completion
    // once the download has finished, cancelled when it does not.
    std::unique_ptr<PackageSignatureCheck> streamedCheck;
    std::unique_ptr<StreamingUnzipper> streaming;
    FileDownloader *downloader = nullptr;
    std::unique_ptr<Ui_InstallerWindow> ui;
    std::unique_ptr<UpdateCompletion> completion;
    bool closing = false;
};
