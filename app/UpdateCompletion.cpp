#include "UpdateCompletion.h"

#include "InstallCommand.h"
#include "InstalledApplication.h"
#include "NativePlatform.h"
#include "PackageSignatureCheck.h"
#include "StreamingUnzipper.h"
#include "Unzipper.h"
#include "UpdateSteps.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <iterator>
#include <utility>

namespace {

// How often a running application is looked for again.
constexpr int applicationCheckInterval = 500; // ms

// The bundle named as the system names an executable's path: with its links
// resolved.
QString canonicalBundle(const QString &application)
{
    const QString canonical = QFileInfo(application).canonicalFilePath();
    return canonical.isEmpty() ? application : canonical;
}

// Whether a process runs from inside the bundle.
bool runsFromInside(const QString &application)
{
    return !NativePlatform::processesInsideBundle(canonicalBundle(application).toStdString()).empty();
}

// What each outcome shows and removes, in the order of UpdateCompletion's
// Outcome. %1 is the detail: an error text, the application path as given,
// or the package path. The message is shown in the window's language.
struct Row
{
    const char *message; // null: nothing shown
    bool removesDownload;
    bool removesPackage;
};

constexpr Row rows[] = {
    // installed
    {nullptr, true, true},
    // A: the archive cannot be opened
    {QT_TRANSLATE_NOOP("InstallerWindow", "Failed to update.\n\n%1"), false, false},
    // B: the package cannot be extracted
    {QT_TRANSLATE_NOOP("InstallerWindow", "Failed to update.\n\n%1"), true, false},
    // C: not below /Applications
    {QT_TRANSLATE_NOOP("InstallerWindow", "Failed to update.\n\nUnexpected application path %1"), true, true},
    // not signed as the pin asks
    {QT_TRANSLATE_NOOP("InstallerWindow", "Failed to update.\n\n%1"), true, true},
    // D: not installed
    {QT_TRANSLATE_NOOP("InstallerWindow", "Failed to update.\n\n%1"), true, true},
    // E: after the removals of a successful installation
    {QT_TRANSLATE_NOOP("InstallerWindow", "Failed to remove file.\n\n%1"), false, false},
};

} // namespace

UpdateCompletion::UpdateCompletion(QString appPath, Download download, QObject *parent)
    : QObject(parent)
    , appPath(std::move(appPath))
    , download(std::move(download))
    , archive(UpdateSteps::isArchive(this->download.filePath))
    , packagePath(archive ? UpdateSteps::packagePathForArchive(this->download.filePath) : this->download.filePath)
{
    applicationCheck.setInterval(applicationCheckInterval);
}

UpdateCompletion::~UpdateCompletion()
{
    cancel();
}

void UpdateCompletion::requireSignature(std::unique_ptr<PackageSignatureCheck> check)
{
    signatureCheck = std::move(check);
}

void UpdateCompletion::takeStreamedPackage(std::unique_ptr<StreamingUnzipper> streamingUnzipper,
                                           std::unique_ptr<PackageSignatureCheck> check)
{
    streaming = std::move(streamingUnzipper);
    streamedCheck = std::move(check);
}

void UpdateCompletion::start()
{
    if (!archive) {
        packageSha256 = download.sha256;
        packageSize = download.identity ? download.identity->size : 0;
        install();
        return;
    }
    // The archive is read only while it is still the file the downloader
    // wrote (and, when it was pinned, bytes with the digest that matched).
    unzipper = std::make_unique<Unzipper>();
    if (download.identity)
        unzipper->expectArchive(*download.identity, download.sha256);
    // The signature is checked on the bytes extracted, whose digest root checks.
    unzipper->setEntryConsumer(signatureCheck.get());
    worker.reset(QThread::create([this] {
        extracted = extract(QFileInfo(packagePath));
        if (extracted) {
            packageSha256 = unzipper->sha256();
            packageSize = unzipper->extractedSize();
        }
        unzipper->close();
    }));
    // Queued to this thread: the rest runs on the GUI thread.
    connect(worker.get(), &QThread::finished, this, &UpdateCompletion::extractionEnded);
    worker->start();
}

bool UpdateCompletion::extract(const QFileInfo &package)
{
    // Waits for the streamed package: written whole, or given up and gone.
    const std::optional<StreamedEntry> streamed = streaming ? streaming->finish() : std::nullopt;
    opened = unzipper->open(download.filePath, extractionError);
    auto adoption = Unzipper::Adoption::Disagrees;
    // With a team pin, only a package whose streamed bytes were checked.
    if (opened && streamed && (!signatureCheck || streamedCheck))
        adoption = unzipper->adopt(package.fileName(), *streamed, extractionError);
    if (adoption == Unzipper::Adoption::Adopted) {
        std::swap(signatureCheck, streamedCheck);
        return true;
    }
    if (streamed)
        QFile::remove(streamed->path);
    return opened && adoption != Unzipper::Adoption::Refused &&
           unzipper->unzip(package.fileName(), package.path(), extractionError);
}

void UpdateCompletion::cancel()
{
    if (installing || cancelled.exchange(true))
        return;
    applicationCheck.stop();
    if (streaming)
        streaming->cancel();
    if (unzipper)
        unzipper->cancel();
    if (worker) {
        disconnect(worker.get(), nullptr, this, nullptr);
        worker->wait();
    }
    // A stopped extraction has removed its own partial file.
    if (extracted)
        QFile::remove(packagePath);
}

void UpdateCompletion::extractionEnded()
{
    if (cancelled)
        return;
    if (!opened)
        finish(Outcome::ArchiveNotOpened, extractionError);
    else if (!extracted)
        finish(Outcome::PackageNotExtracted, extractionError);
    else
        install();
}

void UpdateCompletion::install()
{
    if (cancelled)
        return;
    const QString application = UpdateSteps::cleanApplicationPath(appPath);
    const QString target = UpdateSteps::installationTarget(application);
    if (target.isEmpty()) {
        finish(Outcome::OutsideApplications, appPath);
        return;
    }
    QString refusal;
    if (signatureCheck && !signedForThisApplication(application, refusal)) {
        finish(Outcome::NotSigned, refusal);
        return;
    }
    connect(&applicationCheck, &QTimer::timeout, this,
            [this, application, target] { installOnceQuit(application, target); });
    installOnceQuit(application, target);
}

// Signed by the pinned team, for this very application, and newer than the
// installed version: a package the vendor once signed for another product, or
// an older release of this one, is no update.
bool UpdateCompletion::signedForThisApplication(const QString &application, QString &refusal) const
{
    const QString packageName = QFileInfo(packagePath).fileName();
    QList<BundleIdentity> packaged;
    BundleIdentity installed;
    return signatureCheck->verdict(packageName, refusal) &&
           signatureCheck->packagedBundles(packageName, packaged, refusal) &&
           readInstalledApplication(application, installed, refusal) &&
           permitsUpdate(packageName, packaged, installed, refusal);
}

// Never under a running application: the package would replace its files
// beneath it, and the relaunch would start a second copy beside it. Nothing
// asks it to quit; that is its own job.
void UpdateCompletion::installOnceQuit(const QString &application, const QString &target)
{
    if (cancelled)
        return;
    if (runsFromInside(application)) {
        if (!applicationCheck.isActive()) {
            applicationCheck.start();
            emit waitingForApplication(UpdateSteps::applicationName(application));
        }
        return;
    }
    if (applicationCheck.isActive()) {
        applicationCheck.stop();
        emit waitingEnded();
    }
    // From here on nothing is cancelled: the system's password prompt is the
    // user's last word.
    installing = true;
    QString error;
    switch (runInstaller(application, target, error)) {
    case InstallCommand::Result::Installed:
        break;
    case InstallCommand::Result::ApplicationRuns:
        // Started while the password was asked for: root installed nothing.
        // Waiting again as before, the next try asks for the password again.
        installing = false;
        applicationCheck.start();
        emit waitingForApplication(UpdateSteps::applicationName(application));
        return;
    case InstallCommand::Result::Failed:
        finish(Outcome::NotInstalled, error);
        return;
    }
    QProcess relaunch;
    relaunch.setProgram(UpdateSteps::relaunchProgram(application));
    relaunch.startDetached();
    finish(Outcome::Installed, QString());
}

InstallCommand::Result UpdateCompletion::runInstaller(const QString &application, const QString &target,
                                                      QString &error) const
{
    const InstallCommand::Package package{packagePath, packageSize, packageSha256};
    const InstallCommand::Application running{canonicalBundle(application), NativePlatform::processId()};
    NativePlatform::PrivilegedCommand command;
    if (!InstallCommand::makeCommand(package, target, running, command, error))
        return InstallCommand::Result::Failed;
    return InstallCommand::interpretOutcome(NativePlatform::runPrivilegedScript(command), error);
}

void UpdateCompletion::finish(Outcome outcome, const QString &detail)
{
    static_assert(std::size(rows) == std::size_t(Outcome::Count), "one row per outcome");
    const Row &row = rows[static_cast<int>(outcome)];
    // On the package road the download is the package, removed once.
    if (archive && row.removesDownload)
        QFile::remove(download.filePath);
    const bool packageGoes = archive ? row.removesPackage : row.removesDownload;
    const bool packageRemoved = !packageGoes || QFile::remove(packagePath);
    if (outcome == Outcome::Installed && !packageRemoved) {
        finish(Outcome::PackageNotRemoved, packagePath);
        return;
    }
    emit ended(row.message ? QCoreApplication::translate("InstallerWindow", row.message).arg(detail) : QString());
}
