#include "Unzipper.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

namespace {

// Size of the one buffer each extraction streams through.
constexpr quint64 bufferSize = 0x40000;
static_assert(bufferSize <= UINT_MAX, "unzReadCurrentFile takes an unsigned length");

// Case-sensitivity value for unzLocateFile: ASCII letters a-z in any case,
// every other byte exactly.
constexpr int caseInsensitive = 2;

// Largest single write. Recent Linux sizes ext4's page-cache folios by the
// write, and on the virtual machine measured, filling fresh 256 KiB folios
// cost several times the kernel time of 64 KiB ones (bench/unzip.sh).
constexpr qint64 writeSliceSize = 0x10000;

// Writes all `size` bytes. After a short write it goes on with the rest, so
// that a failure is one the system reported, with its own text in the file's
// errorString().
bool writeAll(QFile &file, const char *data, qint64 size)
{
    while (size > 0) {
        const qint64 written = file.write(data, std::min(size, writeSliceSize));
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

// Streams the current entry of `archive` into `file`. `remaining` starts at
// the entry's recorded size and drops by each size asked for, so a read of 0
// before the end says how much was still to come.
bool copyEntry(unzFile archive, QFile &file, const quint64 size, QString &error)
{
    std::vector<char> buffer(bufferSize);
    quint64 remaining = size;
    quint64 written = 0;
    while (remaining != 0) {
        const auto chunk = static_cast<unsigned>(std::min(remaining, bufferSize));
        // Cleared first: a short read at the end of the file sets no errno.
        errno = 0;
        const int n = unzReadCurrentFile(archive, buffer.data(), chunk);
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
        if (!writeAll(file, buffer.data(), n)) {
            error = QStringLiteral("Error code 8 (%1)").arg(file.errorString());
            return false;
        }
        written += quint64(n);
    }
    // A read may come up short at the end of the data while the count of
    // bytes asked for still reaches the recorded size. minizip then skips its
    // CRC check, so the shortfall must be caught here.
    if (written != size) {
        error = QStringLiteral("Error code 7 (%1").arg(size - written);
        return false;
    }
    return true;
}

// Whether the file system of dirPath has room for size more bytes; false, with
// error naming both, when it has not (unknown free space counts as room).
bool hasRoom(const QString &dirPath, const QString &fileName, quint64 size, QString &error)
{
    const QStorageInfo storage(dirPath);
    const qint64 available = storage.bytesAvailable();
    if (!storage.isValid() || available < 0 || size <= quint64(available))
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
    archive.reset(unzOpen64(zipPath.toUtf8().constData()));
    if (!archive.isOpen()) {
        error = QStringLiteral("Error code 1.");
        return false;
    }
    return true;
}

bool Unzipper::unzip(QString fileName, QString dirPath, QString &error)
{
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

    // Only now, so that an entry that cannot be read leaves no trace on disk.
    if (!QDir().mkpath(dirPath)) {
        error = QStringLiteral("The directory %1 is not accessible.").arg(dirPath);
        return false;
    }

    const QString outputPath = dirPath + QLatin1Char('/') + fileName;
    QFile file(outputPath);
    // Unbuffered: the copy has its own buffer, and Qt's would hold back the
    // failure of a small write until close(), after the copy looked sound.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        error = QStringLiteral("Failed to create %1 (%2).").arg(outputPath, file.errorString());
        return false;
    }

    // Room is asked for once the file is emptied, so that an older file of
    // that name counts as free; an entry that cannot fit never fills the disk.
    bool ok = hasRoom(dirPath, fileName, info.uncompressed_size, error) &&
              copyEntry(archive.get(), file, info.uncompressed_size, error);
    file.close();
    if (ok && file.error() != QFileDevice::NoError) {
        error = QStringLiteral("Error code 8 (%1)").arg(file.errorString());
        ok = false;
    }
    // minizip compares the CRC-32 only here, once the whole entry was read;
    // a damaged entry must not pass for a sound one.
    const int closed = entry.close();
    if (ok && closed != UNZ_OK) {
        error = QStringLiteral("Error code 9 (%1).").arg(closed);
        ok = false;
    }
    if (!ok)
        file.remove();
    return ok;
}

void Unzipper::close()
{
    archive.reset();
}
