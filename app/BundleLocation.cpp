#include "BundleLocation.h"

#include <QFileInfo>

QString bundlePathForExecutable(const QString &executablePath)
{
    const QString folder = QFileInfo(executablePath).path();
    const QString marker = QStringLiteral("/Contents/MacOS");
    if (folder.endsWith(marker)) {
        const QString bundle = folder.left(folder.size() - marker.size());
        const QString name = QFileInfo(bundle).fileName();
        if (name.size() > 4 && name.endsWith(QLatin1String(".app"), Qt::CaseInsensitive))
            return bundle;
    }
    return folder;
}
