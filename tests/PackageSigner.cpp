#include "PackageSigner.h"

#include <QDataStream>
#include <QDateTime>
#include <QIODevice>

#include <openssl/cms.h>
#include <openssl/rsa.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <utility>

namespace {

using Extensions = QList<std::pair<const char *, const char *>>;

template<typename T, void (*Free)(T *)> std::shared_ptr<T> owned(T *object)
{
    return std::shared_ptr<T>(object, Free);
}

// The DER of an object, as i2d gives it.
template<typename T, int (*I2d)(const T *, unsigned char **)> QByteArray toDer(const T *object)
{
    unsigned char *bytes = nullptr;
    const int length = I2d(object, &bytes);
    const QByteArray result(reinterpret_cast<const char *>(bytes), qMax(length, 0));
    OPENSSL_free(bytes);
    return result;
}

QByteArray der(const TestCertificate &certificate)
{
    return toDer<X509, i2d_X509>(certificate.certificate.get());
}

// A certificate for subject ("CN=...|OU=..."), valid from the first of January of one year to that of another, with
// extensions as in openssl.cnf; self-signed without an issuer.
TestCertificate issue(const char *subject, const TestCertificate *issuer, std::shared_ptr<EVP_PKEY> key, int from,
                      int until, const Extensions &extensions)
{
    static long serial = 1;
    auto x = owned<X509, X509_free>(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial++);
    auto name = owned<X509_NAME, X509_NAME_free>(X509_NAME_new());
    for (const QByteArray &entry : QByteArray(subject).split('|'))
        X509_NAME_add_entry_by_txt(name.get(), entry.left(entry.indexOf('=')).constData(), MBSTRING_UTF8,
                                   reinterpret_cast<const uchar *>(entry.mid(entry.indexOf('=') + 1).data()), -1, -1,
                                   0);
    X509_set_subject_name(x.get(), name.get());
    X509_set_issuer_name(x.get(), issuer ? X509_get_subject_name(issuer->certificate.get()) : name.get());
    const auto year = [](int y) { return QDateTime(QDate(y, 1, 1), QTime(0, 0), Qt::UTC).toSecsSinceEpoch(); };
    ASN1_TIME_set(X509_getm_notBefore(x.get()), year(from));
    ASN1_TIME_set(X509_getm_notAfter(x.get()), year(until));
    X509_set_pubkey(x.get(), key.get());
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer ? issuer->certificate.get() : x.get(), x.get(), nullptr, nullptr, 0);
    for (const auto &[extension, value] : extensions) {
        X509_EXTENSION *made = X509V3_EXT_nconf(nullptr, &context, extension, value);
        X509_add_ext(x.get(), made, -1);
        X509_EXTENSION_free(made);
    }
    X509_sign(x.get(), issuer ? issuer->key.get() : key.get(), EVP_sha256());
    return {x, key};
}

// The certificates, borrowed, as a stack.
std::shared_ptr<STACK_OF(X509)> stackOf(const QList<TestCertificate> &certificates)
{
    auto stack = std::shared_ptr<STACK_OF(X509)>(sk_X509_new_null(), [](STACK_OF(X509) * s) { sk_X509_free(s); });
    for (const TestCertificate &certificate : certificates)
        sk_X509_push(stack.get(), certificate.certificate.get());
    return stack;
}

QByteArray digestOf(const QByteArray &data, const EVP_MD *md)
{
    QByteArray out(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    EVP_Digest(data.constData(), size_t(data.size()), reinterpret_cast<unsigned char *>(out.data()), &length, md,
               nullptr);
    return out.left(int(length));
}

// An RFC 3161 token over the SHA-256 of `stamped`, at `time`, as its DER.
QByteArray timestampToken(const TestCertificate &stamper, const TestCertificate &root, QByteArray stamped, qint64 time)
{
    auto context = owned<TS_RESP_CTX, TS_RESP_CTX_free>(TS_RESP_CTX_new());
    TS_RESP_CTX_set_signer_cert(context.get(), stamper.certificate.get());
    TS_RESP_CTX_set_signer_key(context.get(), stamper.key.get());
    const auto certificates = stackOf({root});
    TS_RESP_CTX_set_certs(context.get(), certificates.get());
    auto policy = owned<ASN1_OBJECT, ASN1_OBJECT_free>(OBJ_txt2obj("1.2.3.4.1", 1));
    TS_RESP_CTX_set_def_policy(context.get(), policy.get());
    TS_RESP_CTX_add_md(context.get(), EVP_sha256());
    const auto clock = [](TS_RESP_CTX *, void *at, long *seconds, long *microseconds) {
        *seconds = long(*static_cast<qint64 *>(at));
        *microseconds = 0;
        return 1;
    };
    TS_RESP_CTX_set_time_cb(context.get(), clock, &time);
    // The request's DER: version 1, the imprint (SHA-256 and the digest), certReq TRUE.
    const QByteArray request = QByteArray::fromHex("30390201013031300d060960864801650304020105000420") +
                               digestOf(stamped, EVP_sha256()) + QByteArray::fromHex("0101ff");
    auto bio = owned<BIO, BIO_free_all>(BIO_new_mem_buf(request.constData(), request.size()));
    auto response = owned<TS_RESP, TS_RESP_free>(TS_RESP_create_response(context.get(), bio.get()));
    return response ? toDer<PKCS7, i2d_PKCS7>(TS_RESP_get_token(response.get())) : QByteArray();
}

QByteArray cmsSignature(const PackageRecipe &recipe, const QByteArray &checksum)
{
    const TestCertificate &signer = recipe.cmsSigner ? *recipe.cmsSigner : recipe.signer;
    const auto chain = stackOf(recipe.chain);
    const QByteArray content = recipe.cmsContent.isEmpty() ? checksum : recipe.cmsContent;
    auto data = owned<BIO, BIO_free_all>(BIO_new_mem_buf(content.constData(), content.size()));
    const unsigned flags = CMS_BINARY | (recipe.cmsCarriesContent ? 0 : CMS_DETACHED);
    // A digest of the recipe's own: the signer is added to a partial structure, which is then finished.
    const bool ownDigest = recipe.cmsDigest != nullptr;
    auto cms = owned<CMS_ContentInfo, CMS_ContentInfo_free>(
        CMS_sign(ownDigest ? nullptr : signer.certificate.get(), ownDigest ? nullptr : signer.key.get(), chain.get(),
                 data.get(), flags | (ownDigest ? CMS_PARTIAL : 0)));
    if (ownDigest &&
        (!CMS_add1_signer(cms.get(), signer.certificate.get(), signer.key.get(), recipe.cmsDigest, flags) ||
         !CMS_final(cms.get(), data.get(), nullptr, flags)))
        return QByteArray();
    if (recipe.stampedAt) {
        CMS_SignerInfo *info = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        const ASN1_OCTET_STRING *value = CMS_SignerInfo_get0_signature(info);
        const QByteArray stamped =
            QByteArray(reinterpret_cast<const char *>(ASN1_STRING_get0_data(value)), ASN1_STRING_length(value)) +
            (recipe.stampOtherBytes ? "other" : "");
        const QByteArray token = timestampToken(recipe.stamper ? *recipe.stamper : recipe.pki->timestamper,
                                                recipe.pki->root, stamped, *recipe.stampedAt);
        CMS_unsigned_add1_attr_by_NID(info, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE, token.constData(),
                                      token.size());
    }
    return toDer<CMS_ContentInfo, i2d_CMS_ContentInfo>(cms.get());
}

} // namespace

TestPki::TestPki()
{
    const auto rsa = [] { return owned<EVP_PKEY, EVP_PKEY_free>(EVP_RSA_gen(2048)); };
    const auto caKey = rsa(), leafKey = rsa(), otherKey = rsa();
    const char *const caUsage = "critical,keyCertSign,cRLSign";
    root = issue("CN=Tarnwick Test Root CA|O=Tarnwick Tests", nullptr, rsa(), 2000, 2099,
                 {{"basicConstraints", "critical,CA:TRUE"}, {"keyUsage", caUsage}, {"subjectKeyIdentifier", "hash"}});
    const Extensions intermediate = {{"basicConstraints", "critical,CA:TRUE,pathlen:0"}, {"keyUsage", caUsage}};
    developerIdCa = issue("CN=Test Developer ID Certification Authority|OU=G2|O=Tarnwick Tests", &root, caKey, 2000,
                          2099, intermediate + Extensions{{"1.2.840.113635.100.6.2.6", "DER:05:00"}});
    otherCa = issue("CN=Test Other Certification Authority|O=Tarnwick Tests", &root, caKey, 2000, 2099, intermediate);
    const auto leaf = [&](const QByteArray &kind, const char *ou, std::shared_ptr<EVP_PKEY> key, int until = 2030,
                          bool isCa = false, const TestCertificate *issuer = nullptr, const char *odd = nullptr,
                          bool marked = true, bool installerUsage = true) {
        const QByteArray subject = "UID=" + QByteArray(team) + "|CN=Developer ID " + kind + ": Test Vendor (" + team +
                                   ")|OU=" + ou + "|O=Test Vendor|C=US";
        const bool installer = kind == "Installer";
        Extensions extensions = {{"basicConstraints", isCa ? "critical,CA:TRUE" : "critical,CA:FALSE"},
                                 {"keyUsage", "critical,digitalSignature"},
                                 {"extendedKeyUsage", installer && installerUsage ? "critical,1.2.840.113635.100.4.13"
                                                                                  : "critical,codeSigning"}};
        if (marked)
            extensions.append(std::make_pair(installer ? "1.2.840.113635.100.6.1.14" : "1.2.840.113635.100.6.1.13",
                                             "critical,DER:05:00"));
        if (odd)
            extensions.append(std::make_pair(odd, "critical,DER:05:00"));
        return issue(subject.constData(), issuer ? issuer : &developerIdCa, std::move(key), 2020, until, extensions);
    };
    installer = leaf("Installer", team, leafKey);
    otherInstaller = leaf("Installer", team, otherKey);
    application = leaf("Application", team, leafKey);
    wrongTeam = leaf("Installer", "ZZZZZZZZZZ", leafKey);
    ecInstaller = leaf("Installer", team, owned<EVP_PKEY, EVP_PKEY_free>(EVP_EC_gen("P-256")));
    expired = leaf("Installer", team, leafKey, 2021);
    caLeaf = leaf("Installer", team, leafKey, 2030, true);
    underOtherCa = leaf("Installer", team, leafKey, 2030, false, &otherCa);
    oddCritical = leaf("Installer", team, leafKey, 2030, false, nullptr, "1.2.3.4.5");
    unmarked = leaf("Installer", team, leafKey, 2030, false, nullptr, nullptr, false);
    otherUsage = leaf("Installer", team, leafKey, 2030, false, nullptr, nullptr, true, false);
    const Extensions stamping = {{"basicConstraints", "critical,CA:FALSE"},
                                 {"extendedKeyUsage", "critical,timeStamping"}};
    timestamper = issue("CN=Test Timestamp Authority|O=Tarnwick Tests", &root, otherKey, 2000, 2099, stamping);
    rogueTimestamper = issue("CN=Rogue Timestamp Authority", nullptr, otherKey, 2000, 2099, stamping);
}

QByteArray TestPki::rootDer() const
{
    return der(root);
}

SignedPackage signPackage(const PackageRecipe &recipe)
{
    SignedPackage made;
    const int checksumSize = EVP_MD_get_size(recipe.digest);
    const int signatureSize = EVP_PKEY_get_size(recipe.signer.key.get());
    const int cmsSize = recipe.cms ? 8192 : 0;
    const QByteArray style = QByteArray(OBJ_nid2sn(EVP_MD_get_type(recipe.digest))).toLower();
    const QByteArray &distribution = recipe.distribution;
    made.signature = checksumSize;
    made.cms = made.signature + signatureSize;
    made.distribution = made.cms + cmsSize;
    made.payload = made.distribution + distribution.size();
    QList<QByteArray> describing; // as archived
    for (const auto &file : recipe.describing) {
        describing.append(recipe.describingStored ? file.second : qCompress(file.second, 9).mid(4));
        if (recipe.editDescribing)
            recipe.editDescribing(describing.last());
        made.describing.append(made.payload);
        made.payload += describing.last().size();
    }
    const bool payloadGiven = recipe.payloadChecksum.isEmpty();
    const qint64 payloadSize = payloadGiven ? recipe.payload.size() : recipe.payloadSize;
    const QByteArray payloadChecksum = payloadGiven ? digestOf(recipe.payload, recipe.digest) : recipe.payloadChecksum;

    QByteArray keyInfo = "<KeyInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><X509Data>";
    for (const TestCertificate &certificate : QList<TestCertificate>{recipe.signer} + recipe.chain)
        keyInfo += "<X509Certificate>" + der(certificate).toBase64() + "</X509Certificate>";
    keyInfo += "</X509Data></KeyInfo>";
    const auto region = [](qint64 offset, qint64 size) {
        return "<offset>" + QByteArray::number(offset) + "</offset><size>" + QByteArray::number(size) + "</size>";
    };
    const auto data = [&](qint64 offset, qint64 size, const QByteArray &checksum,
                          const QByteArray &encoding = "application/octet-stream") {
        return "<data><length>" + QByteArray::number(size) + "</length>" + region(offset, size) + "<encoding style=\"" +
               encoding + "\"/><archived-checksum style=\"" + style + "\">" + checksum.toHex() +
               "</archived-checksum></data>";
    };
    QByteArray topFiles, payloadFolderFiles;
    for (int i = 0; i < describing.size(); ++i) {
        const QByteArray &path = recipe.describing[i].first;
        const bool inFolder = path.startsWith("Example.pkg/");
        (inFolder ? payloadFolderFiles : topFiles) +=
            "<file>" +
            data(made.describing[i], describing[i].size(), digestOf(describing[i], recipe.digest),
                 recipe.describingStored ? "application/octet-stream" : "application/x-gzip") +
            "<type>file</type><name>" + path.mid(inFolder ? 12 : 0) + "</name></file>";
    }
    QByteArray toc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><xar><toc><creation-time>2024-01-03T15:48:26"
                     "</creation-time><checksum style=\"" +
                     style + "\">" + region(0, checksumSize) + "</checksum>";
    if (recipe.signature)
        toc += "<signature style=\"RSA\">" + region(made.signature, signatureSize) + keyInfo + "</signature>";
    if (recipe.signature && recipe.cms)
        toc += "<x-signature style=\"CMS\">" + region(made.cms, cmsSize) + keyInfo + "</x-signature>";
    // The payload's folder before the distribution, which comes first in the heap, as in real packages.
    toc += "<file id=\"1\"><name>Example.pkg</name><type>directory</type><file id=\"2\">" +
           data(made.payload, payloadSize, payloadChecksum) + "<type>file</type><name>Payload</name></file>" +
           payloadFolderFiles + "</file>" + topFiles;
    if (!distribution.isEmpty())
        toc += "<file id=\"3\">" + data(made.distribution, distribution.size(), digestOf(distribution, recipe.digest)) +
               "<type>file</type><name>Distribution</name></file>";
    toc += "</toc></xar>";
    if (recipe.editToc)
        recipe.editToc(toc);

    QByteArray compressedToc = qCompress(toc, 9).mid(4); // zlib's stream, after Qt's length
    const QByteArray checksum = digestOf(compressedToc, recipe.digest);
    QByteArray signature(signatureSize, '\0');
    size_t length = size_t(signature.size());
    auto context = owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>(EVP_PKEY_CTX_new(recipe.signer.key.get(), nullptr));
    EVP_PKEY_sign_init(context.get());
    EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(context.get(), recipe.digest);
    EVP_PKEY_sign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                  reinterpret_cast<const unsigned char *>(checksum.constData()), size_t(checksum.size()));
    QByteArray cms = recipe.cms ? cmsSignature(recipe, checksum) : QByteArray();
    Q_ASSERT(cms.size() <= cmsSize);
    cms.append(QByteArray(cmsSize - cms.size(), '\0'));

    if (recipe.tamperToc) {
        recipe.tamperToc(toc);
        compressedToc = qCompress(toc, 9).mid(4);
    }
    // The header, big-endian: magic, its size, version 1, the TOC's sizes and the checksum's algorithm.
    QByteArray header;
    QDataStream(&header, QIODevice::WriteOnly)
        << quint32(0x78617221) << quint16(28) << quint16(1) << quint64(compressedToc.size()) << quint64(toc.size())
        << quint32(checksumSize == 20   ? 1
                   : checksumSize == 32 ? 3
                                        : 4);
    made.heap = header.size() + compressedToc.size();
    made.bytes = header + compressedToc + checksum + signature + cms + distribution + describing.join();
    if (payloadGiven)
        made.bytes += recipe.payload;
    return made;
}
