#include "Unzipper.h"

#include "BackgroundSha256.h"
#include "DescriptorStream_p.h"
#include "EntryReader_p.h"
#include "FileDescriptor.h"
#include "FreeSpace.h"
#include "StreamedEntry.h"
#include "UnzipHandles_p.h"
#include "WrittenFile.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <optional>
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

    // Still the file that was written, at its path, and unchanged.
    [[nodiscard]] bool isAsWritten(const std::optional<FileIdentity> &expected) const
    {
        return !expected ||
               (FileIdentity::ofDescriptor(fd.get()) == expected && FileIdentity::ofPath(path) == expected);
    }

    const QString path;
    const FileDescriptor fd;
    DescriptorStream stream;
    UnzHandle handle; // declared last: closed before the stream it reads
};

namespace {

static_assert(extractionBufferSize <= UINT_MAX, "unzReadCurrentFile takes an unsigned length");

// The numbered texts ("Error code 1." to "Error code 9 (%1).") are kept
// exactly as they were first written, "Error code 7 (%1" without its closing
// parenthesis and "Error code 8 (%1)" without its full stop included: users
// report them and callers compare them as they are.

// Case-sensitivity value for unzLocateFile: ASCII letters a-z in any case,
// every other byte exactly.
constexpr int caseInsensitive = 2;

constexpr quint64 zip64Marker = 0xffffffffu;
constexpr quint16 zip64ExtraId = 0x0001;

QString extractionCancelled()
{
    return QStringLiteral("The extraction was cancelled.");
}

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
    std::vector<char> buffer(extractionBufferSize);
    quint64 remaining = size;
    quint64 written = 0;
    while (remaining != 0) {
        if (cancelled) {
            error = extractionCancelled();
            return false;
        }
        const auto chunk = static_cast<unsigned>(std::min(remaining, extractionBufferSize));
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

// Finds the entry named fileName, reads its record (with the sizes that only
// its Zip64 field holds) and opens it for reading into `entry`. False, with
// "Error code 3 (%1)." when there is no such entry, "Error code 4 (%1)." when
// minizip cannot open it or it is neither stored nor deflated: minizip would
// hand out the data of any other method (bzip2, say) as it is stored, unchecked.
bool openEntry(unzFile handle, const QString &fileName, unz_file_info64 &info, std::optional<UnzCurrentEntry> &entry,
               QString &error)
{
    const int located = unzLocateFile(handle, fileName.toUtf8().constData(), caseInsensitive);
    if (located != UNZ_OK) {
        error = QStringLiteral("Error code 3 (%1).").arg(located);
        return false;
    }
    // unzLocateFile has just read this record, so reading it again succeeds.
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
    entry.emplace(handle);
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
        error = QStringLiteral("Error code 4 (%1).").arg(UNZ_BADZIPFILE);
        return false;
    }
    return true;
}

// Whether the entry can be extracted whole: its recorded size fits the free
// space of dirPath (asked once its file is emptied, so that an older file of
// that name counts as free), and its data, `offset` bytes into an archive of
// `archiveSize` bytes (none when it cannot be told), lies within the archive.
bool checkSizes(const QString &dirPath, const QString &fileName, const unz_file_info64 &info, quint64 offset,
                std::optional<quint64> archiveSize, QString &error)
{
    qint64 available = 0;
    if (!hasRoomFor(dirPath, info.uncompressed_size, available)) {
        error = QStringLiteral("Not enough free space in %1 to extract %2: %3 bytes needed, %4 bytes free.")
                    .arg(dirPath, fileName, QString::number(info.uncompressed_size), QString::number(available));
        return false;
    }
    if (!archiveSize || offset > *archiveSize || info.compressed_size > *archiveSize - offset) {
        // Data said to run past the end of the file: what reading it would meet.
        error = QStringLiteral("Error code 5 (0).");
        return false;
    }
    return true;
}

// Copies the entry into file through reader, then verifies it: the file
// closed, and the entry's CRC-32, compared only once all of it was read (a
// damaged entry must not pass for a sound one).
bool copyAndVerify(EntryReader &reader, UnzCurrentEntry &entry, WrittenFile &file, const unz_file_info64 &info,
                   const std::atomic<bool> &cancelled, QString &error)
{
    const auto read = [&reader](char *to, unsigned length) { return reader.read(to, length); };
    if (!copyEntry(read, file, info.uncompressed_size, cancelled, error))
        return false;
    if (!file.close()) {
        error = QStringLiteral("Error code 8 (%1)").arg(file.errorString());
        return false;
    }
    int closed = entry.close();
    if (closed == UNZ_OK && reader.crc32() != info.crc)
        closed = UNZ_CRCERROR;
    if (closed != UNZ_OK) {
        error = QStringLiteral("Error code 9 (%1).").arg(closed);
        return false;
    }
    return true;
}

// The SHA-256 of a pinned archive, taken whole as it is read: up to the
// entry's data, the data itself from the very bytes that are extracted (by
// EntryReader), then the rest. Without an expected digest it takes nothing
// and every check passes. Hashing outside the entry stops at a cancel as the
// entry's copy does: the GUI thread waits for it.
class ArchiveDigest
{
public:
    ArchiveDigest(int fd, const QByteArray &expected, const std::atomic<bool> &cancelled)
        : fd(fd)
        , expected(expected)
        , cancelled(cancelled)
    {
        if (!expected.isEmpty())
            digest = std::make_unique<BackgroundSha256>();
    }

    // For the reader of the entry's data; null when nothing is hashed.
    [[nodiscard]] BackgroundSha256 *forData() const { return digest.get(); }

    // The archive's bytes before the entry's data. False, with "Error code 5
    // (%1)." and errno when they cannot be read, or cancelled.
    [[nodiscard]] bool hashUpTo(quint64 offset, QString &error) const
    {
        switch (digest ? hashFileRange(fd, 0, offset, *digest, cancelled) : RangeHashed::Whole) {
        case RangeHashed::Whole:
            return true;
        case RangeHashed::Unreadable:
            error = QStringLiteral("Error code 5 (%1).").arg(errno);
            return false;
        case RangeHashed::Cancelled:
            error = extractionCancelled();
            return false;
        }
        return false;
    }

    // Whether the archive at `path`, hashed on from `from` to `archiveSize`,
    // has the expected digest. False, with `error` set, when it has not (the
    // archive changed) or when cancelled.
    [[nodiscard]] bool matches(quint64 from, quint64 archiveSize, const QString &path, QString &error) const
    {
        if (!digest)
            return true;
        const RangeHashed rest = hashFileRange(fd, from, archiveSize, *digest, cancelled);
        if (rest == RangeHashed::Cancelled) {
            error = extractionCancelled();
            return false;
        }
        if (rest == RangeHashed::Whole && digest->result() == expected)
            return true;
        error = archiveChanged(path);
        return false;
    }

private:
    const int fd;
    const QByteArray expected;
    const std::atomic<bool> &cancelled;
    std::unique_ptr<BackgroundSha256> digest;
};

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
    if (!archive->isAsWritten(expectedIdentity)) {
        error = archiveChanged(archive->path);
        return false;
    }
    if (cancelled) {
        error = extractionCancelled();
        return false;
    }

    const unzFile handle = archive->handle.get();
    unz_file_info64 info{};
    std::optional<UnzCurrentEntry> entry;
    if (!openEntry(handle, fileName, info, entry, error))
        return false;

    // Only now, so that an entry that cannot be read leaves no trace on disk;
    // written as a regular file only, never through a link, and hashed as it
    // is written.
    WrittenFile file;
    if (!file.create(dirPath, fileName, error))
        return false;
    file.setConsumer(entryConsumer);

    // The entry's data is read from the archive file itself, in large reads:
    // minizip has located the entry, checked its local header and says where
    // its data begins, and every length it recorded is checked against the
    // file's size first. Without a password minizip would pass an encrypted
    // entry on as it is stored, and so does this.
    const int fd = archive->fd.get();
    const quint64 offset = unzGetCurrentFileZStreamPos64(handle);
    struct stat status = {};
    const std::optional<quint64> archiveSize =
        ::fstat(fd, &status) == 0 ? std::optional(quint64(status.st_size)) : std::nullopt;
    const ArchiveDigest archiveDigest(fd, expectedSha256, cancelled);
    EntryReader reader(fd, info, offset, archiveDigest.forData());
    const auto unchanged = [&] {
        if (!archiveDigest.matches(reader.position(), archiveSize.value_or(0), archive->path, error))
            return false;
        if (archive->isAsWritten(expectedIdentity))
            return true;
        error = archiveChanged(archive->path);
        return false;
    };
    if (!checkSizes(dirPath, fileName, info, offset, archiveSize, error) || !archiveDigest.hashUpTo(offset, error) ||
        !copyAndVerify(reader, *entry, file, info, cancelled, error) || !unchanged()) {
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

Unzipper::Adoption Unzipper::adopt(const QString &fileName, const StreamedEntry &streamed, QString &error)
{
    extractedSha256.clear();
    extractedBytes = 0;
    // As unzip() begins.
    if (!archive) {
        error = QStringLiteral("Error code 2.");
        return Adoption::Refused;
    }
    if (!archive->isAsWritten(expectedIdentity)) {
        error = archiveChanged(archive->path);
        return Adoption::Refused;
    }
    if (cancelled) {
        error = extractionCancelled();
        return Adoption::Refused;
    }
    const unzFile handle = archive->handle.get();
    unz_file_info64 info{};
    std::optional<UnzCurrentEntry> entry;
    if (!openEntry(handle, fileName, info, entry, error))
        return Adoption::Refused;
    // unzip() would read the compressed size's bytes from this offset and
    // write the first uncompressed size's bytes they give, checked against
    // this CRC-32: those the stream wrote, when all of it agrees. (It would
    // first ask for room for that size, which the package written takes.)
    const quint64 offset = unzGetCurrentFileZStreamPos64(handle);
    if (offset != streamed.dataOffset || info.compressed_size != streamed.compressedSize ||
        info.uncompressed_size != streamed.uncompressedSize || info.crc != streamed.crc ||
        info.compression_method != streamed.method || info.flag != streamed.flags)
        return Adoption::Disagrees;
    // Deflated data may end before its recorded size does: the stream then
    // never saw where that size ends.
    struct stat status = {};
    if (::fstat(archive->fd.get(), &status) != 0 || offset > quint64(status.st_size) ||
        info.compressed_size > quint64(status.st_size) - offset) {
        error = QStringLiteral("Error code 5 (0).");
        return Adoption::Refused;
    }
    if (!archive->isAsWritten(expectedIdentity)) {
        error = archiveChanged(archive->path);
        return Adoption::Refused;
    }
    extractedSha256 = streamed.sha256;
    extractedBytes = qint64(streamed.uncompressedSize);
    return Adoption::Adopted;
}
