#pragma once

#include "FileDescriptor.h"
#include "FileIdentity.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class BackgroundSha256;
class ChunkConsumer;

// A file written from its first byte to its last by this program, and the
// SHA-256 of exactly those bytes, computed (on a helper thread) as they are
// written: a digest taken from the file afterwards would also cover whatever
// someone else put there meanwhile. Only a regular file is written, never
// through a symbolic link, and a FIFO at the path is not waited on. Writes go
// straight to the system, so a failing one reports the system's own reason.
class WrittenFile
{
public:
    WrittenFile();
    // Closes the file if it is still open.
    ~WrittenFile();
    WrittenFile(const WrittenFile &) = delete;
    WrittenFile &operator=(const WrittenFile &) = delete;

    // Opens path for writing and empties it (creating it when missing). False,
    // with reason set, when it cannot be; a link or anything but a regular file
    // at path ("it is a symbolic link", "it is not a regular file") is left as it is.
    // Without `hashed` no digest is computed (sha256() is then empty).
    [[nodiscard]] bool open(const QString &path, QString &reason, bool hashing = true);
    // Makes dirPath with its missing parents (a relative one below the current
    // directory), then opens dirPath + "/" + fileName as open() does. False,
    // with error "The directory %1 is not accessible." (path() still empty)
    // or "Failed to create %1 (%2)." (with open()'s reason).
    [[nodiscard]] bool create(const QString &dirPath, const QString &fileName, QString &error, bool hashing = true);
    // Whether the bytes are hashed; can be changed until the first byte is
    // written (it is ignored after that).
    void setHashed(bool hashed);
    // Hands every byte written, in order, also to `consumer` (on the digest's
    // helper thread; see BackgroundSha256), hashed or not. It has seen them
    // all once sha256() has returned. Can be changed until the first byte is
    // written.
    void setConsumer(ChunkConsumer *consumer);
    // Writes all of data and adds it to the digest. False, with errorString(),
    // when the system refuses part of it.
    [[nodiscard]] bool write(const QByteArray &data);
    [[nodiscard]] bool write(const char *data, qint64 size);
    // False, with errorString(), when closing reports an error. The file's
    // identity is taken just before, after the last write.
    bool close();
    // Closes the file and removes it from its path.
    void remove();
    [[nodiscard]] QString errorString() const { return error; }
    [[nodiscard]] const QString &path() const { return filePath; }
    // The 32 bytes of the digest of everything written, or empty when it could
    // not be computed or nothing is hashed. Call it once, after the last write.
    [[nodiscard]] QByteArray sha256();
    // The file as this program left it: taken when it was closed (while it is
    // open, as it is now). None before it was opened.
    [[nodiscard]] std::optional<FileIdentity> identity() const;

private:
    bool writeAll(const char *data, qint64 size);
    // Makes the digest that hashed and consumer ask for, before the first byte.
    void renewDigest();

    FileDescriptor fd;
    qint64 bytesWritten = 0;
    std::optional<FileIdentity> closedAs;
    QString filePath;
    QString error;
    bool hashed = true;
    ChunkConsumer *consumer = nullptr;
    std::unique_ptr<BackgroundSha256> digest;
};
