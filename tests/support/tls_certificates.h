#pragma once
// Certificates for the TLS tests, made once per test program by
// tls_certs.py in a temporary folder: a test CA and server certificates for
// loopback (good, wrongname, expired, selfsigned, other; see the script).

#include <QHash>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

class TlsCertificates
{
public:
    // Made on the first call; Error() says why when they could not be.
    static const TlsCertificates& Get();

    bool Ok() const { return error_.isEmpty(); }
    const QString& Error() const { return error_; }
    QString CaFile() const { return dir_.filePath(QStringLiteral("ca.pem")); }
    QString CertFile(const QString& name) const { return dir_.filePath(name + QStringLiteral(".pem")); }
    QString KeyFile(const QString& name) const { return dir_.filePath(name + QStringLiteral(".key")); }
    // SHA-256, as the openssl tool prints it.
    QString Fingerprint(const QString& name) const { return fingerprints_.value(name); }

private:
    TlsCertificates();

    QTemporaryDir dir_;
    QString error_;
    QHash<QString, QString> fingerprints_;
};

// Makes the test CA the CA store of the TLS contexts made while it lives
// (OpenSSL reads SSL_CERT_FILE when a context loads its store).
class ScopedTestCaStore
{
public:
    ScopedTestCaStore();
    ~ScopedTestCaStore();
    ScopedTestCaStore(const ScopedTestCaStore&) = delete;
    ScopedTestCaStore& operator=(const ScopedTestCaStore&) = delete;

private:
    QByteArray previous_;
    bool had_ = false;
};

}  // namespace testsupport
