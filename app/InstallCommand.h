#pragma once

#include "NativePlatform.h"

#include <QByteArray>
#include <QString>

// Text logic of the privileged package installation, free of any platform:
// the command that runs /usr/sbin/installer on a package and a target, and
// what the outcome of running it means for the caller.
namespace InstallCommand {

// The message of a privileged run that found the package changed.
extern const char packageChanged[];

// `text` made safe between a pair of single quotes for the POSIX shell: each
// single quote becomes '\'' (close, escaped quote, reopen). Nothing else is
// special there.
[[nodiscard]] QString escapedForSingleQuotes(const QString &text);
// `text` made safe inside an AppleScript string literal: backslash and double
// quote get a backslash.
[[nodiscard]] QString escapedForAppleScriptString(const QString &text);

// The command that root runs: it copies the package into a private folder of
// its own (keeping its file name), runs /usr/sbin/installer -pkg <copy> -target
// <target> only if the copy's SHA-256 is `sha256` (32 bytes), else fails with
// packageChanged on standard error, and removes the folder whatever happens.
// Every inserted path is quoted for the shell.
[[nodiscard]] QString shellCommand(const QString &packagePath, const QString &target, const QByteArray &sha256);
// do shell script "<shellCommand, escaped for the AppleScript string>" with
// administrator privileges.
[[nodiscard]] QString appleScriptSource(const QString &shellCommand);

// Both forms of the command for the native layer. False, with `error` naming
// the path, when a path holds a control character: such a path would be cut
// short or split by the layers below, so nothing must run.
[[nodiscard]] bool makeCommand(const QString &packagePath, const QString &target, const QByteArray &sha256,
                               NativePlatform::PrivilegedCommand &command, QString &error);

// True for a successful run, `error` untouched. Otherwise false with `error`
// set to the fixed text for a cancelled authentication (-128), else the
// script's message, else an empty text.
[[nodiscard]] bool interpretOutcome(const NativePlatform::ScriptOutcome &outcome, QString &error);

} // namespace InstallCommand
