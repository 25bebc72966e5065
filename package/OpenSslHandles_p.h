#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

// Owners of libcrypto's objects: each frees its object once, on every way out
// of a function.
template<auto Free> struct OpenSslDeleter
{
    template<typename T> void operator()(T *object) const { Free(object); }
};

inline void freeCertificateStack(STACK_OF(X509) * stack)
{
    sk_X509_pop_free(stack, X509_free);
}
// A stack that holds borrowed certificates: frees the stack, not them.
inline void freeBorrowedStack(STACK_OF(X509) * stack)
{
    sk_X509_free(stack);
}
inline void freeObjectStack(STACK_OF(ASN1_OBJECT) * stack)
{
    sk_ASN1_OBJECT_pop_free(stack, ASN1_OBJECT_free);
}

using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, OpenSslDeleter<ASN1_OBJECT_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OpenSslDeleter<CMS_ContentInfo_free>>;
using EvpMdContextPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX_free>>;
using EvpPkeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslDeleter<EVP_PKEY_CTX_free>>;
using ObjectStackPtr = std::unique_ptr<STACK_OF(ASN1_OBJECT), OpenSslDeleter<freeObjectStack>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OpenSslDeleter<PKCS7_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, OpenSslDeleter<TS_TST_INFO_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSslDeleter<freeCertificateStack>>;
using BorrowedX509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSslDeleter<freeBorrowedStack>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE_free>>;
using X509StoreContextPtr = std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX_free>>;
