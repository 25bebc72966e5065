#pragma once

#include <QMainWindow>
#include <QString>

#include <memory>

class FileDownloader;
class Ui_InstallerWindow;

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
    // Installs the package on the target volume with administrator rights,
    // the system asking for the password; blocks until the installer has
    // ended. False with `error` set when it did not succeed (an empty text
    // when the system gave no reason), `error` untouched on success. A path
    // with a control character is refused without running anything. Installs
    // only a package whose SHA-256 is packageSha256.
    [[nodiscard]] bool install(QString packagePath, QString target, QString &error);

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
    // The package's SHA-256, taken from its bytes as they were written: the
    // privileged step installs nothing else.
    QByteArray packageSha256;
    FileDownloader *downloader = nullptr;
    std::unique_ptr<Ui_InstallerWindow> ui;
};
