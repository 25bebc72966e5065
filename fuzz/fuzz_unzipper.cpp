// Takes each input as a downloaded update archive and extracts the entry
// an update carries, as the update completion does.
#include "Unzipper.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

std::unique_ptr<QTemporaryDir> workDir;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    workDir = std::make_unique<QTemporaryDir>();
    return workDir->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString zipPath = workDir->filePath(QStringLiteral("Update.zip"));
    const QString outDir = workDir->filePath(QStringLiteral("out"));
    {
        QFile zip(zipPath);
        if (!zip.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            zip.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
            return 0;
    }

    // The archive is left open on purpose: the destructor must close it.
    Unzipper unzipper(nullptr);
    // Every other input as a pinned download: the archive is then hashed
    // whole as it is read, and as nothing changes it, it must pass.
    const bool pinned = size % 2 == 1;
    if (pinned) {
        const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
        unzipper.expectArchive(*FileIdentity::ofPath(zipPath),
                               QCryptographicHash::hash(bytes, QCryptographicHash::Sha256));
    }
    QString error;
    const bool ok = unzipper.open(zipPath, error) && unzipper.unzip(QStringLiteral("Update.pkg"), outDir, error);
    const QString outputPath = outDir + QStringLiteral("/Update.pkg");
    const bool written = QFile::exists(outputPath);
    // Every failure says why, none leaves a file behind, and an archive that
    // nobody touched is never said to have changed.
    if (ok == !error.isEmpty() || ok != written || error.contains(QStringLiteral("changed after")))
        __builtin_trap();
    QFile::remove(outputPath);
    return 0;
}
