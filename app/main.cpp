#include "InstallerWindow.h"
#include "Translation.h"

#include <QApplication>
#include <QLocale>
#include <QNetworkProxyFactory>
#include <QString>

int main(int argc, char *argv[])
{
    if (argc != 3)
        return -1;

    // Taken before QApplication, which removes its own options (-style,
    // -platform, ...) from argv: both arguments reach the window unchanged.
    const char *const appPathArgument = argv[1];
    const char *const urlArgument = argv[2];

    // The window paints with the raster engine only: without this, Qt's X11
    // platform loads and starts its OpenGL integration (Mesa, LLVM) before the
    // first window appears, a tenth of a second before the download begins.
    QApplication::setAttribute(Qt::AA_ForceRasterWidgets, true);
    QApplication app(argc, argv);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // The logo's @2x image on high-density screens; always so in Qt 6.
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
#endif
    QApplication::setApplicationName(QStringLiteral("Tarnwick Installer"));
    QApplication::setOrganizationName(QStringLiteral("Brightfold"));
    QApplication::setOrganizationDomain(QStringLiteral("brightfold.com"));
    // The system's proxy settings: macOS's network settings there, and
    // http_proxy, https_proxy and no_proxy elsewhere.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    // The user's languages in their order: on macOS the list of System
    // Settings, elsewhere LANGUAGE, else LC_ALL, LC_MESSAGES or LANG.
    const Translation translation(QLocale::system().uiLanguages());

    InstallerWindow window(QString::fromUtf8(appPathArgument), QString::fromUtf8(urlArgument), nullptr);
    window.show();
    return app.exec();
}
