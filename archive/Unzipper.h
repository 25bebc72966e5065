#pragma once

#include "FileIdentity.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

// Extracts single named entries of one ZIP archive into a directory. Every
// call is synchronous. A failing call returns false and replaces `error` with
// a short message; a successful one leaves `error` untouched. The archive is
// read through one descriptor, opened once, never through a link.
class ChunkConsumer;
struct StreamedEntry;

class Unzipper : public QObject
{
    Q_OBJECT

public:
    explicit Unzipper(QObject *parent = nullptr);
    // Closes an archive that is still open.
    ~Unzipper() override;

    // Opens the archive at `zipPath`, closing the one opened before, even
    // when the new one cannot be opened ("Error code 1."): a missing file,
    // a link, anything but a regular file, or no readable ZIP directory.
    [[nodiscard]] bool open(QString zipPath, QString &error);

    // What the archive must be for unzip() to take anything from it: the
    // file as this program wrote it (same file at the same path, nothing
    // changed since `written` was taken) and, when `sha256` is not empty,
    // bytes with that digest: the whole archive is hashed as it is read, the
    // entry's data from the very bytes that are extracted. Checked at the
    // start and at the end of each unzip().
    void expectArchive(const FileIdentity &written, const QByteArray &sha256);

    // Every byte that unzip() writes is also handed to `consumer`, in order,
    // on the digest's helper thread (see WrittenFile::setConsumer); it has
    // seen them all when unzip() returns. The consumer outlives the calls.
    void setEntryConsumer(ChunkConsumer *consumer) { entryConsumer = consumer; }

    // Writes the entry named `fileName` (ASCII letters in any case, folder
    // part included) to `dirPath` + "/" + `fileName`, creating `dirPath` but
    // no folder below it. An entry whose recorded size exceeds the free space
    // there is refused before anything is written, and so is a symbolic link
    // or anything but a regular file at that path (left as it is). After a
    // failed copy nothing is left at that path.
    // The archive stays open either way.
    [[nodiscard]] bool unzip(QString fileName, QString dirPath, QString &error);

    // What adopt() found.
    enum class Adoption {
        Adopted,   // the streamed entry is the archive's entry, extracted
        Refused,   // unzip() would fail the same way, with `error`
        Disagrees, // it is not what unzip() would write: extract the entry anew
    };
    // Whether `streamed`, the entry named `fileName` as it was written while
    // the archive downloaded (see StreamingUnzipper), is what unzip() would
    // write: the archive still as written, its central directory naming that
    // entry (minizip checks the entry's local header against it, as for
    // unzip()), its recorded data within the archive and where the stream
    // found it, with the same sizes, CRC-32, method and flags. Adopted, it
    // counts as what unzip() extracted (sha256(), extractedSize()). A pinned
    // archive is not hashed again here: the downloader checked its pin on the
    // very bytes that were streamed. The streamed file is the caller's to
    // remove when it is not adopted.
    [[nodiscard]] Adoption adopt(const QString &fileName, const StreamedEntry &streamed, QString &error);

    // The SHA-256 (32 bytes) of the entry that the last successful unzip()
    // wrote, computed from the bytes as they were written; empty otherwise.
    [[nodiscard]] QByteArray sha256() const { return extractedSha256; }
    // The size of that entry as written; 0 otherwise.
    [[nodiscard]] qint64 extractedSize() const { return extractedBytes; }

    // Closes the archive; does nothing when none is open.
    void close();

    // May be called from any thread: a running unzip() stops before its next
    // chunk and later ones do not begin; each fails, leaving no file.
    void cancel() { cancelled = true; }

private:
    struct Archive;
    std::unique_ptr<Archive> archive;
    std::optional<FileIdentity> expectedIdentity;
    QByteArray expectedSha256;
    ChunkConsumer *entryConsumer = nullptr;
    QByteArray extractedSha256;
    qint64 extractedBytes = 0;
    std::atomic<bool> cancelled{false};
};
