#include "WrittenFile.h"

#include "BackgroundSha256.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Largest single write. Recent Linux sizes ext4's page-cache folios by the
// write, and on the virtual machine measured, filling fresh 256 KiB folios
// cost several times the kernel time of 64 KiB ones (bench/unzip.sh).
constexpr qint64 largestWrite = 0x10000;

} // namespace

WrittenFile::WrittenFile() = default;

WrittenFile::~WrittenFile()
{
    close();
}

bool WrittenFile::open(const QString &path, QString &reason, bool hashing)
{
    close();
    closedAs.reset();
    bytesWritten = 0;
    filePath = path;
    // O_NOFOLLOW: a link is refused (ELOOP); O_NONBLOCK: a FIFO without a
    // reader is refused (ENXIO) instead of blocking. Emptied only once it is
    // known to be a regular file.
    fd.reset(
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    struct stat status = {};
    if (!fd.isOpen()) {
        reason = errno == ELOOP   ? QStringLiteral("it is a symbolic link")
                 : errno == ENXIO ? QStringLiteral("it is not a regular file")
                                  : qt_error_string(errno);
        return false;
    }
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        reason = QStringLiteral("it is not a regular file");
        close();
        return false;
    }
    // Only a file that has something in it: ext4 takes a truncation for a file
    // being replaced and pushes its new data to disk early, several times slower.
    if (status.st_size != 0 && ::ftruncate(fd.get(), 0) != 0) {
        reason = qt_error_string(errno);
        close();
        return false;
    }
    setHashed(hashing);
    return true;
}

bool WrittenFile::create(const QString &dirPath, const QString &fileName, QString &error, bool hashing)
{
    close();
    filePath.clear();
    // A QDir on the empty path is the current directory, so a relative
    // dirPath is taken relative to it; mkpath succeeds when it exists.
    if (!QDir(QString()).mkpath(dirPath)) {
        error = QStringLiteral("The directory %1 is not accessible.").arg(dirPath);
        return false;
    }
    const QString path = dirPath + QLatin1Char('/') + fileName;
    QString reason;
    if (!open(path, reason, hashing)) {
        error = QStringLiteral("Failed to create %1 (%2).").arg(path, reason);
        return false;
    }
    return true;
}

void WrittenFile::setHashed(bool wanted)
{
    hashed = wanted;
    renewDigest();
}

void WrittenFile::setConsumer(ChunkConsumer *newConsumer)
{
    consumer = newConsumer;
    renewDigest();
}

void WrittenFile::renewDigest()
{
    if (bytesWritten != 0)
        return;
    digest.reset();
    if (hashed || consumer)
        digest = std::make_unique<BackgroundSha256>(BackgroundSha256::defaultMaxQueuedBytes, consumer, hashed);
}

bool WrittenFile::write(const QByteArray &data)
{
    if (!writeAll(data.constData(), data.size()))
        return false;
    if (digest)
        digest->addData(data);
    return true;
}

bool WrittenFile::write(const char *data, qint64 size)
{
    if (!writeAll(data, size))
        return false;
    if (digest)
        digest->addData(QByteArray(data, int(size)));
    return true;
}

bool WrittenFile::writeAll(const char *data, qint64 size)
{
    if (!fd.isOpen()) {
        error = qt_error_string(EBADF);
        return false;
    }
    while (size > 0) {
        const ssize_t written = ::write(fd.get(), data, size_t(std::min(size, largestWrite)));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            // A write of 0 bytes only where no more fit.
            error = qt_error_string(written < 0 ? errno : ENOSPC);
            return false;
        }
        data += written;
        size -= written;
        bytesWritten += written;
    }
    return true;
}

bool WrittenFile::close()
{
    if (!fd.isOpen())
        return true;
    closedAs = FileIdentity::ofDescriptor(fd.get());
    const bool closed = fd.reset();
    if (!closed)
        error = qt_error_string(errno);
    return closed;
}

void WrittenFile::remove()
{
    close();
    if (!filePath.isEmpty())
        QFile::remove(filePath);
}

QByteArray WrittenFile::sha256()
{
    return digest ? digest->result() : QByteArray();
}

std::optional<FileIdentity> WrittenFile::identity() const
{
    return fd.isOpen() ? FileIdentity::ofDescriptor(fd.get()) : closedAs;
}
