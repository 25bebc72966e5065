#include "TestTls.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>

namespace {

const char opensslConfig[] = R"([req]
distinguished_name = dn
prompt = no

[dn]
CN = unused

[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
)";

bool runOpenssl(const QString &dirPath, const QStringList &arguments, QString &error)
{
    QProcess openssl;
    openssl.setWorkingDirectory(dirPath);
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        error = QStringLiteral("openssl %1 failed: %2 %3")
                    .arg(arguments.join(QLatin1Char(' ')), openssl.errorString(),
                         QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }
    return true;
}

// A CA named caName and a server certificate signed by it, as prefix-ca.crt,
// prefix-server.crt and prefix-server.key.
bool makeCaAndServer(const QString &dirPath, const QString &prefix, const QString &caName, QString &error)
{
    const QStringList newEcKey = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                  QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    return runOpenssl(dirPath,
                      QStringList{QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-config"),
                                  QStringLiteral("openssl.cnf"), QStringLiteral("-extensions"),
                                  QStringLiteral("ca_ext"), QStringLiteral("-days"), QStringLiteral("2"),
                                  QStringLiteral("-subj"), QStringLiteral("/CN=") + caName, QStringLiteral("-keyout"),
                                  prefix + QStringLiteral("-ca.key"), QStringLiteral("-out"),
                                  prefix + QStringLiteral("-ca.crt")} +
                          newEcKey,
                      error) &&
           runOpenssl(dirPath,
                      QStringList{QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-config"),
                                  QStringLiteral("openssl.cnf"), QStringLiteral("-subj"),
                                  QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-keyout"),
                                  prefix + QStringLiteral("-server.key"), QStringLiteral("-out"),
                                  prefix + QStringLiteral("-server.csr")} +
                          newEcKey,
                      error) &&
           runOpenssl(dirPath,
                      {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                       prefix + QStringLiteral("-server.csr"), QStringLiteral("-CA"),
                       prefix + QStringLiteral("-ca.crt"), QStringLiteral("-CAkey"), prefix + QStringLiteral("-ca.key"),
                       QStringLiteral("-set_serial"), QStringLiteral("2"), QStringLiteral("-days"), QStringLiteral("2"),
                       QStringLiteral("-extfile"), QStringLiteral("openssl.cnf"), QStringLiteral("-extensions"),
                       QStringLiteral("server_ext"), QStringLiteral("-out"), prefix + QStringLiteral("-server.crt")},
                      error);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

bool TestCertificates::create(const QString &dirPath, QString &error)
{
    QFile config(QDir(dirPath).filePath(QStringLiteral("openssl.cnf")));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate) || config.write(opensslConfig) < 0) {
        error = QStringLiteral("Cannot write %1 (%2)").arg(config.fileName(), config.errorString());
        return false;
    }
    config.close();

    if (!makeCaAndServer(dirPath, QStringLiteral("trusted"), QStringLiteral("Tarnwick Test CA"), error) ||
        !makeCaAndServer(dirPath, QStringLiteral("untrusted"), QStringLiteral("Nobody Trusts This CA"), error))
        return false;

    const QDir dir(dirPath);
    ca = QSslCertificate(readFile(dir.filePath(QStringLiteral("trusted-ca.crt"))), QSsl::Pem);
    server = QSslCertificate(readFile(dir.filePath(QStringLiteral("trusted-server.crt"))), QSsl::Pem);
    key = QSslKey(readFile(dir.filePath(QStringLiteral("trusted-server.key"))), QSsl::Ec, QSsl::Pem);
    untrustedServer = QSslCertificate(readFile(dir.filePath(QStringLiteral("untrusted-server.crt"))), QSsl::Pem);
    untrustedKey = QSslKey(readFile(dir.filePath(QStringLiteral("untrusted-server.key"))), QSsl::Ec, QSsl::Pem);
    if (ca.isNull() || server.isNull() || key.isNull() || untrustedServer.isNull() || untrustedKey.isNull()) {
        error = QStringLiteral("Qt cannot read the certificates or keys that openssl made in %1").arg(dirPath);
        return false;
    }
    return true;
}

DefaultSslConfigurationGuard::DefaultSslConfigurationGuard(const QList<QSslCertificate> &extraCaCertificates)
    : saved(QSslConfiguration::defaultConfiguration())
{
    QSslConfiguration configuration = saved;
    configuration.addCaCertificates(extraCaCertificates);
    QSslConfiguration::setDefaultConfiguration(configuration);
}

DefaultSslConfigurationGuard::~DefaultSslConfigurationGuard()
{
    QSslConfiguration::setDefaultConfiguration(saved);
}
