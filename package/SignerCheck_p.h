#pragma once

#include "OpenSslHandles_p.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

struct SignedToc;

// Who signed a package: the RSA signature over the TOC's checksum must verify
// with the first certificate's key, and a CMS signature, where there is one,
// over the same checksum by that same certificate. That certificate must
// chain to the one trusted root (never a root the package brings) through an
// intermediate with Apple's Developer ID CA marker, be a Developer ID
// Installer certificate and not a CA, and name teamId as its subject's OU.
// Validity is checked at the time an RFC 3161 timestamp in the CMS signature
// proves (its authority chained to the same root, its imprint that of the CMS
// signature), or at `now` without one. Thread-safe once made.
class SignerCheck
{
public:
    SignerCheck(QString teamId, const QByteArray &trustedRootDer, const QDateTime &now);

    // False, with refusal saying why (to follow the package's name), for a
    // package not signed as required.
    [[nodiscard]] bool check(const SignedToc &toc, QString &refusal) const;

private:
    bool checkCms(const QByteArray &der, const SignedToc &toc, STACK_OF(X509) * certificates,
                  std::optional<qint64> &signedAt, QString &refusal) const;
    bool checkTimestamp(CMS_SignerInfo *signer, std::optional<qint64> &signedAt, QString &refusal) const;
    X509StorePtr trustAt(qint64 time) const;

    const QString teamId;
    X509Ptr root;
    const qint64 now; // seconds since 1970
};
