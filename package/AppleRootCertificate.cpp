#include "AppleRootCertificate.h"

#include <QFile>

// Naming the bundle's registration function links it in from the static
// library, which would otherwise drop it as unreferenced. Outside any
// namespace, as Q_INIT_RESOURCE must be.
static bool registerTrustResources()
{
    Q_INIT_RESOURCE(trust);
    return true;
}

QByteArray appleRootCertificate()
{
    static const bool registered = registerTrustResources();
    Q_UNUSED(registered)
    QFile file(QStringLiteral(":/trust/AppleIncRootCertificate.cer"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
