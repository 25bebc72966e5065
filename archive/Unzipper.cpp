#include "Unzipper.h"

#include "FileDescriptor.h"
#include "FreeSpace.h"
#include "WrittenFile.h"

#include <QDir>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace {

// Size of the one buffer each extraction streams through.
constexpr quint64 bufferSize = 0x40000;
static_assert(bufferSize <= UINT_MAX, "unzReadCurrentFile takes an unsigned length");

// Case-sensitivity value for unzLocateFile: ASCII letters a-z in any case,
// every other byte exactly.
constexpr int caseInsensitive = 2;

// Reads an entry's data straight from the archive file, inflating it with
// ISA-L and checking it with ISA-L's CRC-32 (several times zlib's speed). It
// answers as unzReadCurrentFile does: at most `length` bytes a call and the
// recorded uncompressed size in all, fewer when the data ends and 0 after
// that; UNZ_ERRNO when the file cannot be read (errno 0 when it ends early),
// and another negative code for deflate data that is corrupt or cut short.
// Its data is the compressed size's bytes at `offset`, which the caller has
// found to lie within the file; nothing outside them is read.
class EntryReader
{
public:
    EntryReader(int fd, const unz_file_info64 &info, quint64 offset)
        : fd(fd)
        , offset(offset)
        , restCompressed(info.compressed_size)
        , restUncompressed(info.uncompressed_size)
    {
        if (info.compression_method == Z_DEFLATED) {
            input.resize(bufferSize);
            inflater = std::make_unique<inflate_state>();
            isal_inflate_init(inflater.get());
        }
    }

    int read(char *out, unsigned length)
    {
        length = static_cast<unsigned>(std::min<quint64>(length, restUncompressed));
        int n = 0;
        if (inflater) {
            n = inflate(reinterpret_cast<quint8 *>(out), length);
            if (n < 0)
                return n;
        } else {
            n = static_cast<int>(std::min<quint64>(length, restCompressed));
            if (!readFile(out, n))
                return UNZ_ERRNO;
        }
        restUncompressed -= quint64(n);
        crc = crc32_gzip_refl(crc, reinterpret_cast<const quint8 *>(out), quint64(n));
        return n;
    }

    // Of all the data read so far.
    [[nodiscard]] quint32 crc32() const { return crc; }

private:
    bool readFile(void *to, quint64 size)
    {
        auto *bytes = static_cast<char *>(to);
        while (size > 0) {
            const ssize_t n = ::pread(fd, bytes, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    errno = 0; // the file has shrunk since its size was taken
                return false;
            }
            bytes += n;
            size -= quint64(n);
            offset += quint64(n);
            restCompressed -= quint64(n);
        }
        return true;
    }

    int inflate(quint8 *out, unsigned length)
    {
        inflater->next_out = out;
        inflater->avail_out = length;
        while (inflater->avail_out > 0 && inflater->block_state != ISAL_BLOCK_FINISH) {
            if (inflater->avail_in == 0 && restCompressed > 0) {
                const auto size = static_cast<unsigned>(std::min<quint64>(input.size(), restCompressed));
                if (!readFile(input.data(), size))
                    return UNZ_ERRNO;
                inflater->next_in = input.data();
                inflater->avail_in = size;
            }
            const unsigned inBefore = inflater->avail_in;
            const unsigned outBefore = inflater->avail_out;
            const auto stateBefore = inflater->block_state;
            if (isal_inflate(inflater.get()) != ISAL_DECOMP_OK)
                return Z_DATA_ERROR;
            // Stuck with all the data read: zlib's answer for a stream cut short.
            if (inflater->avail_in == inBefore && inflater->avail_out == outBefore &&
                inflater->block_state == stateBefore)
                return Z_BUF_ERROR;
        }
        return static_cast<int>(length - inflater->avail_out);
    }

    const int fd;
    quint64 offset;
    quint64 restCompressed;
    quint64 restUncompressed;
    quint32 crc = 0;
    std::vector<quint8> input;
    std::unique_ptr<inflate_state> inflater;
};

// Streams an entry into `file` through `read`, which answers as
// unzReadCurrentFile does. `remaining` starts at the entry's recorded size
// and drops by each size asked for, so a read of 0 before the end says how
// much was still to come.
template<typename Read> bool copyEntry(Read read, WrittenFile &file, const quint64 size, QString &error)
{
    std::vector<char> buffer(bufferSize);
    quint64 remaining = size;
    quint64 written = 0;
    while (remaining != 0) {
        const auto chunk = static_cast<unsigned>(std::min(remaining, bufferSize));
        // Cleared first: a short read at the end of the file sets no errno.
        errno = 0;
        const int n = read(buffer.data(), chunk);
        const int readErrno = errno;
        if (n == UNZ_ERRNO) {
            error = QStringLiteral("Error code 5 (%1).").arg(readErrno);
            return false;
        }
        remaining -= chunk;
        if (n < 0) {
            error = QStringLiteral("Error code 6.");
            return false;
        }
        if (n == 0) {
            if (remaining == 0)
                break;
            error = QStringLiteral("Error code 7 (%1").arg(remaining);
            return false;
        }
        if (!file.write(buffer.data(), n)) {
            error = QStringLiteral("Error code 8 (%1)").arg(file.errorString());
            return false;
        }
        written += quint64(n);
    }
    // A read may come up short at the end of the data while the count of
    // bytes asked for still reaches the recorded size. No CRC is checked
    // then, so the shortfall must be caught here.
    if (written != size) {
        error = QStringLiteral("Error code 7 (%1").arg(size - written);
        return false;
    }
    return true;
}

// Copies the current entry, stored or deflated, not encrypted, reading its
// data from the archive file itself, in large reads. minizip has located the
// entry, checked its local header and says where its data begins; every
// length it recorded is checked against the file's size first.
bool copyFromFile(const UnzArchive &archive, const unz_file_info64 &info, WrittenFile &file, quint32 &crc,
                  QString &error)
{
    errno = 0;
    const FileDescriptor fd(::open(archive.path(), O_RDONLY | O_CLOEXEC));
    struct stat status = {};
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0) {
        error = QStringLiteral("Error code 5 (%1).").arg(errno);
        return false;
    }
    const auto fileSize = static_cast<quint64>(status.st_size);
    const quint64 offset = unzGetCurrentFileZStreamPos64(archive.get());
    // Data said to run past the end of the file: what reading it would meet.
    if (offset > fileSize || info.compressed_size > fileSize - offset) {
        error = QStringLiteral("Error code 5 (0).");
        return false;
    }
    EntryReader reader(fd.get(), info, offset);
    const bool ok = copyEntry([&reader](char *to, unsigned length) { return reader.read(to, length); }, file,
                              info.uncompressed_size, error);
    crc = reader.crc32();
    return ok;
}

// Whether the file system of dirPath has room for size more bytes; false, with
// error naming both, when it has not (unknown free space counts as room).
bool hasRoom(const QString &dirPath, const QString &fileName, quint64 size, QString &error)
{
    qint64 available = 0;
    if (hasRoomFor(dirPath, size, available))
        return true;
    error = QStringLiteral("Not enough free space in %1 to extract %2: %3 bytes needed, %4 bytes free.")
                .arg(dirPath, fileName, QString::number(size), QString::number(available));
    return false;
}

} // namespace

Unzipper::Unzipper(QObject *parent)
    : QObject(parent)
{
}

Unzipper::~Unzipper() = default;

bool Unzipper::open(QString zipPath, QString &error)
{
    // Closed before the new file is tried: a failed open leaves none open.
    archive.reset();
    const QByteArray path = zipPath.toUtf8();
    archive.reset(unzOpen64(path.constData()), path.toStdString());
    if (!archive.isOpen()) {
        error = QStringLiteral("Error code 1.");
        return false;
    }
    return true;
}

bool Unzipper::unzip(QString fileName, QString dirPath, QString &error)
{
    extractedSha256.clear();
    if (!archive.isOpen()) {
        error = QStringLiteral("Error code 2.");
        return false;
    }

    const int located = unzLocateFile(archive.get(), fileName.toUtf8().constData(), caseInsensitive);
    if (located != UNZ_OK) {
        error = QStringLiteral("Error code 3 (%1).").arg(located);
        return false;
    }

    // unzLocateFile has just read this record, so reading it again succeeds.
    unz_file_info64 info{};
    static_cast<void>(unzGetCurrentFileInfo64(archive.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0));

    const int opened = unzOpenCurrentFile(archive.get());
    if (opened != UNZ_OK) {
        error = QStringLiteral("Error code 4 (%1).").arg(opened);
        return false;
    }
    UnzCurrentEntry entry(archive.get());
    // minizip would hand out the data of any other method (bzip2, say) as it
    // is stored, unchecked.
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
        error = QStringLiteral("Error code 4 (%1).").arg(UNZ_BADZIPFILE);
        return false;
    }

    // Only now, so that an entry that cannot be read leaves no trace on disk.
    if (!QDir().mkpath(dirPath)) {
        error = QStringLiteral("The directory %1 is not accessible.").arg(dirPath);
        return false;
    }

    // Written as a regular file only, never through a link, and hashed as it
    // is written.
    const QString outputPath = dirPath + QLatin1Char('/') + fileName;
    WrittenFile file;
    QString reason;
    if (!file.open(outputPath, reason)) {
        error = QStringLiteral("Failed to create %1 (%2).").arg(outputPath, reason);
        return false;
    }

    // Without a password minizip passes an encrypted entry on as it is
    // stored; its own reading is kept for those.
    const bool encrypted = (info.flag & 1) != 0;
    const auto readByMinizip = [this](char *to, unsigned length) {
        return unzReadCurrentFile(archive.get(), to, length);
    };
    quint32 crc = 0;
    // Room is asked for once the file is emptied, so that an older file of
    // that name counts as free; an entry that cannot fit never fills the disk.
    bool ok = hasRoom(dirPath, fileName, info.uncompressed_size, error) &&
              (encrypted ? copyEntry(readByMinizip, file, info.uncompressed_size, error)
                         : copyFromFile(archive, info, file, crc, error));
    if (!file.close() && ok) {
        error = QStringLiteral("Error code 8 (%1)").arg(file.errorString());
        ok = false;
    }
    // The CRC-32 is compared only once the whole entry was read: by minizip
    // as it closes an entry that it read, here for data read from the file.
    // A damaged entry must not pass for a sound one.
    int closed = entry.close();
    if (!encrypted && closed == UNZ_OK && crc != info.crc)
        closed = UNZ_CRCERROR;
    if (ok && closed != UNZ_OK) {
        error = QStringLiteral("Error code 9 (%1).").arg(closed);
        ok = false;
    }
    if (!ok)
        file.remove();
    else
        extractedSha256 = file.sha256();
    return ok;
}

void Unzipper::close()
{
    archive.reset();
}
