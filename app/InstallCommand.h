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

// What root's command does differently on the two systems it runs on: where
// its private folder is made (/private/tmp on macOS, where /tmp is only a link
// to it; /tmp elsewhere) and whether the copy is first tried as an APFS clone.
// Tests choose either; the program runs its own.
enum class Flavour { MacOS, Linux };
#if defined(Q_OS_MACOS)
constexpr Flavour thisSystem = Flavour::MacOS;
#else
constexpr Flavour thisSystem = Flavour::Linux;
#endif

// The shell text that root runs, after the assignments that shellCommand()
// puts before it: p (the package), name (its file name), size (its size in
// bytes), sha256 (its digest in hex), target, folder (mktemp's template),
// clone ("yes" to try a clone first) and the refusals is_link, not_regular
// and changed.
extern const char script[];

// The command that root runs. The package waits in a folder its user can
// write, so root installs a copy of its own: in a new folder only root can
// enter (mode 0700, in the sticky system temporary folder), copied without
// following a link or reading a special file, and only when that copy is a
// regular file of the package's size and SHA-256. Otherwise it fails with one
// of the messages above on standard error. It runs /usr/sbin/installer -pkg
// <copy> -target <target> and removes the folder whatever happens. System
// tools only, by absolute path; every inserted value is a quoted assignment.
[[nodiscard]] QString shellCommand(const Package &package, const QString &target, Flavour flavour = thisSystem);
// do shell script "<shellCommand, escaped for the AppleScript string>" with
// administrator privileges.
[[nodiscard]] QString appleScriptSource(const QString &shellCommand);

// Both forms of the command for the native layer. False, with `error` set,
// when nothing must run: a path holds a control character (it would be cut
// short or split by the layers below), or the package has no digest.
[[nodiscard]] bool makeCommand(const Package &package, const QString &target,
                               NativePlatform::PrivilegedCommand &command, QString &error,
                               Flavour flavour = thisSystem);

// True for a successful run, `error` untouched. Otherwise false with `error`
// set to the fixed text for a cancelled authentication (-128), else the
// script's message, else an empty text.
[[nodiscard]] bool interpretOutcome(const NativePlatform::ScriptOutcome &outcome, QString &error);

} // namespace InstallCommand
