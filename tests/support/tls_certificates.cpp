#include "tests/support/tls_certificates.h"

#include <QFile>
#include <QProcess>

namespace testsupport {

TlsCertificates::TlsCertificates()
{
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary folder for the certificates");
        return;
    }
    QProcess p;
    // Debian's interpreter: it has the cryptography package.
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral(TARVO_SOURCE_DIR "/tests/support/tls_certs.py"), dir_.path()});
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        error_ = QStringLiteral("tls_certs.py failed: ") + QString::fromLocal8Bit(p.readAllStandardError());
        return;
    }
    QFile f(dir_.filePath(QStringLiteral("fingerprints.txt")));
    if (!f.open(QIODevice::ReadOnly)) {
        error_ = QStringLiteral("no fingerprints from tls_certs.py");
        return;
    }
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> parts = line.trimmed().split(' ');
        if (parts.size() == 2)
            fingerprints_.insert(QString::fromLatin1(parts[0]), QString::fromLatin1(parts[1]));
    }
}

const TlsCertificates& TlsCertificates::Get()
{
    static const TlsCertificates certificates;
    return certificates;
}

ScopedTestCaStore::ScopedTestCaStore()
{
    had_ = qEnvironmentVariableIsSet("SSL_CERT_FILE");
    previous_ = qgetenv("SSL_CERT_FILE");
    qputenv("SSL_CERT_FILE", TlsCertificates::Get().CaFile().toLocal8Bit());
}

ScopedTestCaStore::~ScopedTestCaStore()
{
    if (had_)
        qputenv("SSL_CERT_FILE", previous_);
    else
        qunsetenv("SSL_CERT_FILE");
}

}  // namespace testsupport
