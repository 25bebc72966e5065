#include "ZipBuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <zip.h>

namespace {

// Closes a minizip writer once; zipClose writes the central directory.
class ZipWriter
{
public:
    explicit ZipWriter(const QString &path)
        : handle(zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE))
    {
    }
    ~ZipWriter() { static_cast<void>(close()); }
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    [[nodiscard]] zipFile get() const { return handle; }
    [[nodiscard]] int close()
    {
        const int result = handle ? zipClose(handle, nullptr) : ZIP_OK;
        handle = nullptr;
        return result;
    }

private:
    zipFile handle;
};

} // namespace

ZipBuilder &ZipBuilder::add(const QByteArray &name, const QByteArray &data, Method method)
{
    entries.push_back({name, data, method});
    return *this;
}

ZipBuilder &ZipBuilder::setFormat(Format newFormat)
{
    format = newFormat;
    return *this;
}

bool ZipBuilder::write(const QString &path, QString &error) const
{
    QFile::remove(path);
    return format == Format::Classic ? writeClassic(path, error) : writeWithTool(path, error);
}

bool ZipBuilder::writeClassic(const QString &path, QString &error) const
{
    ZipWriter zip(path);
    if (!zip.get()) {
        error = QStringLiteral("zipOpen64 failed for %1").arg(path);
        return false;
    }
    for (const Entry &entry : entries) {
        const zip_fileinfo info{};
        const int method = entry.method == Method::Stored ? 0 : Z_DEFLATED;
        const int level = entry.method == Method::Stored ? 0 : Z_DEFAULT_COMPRESSION;
        int result = zipOpenNewFileInZip64(zip.get(), entry.name.constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                                           method, level, 0);
        // minizip takes lengths as unsigned; write big entries in pieces.
        for (qsizetype offset = 0; result == ZIP_OK && offset < entry.data.size(); offset += 1 << 20) {
            const auto length = static_cast<unsigned>(qMin<qsizetype>(1 << 20, entry.data.size() - offset));
            result = zipWriteInFileInZip(zip.get(), entry.data.constData() + offset, length);
        }
        if (result == ZIP_OK)
            result = zipCloseFileInZip(zip.get());
        if (result != ZIP_OK) {
            error = QStringLiteral("minizip failed with %1 on entry %2").arg(result).arg(QString::fromUtf8(entry.name));
            return false;
        }
    }
    if (const int result = zip.close(); result != ZIP_OK) {
        error = QStringLiteral("zipClose failed with %1").arg(result);
        return false;
    }
    return true;
}

bool ZipBuilder::writeWithTool(const QString &path, QString &error) const
{
    if (entries.empty()) {
        error = QStringLiteral("zip64 archives need at least one entry");
        return false;
    }
    const QString tool = QStandardPaths::findExecutable(format == Format::Zip64 ? "bsdtar" : "zip");
    if (tool.isEmpty()) {
        error = QStringLiteral("bsdtar (libarchive-tools) or zip is not installed");
        return false;
    }
    // Both tools take entries from files of the same names.
    QTemporaryDir staging;
    if (!staging.isValid()) {
        error = staging.errorString();
        return false;
    }
    QStringList names;
    bool allStored = true;
    for (const Entry &entry : entries) {
        const QString name = QFile::decodeName(entry.name);
        const QString filePath = staging.filePath(name);
        QFile file(filePath);
        if (!QDir().mkpath(QFileInfo(filePath).absolutePath()) || !file.open(QIODevice::WriteOnly) ||
            file.write(entry.data) != entry.data.size()) {
            error = QStringLiteral("cannot stage %1: %2").arg(filePath, file.errorString());
            return false;
        }
        names << name;
        allStored = allStored && entry.method == Method::Stored;
    }

    const QString archivePath = QFileInfo(path).absoluteFilePath();
    auto run = [&](const QStringList &arguments) {
        QProcess process;
        process.setWorkingDirectory(staging.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(tool, arguments);
        if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
            return true;
        error = QStringLiteral("%1 failed: %2").arg(tool, QString::fromLocal8Bit(process.readAll()));
        return false;
    };

    if (format == Format::Zip64) {
        const QString compression = allStored ? QStringLiteral("store") : QStringLiteral("deflate");
        return run(QStringList{"--format", "zip", "--options", "zip:zip64,zip:compression=" + compression, "-cf",
                               archivePath} +
                   names);
    }
    // One call per entry, so that each keeps its own method and the order
    // stays as added. -X: no extra attributes, -D: no folder entries.
    for (size_t i = 0; i < entries.size(); ++i) {
        const QString method =
            entries[i].method == Method::Stored ? QStringLiteral("store") : QStringLiteral("deflate");
        if (!run({"-q", "-X", "-D", "-fz", "-Z", method, archivePath, names.at(int(i))}))
            return false;
    }
    return true;
}
