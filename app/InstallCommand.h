#pragma once

#include "NativePlatform.h"

#include <QByteArray>
#include <QString>

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
// quote get a backslash.
[[nodiscard]] QString escapedForAppleScriptString(const QString &text);

// The command that root runs. The package waits in a folder its user can
// write, so root installs a copy of its own: in a new folder only root can
// enter (mode 0700, in the sticky system temporary folder), copied without
// following a link or reading a special file, and only when that copy is a
// regular file of the package's size and SHA-256. Otherwise it fails with one
// of the messages above on standard error. It runs /usr/sbin/installer -pkg
// <copy> -target <target> and removes the folder whatever happens. System
// tools only, by absolute path; every inserted path is quoted for the shell.
[[nodiscard]] QString shellCommand(const Package &package, const QString &target);
// do shell script "<shellCommand, escaped for the AppleScript string>" with
// administrator privileges.
[[nodiscard]] QString appleScriptSource(const QString &shellCommand);

// Both forms of the command for the native layer. False, with `error` set,
// when nothing must run: a path holds a control character (it would be cut
// short or split by the layers below), or the package has no digest.
[[nodiscard]] bool makeCommand(const Package &package, const QString &target,
                               NativePlatform::PrivilegedCommand &command, QString &error);

// True for a successful run, `error` untouched. Otherwise false with `error`
// set to the fixed text for a cancelled authentication (-128), else the
// script's message, else an empty text.
[[nodiscard]] bool interpretOutcome(const NativePlatform::ScriptOutcome &outcome, QString &error);

} // namespace InstallCommand
