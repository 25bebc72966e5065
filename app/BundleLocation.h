#pragma once

#include <QString>

// The rule by which macOS tells a program's bundle from its executable: an
// executable in X.app/Contents/MacOS/ belongs to the bundle X.app; any other
// executable's bundle is the folder it lies in. `executablePath` is absolute.
QString bundlePathForExecutable(const QString &executablePath);
