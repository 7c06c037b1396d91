#include "tests/support/sftp_server.h"

#include "tests/support/end_process.h"
#include "tests/support/python_server.h"

#include <QFile>

namespace testsupport {

SftpServer::SftpServer(QString user, QString password) : user_(std::move(user)), password_(std::move(password)) {}

SftpServer::~SftpServer() { Stop(); }

QString SftpServer::KnownHostsLine() const
{
    return QStringLiteral("[127.0.0.1]:%1 %2").arg(port_).arg(hostPublic_);
}

int SftpServer::SessionCount(int which) const
{
    // "<open> <ended without a disconnect>"
    QFile f(keys_.filePath(QStringLiteral("sessions")));
    bool ok = false;
    const int n = f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().split(' ').value(which).toInt(&ok) : -1;
    return ok ? n : -1;
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
                     QStringLiteral("--password"), password_, QStringLiteral("--sessions"),
                     keys_.filePath(QStringLiteral("sessions"))};
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
    if (cutAfter_ >= 0)
        args << QStringLiteral("--cut-after-change") << QString::number(cutAfter_);
    if (!readOnly_.isEmpty())
        args << QStringLiteral("--read-only") << readOnly_;
    if (writeDelayMs_ > 0)
        args << QStringLiteral("--write-delay-ms") << QString::number(writeDelayMs_);
    process_ = std::make_unique<QProcess>();
    const QByteArray line = StartPythonServer(*process_, args, timeoutMs, QStringLiteral("SFTP server"), error_);
    if (line.isEmpty()) {
        Stop();
        return false;
    }
    // "PORT <n> <fingerprint> <key type> <key>"
    const QList<QByteArray> words = line.split(' ');
    bool ok = words.size() == 5 && words[0] == "PORT";
    if (ok)
        port_ = static_cast<quint16>(words[1].toUInt(&ok));
    if (!ok || port_ == 0) {
        error_ = QStringLiteral("unexpected first line from the SFTP server: ") + QString::fromLatin1(line);
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
