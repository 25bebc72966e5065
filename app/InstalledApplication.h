#pragma once

#include "BundleVersion.h"

#include <QString>

// The identity of the application being updated, from its bundle's
// Contents/Info.plist (an XML or a binary property list): its
// CFBundleIdentifier and CFBundleVersion. False, with error saying why (a
// whole sentence naming the file), when the file cannot be read, is no
// property list, or gives no identifier.
[[nodiscard]] bool readInstalledApplication(const QString &bundlePath, BundleIdentity &installed, QString &error);
