#pragma once

#include "OpenSslHandles_p.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The digests a package may be checked with. MD5 and xar's other names are
// not among them: a collision in them is within reach.
enum class DigestKind { Sha1, Sha256, Sha512 };

// The digest a xar checksum style names ("sha1", "SHA256", ...), in any
// letter case; no value for MD5 and unknown names.
[[nodiscard]] std::optional<DigestKind> digestOfStyle(const QString &style);
[[nodiscard]] QString digestName(DigestKind kind); // "SHA-1", ...
[[nodiscard]] int digestSize(DigestKind kind);     // in bytes
[[nodiscard]] const EVP_MD *evpDigest(DigestKind kind);

// A digest taken as the bytes go by.
class Digest
{
public:
    explicit Digest(DigestKind kind);

    void add(const char *data, qsizetype size);
    // The digest of everything added; empty when libcrypto failed. Ends it.
    [[nodiscard]] QByteArray result();

private:
    EvpMdContextPtr context;
    bool failed = false;
};
