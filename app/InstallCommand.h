#pragma once

#include "NativePlatform.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Text logic of the privileged package installation, free of any platform:
// the command that runs /usr/sbin/installer on a package and a target, and
// what the outcome of running it means for the caller.
namespace InstallCommand {

// The package as the updater wrote it: where it is, how long it is, and the
// SHA-256 (32 bytes) of the bytes written.
struct Package
{
    QString path;
    qint64 size = 0;
    QByteArray sha256;
};

// The application being updated, as root's command looks for it: the
// bundle's path, canonical (as the system names executables), and the
// updater's own process id as the system's process list numbers it. A process
// of the updater's user, other than the updater, whose executable lies below
// the bundle and a slash runs from inside it.
struct Application
{
    QString bundlePath;
    qint64 updaterProcess = 0;
};

// Messages of a privileged run that found the package not as it was written.
extern const char packageChanged[];
QString packageIsLink(const QString &path);
QString packageIsNotRegular(const QString &path);

// `text` made safe between a pair of single quotes for the POSIX shell: each
// single quote becomes '\'' (close, escaped quote, reopen). Nothing else is
// special there.
[[nodiscard]] QString escapedForSingleQuotes(const QString &text);
// `text` made safe inside an AppleScript string literal: backslash and double
// quote get a backslash, a line feed is written "\n".
[[nodiscard]] QString escapedForAppleScriptString(const QString &text);

// Root's exit status and message when a copy of the application runs, which
// root's command looks for once more just before the installer: it installs
// nothing then. EX_TEMPFAIL: the same command may succeed later.
constexpr int applicationRunsStatus = 75;
extern const char applicationRuns[];

// What root's command does differently on the two systems it runs on: where
// its private folder is made (/private/tmp on macOS, where /tmp is only a link
// to it; /tmp elsewhere), whether the copy is first tried as an APFS clone,
// and how the processes are listed (ps on macOS, /proc elsewhere). Tests
// choose either; the program runs its own.
enum class Flavour { MacOS, Linux };
#if defined(Q_OS_MACOS)
constexpr Flavour thisSystem = Flavour::MacOS;
#else
constexpr Flavour thisSystem = Flavour::Linux;
#endif

// The shell text that root runs, after the assignments that shellCommand()
// puts before it: p (the package), name (its file name), size (its size in
// bytes), sha256 (its digest in hex), target, folder (mktemp's template),
// clone ("yes" to try a clone first), bundle, updater (its process id),
// listing ("ps" or "proc"), the refusals is_link, not_regular and changed,
// and running.
extern const char script[];

// The command that root runs. The package waits in a folder its user can
// write, so root installs a copy of its own: in a new folder only root can
// enter (mode 0700, in the sticky system temporary folder), copied without
// following a link or reading a special file, and only when that copy is a
// regular file of the package's size and SHA-256. Otherwise it fails with one
// of the messages above on standard error. Then, as the password prompt may
// have stayed open for any time, it looks for a copy of the application: when
// one runs it installs nothing and ends with applicationRunsStatus and
// applicationRuns. Else it runs /usr/sbin/installer -pkg <copy> -target
// <target>. It removes the folder whatever happens. System tools only, by
// absolute path; every inserted value is a quoted assignment.
[[nodiscard]] QString shellCommand(const Package &package, const QString &target, const Application &application,
                                   Flavour flavour = thisSystem);
// do shell script "<shellCommand, escaped for the AppleScript string>" with
// administrator privileges.
[[nodiscard]] QString appleScriptSource(const QString &shellCommand);

// Both forms of the command for the native layer. False, with `error` set,
// when nothing must run: a path holds a control character (it would be cut
// short or split by the layers below, and a process listed on two lines would
// go unseen), or the package has no digest.
[[nodiscard]] bool makeCommand(const Package &package, const QString &target, const Application &application,
                               NativePlatform::PrivilegedCommand &command, QString &error,
                               Flavour flavour = thisSystem);

enum class Result {
    Installed,
    ApplicationRuns, // nothing was installed; the same command may run again once it has quit
    Failed,
};
// Installed or ApplicationRuns, `error` untouched (the latter only for root's
// status and message together). Failed with `error` set to the fixed text for
// a cancelled authentication (-128), else the script's message, else an empty
// text.
[[nodiscard]] Result interpretOutcome(const NativePlatform::ScriptOutcome &outcome, QString &error);

} // namespace InstallCommand
