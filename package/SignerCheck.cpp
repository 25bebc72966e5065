#include "SignerCheck_p.h"

#include "VisibleText.h"
#include "XarReader_p.h"

#include <openssl/err.h>

#include <cstring>

namespace {

// Apple's markers: the Developer ID intermediate, the Developer ID Installer
// and Application leaves, and the Installer's extended key usage.
constexpr char developerIdCa[] = "1.2.840.113635.100.6.2.6";
constexpr char installerLeaf[] = "1.2.840.113635.100.6.1.14";
constexpr char applicationLeaf[] = "1.2.840.113635.100.6.1.13";
constexpr char installerUsage[] = "1.2.840.113635.100.4.13";

// The thread's libcrypto error queue, emptied on the way out: a failed check
// leaves nothing for the next user of libcrypto on this thread.
struct ErrorQueueGuard
{
    ErrorQueueGuard() = default;
    ErrorQueueGuard(const ErrorQueueGuard &) = delete;
    ErrorQueueGuard &operator=(const ErrorQueueGuard &) = delete;
    ~ErrorQueueGuard() { ERR_clear_error(); }
};

bool isObject(const ASN1_OBJECT *object, const char *oid)
{
    char text[80];
    const int length = OBJ_obj2txt(text, sizeof text, object, 1);
    return length > 0 && length < int(sizeof text) && std::strcmp(text, oid) == 0;
}

bool hasExtension(X509 *certificate, const char *oid)
{
    for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
        if (isObject(X509_EXTENSION_get_object(X509_get_ext(certificate, i)), oid))
            return true;
    }
    return false;
}

// OpenSSL refuses critical extensions it does not know, as Apple's leaf
// markers are. Accepts that error, and only that one, for the leaf alone,
// when every such extension is one of the two markers (the leaf's kind is
// checked after the chain).
int acceptLeafMarkers(int ok, X509_STORE_CTX *context)
{
    if (ok || X509_STORE_CTX_get_error(context) != X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION ||
        X509_STORE_CTX_get_error_depth(context) != 0)
        return ok;
    X509 *certificate = X509_STORE_CTX_get_current_cert(context);
    for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
        X509_EXTENSION *extension = X509_get_ext(certificate, i);
        const ASN1_OBJECT *object = X509_EXTENSION_get_object(extension);
        if (X509_EXTENSION_get_critical(extension) && !X509_supported_extension(extension) &&
            !isObject(object, installerLeaf) && !isObject(object, applicationLeaf))
            return 0;
    }
    return 1;
}

X509Ptr certificateOf(const QByteArray &der)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(der.constData());
    const unsigned char *end = bytes;
    X509Ptr certificate(d2i_X509(nullptr, &end, der.size()));
    if (end != bytes + der.size())
        certificate.reset(); // something after the certificate
    return certificate;
}

// The one entry of nid in the certificate's subject; empty when there is
// none or more than one.
QString subjectEntry(X509 *certificate, int nid)
{
    X509_NAME *name = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0 || X509_NAME_get_index_by_NID(name, nid, index) >= 0)
        return QString();
    unsigned char *utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    const QString text = length >= 0 ? QString::fromUtf8(reinterpret_cast<const char *>(utf8), length) : QString();
    OPENSSL_free(utf8);
    return text;
}

QString shown(const QString &text)
{
    return withVisibleControlCharacters(text.size() <= 100 ? text : text.left(100) + QStringLiteral("..."));
}

QString commonName(X509 *certificate)
{
    return shown(subjectEntry(certificate, NID_commonName));
}

QString timeText(qint64 time)
{
    return QDateTime::fromSecsSinceEpoch(time).toUTC().toString(Qt::ISODate);
}

bool isAcceptedDigest(int nid)
{
    return nid == NID_sha1 || nid == NID_sha256 || nid == NID_sha384 || nid == NID_sha512;
}

// The certificates that are not self-signed: a root the package brings is
// never an anchor, nor a step of a chain.
BorrowedX509StackPtr withoutRoots(STACK_OF(X509) * certificates)
{
    BorrowedX509StackPtr kept(sk_X509_new_null());
    for (int i = 0; kept && i < sk_X509_num(certificates); ++i) {
        X509 *certificate = sk_X509_value(certificates, i);
        if (X509_self_signed(certificate, 0) == 0 && !sk_X509_push(kept.get(), certificate))
            kept.reset();
    }
    return kept;
}

bool isInstallerLeaf(X509 *leaf)
{
    // Not a CA by either reading: basic constraints, or what OpenSSL would
    // let sign certificates.
    if (!hasExtension(leaf, installerLeaf) || X509_check_ca(leaf) != 0 || (X509_get_extension_flags(leaf) & EXFLAG_CA))
        return false;
    const ObjectStackPtr usages(
        static_cast<STACK_OF(ASN1_OBJECT) *>(X509_get_ext_d2i(leaf, NID_ext_key_usage, nullptr, nullptr)));
    for (int i = 0; usages && i < sk_ASN1_OBJECT_num(usages.get()); ++i) {
        if (isObject(sk_ASN1_OBJECT_value(usages.get(), i), installerUsage))
            return true;
    }
    return false;
}

bool verifiesRsa(X509 *leaf, const SignedToc &toc)
{
    EVP_PKEY *key = X509_get0_pubkey(leaf);
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        return false;
    const EvpPkeyContextPtr context(EVP_PKEY_CTX_new(key, nullptr));
    // PKCS#1 v1.5 over a DigestInfo of the checksum: the checksum is the
    // digest, in its own algorithm.
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), evpDigest(toc.digest)) == 1 &&
           EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char *>(toc.signature.constData()),
                           static_cast<size_t>(toc.signature.size()),
                           reinterpret_cast<const unsigned char *>(toc.checksum.constData()),
                           static_cast<size_t>(toc.checksum.size())) == 1;
}

} // namespace

SignerCheck::SignerCheck(QString teamId, const QByteArray &trustedRootDer, const QDateTime &now)
    : teamId(std::move(teamId))
    , root(certificateOf(trustedRootDer))
    , now(now.toSecsSinceEpoch())
{
}

X509StorePtr SignerCheck::trustAt(qint64 time) const
{
    X509StorePtr store(X509_STORE_new());
    if (store && X509_STORE_add_cert(store.get(), root.get()) == 1)
        X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(store.get()), static_cast<time_t>(time));
    else
        store.reset();
    return store;
}

bool SignerCheck::check(const SignedToc &toc, QString &refusal) const
{
    const ErrorQueueGuard clearErrors;
    if (!root) {
        refusal = QStringLiteral("could not be checked: the trusted root certificate cannot be read.");
        return false;
    }
    X509StackPtr certificates(sk_X509_new_null());
    for (const QByteArray &der : toc.certificates) {
        X509Ptr certificate = certificateOf(der);
        if (!certificates || !certificate || !sk_X509_push(certificates.get(), certificate.get())) {
            refusal = QStringLiteral("is refused: the certificates of its signature cannot be read.");
            return false;
        }
        certificate.release(); // the stack owns it now
    }
    if (sk_X509_num(certificates.get()) == 0) {
        refusal = QStringLiteral("is refused: its signature comes with no certificate.");
        return false;
    }
    X509 *leaf = sk_X509_value(certificates.get(), 0);
    const QString name = commonName(leaf);
    if (!verifiesRsa(leaf, toc)) {
        refusal = QStringLiteral("is refused: its signature does not verify.");
        return false;
    }
    std::optional<qint64> signedAt;
    if (toc.cmsSignature && !checkCms(*toc.cmsSignature, toc, certificates.get(), signedAt, refusal))
        return false;

    const qint64 at = signedAt.value_or(now);
    const X509StorePtr store = trustAt(at);
    const BorrowedX509StackPtr untrusted = withoutRoots(certificates.get());
    const X509StoreContextPtr context(X509_STORE_CTX_new());
    if (!store || !untrusted || !context ||
        X509_STORE_CTX_init(context.get(), store.get(), leaf, untrusted.get()) != 1) {
        refusal = QStringLiteral("could not be checked: libcrypto failed to set up the check of its certificates.");
        return false;
    }
    X509_STORE_CTX_set_verify_cb(context.get(), acceptLeafMarkers);
    if (X509_verify_cert(context.get()) != 1) {
        const int error = X509_STORE_CTX_get_error(context.get());
        const QString reason = QString::fromLatin1(X509_verify_cert_error_string(error));
        if (error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID) {
            const QString failed = commonName(X509_STORE_CTX_get_current_cert(context.get()));
            refusal = signedAt ? QStringLiteral("is refused: the certificate \"%1\" it is signed with was not valid at "
                                                "%2, when its timestamp says it was signed (%3).")
                                     .arg(failed, timeText(at), reason)
                               : QStringLiteral("is refused: the certificate \"%1\" it is signed with is not valid at "
                                                "%2 (%3), and no timestamp shows that it was when it was signed.")
                                     .arg(failed, timeText(at), reason);
        } else {
            refusal = QStringLiteral("is refused: its signing certificate \"%1\" does not chain to \"%2\" (%3).")
                          .arg(name, commonName(root.get()), reason);
        }
        return false;
    }
    STACK_OF(X509) *chain = X509_STORE_CTX_get0_chain(context.get());
    if (sk_X509_num(chain) < 3 || !hasExtension(sk_X509_value(chain, 1), developerIdCa)) {
        refusal = QStringLiteral("is refused: its signing certificate \"%1\" is not issued by a Developer ID "
                                 "certification authority.")
                      .arg(name);
        return false;
    }
    if (!isInstallerLeaf(leaf)) {
        refusal = QStringLiteral("is refused: it is signed with \"%1\", which is not a Developer ID Installer "
                                 "certificate.")
                      .arg(name);
        return false;
    }
    const QString team = subjectEntry(leaf, NID_organizationalUnitName);
    if (team != teamId) {
        refusal = QStringLiteral("is signed by the team %1, not by %2.")
                      .arg(team.isEmpty() ? QStringLiteral("(none)") : shown(team), teamId);
        return false;
    }
    return true;
}

bool SignerCheck::checkCms(const QByteArray &der, const SignedToc &toc, STACK_OF(X509) * certificates,
                           std::optional<qint64> &signedAt, QString &refusal) const
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(der.constData());
    const unsigned char *end = bytes;
    const CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &end, der.size()));
    // productsign pads the CMS signature with zeros to the size it reserved.
    const QByteArray padding = cms ? der.mid(static_cast<int>(end - bytes)) : QByteArray();
    if (!cms || padding.count('\0') != padding.size() || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        refusal = QStringLiteral("is refused: its CMS signature cannot be read.");
        return false;
    }
    STACK_OF(CMS_SignerInfo) *signers = CMS_get0_SignerInfos(cms.get());
    if (sk_CMS_SignerInfo_num(signers) != 1) {
        refusal = QStringLiteral("is refused: its CMS signature has %1 signers, not one.")
                      .arg(sk_CMS_SignerInfo_num(signers));
        return false;
    }
    CMS_SignerInfo *signer = sk_CMS_SignerInfo_value(signers, 0);
    X509_ALGOR *digest = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digest, nullptr);
    const int digestNid = digest ? OBJ_obj2nid(digest->algorithm) : NID_undef;
    if (!isAcceptedDigest(digestNid)) {
        refusal = QStringLiteral("is refused: its CMS signature uses the digest %1, which is not accepted.")
                      .arg(QString::fromLatin1(OBJ_nid2sn(digestNid)));
        return false;
    }
    // Detached: the checksum is the content, and the signature may not carry one of its own.
    ASN1_OCTET_STRING **content = CMS_get0_content(cms.get());
    const BioPtr checksum(BIO_new_mem_buf(toc.checksum.constData(), toc.checksum.size()));
    if ((content && *content) || !checksum ||
        CMS_verify(cms.get(), certificates, nullptr, checksum.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) !=
            1) {
        refusal = QStringLiteral("is refused: its CMS signature does not verify.");
        return false;
    }
    const BorrowedX509StackPtr signerCertificates(CMS_get0_signers(cms.get()));
    if (sk_X509_num(signerCertificates.get()) != 1 ||
        X509_cmp(sk_X509_value(signerCertificates.get(), 0), sk_X509_value(certificates, 0)) != 0) {
        refusal = QStringLiteral("is refused: its CMS signature is made with another certificate than its "
                                 "signature.");
        return false;
    }
    return checkTimestamp(signer, signedAt, refusal);
}

bool SignerCheck::checkTimestamp(CMS_SignerInfo *signer, std::optional<qint64> &signedAt, QString &refusal) const
{
    const int index = CMS_unsigned_get_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, -1);
    if (index < 0)
        return true;
    const auto unreadable = [&] {
        refusal = QStringLiteral("is refused: its timestamp cannot be read.");
        return false;
    };
    if (CMS_unsigned_get_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, index) >= 0)
        return unreadable(); // two timestamps
    X509_ATTRIBUTE *attribute = CMS_unsigned_get_attr(signer, index);
    const ASN1_TYPE *value = X509_ATTRIBUTE_count(attribute) == 1 ? X509_ATTRIBUTE_get0_type(attribute, 0) : nullptr;
    if (!value || value->type != V_ASN1_SEQUENCE)
        return unreadable();
    const unsigned char *bytes = value->value.sequence->data;
    const unsigned char *end = bytes;
    const Pkcs7Ptr token(d2i_PKCS7(nullptr, &end, value->value.sequence->length));
    if (!token || end != bytes + value->value.sequence->length || !PKCS7_type_is_signed(token.get()))
        return unreadable();
    const TstInfoPtr info(PKCS7_to_TS_TST_INFO(token.get()));
    const std::unique_ptr<ASN1_TIME, OpenSslDeleter<ASN1_TIME_free>> epoch(ASN1_TIME_set(nullptr, 0));
    int days = 0;
    int seconds = 0;
    if (!info || !epoch || ASN1_TIME_diff(&days, &seconds, epoch.get(), TS_TST_INFO_get_time(info.get())) != 1)
        return unreadable();
    const qint64 stampedAt = days * 86400LL + seconds;

    // The authority's chain is checked at the time it gives: its certificate
    // is short-lived, and the token must stay good after it has expired.
    const X509StorePtr store = trustAt(stampedAt);
    const BorrowedX509StackPtr untrusted = withoutRoots(token->d.sign->cert);
    if (!store || !untrusted || TS_RESP_verify_signature(token.get(), untrusted.get(), store.get(), nullptr) != 1) {
        refusal = QStringLiteral("is refused: its timestamp does not verify.");
        return false;
    }
    TS_MSG_IMPRINT *imprint = TS_TST_INFO_get_msg_imprint(info.get());
    const int imprintNid = OBJ_obj2nid(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
    const ASN1_OCTET_STRING *stamped = TS_MSG_IMPRINT_get_msg(imprint);
    const ASN1_OCTET_STRING *signature = CMS_SignerInfo_get0_signature(signer);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!isAcceptedDigest(imprintNid) ||
        EVP_Digest(ASN1_STRING_get0_data(signature), static_cast<size_t>(ASN1_STRING_length(signature)), digest,
                   &length, EVP_get_digestbynid(imprintNid), nullptr) != 1 ||
        ASN1_STRING_length(stamped) != int(length) ||
        std::memcmp(ASN1_STRING_get0_data(stamped), digest, length) != 0) {
        refusal = QStringLiteral("is refused: its timestamp is not that of its CMS signature.");
        return false;
    }
    signedAt = stampedAt;
    return true;
}
