#include "FileIdentity.h"

#include <QFile>

#include <sys/stat.h>

namespace {

FileIdentity identityOf(const struct stat &status)
{
    FileIdentity identity;
    identity.device = quint64(status.st_dev);
    identity.inode = quint64(status.st_ino);
    identity.size = qint64(status.st_size);
#if defined(__APPLE__)
    identity.modifiedSeconds = qint64(status.st_mtimespec.tv_sec);
    identity.modifiedNanoseconds = qint64(status.st_mtimespec.tv_nsec);
    identity.changedSeconds = qint64(status.st_ctimespec.tv_sec);
    identity.changedNanoseconds = qint64(status.st_ctimespec.tv_nsec);
#else
    identity.modifiedSeconds = qint64(status.st_mtim.tv_sec);
    identity.modifiedNanoseconds = qint64(status.st_mtim.tv_nsec);
    identity.changedSeconds = qint64(status.st_ctim.tv_sec);
    identity.changedNanoseconds = qint64(status.st_ctim.tv_nsec);
#endif
    return identity;
}

} // namespace

std::optional<FileIdentity> FileIdentity::ofDescriptor(int fd)
{
    struct stat status = {};
    if (::fstat(fd, &status) != 0)
        return std::nullopt;
    return identityOf(status);
}

std::optional<FileIdentity> FileIdentity::ofPath(const QString &path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return identityOf(status);
}
