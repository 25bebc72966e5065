#include "UpdateSteps.h"

#include <QDir>
#include <QFileInfo>

namespace UpdateSteps {

bool isArchive(const QString &filePath)
{
    return filePath.right(4).toLower() == QLatin1String(".zip");
}

QString packagePathForArchive(const QString &archivePath)
{
    return archivePath.left(archivePath.size() - 4) + QLatin1String(".pkg");
}

QString installationTarget(const QString &appPath)
{
    const int at = appPath.indexOf(QLatin1String("/Applications"), 0, Qt::CaseSensitive);
    return at < 0 ? QString() : appPath.left(at + 1);
}

QString cleanApplicationPath(const QString &appPath)
{
    return appPath.startsWith(QLatin1Char('/')) ? QDir::cleanPath(appPath) : QString();
}

QString applicationName(const QString &appPath)
{
    return QFileInfo(appPath).baseName();
}

QString relaunchProgram(const QString &appPath)
{
    return appPath + QLatin1String("/Contents/MacOS/") + applicationName(appPath);
}

std::optional<int> progressValue(qulonglong bytesReceived, qulonglong bytesTotal)
{
    if (bytesTotal == 0)
        return std::nullopt;
    const qulonglong steps = bytesReceived * 1000u / bytesTotal;
    const int value = static_cast<int>(static_cast<quint32>(steps));
    return value > 29 ? value : 30;
}

} // namespace UpdateSteps
