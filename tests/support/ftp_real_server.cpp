#include "tests/support/ftp_real_server.h"

#include "tests/support/end_process.h"
#include "tests/support/python_server.h"
#include "tests/support/tls_certificates.h"


namespace testsupport {

FtpRealServer::FtpRealServer(QString user, QString password)
    : user_(std::move(user)), password_(std::move(password))
{
}

FtpRealServer::~FtpRealServer() { Stop(); }

bool FtpRealServer::Start(int timeoutMs)
{
    Stop();
    if (!root_.isValid()) {
        error_ = QStringLiteral("cannot create the server's root folder");
        return false;
    }
    process_ = std::make_unique<QProcess>();
    QStringList args{QStringLiteral(TARVO_SOURCE_DIR "/tests/support/ftp_real_server.py"),
                     QStringLiteral("--root"), root_.path(), QStringLiteral("--user"), user_,
                     QStringLiteral("--password"), password_};
    if (!masquerade_.isEmpty())
        args << QStringLiteral("--masquerade") << masquerade_;
    if (tls_ != Tls::None) {
        const TlsCertificates& c = TlsCertificates::Get();
        if (!c.Ok()) {
            error_ = c.Error();
            return false;
        }
        args << QStringLiteral("--tls") << (tls_ == Tls::Explicit ? QStringLiteral("explicit") : QStringLiteral("implicit"))
             << QStringLiteral("--cert") << c.CertFile(certificate_) << QStringLiteral("--key") << c.KeyFile(certificate_);
        if (requireResume_)
            args << QStringLiteral("--require-resume");
        if (!dataEnd_.isEmpty())
            args << QStringLiteral("--data-end") << dataEnd_;
    }
    const QByteArray line = StartPythonServer(*process_, args, timeoutMs, QStringLiteral("FTP server"), error_);
    if (line.isEmpty()) {
        Stop();
        return false;
    }
    bool ok = false;
    if (line.startsWith("PORT "))
        port_ = static_cast<quint16>(line.mid(5).toUInt(&ok));
    if (!ok || port_ == 0) {
        error_ = QStringLiteral("unexpected first line from the FTP server: ") + QString::fromLatin1(line);
        Stop();
        return false;
    }
    return true;
}

void FtpRealServer::Stop()
{
    if (!process_)
        return;
    EndProcess(*process_, 5000);
    process_.reset();
    port_ = 0;
}

bool FtpRealServer::Running() const { return process_ && process_->state() == QProcess::Running; }

}  // namespace testsupport
