// Takes each input as an update archive that downloads in pieces: its first
// byte gives the largest piece (2 bytes to 64 KiB), its second seeds the
// pieces' lengths, the rest is the archive. The streaming unzipper takes it
// piece by piece, then the unzipper holds what it wrote against the archive's
// central directory, as the update completion does; and the unzipper alone
// extracts the same archive after the download, as without streaming. Both
// roads must end alike: a streamed entry that is adopted holds the unzipper's
// very bytes; one that is refused is refused by the unzipper with the same
// text; an archive that cannot be opened cannot be opened by either; one that
// could not be streamed leaves nothing behind.
#include "StreamingUnzipper.h"
#include "Unzipper.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

std::unique_ptr<QTemporaryDir> workDir;

// The streamed road: the entry as written while the archive came, or none.
std::optional<StreamedEntry> streamedEntry(const QByteArray &archive, const QString &packagePath, int largest,
                                           quint32 state)
{
    StreamingUnzipper streaming(packagePath);
    for (int at = 0; at < archive.size();) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        const int size = std::min(int(1 + state % quint32(largest)), int(archive.size()) - at);
        // By pointer and shared, as a digest's thread hands either.
        if (state & 1)
            streaming.consume(archive.constData() + at, size);
        else
            streaming.consumeShared(archive.mid(at, size));
        at += size;
    }
    return streaming.finish();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    workDir = std::make_unique<QTemporaryDir>();
    return workDir->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const QByteArray archive(reinterpret_cast<const char *>(data) + 2, int(size - 2));
    const QString zipPath = workDir->filePath(QStringLiteral("Update.zip"));
    const QString streamedPath = workDir->filePath(QStringLiteral("streamed/Update.pkg"));
    const QString extractedDir = workDir->filePath(QStringLiteral("extracted"));
    {
        QFile zip(zipPath);
        if (!zip.open(QIODevice::WriteOnly | QIODevice::Truncate) || zip.write(archive) != archive.size())
            return 0;
    }
    const std::optional<FileIdentity> written = FileIdentity::ofPath(zipPath);

    const std::optional<StreamedEntry> streamed =
        streamedEntry(archive, streamedPath, 1 << (1 + data[0] % 16), quint32(data[1]) * 2654435761u | 1);
    // Streamed or nothing, and nothing else beside it.
    if (bool(streamed) != QFile::exists(streamedPath) ||
        QDir(QFileInfo(streamedPath).path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size() > 1)
        __builtin_trap();

    Unzipper alone;
    alone.expectArchive(*written, {});
    QString error;
    const bool extracted = alone.open(zipPath, error) && alone.unzip(QStringLiteral("Update.pkg"), extractedDir, error);

    if (streamed) {
        Unzipper adopter;
        adopter.expectArchive(*written, {});
        QString message;
        if (!adopter.open(zipPath, message)) {
            if (extracted || message != error)
                __builtin_trap();
        } else {
            switch (adopter.adopt(QStringLiteral("Update.pkg"), *streamed, message)) {
            case Unzipper::Adoption::Adopted:
                if (!extracted || !message.isEmpty() || adopter.sha256() != alone.sha256() ||
                    adopter.extractedSize() != alone.extractedSize() ||
                    QFileInfo(streamedPath).size() != alone.extractedSize())
                    __builtin_trap();
                break;
            case Unzipper::Adoption::Refused:
                if (extracted || message.isEmpty() || message != error)
                    __builtin_trap();
                break;
            case Unzipper::Adoption::Disagrees:
                if (!message.isEmpty())
                    __builtin_trap();
                break;
            }
        }
        QFile::remove(streamedPath);
    }
    QFile::remove(extractedDir + QStringLiteral("/Update.pkg"));
    return 0;
}
