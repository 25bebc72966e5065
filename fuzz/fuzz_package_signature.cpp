// Takes each input as a downloaded installer package and checks its
// signature as the updater does, against Apple Root CA for the real
// packages' team, twice: in one piece and in up to three pieces cut where
// the input's first bytes say. The verdict and its text may not differ.
//
// Byte 0 is a mode: bit 0 writes the digest of the compressed TOC over the
// heap's first bytes (where packages keep the checksum), so that mutated
// TOCs reach the signature check; bit 1 takes the TOC as given inflated (the
// header's compressed length is then the XML's) and compresses it first, so
// that the XML itself is mutated. Bytes 1 and 2 place the cuts (in 256ths of
// the rest); the package follows.
#include "AppleRootCertificate.h"
#include "PackageSignatureCheck.h"

#include <QtEndian>

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

constexpr int headerSize = 28;

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

struct Verdict
{
    bool accepted;
    QString error;
};

Verdict verdictOf(const QByteArray &package, const QList<int> &cuts)
{
    static const QByteArray root = appleRootCertificate();
    PackageSignatureCheck check(QStringLiteral("T4SK8ZXCXG"), root, QDateTime::fromSecsSinceEpoch(1748736000));
    int at = 0;
    for (const int cut : cuts) {
        check.consume(package.constData() + at, cut - at);
        at = cut;
    }
    check.consume(package.constData() + at, package.size() - at);
    Verdict verdict{false, QString()};
    verdict.accepted = check.verdict(QStringLiteral("Example.pkg"), verdict.error);
    ::check(verdict.accepted == verdict.error.isEmpty());
    return verdict;
}

// The TOC of package, given inflated, compressed in its place.
void compressToc(QByteArray &package)
{
    auto *header = reinterpret_cast<uchar *>(package.data());
    const int length = int(std::min<quint64>(qFromBigEndian<quint64>(header + 8), package.size() - headerSize));
    const QByteArray xml = package.mid(headerSize, length);
    QByteArray compressed(int(compressBound(uLong(xml.size()))), Qt::Uninitialized);
    uLongf size = uLongf(compressed.size());
    compress2(reinterpret_cast<Bytef *>(compressed.data()), &size, reinterpret_cast<const Bytef *>(xml.constData()),
              uLong(xml.size()), 9);
    compressed.truncate(int(size));
    qToBigEndian<quint64>(quint64(compressed.size()), header + 8);
    qToBigEndian<quint64>(quint64(xml.size()), header + 16);
    package = package.left(headerSize) + compressed + package.mid(headerSize + length);
}

// The digest of the compressed TOC written where the heap starts.
void writeChecksum(QByteArray &package)
{
    const auto *header = reinterpret_cast<const uchar *>(package.constData());
    const quint32 algorithm = qFromBigEndian<quint32>(header + 24);
    const EVP_MD *md = algorithm == 1   ? EVP_sha1()
                       : algorithm == 3 ? EVP_sha256()
                       : algorithm == 4 ? EVP_sha512()
                                        : nullptr;
    const quint64 tocSize = qFromBigEndian<quint64>(header + 8);
    if (!md || tocSize > quint64(package.size() - headerSize))
        return;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(package.constData() + headerSize, tocSize, digest, &length, md, nullptr);
    const int heap = headerSize + int(tocSize);
    package.replace(heap, std::min<int>(int(length), package.size() - heap),
                    QByteArray(reinterpret_cast<const char *>(digest), int(length)).left(package.size() - heap));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3)
        return 0;
    QByteArray package(reinterpret_cast<const char *>(data) + 3, int(size) - 3);
    if (package.size() >= headerSize) {
        if (data[0] & 2)
            compressToc(package);
        if (data[0] & 1)
            writeChecksum(package);
    }
    QList<int> cuts = {int(qint64(package.size()) * data[1] / 256), int(qint64(package.size()) * data[2] / 256)};
    std::sort(cuts.begin(), cuts.end());

    const Verdict whole = verdictOf(package, {});
    const Verdict chunked = verdictOf(package, cuts);
    check(whole.accepted == chunked.accepted && whole.error == chunked.error);
    return 0;
}
