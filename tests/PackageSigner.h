#pragma once

// A test certificate authority shaped like Apple's (root, Developer ID intermediate with its marker, Installer leaves
// with theirs, a timestamp authority) made at run time with libcrypto, and flat packages signed with it as productsign
// signs them: a TOC checksum, an RSA signature over it and a detached CMS signature, optionally timestamped (RFC 3161).
#include <QByteArray>
#include <QList>
#include <QPair>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>
#include <optional>

struct TestCertificate
{
    std::shared_ptr<X509> certificate;
    std::shared_ptr<EVP_PKEY> key;
};

struct TestPki
{
    static constexpr char team[] = "A1B2C3D4E5";
    TestPki();

    TestCertificate root, developerIdCa, otherCa;                                   // the CAs
    TestCertificate installer, otherInstaller, application, wrongTeam, ecInstaller; // leaves, valid 2020 to 2030
    TestCertificate expired, caLeaf, underOtherCa, oddCritical; // valid in 2020; a CA; by otherCa; a critical 1.2.3.4.5
    TestCertificate unmarked;                      // the installer's usage without Apple's mark of an installer leaf
    TestCertificate otherUsage;                    // that mark with an application's usage
    TestCertificate timestamper, rogueTimestamper; // the latter self-signed
    QByteArray rootDer() const;
};

struct PackageRecipe
{
    const TestPki *pki = nullptr; // its timestamp authority stamps
    const EVP_MD *digest = EVP_sha256();
    TestCertificate signer;       // its certificate first in the TOC
    QList<TestCertificate> chain; // after it, in the TOC and the CMS
    bool signature = true;        // false: an unsigned xar
    bool cms = true;
    std::optional<TestCertificate> cmsSigner;              // no value: the signer
    QByteArray cmsContent;                                 // empty: the checksum, as it must be
    bool cmsCarriesContent = false;                        // the content inside the CMS signature, not detached
    const EVP_MD *cmsDigest = nullptr;                     // null: SHA-256, CMS_sign's own choice
    std::optional<qint64> stampedAt;                       // a timestamp of this time
    std::optional<TestCertificate> stamper;                // no value: the PKI's timestamp authority
    bool stampOtherBytes = false;                          // a timestamp of something else
    QByteArray distribution = "<installer-gui-script/>\n"; // empty: none, as in a component package
    // More files, between the Distribution and the payload in the heap: a path ("PackageInfo" at the top,
    // "Example.pkg/PackageInfo" in the payload's folder) and its text, compressed as xar's application/x-gzip unless
    // describingStored.
    QList<QPair<QByteArray, QByteArray>> describing;
    bool describingStored = false;
    std::function<void(QByteArray &)> editDescribing; // each of them as archived, before its checksum
    QByteArray payload = QByteArray(3000, 'p');
    qint64 payloadSize = -1; // with payloadChecksum: the payload is left for the caller
    QByteArray payloadChecksum;
    std::function<void(QByteArray &)> editToc;   // the TOC's XML before it is signed
    std::function<void(QByteArray &)> tamperToc; // after
};

struct SignedPackage
{
    QByteArray bytes;
    int heap = 0;                                                            // where the heap starts
    int checksum = 0, signature = 0, cms = 0, distribution = 0, payload = 0; // heap offsets
    QList<int> describing;                                                   // heap offsets, in the recipe's order
};

[[nodiscard]] SignedPackage signPackage(const PackageRecipe &recipe);
