#pragma once

#include <QList>
#include <QString>

#include <optional>

// A bundle as its Info.plist or a package's PackageInfo names it.
struct BundleIdentity
{
    QString identifier; // CFBundleIdentifier
    QString version;    // CFBundleVersion, as written
};

// Orders two bundle versions of Apple's form for CFBundleVersion: one to
// three non-negative integers separated by periods, compared number by number,
// a missing number being 0 ("1.2" = "1.2.0" < "1.10"). Negative, zero or
// positive as `a` is older than, the same as or newer than `b`; no value when
// either is not of that form.
[[nodiscard]] std::optional<int> compareBundleVersions(const QString &a, const QString &b);
[[nodiscard]] bool isBundleVersion(const QString &version);

// Whether the package named packageName, which installs `packaged`, updates
// the application `installed` to a newer version: some bundle it installs has
// the application's identifier, and every one with that identifier a newer
// version. Otherwise false, with error saying why (a whole sentence).
[[nodiscard]] bool permitsUpdate(const QString &packageName, const QList<BundleIdentity> &packaged,
                                 const BundleIdentity &installed, QString &error);
