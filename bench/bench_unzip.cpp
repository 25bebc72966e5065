// Extracts one entry with Unzipper, for timing against other unzippers.
//     bench_unzip <archive> <entry name> <destination directory> [SHA-256]
// With the archive's SHA-256 (hex), extracts it as a pinned download's: the
// archive is hashed whole as it is read and held to that digest.
// Exits with 0 on success; prints the error message and exits with 1 on
// failure, 2 on wrong use.
#include "Unzipper.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: bench_unzip <archive> <entry name> <destination directory> [SHA-256]\n");
        return 2;
    }
    Unzipper unzipper(nullptr);
    const QString archive = QString::fromLocal8Bit(argv[1]);
    if (argc == 5)
        unzipper.expectArchive(FileIdentity::ofPath(archive).value_or(FileIdentity()), QByteArray::fromHex(argv[4]));
    QString error;
    if (unzipper.open(archive, error) &&
        unzipper.unzip(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), error))
        return 0;
    std::fprintf(stderr, "%s\n", qPrintable(error));
    return 1;
}
