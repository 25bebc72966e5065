#include "Sha256.h"

#include <openssl/evp.h>

void Sha256::ContextDeleter::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

Sha256::Sha256()
    : context(EVP_MD_CTX_new())
{
    failed = !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::addData(const char *data, qsizetype size)
{
    if (!failed && size > 0)
        failed = EVP_DigestUpdate(context.get(), data, static_cast<size_t>(size)) != 1;
}

QByteArray Sha256::result()
{
    if (failed)
        return QByteArray();
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    failed = EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char *>(digest.data()), &length) != 1;
    if (failed)
        return QByteArray();
    digest.truncate(static_cast<int>(length));
    return digest;
}

QByteArray Sha256::hash(const QByteArray &data)
{
    Sha256 sha;
    sha.addData(data);
    return sha.result();
}
