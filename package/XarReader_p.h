#pragma once

#include "Digest_p.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct Toc;

// What the signatures of a package are checked on: the TOC's checksum as
// stored in the heap (already found equal to the digest of the compressed
// TOC), the RSA signature over it, the certificates that the TOC gives with
// that signature (the signer's first), and the CMS signature where there is
// one (its DER, possibly followed by zero padding).
struct SignedToc
{
    DigestKind digest = DigestKind::Sha1;
    QByteArray checksum;
    QByteArray signature;
    QList<QByteArray> certificates;
    std::optional<QByteArray> cmsSignature;
};

// A file of the package that says what it installs (its Distribution, a
// PackageInfo), as archived: kept while it streams past, and to be trusted
// only once the reader has finished without a refusal, when its archived
// checksum, from the signed TOC, has matched.
struct DescribingFile
{
    QString path;     // as in the TOC: "PackageInfo", "Example.pkg/PackageInfo", "Distribution"
    QString encoding; // the style of its <encoding>
    QByteArray archived;
};

// Reads a flat installer package (a xar archive) as its bytes stream past,
// holding only the header, the inflated TOC until it is parsed, the checksum
// and signatures, and one digest at a time: the header must be sound, the TOC
// must inflate to the size the header gives, within the bounds below; its
// checksum, signatures and the data of its files must tile the heap exactly;
// the checksum must be the digest of the compressed TOC, and each file's data
// must have its archived checksum. Once the checksum and the signatures have
// streamed past, checkSignatures is called with them. Refusals are sentences
// to follow the package's name ("is not signed."); the first one sticks.
class XarReader
{
public:
    static constexpr qint64 largestToc = 4 * 1024 * 1024;          // compressed
    static constexpr qint64 largestInflatedToc = 16 * 1024 * 1024; // inflated
    static constexpr qint64 largestSignature = 16 * 1024;          // RSA: a 4096-bit key takes 512 bytes
    static constexpr qint64 largestCmsSignature = 256 * 1024;      // Apple's, with certificates and timestamp: 9 KiB
    static constexpr qint64 largestDescriptions = 1024 * 1024;     // all DescribingFiles, archived

    using SignatureCheck = std::function<bool(const SignedToc &toc, QString &refusal)>;

    explicit XarReader(SignatureCheck checkSignatures);
    ~XarReader();
    XarReader(const XarReader &) = delete;
    XarReader &operator=(const XarReader &) = delete;

    // The package's next bytes. Does nothing once refused.
    void read(const char *data, qsizetype size);
    // After the last bytes: true when the package was read whole and nothing
    // was refused; otherwise false with refusal set.
    [[nodiscard]] bool finish(QString &refusal) const;
    // The top-level Distribution and PackageInfo and those of the component
    // packages at the top level, in TOC order; complete once finish() is true.
    [[nodiscard]] const std::vector<DescribingFile> &describingFiles() const { return describing; }

private:
    enum class Phase { Header, Toc, Heap, Refused };
    // A part of the heap: kept (the checksum and signatures) or hashed (a
    // file's data, against its archived checksum).
    struct HeapRegion
    {
        qint64 offset = 0;
        qint64 length = 0;
        QByteArray *kept = nullptr; // where the bytes go; null: hashed
        DigestKind digest = DigestKind::Sha1;
        QByteArray checksum;
        QString path;
        int described = -1; // its index in `describing`, if it is one of those files
    };
    struct Inflater;

    bool refuse(const QString &text);
    qsizetype readHeader(const char *data, qsizetype size);
    bool headerRead();
    qsizetype readToc(const char *data, qsizetype size);
    bool tocRead();
    bool layOut(const Toc &toc);
    qsizetype readHeap(const char *data, qsizetype size);
    bool enterRegions();
    bool regionRead(const HeapRegion &region);

    const SignatureCheck checkSignatures;
    Phase phase = Phase::Header;
    QString refusal;

    QByteArray header;
    int headerSize = 28;
    quint32 algorithm = 0;
    DigestKind digest = DigestKind::Sha1;
    qint64 tocSize = 0;
    qint64 tocLeft = 0;
    qint64 inflatedTocSize = 0;
    std::unique_ptr<Inflater> inflater;
    std::optional<Digest> tocDigest;
    QByteArray tocChecksum; // the digest of the compressed TOC

    std::vector<HeapRegion> regions; // in heap order
    std::size_t current = 0;
    qint64 position = 0; // in the heap
    std::optional<Digest> regionDigest;
    int capturesLeft = 0;
    SignedToc signedToc;
    std::vector<DescribingFile> describing;
};
