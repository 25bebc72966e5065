#pragma once

#include "FileIdentity.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>
#include <optional>

namespace InstallCommand {
enum class Result;
}
class PackageSignatureCheck;
class QFileInfo;
class QThread;
class StreamingUnzipper;
class Unzipper;

// Takes a finished download to its end: extracts the package from a ".zip"
// (on a worker thread, so that the window keeps answering and can cancel),
// checks the application's location, waits for the application to quit, has
// the package installed with administrator rights, starts the application
// again and removes the downloaded files. How each failure ends (what is shown, what is removed) is
// one row of a table. Lives on the GUI thread; the native layer installs.
class UpdateCompletion : public QObject
{
    Q_OBJECT

public:
    // The downloaded file as the downloader wrote it: its path, the SHA-256
    // of the bytes written (empty when not hashed) and its identity on disk.
    struct Download
    {
        QString filePath;
        QByteArray sha256;
        std::optional<FileIdentity> identity;
    };

    UpdateCompletion(QString appPath, Download download, QObject *parent = nullptr);
    // Cancels what is still running, waiting for the worker.
    ~UpdateCompletion() override;

    // With a team pin: the package is installed only if `check` finds it
    // signed by that team. On the package road the check must have been fed
    // the download's bytes as they were written; on the archive road it is
    // fed the package's bytes here, as they are extracted. Before start().
    void requireSignature(std::unique_ptr<PackageSignatureCheck> check);
    // On the archive road, when the package was extracted as the archive
    // downloaded: `streaming` has been handed every byte of it, and `check`
    // (with a team pin) every byte streamed into the package. The package is
    // taken as extracted once the archive's central directory agrees with
    // it; otherwise it is removed and extracted anew, as without this. Before
    // start().
    void takeStreamedPackage(std::unique_ptr<StreamingUnzipper> streaming,
                             std::unique_ptr<PackageSignatureCheck> check);
    // Begins the completion; ended() follows, at once on the package road.
    void start();
    // Before anything privileged has begun (while extracting or waiting for
    // the application): the extraction stops, the package it wrote is
    // removed, nothing is installed or started, and ended() never comes. Waits for the worker (at most one chunk). Does
    // nothing once the installation has begun, which is not interrupted, unless root found the application running and
    // the completion waits again.
    void cancel();

signals:
    // The completion is over: `message` is what to show, empty for nothing.
    void ended(const QString &message);
    // A copy of the application runs: nothing is installed until it has quit,
    // which is checked again twice a second. `name` is the application's.
    // Comes again when root found one started during the password prompt.
    void waitingForApplication(const QString &name);
    // It has quit; the installation follows at once.
    void waitingEnded();

private:
    enum class Outcome {
        Installed,           // relaunched, files removed
        ArchiveNotOpened,    // A: the archive stays
        PackageNotExtracted, // B: the archive goes
        OutsideApplications, // C: the download and the package go
        NotSigned,           // not signed as the pin asks, or not a newer version of this application: both go
        NotInstalled,        // D: the download and the package go
        PackageNotRemoved,   // E: shown after a successful installation
        Count
    };
    // On the worker: the streamed package, or the one extracted now.
    [[nodiscard]] bool extract(const QFileInfo &package);
    void extractionEnded();
    // From the location check to the end, on the GUI thread.
    void install();
    [[nodiscard]] bool signedForThisApplication(const QString &application, QString &refusal) const;
    // Installs once no copy of the application runs.
    void installOnceQuit(const QString &application, const QString &target);
    // The one end: removes what the outcome's row says, then ended().
    void finish(Outcome outcome, const QString &detail);
    [[nodiscard]] InstallCommand::Result runInstaller(const QString &application, const QString &target,
                                                      QString &error) const;

    const QString appPath;
    const Download download;
    const bool archive;
    const QString packagePath;
    std::unique_ptr<PackageSignatureCheck> signatureCheck;
    std::unique_ptr<PackageSignatureCheck> streamedCheck; // outlives the streaming that feeds it
    std::unique_ptr<StreamingUnzipper> streaming;
    std::unique_ptr<Unzipper> unzipper;
    std::unique_ptr<QThread> worker;
    // Written by the worker, read once it has ended.
    bool opened = false;
    bool extracted = false;
    QString extractionError;
    QByteArray packageSha256;
    qint64 packageSize = 0;
    std::atomic<bool> cancelled{false};
    bool installing = false;
    QTimer applicationCheck;
};
