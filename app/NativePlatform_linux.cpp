// Linux stand-in for the native layer. There is no AppKit and no AppleScript:
// the title bar is left to the window manager, the bundle is found by the rule
// macOS follows, and the privileged command runs through the shell, directly
// as root and through polkit's /usr/bin/pkexec (by its absolute path) otherwise.

#include "NativePlatform.h"

#include "BundleLocation.h"

#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <unistd.h>

namespace {

// pkexec's exit status when the user dismissed the authentication dialog.
constexpr int pkexecDialogDismissed = 126;

} // namespace

namespace NativePlatform {

void setupTitleBar(void *) {}

std::string bundlePath()
{
    const QString executable = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    if (executable.isEmpty())
        return std::string();
    return bundlePathForExecutable(executable).toStdString();
}

ScriptOutcome runPrivilegedScript(const PrivilegedCommand &command)
{
    const bool viaPolkit = geteuid() != 0;
    const QStringList shell{QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                            QString::fromStdString(command.shellCommand)};

    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    if (viaPolkit)
        process.start(QStringLiteral("/usr/bin/pkexec"), shell);
    else
        process.start(shell.first(), shell.mid(1));

    ScriptOutcome outcome;
    if (!process.waitForStarted(-1)) {
        outcome.errorMessage = process.errorString().toStdString();
        return outcome;
    }
    process.waitForFinished(-1);

    if (process.exitStatus() == QProcess::CrashExit) {
        outcome.errorMessage = QStringLiteral("The command was ended by a signal.").toStdString();
        return outcome;
    }
    const int status = process.exitCode();
    if (status == 0) {
        outcome.succeeded = true;
        return outcome;
    }
    if (viaPolkit && status == pkexecDialogDismissed) {
        outcome.errorNumber = userCancelled;
        return outcome;
    }
    QString message = QString::fromUtf8(process.readAllStandardError()).trimmed();
    if (message.isEmpty())
        message = QStringLiteral("The command exited with status %1.").arg(status);
    outcome.errorMessage = message.toStdString();
    return outcome;
}

} // namespace NativePlatform
