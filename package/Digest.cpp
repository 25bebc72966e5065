#include "Digest_p.h"

std::optional<DigestKind> digestOfStyle(const QString &style)
{
    const QString name = style.toLower();
    if (name == QLatin1String("sha1"))
        return DigestKind::Sha1;
    if (name == QLatin1String("sha256"))
        return DigestKind::Sha256;
    if (name == QLatin1String("sha512"))
        return DigestKind::Sha512;
    return std::nullopt;
}

QString digestName(DigestKind kind)
{
    switch (kind) {
    case DigestKind::Sha1:
        return QStringLiteral("SHA-1");
    case DigestKind::Sha256:
        return QStringLiteral("SHA-256");
    case DigestKind::Sha512:
        break;
    }
    return QStringLiteral("SHA-512");
}

int digestSize(DigestKind kind)
{
    return kind == DigestKind::Sha1 ? 20 : kind == DigestKind::Sha256 ? 32 : 64;
}

const EVP_MD *evpDigest(DigestKind kind)
{
    return kind == DigestKind::Sha1 ? EVP_sha1() : kind == DigestKind::Sha256 ? EVP_sha256() : EVP_sha512();
}

Digest::Digest(DigestKind kind)
    : context(EVP_MD_CTX_new())
{
    failed = !context || EVP_DigestInit_ex(context.get(), evpDigest(kind), nullptr) != 1;
}

void Digest::add(const char *data, qsizetype size)
{
    if (!failed && size > 0)
        failed = EVP_DigestUpdate(context.get(), data, static_cast<size_t>(size)) != 1;
}

QByteArray Digest::result()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (failed || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        failed = true;
        return QByteArray();
    }
    failed = true; // ended
    return QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(length));
}
