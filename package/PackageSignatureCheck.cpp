#include "PackageSignatureCheck.h"

#include "PackageInfoReader_p.h"
#include "SignerCheck_p.h"
#include "XarReader_p.h"

PackageSignatureCheck::PackageSignatureCheck(QString teamId, QByteArray trustedRootDer, QDateTime now)
    : signer(std::make_unique<SignerCheck>(std::move(teamId), trustedRootDer, now))
    , reader(std::make_unique<XarReader>(
          [this](const SignedToc &toc, QString &refusal) { return signer->check(toc, refusal); }))
{
}

PackageSignatureCheck::~PackageSignatureCheck() = default;

void PackageSignatureCheck::consume(const char *data, qsizetype size)
{
    reader->read(data, size);
}

bool PackageSignatureCheck::verdict(const QString &packageName, QString &error) const
{
    QString refusal;
    if (reader->finish(refusal))
        return true;
    // One pass of arg(): nothing of the package's texts is taken for a place marker.
    error = QStringLiteral("%1 %2").arg(packageName, refusal);
    return false;
}

bool PackageSignatureCheck::packagedBundles(const QString &packageName, QList<BundleIdentity> &bundles,
                                            QString &error) const
{
    QString refusal;
    QList<BundleIdentity> read;
    if (!readPackagedBundles(reader->describingFiles(), read, refusal)) {
        error = QStringLiteral("%1 %2").arg(packageName, refusal);
        return false;
    }
    if (read.isEmpty()) {
        error = QStringLiteral("%1 names no application bundle that it installs.").arg(packageName);
        return false;
    }
    bundles = read;
    return true;
}
