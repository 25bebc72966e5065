// Extracts one entry with Unzipper, for timing against other unzippers.
//     bench_unzip <archive> <entry name> <destination directory>
// Exits with 0 on success; prints the error message and exits with 1 on
// failure, 2 on wrong use.
#include "Unzipper.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_unzip <archive> <entry name> <destination directory>\n");
        return 2;
    }
    Unzipper unzipper(nullptr);
    QString error;
    if (unzipper.open(QString::fromLocal8Bit(argv[1]), error) &&
        unzipper.unzip(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), error))
        return 0;
    std::fprintf(stderr, "%s\n", qPrintable(error));
    return 1;
}
