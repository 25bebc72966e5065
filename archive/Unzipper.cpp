#include "Unzipper.h"

#include "BackgroundSha256.h"
#include "DescriptorStream_p.h"
#include "EntryReader_p.h"
#include "FileDescriptor.h"
#include "FreeSpace.h"
#include "UnzipHandles_p.h"
#include "WrittenFile.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

// The open archive: its descriptor, minizip's reading of it, and its path.
struct Unzipper::Archive
{
    explicit Archive(QString path, int fd)
        : path(std::move(path))
        , fd(fd)
        , stream(fd)
    {
    }

    const QString path;
    const FileDescriptor fd;
    DescriptorStream stream;
    UnzHandle handle; // declared last: closed before the stream it reads
};

namespace {

// Size of the one buffer each extraction streams through.
constexpr quint64 bufferSize = 0x40000;
static_assert(bufferSize <= UINT_MAX, "unzReadCurrentFile takes an unsigned length");

// Case-sensitivity value for unzLocateFile: ASCII letters a-z in any case,
// every other byte exactly.
constexpr int caseInsensitive = 2;

constexpr quint64 zip64Marker = 0xffffffffu;
constexpr quint16 zip64ExtraId = 0x0001;

QString archiveChanged(const QString &path)
{
    return QStringLiteral("The archive %1 changed after it was downloaded.").arg(path);
}

quint64 littleEndian(const uchar *bytes, int size)
{
    quint64 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

// Sizes that the central directory keeps only in the entry's Zip64 extra
// field. Debian's minizip 1.1 compares the 32-bit fields with (unsigned
// long)-1, which never matches on a 64-bit system, and hands out 0xFFFFFFFF
// for them; a minizip that reads them already leaves nothing to do here. The
// field holds, in this order, only the values whose 32-bit field is marked.
void applyZip64Sizes(unz_file_info64 &info, const QByteArray &extra)
{
    const auto *bytes = reinterpret_cast<const uchar *>(extra.constData());
    for (int at = 0; at + 4 <= extra.size();) {
        const auto id = quint16(littleEndian(bytes + at, 2));
        const int size = int(littleEndian(bytes + at + 2, 2));
        const int end = std::min(at + 4 + size, int(extra.size()));
        if (id == zip64ExtraId) {
            int field = at + 4;
            for (ZPOS64_T *value : {&info.uncompressed_size, &info.compressed_size}) {
                if (*value != zip64Marker)
                    continue;
                if (field + 8 > end)
                    return;
                *value = littleEndian(bytes + field, 8);
                field += 8;
            }
            return;
        }
        at = end;
    }
}

// Streams an entry into `file` through `read`, which answers as
// unzReadCurrentFile does. `remaining` starts at the entry's recorded size
// and drops by each size asked for, so a read of 0 before the end says how
// much was still to come.
template<typename Read>
bool copyEntry(Read read, WrittenFile &file, const quint64 size, const std::atomic<bool> &cancelled, QString &error)
{
    std::vector<char> buffer(bufferSize);
    quint64 remaining = size;
    quint64 written = 0;
    while (remaining != 0) {
        if (cancelled) {
            error = QStringLiteral("The extraction was cancelled.");
            return false;
        }
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

// Whether the file system of dirPath has room for size more bytes; false, with
// error naming both, when it has not.
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
    // O_NOFOLLOW: a link is not followed; O_NONBLOCK: a FIFO is not waited on.
    const int fd = ::open(QFile::encodeName(zipPath).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    auto opened = std::make_unique<Archive>(zipPath, fd);
    struct stat status = {};
    if (fd >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        const QByteArray path = zipPath.toUtf8();
        opened->handle.reset(unzOpen2_64(path.constData(), opened->stream.functions()));
    }
    if (!opened->handle.get()) {
        error = QStringLiteral("Error code 1.");
        return false;
    }
    archive = std::move(opened);
    return true;
}

void Unzipper::expectArchive(const FileIdentity &written, const QByteArray &sha256)
{
    expectedIdentity = written;
    expectedSha256 = sha256;
}

bool Unzipper::unzip(QString fileName, QString dirPath, QString &error)
{
    extractedSha256.clear();
    extractedBytes = 0;
    if (!archive) {
        error = QStringLiteral("Error code 2.");
        return false;
    }
    const int fd = archive->fd.get();
    // Still the file that was written, at its path, and unchanged.
    const auto isAsWritten = [&] {
        return !expectedIdentity || (FileIdentity::ofDescriptor(fd) == expectedIdentity &&
                                     FileIdentity::ofPath(archive->path) == expectedIdentity);
    };
    if (!isAsWritten()) {
        error = archiveChanged(archive->path);
        return false;
    }
    if (cancelled) {
        error = QStringLiteral("The extraction was cancelled.");
        return false;
    }

    const unzFile handle = archive->handle.get();
    const int located = unzLocateFile(handle, fileName.toUtf8().constData(), caseInsensitive);
    if (located != UNZ_OK) {
        error = QStringLiteral("Error code 3 (%1).").arg(located);
        return false;
    }

    // unzLocateFile has just read this record, so reading it again succeeds.
    unz_file_info64 info{};
    static_cast<void>(unzGetCurrentFileInfo64(handle, &info, nullptr, 0, nullptr, 0, nullptr, 0));
    QByteArray extra(int(info.size_file_extra), '\0');
    static_cast<void>(
        unzGetCurrentFileInfo64(handle, &info, nullptr, 0, extra.data(), uLong(extra.size()), nullptr, 0));
    applyZip64Sizes(info, extra);

    const int opened = unzOpenCurrentFile(handle);
    if (opened != UNZ_OK) {
        error = QStringLiteral("Error code 4 (%1).").arg(opened);
        return false;
    }
    UnzCurrentEntry entry(handle);
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
    file.setConsumer(entryConsumer);

    // The entry's data is read from the archive file itself, in large reads:
    // minizip has located the entry, checked its local header and says where
    // its data begins, and every length it recorded is checked against the
    // file's size first. Without a password minizip would pass an encrypted
    // entry on as it is stored, and so does this.
    struct stat status = {};
    const quint64 offset = unzGetCurrentFileZStreamPos64(handle);
    const bool fits = ::fstat(fd, &status) == 0 && offset <= quint64(status.st_size) &&
                      info.compressed_size <= quint64(status.st_size) - offset;
    const auto fileSize = quint64(status.st_size);
    // A pinned archive is hashed whole as it is read: up to the entry's data,
    // the data itself from the very bytes that are extracted, then the rest.
    std::unique_ptr<BackgroundSha256> archiveDigest;
    if (!expectedSha256.isEmpty())
        archiveDigest = std::make_unique<BackgroundSha256>();
    EntryReader reader(fd, info, offset, archiveDigest.get());

    // Room is asked for once the file is emptied, so that an older file of
    // that name counts as free; an entry that cannot fit never fills the disk.
    bool ok = hasRoom(dirPath, fileName, info.uncompressed_size, error);
    if (ok && !fits) {
        // Data said to run past the end of the file: what reading it would meet.
        error = QStringLiteral("Error code 5 (0).");
        ok = false;
    }
    if (ok && archiveDigest && !hashFileRange(fd, 0, offset, *archiveDigest)) {
        error = QStringLiteral("Error code 5 (%1).").arg(errno);
        ok = false;
    }
    ok = ok && copyEntry([&reader](char *to, unsigned length) { return reader.read(to, length); }, file,
                         info.uncompressed_size, cancelled, error);
    if (!file.close() && ok) {
        error = QStringLiteral("Error code 8 (%1)").arg(file.errorString());
        ok = false;
    }
    // The CRC-32 is compared only once the whole entry was read: a damaged
    // entry must not pass for a sound one.
    int closed = entry.close();
    if (closed == UNZ_OK && reader.crc32() != info.crc)
        closed = UNZ_CRCERROR;
    if (ok && closed != UNZ_OK) {
        error = QStringLiteral("Error code 9 (%1).").arg(closed);
        ok = false;
    }
    if (ok && archiveDigest) {
        const bool hashed = hashFileRange(fd, reader.position(), fileSize, *archiveDigest);
        if (!hashed || archiveDigest->result() != expectedSha256) {
            error = archiveChanged(archive->path);
            ok = false;
        }
    }
    if (ok && !isAsWritten()) {
        error = archiveChanged(archive->path);
        ok = false;
    }
    if (!ok) {
        file.remove();
        return false;
    }
    extractedSha256 = file.sha256();
    extractedBytes = qint64(info.uncompressed_size);
    return true;
}

void Unzipper::close()
{
    archive.reset();
}
