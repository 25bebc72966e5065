#include "FileSink_p.h"

#include "FreeSpace.h"
#include "WrittenFile.h"

#include <QFileInfo>

namespace {

QString ioFailure(const QString &reason)
{
    return QStringLiteral("I/O failure (%1)").arg(reason);
}

} // namespace

FileSink::FileSink(std::unique_ptr<WrittenFile> file)
    : written(std::move(file))
{
}

FileSink::~FileSink() = default;

bool FileSink::hasRoomFor(qint64 size, QString &error) const
{
    // Asked before the body is written, so the space of a file emptied by
    // this download counts as free.
    const QString directory = QFileInfo(written->path()).absolutePath();
    qint64 available = 0;
    if (::hasRoomFor(directory, quint64(size), available))
        return true;
    error = QStringLiteral("Not enough free space in %1 for the download: %2 bytes needed, %3 bytes free.")
                .arg(directory, QString::number(size), QString::number(available));
    return false;
}

bool FileSink::write(const QByteArray &bytes, QString &error)
{
    if (written->write(bytes))
        return true;
    error = ioFailure(written->errorString());
    return false;
}

bool FileSink::close(QString &error)
{
    if (written->close())
        return true;
    error = ioFailure(written->errorString());
    return false;
}

QByteArray FileSink::sha256()
{
    return written->sha256();
}

void FileSink::abandon(bool remove)
{
    if (remove)
        written->remove();
    else
        written->close();
}
