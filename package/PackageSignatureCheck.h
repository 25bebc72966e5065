#pragma once

#include "BundleVersion.h"
#include "ChunkConsumer.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>

class SignerCheck;
class XarReader;

// Whether a flat installer package (a xar archive) is signed by the vendor:
// its TOC checksum and the data of each of its files verify, its RSA
// signature (and CMS signature, where there is one) over that checksum
// verifies with a Developer ID Installer certificate that chains to the one
// trusted root and names the pinned team. Fed the package's bytes as they are
// written; holds at most its header, its TOC (XarReader gives the bounds), its
// checksum and signatures.
class PackageSignatureCheck final : public ChunkConsumer
{
public:
    // teamId: the Apple Team ID the package must be signed by; trustedRootDer:
    // the DER of the one root certificate trusted (the program gives Apple
    // Root CA, from appleRootCertificate()); now: the time the certificates
    // are checked at when no trusted timestamp says when the package was signed.
    PackageSignatureCheck(QString teamId, QByteArray trustedRootDer, QDateTime now);
    ~PackageSignatureCheck() override;
    PackageSignatureCheck(const PackageSignatureCheck &) = delete;
    PackageSignatureCheck &operator=(const PackageSignatureCheck &) = delete;

    // The package's next bytes, in order. Called from one thread at a time,
    // which need not be the one that made the check.
    void consume(const char *data, qsizetype size) override;
    // After the last chunk: true when the package is signed as required.
    // Otherwise false, with error naming packageName (as "Example.pkg") and
    // what was wrong with it.
    [[nodiscard]] bool verdict(const QString &packageName, QString &error) const;
    // After a verdict of true: the bundles the package installs, as its signed
    // PackageInfo files name them (a product archive's, of the components its
    // Distribution refers to). False, with error naming packageName, when they
    // cannot be read or name no bundle.
    [[nodiscard]] bool packagedBundles(const QString &packageName, QList<BundleIdentity> &bundles,
                                       QString &error) const;

private:
    std::unique_ptr<SignerCheck> signer;
    std::unique_ptr<XarReader> reader;
};
