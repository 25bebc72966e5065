#include "EntryReader_p.h"

#include "BackgroundSha256.h"
#include "Inflater_p.h"

#include <QByteArray>

#include <isa-l/crc.h>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {

// pread of exactly `size` bytes at `offset`; false with errno when they cannot
// be read (0 when the file ends first).
bool readExactly(int fd, char *to, quint64 size, quint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, to, size_t(size), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = 0; // the file has shrunk since its size was taken
            return false;
        }
        to += n;
        size -= quint64(n);
        offset += quint64(n);
    }
    return true;
}

} // namespace

EntryReader::EntryReader(int fd, const unz_file_info64 &info, quint64 offset, BackgroundSha256 *archiveDigest)
    : fd(fd)
    , offset(offset)
    , restCompressed(info.compressed_size)
    , restUncompressed(info.uncompressed_size)
    , archiveDigest(archiveDigest)
{
    if (info.compression_method == Z_DEFLATED) {
        input.resize(extractionBufferSize);
        inflater = std::make_unique<Inflater>();
    }
}

EntryReader::~EntryReader() = default;

int EntryReader::read(char *out, unsigned length)
{
    length = static_cast<unsigned>(std::min<quint64>(length, restUncompressed));
    int n = 0;
    if (inflater) {
        n = inflate(reinterpret_cast<quint8 *>(out), length);
        if (n < 0)
            return n;
    } else {
        n = static_cast<int>(std::min<quint64>(length, restCompressed));
        if (!readFile(out, quint64(n)))
            return UNZ_ERRNO;
    }
    restUncompressed -= quint64(n);
    crc = crc32_gzip_refl(crc, reinterpret_cast<const quint8 *>(out), quint64(n));
    return n;
}

bool EntryReader::readFile(void *to, quint64 size)
{
    auto *bytes = static_cast<char *>(to);
    if (!readExactly(fd, bytes, size, offset))
        return false;
    // A copy: the caller's buffer is reused while the digest is computed.
    if (archiveDigest)
        archiveDigest->addData(QByteArray(bytes, int(size)));
    offset += size;
    restCompressed -= size;
    return true;
}

int EntryReader::inflate(quint8 *out, unsigned length)
{
    unsigned done = 0;
    while (done < length && !inflater->ended()) {
        if (inflater->inputLeft() == 0 && restCompressed > 0) {
            const auto size = static_cast<unsigned>(std::min<quint64>(input.size(), restCompressed));
            if (!readFile(input.data(), size))
                return UNZ_ERRNO;
            inflater->give(input.data(), size);
        }
        unsigned produced = 0;
        switch (inflater->step(out + done, length - done, produced)) {
        case Inflater::Step::Corrupt:
            return Z_DATA_ERROR;
        case Inflater::Step::Stuck:
            // With all the data read: zlib's answer for a stream cut short.
            return Z_BUF_ERROR;
        case Inflater::Step::Moved:
            break;
        }
        done += produced;
    }
    return static_cast<int>(done);
}

RangeHashed hashFileRange(int fd, quint64 from, quint64 to, BackgroundSha256 &digest,
                          const std::atomic<bool> &cancelled)
{
    while (from < to) {
        if (cancelled)
            return RangeHashed::Cancelled;
        const quint64 size = std::min(extractionBufferSize, to - from);
        QByteArray piece(int(size), Qt::Uninitialized);
        if (!readExactly(fd, piece.data(), size, from))
            return RangeHashed::Unreadable;
        digest.addData(piece);
        from += size;
    }
    return RangeHashed::Whole;
}
