#include "XarReader_p.h"

#include "ShownText_p.h"
#include "TocParser_p.h"

#include <QtEndian>

#include <zlib.h>

#include <algorithm>

namespace {

constexpr int fixedHeaderSize = 28;
constexpr quint32 xarMagic = 0x78617221; // "xar!"

// The numbers of xar's header: 3 is SHA-256 in Apple's xar; in xar 1.6 it
// means "other", the digest then named in the header after the fixed fields.
enum : quint32 { noChecksum = 0, sha1Checksum = 1, md5Checksum = 2, otherChecksum = 3, sha512Checksum = 4 };

QString notXar(const QString &reason)
{
    return QStringLiteral("is not an installer package: %1").arg(reason);
}

QString weakOrUnknown(const QString &algorithm)
{
    return QStringLiteral("is refused: its table of contents is checked with %1, which is not accepted "
                          "(SHA-1, SHA-256 or SHA-512 only).")
        .arg(algorithm);
}

// The files that say what a package installs: a component package's
// PackageInfo at the top, a product archive's Distribution and the PackageInfo
// of each component package inside it.
bool describesPackage(const QString &path)
{
    static const QString packageInfo = QStringLiteral("PackageInfo");
    const int slash = path.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return path == packageInfo || path == QLatin1String("Distribution");
    return slash > 0 && path.indexOf(QLatin1Char('/'), slash + 1) < 0 && path.mid(slash + 1) == packageInfo;
}

} // namespace

// zlib's stream, ended once.
struct XarReader::Inflater
{
    z_stream stream{};
    bool ready = false;
    bool ended = false; // the compressed stream has ended
    QByteArray out;     // one byte more than expected, to see a longer TOC

    explicit Inflater(qint64 size)
        : out(static_cast<int>(size) + 1, Qt::Uninitialized)
    {
        ready = inflateInit(&stream) == Z_OK;
    }
    ~Inflater()
    {
        if (ready)
            inflateEnd(&stream);
    }
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;
};

XarReader::XarReader(SignatureCheck checkSignatures)
    : checkSignatures(std::move(checkSignatures))
{
}

XarReader::~XarReader() = default;

bool XarReader::refuse(const QString &text)
{
    refusal = text;
    phase = Phase::Refused;
    inflater.reset();
    regions.clear();
    describing.clear();
    return false;
}

void XarReader::read(const char *data, qsizetype size)
{
    while (size > 0 && phase != Phase::Refused) {
        qsizetype used = 0;
        switch (phase) {
        case Phase::Header:
            used = readHeader(data, size);
            break;
        case Phase::Toc:
            used = readToc(data, size);
            break;
        case Phase::Heap:
            used = readHeap(data, size);
            break;
        case Phase::Refused:
            return;
        }
        data += used;
        size -= used;
    }
}

bool XarReader::finish(QString &refusal) const
{
    switch (phase) {
    case Phase::Refused:
        refusal = this->refusal;
        return false;
    case Phase::Header:
        refusal = header.size() < 4 ? notXar(QStringLiteral("it is not a xar archive."))
                                    : QStringLiteral("is not a complete installer package: it ends within its header.");
        return false;
    case Phase::Toc:
        refusal = QStringLiteral("is not a complete installer package: it ends within its table of contents.");
        return false;
    case Phase::Heap:
        break;
    }
    if (current == regions.size())
        return true;
    refusal = QStringLiteral("is not a complete installer package: it ends before the end of the data its table of "
                             "contents lists.");
    return false;
}

qsizetype XarReader::readHeader(const char *data, qsizetype size)
{
    const qsizetype used = std::min<qsizetype>(size, headerSize - header.size());
    header.append(data, static_cast<int>(used));
    const auto *bytes = reinterpret_cast<const uchar *>(header.constData());
    if (header.size() >= 4 && qFromBigEndian<quint32>(bytes) != xarMagic)
        refuse(notXar(QStringLiteral("it is not a xar archive.")));
    else if (header.size() == headerSize)
        headerRead();
    return used;
}

// Called once the fixed fields are in, and again once a digest's name is.
bool XarReader::headerRead()
{
    const auto *bytes = reinterpret_cast<const uchar *>(header.constData());
    if (header.size() == fixedHeaderSize) {
        const quint16 size = qFromBigEndian<quint16>(bytes + 4);
        const quint16 version = qFromBigEndian<quint16>(bytes + 6);
        algorithm = qFromBigEndian<quint32>(bytes + 24);
        if (version != 1)
            return refuse(notXar(QStringLiteral("its xar header has version %1, not 1.").arg(version)));
        if (algorithm == noChecksum)
            return refuse(QStringLiteral("is not signed: its table of contents has no checksum."));
        if (algorithm == md5Checksum)
            return refuse(weakOrUnknown(QStringLiteral("MD5")));
        if (algorithm > sha512Checksum)
            return refuse(weakOrUnknown(QStringLiteral("the unknown algorithm %1").arg(algorithm)));
        // Only "other" may carry more than the fixed fields: its digest's name,
        // nul-terminated and padded with nuls to a multiple of 4.
        const bool named = algorithm == otherChecksum && size != fixedHeaderSize;
        if ((!named && size != fixedHeaderSize) || (named && (size < fixedHeaderSize + 4 || size % 4 != 0)))
            return refuse(notXar(QStringLiteral("its xar header is %1 bytes long, which does not fit its checksum "
                                                "algorithm %2.")
                                     .arg(size)
                                     .arg(algorithm)));
        digest = algorithm == sha1Checksum     ? DigestKind::Sha1
                 : algorithm == sha512Checksum ? DigestKind::Sha512
                                               : DigestKind::Sha256;
        if (named) {
            headerSize = size;
            return true; // read on
        }
    } else {
        const QByteArray name = header.mid(fixedHeaderSize);
        const int end = name.indexOf('\0');
        const QString text = QString::fromLatin1(name.left(end));
        if (end <= 0 || name.mid(end).count('\0') != name.size() - end)
            return refuse(notXar(QStringLiteral("its xar header does not name its checksum algorithm.")));
        const std::optional<DigestKind> kind = digestOfStyle(text);
        if (!kind)
            return refuse(weakOrUnknown(QStringLiteral("\"%1\"").arg(shownText(text))));
        digest = *kind;
    }
    const quint64 givenSize = qFromBigEndian<quint64>(bytes + 8);
    const quint64 givenInflatedSize = qFromBigEndian<quint64>(bytes + 16);
    if (givenSize > quint64(largestToc))
        return refuse(QStringLiteral("is refused: its table of contents is %1 bytes long, more than the %2 accepted.")
                          .arg(givenSize)
                          .arg(largestToc));
    if (givenInflatedSize > quint64(largestInflatedToc))
        return refuse(QStringLiteral("is refused: its table of contents inflates to %1 bytes, more than the %2 "
                                     "accepted.")
                          .arg(givenInflatedSize)
                          .arg(largestInflatedToc));
    tocSize = static_cast<qint64>(givenSize);
    inflatedTocSize = static_cast<qint64>(givenInflatedSize);
    inflater = std::make_unique<Inflater>(inflatedTocSize);
    if (!inflater->ready)
        return refuse(QStringLiteral("could not be checked: zlib cannot inflate its table of contents."));
    tocDigest.emplace(digest);
    tocLeft = tocSize;
    phase = Phase::Toc;
    return tocLeft > 0 || tocRead();
}

qsizetype XarReader::readToc(const char *data, qsizetype size)
{
    const qsizetype used = static_cast<qsizetype>(std::min<qint64>(size, tocLeft));
    tocDigest->add(data, used);
    tocLeft -= used;
    z_stream &z = inflater->stream;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    z.avail_in = static_cast<uInt>(used);
    while (z.avail_in > 0) {
        z.next_out = reinterpret_cast<Bytef *>(inflater->out.data()) + z.total_out;
        z.avail_out = static_cast<uInt>(inflater->out.size() - static_cast<qint64>(z.total_out));
        const int result = inflate(&z, Z_NO_FLUSH);
        if (static_cast<qint64>(z.total_out) > inflatedTocSize)
            break; // a longer TOC than the header gives, refused below
        if (result == Z_STREAM_END) {
            inflater->ended = true;
            if (z.avail_in > 0 || tocLeft > 0) {
                refuse(notXar(QStringLiteral("its table of contents goes on after its compressed end.")));
                return used;
            }
            break;
        }
        if (result != Z_OK) {
            const QString reason = z.msg ? QString::fromLatin1(z.msg) : QStringLiteral("zlib error %1").arg(result);
            {
                refuse(notXar(QStringLiteral("its table of contents does not inflate (%1).").arg(reason)));
                return used;
            }
        }
    }
    if (static_cast<qint64>(z.total_out) > inflatedTocSize) {
        refuse(notXar(QStringLiteral("its table of contents inflates to more than the %1 bytes its header "
                                     "gives.")
                          .arg(inflatedTocSize)));
        return used;
    }
    if (tocLeft == 0)
        tocRead();
    return used;
}

bool XarReader::tocRead()
{
    if (!inflater->ended)
        return refuse(notXar(QStringLiteral("its table of contents does not inflate (it is cut short).")));
    if (static_cast<qint64>(inflater->stream.total_out) != inflatedTocSize)
        return refuse(notXar(QStringLiteral("its table of contents inflates to %1 bytes, not the %2 its header gives.")
                                 .arg(inflater->stream.total_out)
                                 .arg(inflatedTocSize)));
    tocChecksum = tocDigest->result();
    tocDigest.reset();
    Toc toc;
    QString refused;
    const bool read = ::readToc(inflater->out.left(static_cast<int>(inflatedTocSize)), toc, refused);
    inflater.reset(); // the XML is no longer needed
    if (!read)
        return refuse(refused);
    if (!layOut(toc))
        return false;
    phase = Phase::Heap;
    return enterRegions();
}

// Checks what the TOC says of the heap and lays out its regions in heap
// order: nothing may overlap, be left out or be accepted unchecked.
bool XarReader::layOut(const Toc &toc)
{
    if (!toc.signature)
        return refuse(QStringLiteral("is not signed."));
    if (toc.signature->style.compare(QLatin1String("RSA"), Qt::CaseInsensitive) != 0)
        return refuse(QStringLiteral("is refused: its signature is of the style \"%1\", not RSA.")
                          .arg(shownText(toc.signature->style)));
    if (toc.cmsSignature && toc.cmsSignature->style.compare(QLatin1String("CMS"), Qt::CaseInsensitive) != 0)
        return refuse(QStringLiteral("is refused: its second signature is of the style \"%1\", not CMS.")
                          .arg(shownText(toc.cmsSignature->style)));
    if (!toc.checksumStyle)
        return refuse(QStringLiteral("is refused: its table of contents lists no checksum."));
    if (digestOfStyle(*toc.checksumStyle) != digest)
        return refuse(QStringLiteral("is refused: its table of contents lists a checksum of the style \"%1\", not the "
                                     "%2 its header names.")
                          .arg(shownText(*toc.checksumStyle), digestName(digest)));
    if (toc.checksum.size != digestSize(digest))
        return refuse(QStringLiteral("is refused: its checksum is %1 bytes long, not the %2 of a %3 digest.")
                          .arg(toc.checksum.size)
                          .arg(digestSize(digest))
                          .arg(digestName(digest)));
    const auto signatureTooLong = [this](const TocSignature &signature, const QString &which, qint64 largest) {
        if (signature.region.size > 0 && signature.region.size <= largest)
            return false;
        return !refuse(QStringLiteral("is refused: its %1 is %2 bytes long, outside the accepted 1 to %3.")
                           .arg(which)
                           .arg(signature.region.size)
                           .arg(largest));
    };
    if (signatureTooLong(*toc.signature, QStringLiteral("signature"), largestSignature) ||
        (toc.cmsSignature && signatureTooLong(*toc.cmsSignature, QStringLiteral("CMS signature"), largestCmsSignature)))
        return false;

    signedToc.digest = digest;
    signedToc.certificates = toc.signature->certificates;
    const auto kept = [](const TocRegion &toc, QByteArray *into) {
        HeapRegion region;
        region.offset = toc.offset;
        region.length = toc.size;
        region.kept = into;
        return region;
    };
    regions.push_back(kept(toc.checksum, &signedToc.checksum));
    regions.push_back(kept(toc.signature->region, &signedToc.signature));
    if (toc.cmsSignature) {
        signedToc.cmsSignature.emplace();
        regions.push_back(kept(toc.cmsSignature->region, &*signedToc.cmsSignature));
    }
    capturesLeft = static_cast<int>(regions.size());
    qint64 describingSize = 0;
    for (const TocFileData &file : toc.files) {
        const QString path = shownText(file.path);
        if (file.checksumStyle.isEmpty() && file.checksum.isEmpty())
            return refuse(QStringLiteral("is refused: its file \"%1\" has no archived checksum.").arg(path));
        const std::optional<DigestKind> kind = digestOfStyle(file.checksumStyle);
        if (!kind)
            return refuse(QStringLiteral("is refused: its file \"%1\" is checked with \"%2\", which is not accepted "
                                         "(SHA-1, SHA-256 or SHA-512 only).")
                              .arg(path, shownText(file.checksumStyle)));
        if (file.checksum.size() != digestSize(*kind))
            return refuse(QStringLiteral("is refused: the archived checksum of its file \"%1\" is not a %2 digest.")
                              .arg(path, digestName(*kind)));
        HeapRegion region;
        region.offset = file.region.offset;
        region.length = file.region.size;
        region.digest = *kind;
        region.checksum = file.checksum;
        region.path = path;
        if (describesPackage(file.path)) {
            for (const DescribingFile &other : describing) {
                if (other.path == file.path)
                    return refuse(QStringLiteral("is refused: it holds two files \"%1\".").arg(path));
            }
            describingSize += file.region.size;
            if (describingSize > largestDescriptions)
                return refuse(QStringLiteral("is refused: its Distribution and PackageInfo files are more than the "
                                             "%1 bytes accepted.")
                                  .arg(largestDescriptions));
            region.described = static_cast<int>(describing.size());
            describing.push_back({file.path, file.encoding, QByteArray()});
        }
        regions.push_back(region);
    }
    std::stable_sort(regions.begin(), regions.end(), [](const HeapRegion &a, const HeapRegion &b) {
        return a.offset < b.offset || (a.offset == b.offset && a.length < b.length);
    });
    qint64 end = 0;
    for (const HeapRegion &region : regions) {
        if (region.offset > end)
            return refuse(QStringLiteral("is refused: its heap holds bytes its table of contents does not account "
                                         "for (at heap offset %1).")
                              .arg(end));
        if (region.offset < end)
            return refuse(QStringLiteral("is refused: its table of contents lists overlapping data (at heap offset "
                                         "%1).")
                              .arg(region.offset));
        end = region.offset + region.length;
    }
    return true;
}

qsizetype XarReader::readHeap(const char *data, qsizetype size)
{
    if (current == regions.size()) {
        refuse(QStringLiteral("is refused: bytes follow the last data its table of contents lists."));
        return size;
    }
    const HeapRegion &region = regions[current];
    const qsizetype used = static_cast<qsizetype>(std::min<qint64>(size, region.offset + region.length - position));
    if (region.kept)
        region.kept->append(data, static_cast<int>(used));
    else
        regionDigest->add(data, used);
    if (region.described >= 0)
        describing[std::size_t(region.described)].archived.append(data, static_cast<int>(used));
    position += used;
    if (position == region.offset + region.length && regionRead(region)) {
        ++current;
        enterRegions();
    }
    return used;
}

// Starts the current region, and ends it and those after it while they are
// empty.
bool XarReader::enterRegions()
{
    for (; current < regions.size(); ++current) {
        const HeapRegion &region = regions[current];
        if (region.kept)
            region.kept->reserve(static_cast<int>(region.length));
        else
            regionDigest.emplace(region.digest);
        if (region.described >= 0)
            describing[std::size_t(region.described)].archived.reserve(static_cast<int>(region.length));
        if (region.length > 0)
            return true;
        if (!regionRead(region))
            return false;
    }
    return true;
}

bool XarReader::regionRead(const HeapRegion &region)
{
    if (!region.kept) {
        if (regionDigest->result() != region.checksum)
            return refuse(
                QStringLiteral("is refused: its file \"%1\" does not match its archived checksum.").arg(region.path));
        return true;
    }
    if (--capturesLeft > 0)
        return true;
    if (signedToc.checksum != tocChecksum)
        return refuse(QStringLiteral("is refused: its table of contents does not match its checksum."));
    QString refused;
    if (!checkSignatures(signedToc, refused))
        return refuse(refused);
    signedToc = SignedToc(); // no longer needed
    return true;
}
