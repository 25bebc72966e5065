// Downloads one URL into a directory with FileDownloader in file mode, as the
// installer does, and reports the outcome; bench/download.sh times it against
// curl. Usage: bench_download [--unhashed] URL DIRECTORY (--unhashed: as the
// installer downloads an archive, without the digest of what is written)
// Exit status 0 when finished() came, 1 on errorOccurred or a failed start,
// 2 on wrong usage.

#include "FileDownloader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    const bool hashed = !arguments.removeOne(QStringLiteral("--unhashed"));
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: bench_download [--unhashed] URL DIRECTORY\n");
        return 2;
    }

    FileDownloader downloader(nullptr);
    downloader.setHashingFile(hashed);
    QString filePath;
    QString error;
    QElapsedTimer timer;
    QObject::connect(&downloader, &FileDownloader::finished, &app, [&] {
        const double seconds = timer.nsecsElapsed() / 1e9;
        const qint64 size = QFileInfo(filePath).size();
        std::printf("%s: %lld bytes in %.3f s (%.1f MB/s)\n", qPrintable(filePath), static_cast<long long>(size),
                    seconds, size / seconds / 1e6);
        app.exit(0);
    });
    QObject::connect(&downloader, &FileDownloader::errorOccurred, &app, [&](const QString &message) {
        std::fprintf(stderr, "bench_download: %s\n", qPrintable(message));
        app.exit(1);
    });

    timer.start();
    if (!downloader.download(arguments.at(1), arguments.at(2), filePath, error)) {
        std::fprintf(stderr, "bench_download: %s\n", qPrintable(error));
        return 1;
    }
    return app.exec();
}
