#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// Which file a path or descriptor is, and its state: device and inode, size,
// and the times of its last change of data (mtime) and of anything at all
// (ctime). Every write moves ctime on, and no unprivileged program can set it
// back, so an equal identity at two moments means the same file, unchanged
// (to the file system clock's resolution).
struct FileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedSeconds = 0;
    qint64 modifiedNanoseconds = 0;
    qint64 changedSeconds = 0;
    qint64 changedNanoseconds = 0;

    // Of an open descriptor; none when fstat fails.
    [[nodiscard]] static std::optional<FileIdentity> ofDescriptor(int fd);
    // Of what is at `path` itself, a link not followed; none when nothing is.
    [[nodiscard]] static std::optional<FileIdentity> ofPath(const QString &path);

    // The same file on disk, whatever happened to it since.
    [[nodiscard]] bool isSameFile(const FileIdentity &other) const
    {
        return device == other.device && inode == other.inode;
    }
    // The same file, and nothing written to it or changed in it since.
    [[nodiscard]] bool operator==(const FileIdentity &other) const
    {
        return isSameFile(other) && size == other.size && modifiedSeconds == other.modifiedSeconds &&
               modifiedNanoseconds == other.modifiedNanoseconds && changedSeconds == other.changedSeconds &&
               changedNanoseconds == other.changedNanoseconds;
    }
    [[nodiscard]] bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};
