#include "tests/support/sftp_server.h"

#include "tests/support/end_process.h"

#include <QDeadlineTimer>
#include <QFile>

namespace testsupport {

SftpServer::SftpServer(QString user, QString password) : user_(std::move(user)), password_(std::move(password)) {}

SftpServer::~SftpServer() { Stop(); }

QString SftpServer::KnownHostsLine() const
{
    return QStringLiteral("[127.0.0.1]:%1 %2").arg(port_).arg(hostPublic_);
}

bool SftpServer::Start(int timeoutMs)
{
    Stop();
    if (!root_.isValid() || !keys_.isValid()) {
        error_ = QStringLiteral("cannot create the server's folders");
        return false;
    }
    QStringList args{QStringLiteral(TARVO_SOURCE_DIR "/tests/support/sftp_server.py"),
                     QStringLiteral("--root"), root_.path(), QStringLiteral("--user"), user_,
                     QStringLiteral("--password"), password_};
    if (clientKey_) {
        QFile::remove(ClientKeyFile());
        args << QStringLiteral("--client-key") << ClientKeyFile();
        if (!passphrase_.isEmpty())
            args << QStringLiteral("--client-passphrase") << passphrase_;
    }
    if (hidePosixRename_)
        args << QStringLiteral("--hide-posix-rename");
    if (stallAfter_ >= 0)
        args << QStringLiteral("--stall-after") << QString::number(stallAfter_);
    if (!readOnly_.isEmpty())
        args << QStringLiteral("--read-only") << readOnly_;
    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::SeparateChannels);
    // Debian's interpreter: another python3 on PATH may lack asyncssh.
    process_->start(QStringLiteral("/usr/bin/python3"), args);
    if (!process_->waitForStarted(timeoutMs)) {
        error_ = process_->errorString();
        process_.reset();
        return false;
    }
    QDeadlineTimer deadline(timeoutMs);
    QByteArray out;
    while (!out.contains('\n')) {
        if (deadline.hasExpired() || process_->state() != QProcess::Running) {
            error_ = QStringLiteral("no port from the SFTP server: ") +
                     QString::fromLocal8Bit(process_->readAllStandardError());
            Stop();
            return false;
        }
        process_->waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        out += process_->readAllStandardOutput();
    }
    // "PORT <n> <fingerprint> <key type> <key>"
    const QList<QByteArray> words = out.left(out.indexOf('\n')).trimmed().split(' ');
    bool ok = words.size() == 5 && words[0] == "PORT";
    if (ok)
        port_ = static_cast<quint16>(words[1].toUInt(&ok));
    if (!ok || port_ == 0) {
        error_ = QStringLiteral("unexpected first line from the SFTP server: ") + QString::fromLatin1(out);
        Stop();
        return false;
    }
    hostKey_ = QString::fromLatin1(words[2]);
    hostPublic_ = QString::fromLatin1(words[3] + ' ' + words[4]);
    return true;
}

void SftpServer::Stop()
{
    if (!process_)
        return;
    EndProcess(*process_, 5000);
    process_.reset();
    port_ = 0;
}

}  // namespace testsupport
