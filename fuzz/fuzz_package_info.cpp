// Takes each input as the files that say what a signed package installs, and
// an installed application's version, and applies the update rule as the
// updater does once a package's signature has been accepted.
//
// Byte 0 is a mode: bit 0 keeps a Distribution (the first piece), bit 1
// stores the files as they are instead of compressing them as xar does, bit 2
// hands the pieces on as they are with xar's gzip encoding, so that the
// inflation itself is fed broken streams. The rest is cut at each "\0\0" into
// pieces: the Distribution, the top PackageInfo, Example.pkg/PackageInfo and
// the installed version. Properties: the version order is antisymmetric and
// reflexive, and an update is permitted only for a bundle of the
// application's identifier with a newer version.
#include "BundleVersion.h"
#include "PackageInfoReader_p.h"

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>

namespace {

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

DescribingFile file(const char *path, const QByteArray &content, int mode)
{
    if (mode & 4)
        return {QString::fromLatin1(path), QStringLiteral("application/x-gzip"), content};
    if (mode & 2)
        return {QString::fromLatin1(path), QStringLiteral("application/octet-stream"), content};
    return {QString::fromLatin1(path), QStringLiteral("application/x-gzip"), qCompress(content, 1).mid(4)};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int mode = data[0];
    const QByteArray input(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    QList<QByteArray> parts;
    for (int from = 0;;) {
        const int at = input.indexOf(QByteArray("\0\0", 2), from);
        parts.append(input.mid(from, at < 0 ? -1 : at - from));
        if (at < 0)
            break;
        from = at + 2;
    }
    while (parts.size() < 4)
        parts.append(QByteArray());

    std::vector<DescribingFile> files;
    if (mode & 1)
        files.push_back(file("Distribution", parts[0], mode));
    files.push_back(file("PackageInfo", parts[1], mode));
    files.push_back(file("Example.pkg/PackageInfo", parts[2], mode));

    QList<BundleIdentity> bundles;
    QString refusal;
    const bool read = readPackagedBundles(files, bundles, refusal);
    check(read == refusal.isEmpty());
    const QString installed = QString::fromUtf8(parts[3]);
    if (isBundleVersion(installed))
        check(compareBundleVersions(installed, installed) == 0);
    bool newer = false;
    for (const BundleIdentity &bundle : bundles) {
        const std::optional<int> order = compareBundleVersions(bundle.version, installed);
        const std::optional<int> reverse = compareBundleVersions(installed, bundle.version);
        check(order.has_value() == reverse.has_value() && (!order || *order == -*reverse));
        newer = newer || (bundle.identifier == QLatin1String("com.example.Example") && order && *order > 0);
    }
    QString error;
    if (permitsUpdate(QStringLiteral("Update.pkg"), bundles, {QStringLiteral("com.example.Example"), installed}, error))
        check(newer && error.isEmpty());
    else
        check(!error.isEmpty());
    return 0;
}
