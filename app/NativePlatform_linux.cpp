// Linux stand-in for the native layer. There is no AppKit and no AppleScript:
// the title bar is left to the window manager, the bundle is found by the rule
// macOS follows, and the privileged command runs through the shell, directly
// as root and through polkit's /usr/bin/pkexec (by its absolute path) otherwise.
// Processes are read from /proc.

#include "NativePlatform.h"

#include "BundleLocation.h"
#include "NativePlatform_p.h"

#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

namespace {

// pkexec's exit status when the user dismissed the authentication dialog.
constexpr int pkexecDialogDismissed = 126;

bool isProcessId(const char *name)
{
    if (*name == '\0')
        return false;
    for (; *name != '\0'; ++name)
        if (*name < '0' || *name > '9')
            return false;
    return true;
}

// This process's id as /proc numbers processes, which is not getpid() when
// /proc belongs to another PID namespace (a sandbox that kept the host's).
int ownProcessId()
{
    char buffer[32];
    const ssize_t length = readlink("/proc/self", buffer, sizeof buffer - 1);
    if (length <= 0)
        return getpid();
    buffer[length] = '\0';
    return isProcessId(buffer) ? std::atoi(buffer) : getpid();
}

// The parent's id from "pid (name) state ppid ...": the name may hold spaces
// and parentheses, so the fields are read after its last ")". None when the
// process has gone.
std::optional<int> parentOf(const std::string &folder)
{
    std::ifstream file(folder + "/stat");
    std::string line;
    if (!std::getline(file, line))
        return std::nullopt;
    const std::string::size_type nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos)
        return std::nullopt;
    std::istringstream fields(line.substr(nameEnd + 1));
    char state = 0;
    int parent = 0;
    if (!(fields >> state >> parent))
        return std::nullopt;
    return parent;
}

// Empty for a process we may not inspect, a kernel thread or a zombie. A
// deleted executable reads "<path> (deleted)": still inside its bundle.
std::string executableOf(const std::string &folder)
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink((folder + "/exe").c_str(), buffer, sizeof buffer);
    if (length <= 0 || length == ssize_t(sizeof buffer)) // a full buffer may have cut it short
        return std::string();
    return std::string(buffer, std::size_t(length));
}

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
    outcome.errorNumber = status;
    QString message = QString::fromUtf8(process.readAllStandardError()).trimmed();
    if (message.isEmpty())
        message = QStringLiteral("The command exited with status %1.").arg(status);
    outcome.errorMessage = message.toStdString();
    return outcome;
}

int processId()
{
    return ownProcessId();
}

std::vector<int> processesInsideBundle(const std::string &bundlePath)
{
    const std::unique_ptr<DIR, int (*)(DIR *)> proc(opendir("/proc"), closedir);
    if (!proc)
        return {};
    const uid_t user = getuid();
    std::vector<ListedProcess> processes;
    while (const dirent *entry = readdir(proc.get())) {
        if (!isProcessId(entry->d_name))
            continue;
        const std::string folder = std::string("/proc/") + entry->d_name;
        // /proc/<pid> belongs to the process's effective user (to root when
        // the process is not dumpable, which we could not inspect anyway).
        struct stat status = {};
        if (stat(folder.c_str(), &status) != 0 || status.st_uid != user)
            continue;
        if (const std::optional<int> parent = parentOf(folder))
            processes.push_back({std::atoi(entry->d_name), *parent, executableOf(folder)});
    }
    return processesInside(processes, ownProcessId(), bundlePath);
}

} // namespace NativePlatform
