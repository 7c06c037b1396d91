#pragma once
// A real FTP server on loopback for tests: pyftpdlib serving a temporary root
// to one user. Started on a kernel-chosen port, stopped by its process id.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

class FtpRealServer
{
public:
    FtpRealServer(QString user = QStringLiteral("tarvo"), QString password = QStringLiteral("secret"));
    ~FtpRealServer();

    FtpRealServer(const FtpRealServer&) = delete;
    FtpRealServer& operator=(const FtpRealServer&) = delete;

    // The passive address the server advertises instead of its own (set
    // before Start); it still listens on 127.0.0.1 only.
    void SetMasqueradeAddress(const QString& address) { masquerade_ = address; }

    enum class Tls { None, Explicit, Implicit };
    // TLS required on every connection (set before Start), with a certificate
    // of TlsCertificates by name; requireResume refuses data connections that
    // do not resume the control connection's session.
    void SetTls(Tls mode, const QString& certificate = QStringLiteral("selfsigned"), bool requireResume = true)
    {
        tls_ = mode;
        certificate_ = certificate;
        requireResume_ = requireResume;
    }

    // How TLS data connections that the server sends on end (set before
    // Start): "bare" without the close notice; "bare-sized" so, with the
    // file's size in the 150 reply; "bare-short" so, with one byte more.
    // Empty: with the close notice.
    void SetDataEnd(const QString& how) { dataEnd_ = how; }

    // Starts the server and waits for its port; false (with Error()) on failure.
    bool Start(int timeoutMs = 15000);
    void Stop();

    bool Running() const;
    quint16 Port() const { return port_; }
    QString PortText() const { return QString::number(port_); }
    const QString& User() const { return user_; }
    const QString& Password() const { return password_; }
    // The served folder (the user's login folder).
    QString Root() const { return root_.path(); }
    QString Error() const { return error_; }

private:
    QString user_;
    QString password_;
    QTemporaryDir root_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
    QString error_;
    QString masquerade_;
    Tls tls_ = Tls::None;
    QString certificate_;
    bool requireResume_ = false;
    QString dataEnd_;
};

}  // namespace testsupport
