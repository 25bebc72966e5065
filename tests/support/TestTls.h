#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>

// Certificates for TestHttpServer's HTTPS form, made with the openssl command
// line in a directory that the test owns (a QTemporaryDir). Two CAs (EC P-256,
// valid for two days): a test CA that the test trusts, whose server
// certificate is for 127.0.0.1 and localhost, and a second CA that nobody
// trusts, with a server certificate for the same names.
class TestCertificates
{
public:
    // Runs openssl in dirPath. False, with error saying which step failed and
    // openssl's own output, when it cannot.
    [[nodiscard]] bool create(const QString &dirPath, QString &error);

    QSslCertificate caCertificate() const { return ca; }
    QSslCertificate serverCertificate() const { return server; }
    QSslKey serverKey() const { return key; }
    QSslCertificate untrustedServerCertificate() const { return untrustedServer; }
    QSslKey untrustedServerKey() const { return untrustedKey; }

private:
    QSslCertificate ca;
    QSslCertificate server;
    QSslKey key;
    QSslCertificate untrustedServer;
    QSslKey untrustedKey;
};

// Adds CA certificates to the process's QSslConfiguration::defaultConfiguration()
// for the guard's lifetime; the destructor puts the earlier default back.
class DefaultSslConfigurationGuard
{
public:
    explicit DefaultSslConfigurationGuard(const QList<QSslCertificate> &extraCaCertificates);
    ~DefaultSslConfigurationGuard();
    DefaultSslConfigurationGuard(const DefaultSslConfigurationGuard &) = delete;
    DefaultSslConfigurationGuard &operator=(const DefaultSslConfigurationGuard &) = delete;

private:
    QSslConfiguration saved;
};
