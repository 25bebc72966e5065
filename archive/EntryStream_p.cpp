#include "EntryStream_p.h"

#include "EntryReader_p.h"
#include "FreeSpace.h"
#include "Inflater_p.h"
#include "WrittenFile.h"

#include <isa-l/crc.h>

#include <QFile>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

constexpr int localHeaderSize = 30;
constexpr quint32 localHeaderSignature = 0x04034b50;
constexpr quint32 descriptorSignature = 0x08074b50;
constexpr int largestDescriptor = 24; // signature, CRC-32 and two 8-byte sizes
constexpr quint64 zip64Marker = 0xffffffffu;
constexpr quint16 zip64ExtraId = 0x0001;
constexpr quint16 descriptorFlag = 0x0008;
// Level hints (bits 1 and 2), a data descriptor (3), UTF-8 names (11). Any
// other flag (encryption, patched data, a masked header) is left to the
// unzipper.
constexpr quint16 plainFlags = 0x0002 | 0x0004 | descriptorFlag | 0x0800;
constexpr quint16 stored = 0;
constexpr quint16 deflated = 8;

// While the archive is still coming, the package must leave this much free
// beside it: the rest of the archive (its directory at least) and what the
// downloader writes between two looks. A download that ran out of room
// because of the package would fail where the extraction afterwards reports
// the free space it needs; streaming gives up first.
constexpr quint64 roomKept = 32 << 20;
constexpr quint64 lookEvery = 8 << 20;

quint64 littleEndian(const QByteArray &bytes, int at, int size)
{
    quint64 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | quint8(bytes.at(at + i));
    return value;
}

// minizip's comparison of names with ASCII letters in any case.
bool sameName(const QByteArray &name, const QByteArray &wanted)
{
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 0x20) : c; };
    return name.size() == wanted.size() &&
           std::equal(name.begin(), name.end(), wanted.begin(), [&](char a, char b) { return upper(a) == upper(b); });
}

// The sizes a local header keeps in its Zip64 field: in this order, those
// whose 32-bit field is marked. False when a marked one is missing.
bool readZip64Sizes(const QByteArray &extra, quint64 &uncompressed, quint64 &compressed)
{
    for (int at = 0; at + 4 <= extra.size();) {
        const auto id = quint16(littleEndian(extra, at, 2));
        const int end = std::min(at + 4 + int(littleEndian(extra, at + 2, 2)), int(extra.size()));
        if (id == zip64ExtraId) {
            int field = at + 4;
            for (quint64 *value : {&uncompressed, &compressed}) {
                if (*value != zip64Marker)
                    continue;
                if (field + 8 > end)
                    return false;
                *value = littleEndian(extra, field, 8);
                field += 8;
            }
            return true;
        }
        at = end;
    }
    return uncompressed != zip64Marker && compressed != zip64Marker;
}

} // namespace

EntryStream::EntryStream(QString dirPath, QString fileName)
    : dirPath(std::move(dirPath))
    , fileName(std::move(fileName))
{
}

EntryStream::~EntryStream() = default;

void EntryStream::take(const QByteArray &chunk, const std::atomic<bool> &stopped)
{
    int at = 0;
    while (at < chunk.size() && !stopped) {
        switch (phase) {
        case Phase::Header:
            readHeader(chunk, at);
            break;
        case Phase::Data:
            if (entry.method == stored)
                readStored(chunk, at);
            else
                readDeflated(chunk, at, stopped);
            break;
        case Phase::Descriptor:
            readDescriptor(chunk, at);
            break;
        case Phase::Done:
        case Phase::GaveUp:
            return;
        }
    }
}

void EntryStream::readHeader(const QByteArray &chunk, int &at)
{
    const int wanted = header.size() < localHeaderSize
                           ? localHeaderSize
                           : localHeaderSize + int(littleEndian(header, 26, 2) + littleEndian(header, 28, 2));
    const int size = std::min(wanted - int(header.size()), int(chunk.size()) - at);
    header.append(chunk.constData() + at, size);
    at += size;
    if (header.size() == localHeaderSize && littleEndian(header, 0, 4) != localHeaderSignature) {
        discard(); // another entry comes first, a stub, or no archive at all
        return;
    }
    if (header.size() >= localHeaderSize &&
        header.size() == localHeaderSize + int(littleEndian(header, 26, 2) + littleEndian(header, 28, 2)))
        startData();
}

void EntryStream::startData()
{
    const auto flags = quint16(littleEndian(header, 6, 2));
    const auto method = quint16(littleEndian(header, 8, 2));
    const int nameLength = int(littleEndian(header, 26, 2));
    quint64 uncompressed = littleEndian(header, 22, 4);
    quint64 compressed = littleEndian(header, 18, 4);
    sizesKnown = !(flags & descriptorFlag);
    // With a descriptor its sizes count, not the header's, as for minizip;
    // only deflated data then says where it ends.
    const bool readable =
        sameName(header.mid(localHeaderSize, nameLength), fileName.toUtf8()) && !(flags & ~plainFlags) &&
        (method == deflated || (method == stored && sizesKnown)) &&
        (!sizesKnown || (readZip64Sizes(header.mid(localHeaderSize + nameLength), uncompressed, compressed) &&
                         (method == deflated || compressed == uncompressed)));
    qint64 available = 0;
    constexpr quint64 largest = std::numeric_limits<quint64>::max() - roomKept;
    if (!readable || (sizesKnown && (compressed > largest || uncompressed > largest - compressed ||
                                     !hasRoomFor(dirPath, uncompressed + compressed + roomKept, available)))) {
        discard();
        return;
    }
    auto created = std::make_unique<WrittenFile>();
    QString error;
    // A link, a FIFO or a folder at the name is left as it is, for the
    // unzipper to name.
    if (!created->create(dirPath, fileName, error)) {
        discard();
        return;
    }
    file = std::move(created);
    file->setConsumer(entryConsumer);
    entry.dataOffset = quint64(header.size());
    entry.method = method;
    entry.flags = flags;
    entry.crc = quint32(littleEndian(header, 14, 4));
    entry.compressedSize = compressed;
    entry.uncompressedSize = uncompressed;
    restCompressed = compressed;
    header.clear();
    phase = Phase::Data;
    if (method == deflated)
        inflater = std::make_unique<Inflater>();
    // Nothing to write: the unzipper reads none of its data either.
    if (sizesKnown && uncompressed == 0)
        dataEnded();
}

void EntryStream::readStored(const QByteArray &chunk, int &at)
{
    const int size = int(std::min<quint64>(quint64(chunk.size() - at), restCompressed));
    // Shared, not copied, when the whole chunk is data.
    if (!write(size == chunk.size() ? chunk : chunk.mid(at, size)))
        return;
    at += size;
    restCompressed -= quint64(size);
    if (restCompressed == 0)
        dataEnded();
}

void EntryStream::readDeflated(const QByteArray &chunk, int &at, const std::atomic<bool> &stopped)
{
    for (;;) {
        if (stopped) {
            discard();
            return;
        }
        if (sizesKnown && written + quint64(outputSize) == entry.uncompressedSize) {
            if (flush())
                dataEnded();
            return;
        }
        if (inflater->ended()) {
            // With sizes known, it ended short of them.
            if (sizesKnown || !flush()) {
                discard();
                return;
            }
            // The descriptor begins where the data ends, among the last bytes
            // the inflater took.
            entry.compressedSize = inflater->dataLength();
            entry.uncompressedSize = written;
            header = lastTaken.right(int(inflater->taken() - inflater->dataLength()));
            phase = Phase::Descriptor;
            return;
        }
        if (inflater->inputLeft() == 0 && at < chunk.size() && (!sizesKnown || restCompressed > 0)) {
            quint64 size = quint64(chunk.size() - at);
            if (sizesKnown) {
                size = std::min(size, restCompressed);
                restCompressed -= size;
            }
            // Taken whole before this returns: it stays where it is until then.
            inflater->give(reinterpret_cast<const quint8 *>(chunk.constData()) + at, unsigned(size));
        }
        if (outputSize > 0 && outputSize == output.size() && !flush())
            return;
        if (output.isEmpty())
            output = QByteArray(int(extractionBufferSize), Qt::Uninitialized);
        quint64 room = quint64(output.size() - outputSize);
        if (sizesKnown)
            room = std::min(room, entry.uncompressedSize - written - quint64(outputSize));
        const unsigned before = inflater->inputLeft();
        unsigned produced = 0;
        const Inflater::Step step =
            inflater->step(reinterpret_cast<quint8 *>(output.data()) + outputSize, unsigned(room), produced);
        outputSize += int(produced);
        const int took = int(before - inflater->inputLeft());
        lastTaken = took >= 8 ? chunk.mid(at + took - 8, 8) : (lastTaken + chunk.mid(at, took)).right(8);
        at += took;
        if (step == Inflater::Step::Corrupt ||
            (step == Inflater::Step::Stuck && (inflater->inputLeft() > 0 || (sizesKnown && restCompressed == 0)))) {
            discard();
            return;
        }
        if (step == Inflater::Step::Stuck)
            return; // all of this chunk taken: the data goes on in the next
    }
}

void EntryStream::readDescriptor(const QByteArray &chunk, int &at)
{
    const int size = std::min(largestDescriptor - int(header.size()), int(chunk.size()) - at);
    header.append(chunk.constData() + at, size);
    at += size;
    // Signed or not, with 4- or 8-byte sizes: whichever agrees with the data.
    const auto agrees = [&](int from, int width) {
        return header.size() >= from + 4 + 2 * width && littleEndian(header, from, 4) == crc &&
               littleEndian(header, from + 4, width) == entry.compressedSize &&
               littleEndian(header, from + 4 + width, width) == entry.uncompressedSize;
    };
    const bool signature = header.size() >= 4 && littleEndian(header, 0, 4) == descriptorSignature;
    if ((signature && (agrees(4, 4) || agrees(4, 8))) || agrees(0, 4) || agrees(0, 8)) {
        entry.crc = crc;
        phase = Phase::Done;
    } else if (header.size() == largestDescriptor) {
        discard();
    }
}

bool EntryStream::write(const QByteArray &bytes)
{
    crc = crc32_gzip_refl(crc, reinterpret_cast<const quint8 *>(bytes.constData()), quint64(bytes.size()));
    if (!file->write(bytes)) {
        discard();
        return false;
    }
    written += quint64(bytes.size());
    if (written - writtenAtLastLook >= lookEvery) {
        writtenAtLastLook = written;
        qint64 available = 0;
        if (!hasRoomFor(dirPath, roomKept, available)) {
            discard();
            return false;
        }
    }
    return true;
}

bool EntryStream::flush()
{
    if (outputSize == 0)
        return true;
    output.resize(outputSize);
    // The array goes to the digest's queue as it is: the next output gets another.
    const QByteArray bytes = std::exchange(output, QByteArray());
    outputSize = 0;
    return write(bytes);
}

void EntryStream::dataEnded()
{
    if (crc != entry.crc)
        discard();
    else
        phase = Phase::Done;
}

std::optional<StreamedEntry> EntryStream::close()
{
    if (phase != Phase::Done || !file->close()) {
        discard();
        return std::nullopt;
    }
    entry.path = file->path();
    entry.sha256 = file->sha256();
    file.reset();
    if (entry.sha256.isEmpty()) {
        QFile::remove(entry.path);
        phase = Phase::GaveUp;
        return std::nullopt;
    }
    return entry;
}

void EntryStream::discard()
{
    if (file)
        file->remove();
    // Its digest's threads end with it: nothing more reaches the consumer.
    file.reset();
    inflater.reset();
    output.clear();
    outputSize = 0;
    phase = Phase::GaveUp;
}
