// Extracts one entry with Unzipper, for tests that must run it in another
// process (a private mount namespace, say).
//     unzip_one <archive> <entry name> <destination directory>
// Prints nothing and exits with 0 on success; prints the error message and
// exits with 1 on failure, 2 on wrong use.
#include "Unzipper.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4)
        return 2;
    Unzipper unzipper(nullptr);
    QString error;
    if (unzipper.open(args.at(1), error) && unzipper.unzip(args.at(2), args.at(3), error))
        return 0;
    QTextStream(stdout) << error << Qt::endl;
    return 1;
}
