#pragma once

#include "BundleVersion.h"
#include "XarReader_p.h"

#include <QList>
#include <QString>

#include <vector>

// The bundles a package installs, from the files that describe it: a
// component package's PackageInfo, or in a product archive the PackageInfo of
// each component package its Distribution refers to ("#Example.pkg"). Every
// <bundle> of a <pkg-info>, nested ones included, in document order. False,
// with refusal saying why (to follow the package's name), for a file that
// does not inflate or read, for more inflated text than accepted, and for a
// package with no PackageInfo to go by.
[[nodiscard]] bool readPackagedBundles(const std::vector<DescribingFile> &files, QList<BundleIdentity> &bundles,
                                       QString &refusal);

constexpr qint64 largestInflatedDescriptions = 8 * 1024 * 1024; // all of them together
