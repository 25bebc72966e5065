// For the end-to-end tests and bench/road.sh only: the updater built against
// this file trusts the root whose DER the file $TARNWICK_TEST_ROOT holds
// instead of Apple's, so that packages signed by the tests' signer can take
// the whole road with a team= pin. It replaces the program's own
// appleRootCertificate() at link time; the shipped program is never built
// with it.
#include "AppleRootCertificate.h"

#include <QFile>

QByteArray appleRootCertificate()
{
    QFile file(QString::fromLocal8Bit(qgetenv("TARNWICK_TEST_ROOT")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
