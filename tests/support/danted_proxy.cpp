#include "tests/support/danted_proxy.h"

#include "tests/support/wait.h"

#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <unistd.h>

namespace testsupport {
namespace {

quint16 FreePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();  // released when probe goes
}

QString DantedPath()
{
    QString path = QStandardPaths::findExecutable(QStringLiteral("danted"));
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(QStringLiteral("danted"), {QStringLiteral("/usr/sbin")});
    return path;
}

}  // namespace

DantedProxy::DantedProxy()
{
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return;
    }
    if (DantedPath().isEmpty()) {
        error_ = QStringLiteral("danted not found (package dante-server)");
        return;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        const quint16 port = FreePort();
        if (port != 0 && StartOnce(port)) {
            port_ = port;
            error_.clear();
            return;
        }
        Stop();
    }
}

DantedProxy::~DantedProxy()
{
    Stop();
}

bool DantedProxy::StartOnce(quint16 port)
{
    const QString logFile = dir_.filePath(QStringLiteral("danted.log"));
    QFile::remove(logFile);
    const QString conf = dir_.filePath(QStringLiteral("danted.conf"));
    QFile f(conf);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error_ = QStringLiteral("cannot write ") + conf;
        return false;
    }
    const bool root = ::geteuid() == 0;
    QByteArray text = "logoutput: " + logFile.toUtf8() + "\n"
                      "internal: 127.0.0.1 port = " + QByteArray::number(port) + "\n"
                      "external: 127.0.0.1\n"
                      "clientmethod: none\n"
                      "socksmethod: none\n";
    if (root)
        text += "user.privileged: root\nuser.unprivileged: nobody\n";
    text += "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
            "socks pass {\n  from: 0.0.0.0/0 to: 0.0.0.0/0\n}\n";
    f.write(text);
    f.close();

    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::MergedChannels);
    process_->start(DantedPath(), {QStringLiteral("-f"), conf, QStringLiteral("-p"),
                                   dir_.filePath(QStringLiteral("danted.pid")), QStringLiteral("-N"),
                                   QStringLiteral("1")});
    if (!process_->waitForStarted(5000)) {
        error_ = QStringLiteral("danted did not start: ") + process_->errorString();
        return false;
    }
    // Ready once it accepts connections; a port clash ends the process.
    bool accepting = false;
    WaitUntil(
        [&] {
            if (process_->state() != QProcess::Running)
                return true;
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            accepting = probe.waitForConnected(100);
            return accepting;
        },
        10000);
    if (!accepting || process_->state() != QProcess::Running) {
        error_ = QStringLiteral("danted did not come up on port ") + QString::number(port) + QStringLiteral(":\n")
                 + Log() + QString::fromLocal8Bit(process_->readAll());
        return false;
    }
    return true;
}

void DantedProxy::Stop()
{
    if (!process_)
        return;
    if (process_->state() != QProcess::NotRunning) {
        process_->terminate();  // SIGTERM to its process id
        if (!process_->waitForFinished(5000)) {
            process_->kill();
            process_->waitForFinished(5000);
        }
    }
    process_.reset();
}

bool DantedProxy::Running() const
{
    return process_ && process_->state() == QProcess::Running && port_ != 0;
}

qint64 DantedProxy::Pid() const
{
    return process_ ? process_->processId() : 0;
}

QString DantedProxy::Log() const
{
    QFile f(dir_.filePath(QStringLiteral("danted.log")));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = f.readAll();
    return QString::fromLocal8Bit(all.right(2000));
}

}  // namespace testsupport
