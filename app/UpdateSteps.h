#pragma once

#include <QString>

#include <optional>

// The plain text and number logic of one update, kept apart from the window so
// that it can be checked on its own.
namespace UpdateSteps {

// Whether the downloaded file is an archive that carries the package: its name
// ends in ".zip", in any letter case.
bool isArchive(const QString &filePath);

// Where the package of an archive is extracted: the archive's path with its
// four suffix characters replaced by ".pkg" (Update.ZIP gives Update.pkg).
QString packagePathForArchive(const QString &archivePath);

// The volume to install on: `appPath` up to and including the slash that begins
// its first "/Applications" (a plain, case-sensitive text search). Empty when
// there is none.
QString installationTarget(const QString &appPath);

// `appPath` as typed (a trailing slash, "." and ".." parts) made plain, for an
// absolute path; empty for one that is not absolute, which names no volume.
QString cleanApplicationPath(const QString &appPath);
// The application's name: the bundle's name up to its first dot ("Example
// 2.5.app" is "Example 2").
QString applicationName(const QString &appPath);
// The executable inside the bundle: the bundle path, "/Contents/MacOS/" and the
// application's name.
QString relaunchProgram(const QString &appPath);

// The progress bar's value for a report, in steps of 1000: at least 30 once
// anything is known, computed in wrapping unsigned 64-bit arithmetic. No value
// when the total is 0. Values above 1000 are handed on; the bar ignores them.
std::optional<int> progressValue(qulonglong bytesReceived, qulonglong bytesTotal);

} // namespace UpdateSteps
