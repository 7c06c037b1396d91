#include "tests/support/ftp_fake_server.h"

#include <sys/socket.h>

namespace testsupport {

FtpFakeServer::FtpFakeServer()
{
    connect(&control_, &QTcpServer::newConnection, this, &FtpFakeServer::OnNewControl);
    connect(&dataListener_, &QTcpServer::newConnection, this, &FtpFakeServer::OnNewData);
    delay_.setSingleShot(true);
    connect(&delay_, &QTimer::timeout, this, [this] {
        delayDone_ = true;
        Run();
    });
    control_.listen(QHostAddress::LocalHost, 0);
}

FtpFakeServer::~FtpFakeServer()
{
    if (ctl_)
        ctl_->abort();
    if (data_)
        data_->abort();
}

quint16 FtpFakeServer::Port() const { return control_.serverPort(); }

bool FtpFakeServer::ControlOpen() const
{
    return ctl_ && ctl_->state() == QAbstractSocket::ConnectedState;
}

FtpFakeServer& FtpFakeServer::Add(Step::Kind kind, const QByteArray& bytes, int ms)
{
    steps_.push_back(Step{kind, bytes, ms});
    if (ctl_)
        QTimer::singleShot(0, this, &FtpFakeServer::Run);
    return *this;
}

FtpFakeServer& FtpFakeServer::Reply(const QByteArray& line) { return Add(Step::ReplyLine, line); }
FtpFakeServer& FtpFakeServer::Raw(const QByteArray& bytes) { return Add(Step::RawBytes, bytes); }
FtpFakeServer& FtpFakeServer::Delay(int ms) { return Add(Step::Wait, {}, ms); }
FtpFakeServer& FtpFakeServer::Expect(const QByteArray& prefix) { return Add(Step::ExpectCmd, prefix); }
FtpFakeServer& FtpFakeServer::Passive(bool parentheses)
{
    return Add(parentheses ? Step::OpenPassive : Step::OpenPassiveBare);
}
FtpFakeServer& FtpFakeServer::PassiveUnanswered() { return Add(Step::PassiveNowhere); }
FtpFakeServer& FtpFakeServer::ConnectData() { return Add(Step::ActiveConnect); }
FtpFakeServer& FtpFakeServer::ConnectStranger() { return Add(Step::StrangerConnect); }
FtpFakeServer& FtpFakeServer::ReceiveData() { return Add(Step::RecvData); }
FtpFakeServer& FtpFakeServer::SendData(const QByteArray& bytes) { return Add(Step::SendDataBytes, bytes); }
FtpFakeServer& FtpFakeServer::EndDataEarly(qint64 afterBytes) { return Add(Step::EndDataAfter, {}, int(afterBytes)); }
FtpFakeServer& FtpFakeServer::Drop() { return Add(Step::DropControl); }
FtpFakeServer& FtpFakeServer::Reset() { return Add(Step::ResetControl); }
FtpFakeServer& FtpFakeServer::NextControl() { return Add(Step::AwaitControl); }

FtpFakeServer& FtpFakeServer::Greeting() { return Reply("220 Fake server ready."); }

FtpFakeServer& FtpFakeServer::LoginSteps()
{
    return Greeting()
        .Expect("USER ")
        .Reply("331 Password required.")
        .Expect("PASS ")
        .Reply("230 Logged in.");
}

void FtpFakeServer::OnNewControl()
{
    while (QTcpSocket* s = control_.nextPendingConnection()) {
        ++connections_;
        if (ctl_)
            ctl_->deleteLater();
        ctl_ = s;
        awaitingControl_ = false;
        inBuf_.clear();
        pendingLines_.clear();
        connect(s, &QTcpSocket::readyRead, this, &FtpFakeServer::OnControlReadyRead);
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    }
    Run();
}

void FtpFakeServer::OnControlReadyRead()
{
    auto* s = qobject_cast<QTcpSocket*>(sender());
    if (!s)
        return;
    inBuf_ += s->readAll();
    for (;;) {
        int nl = inBuf_.indexOf('\n');
        if (nl < 0)
            break;
        QByteArray line = inBuf_.left(nl);
        inBuf_.remove(0, nl + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        commands_ << QString::fromLatin1(line);
        if (line.startsWith("PORT ")) {
            // h1,h2,h3,h4,p1,p2
            const QList<QByteArray> f = line.mid(5).split(',');
            if (f.size() == 6) {
                portAddr_ = QHostAddress(QString::fromLatin1(f[0] + '.' + f[1] + '.' + f[2] + '.' + f[3]));
                portPort_ = static_cast<quint16>(f[4].toInt() * 256 + f[5].toInt());
            }
        }
        pendingLines_.push_back(line);
    }
    Run();
}

void FtpFakeServer::OnNewData()
{
    while (QTcpSocket* s = dataListener_.nextPendingConnection()) {
        dataListener_.close();
        AttachData(s);
    }
}

void FtpFakeServer::AttachData(QTcpSocket* s)
{
    if (data_)
        data_->deleteLater();
    data_ = s;
    dataEnded_ = false;
    dataOpened_ = true;
    dataFresh_ = true;
    sendStarted_ = false;
    endDataAt_ = endDataAfter_ < 0 ? -1 : dataReceived_.size() + endDataAfter_;
    endDataAfter_ = -1;
    connect(s, &QTcpSocket::readyRead, this, [this, s] {
        if (s == data_) {
            dataReceived_ += s->readAll();
            EndDataIfDue();
        }
    });
    connect(s, &QTcpSocket::disconnected, this, [this, s] {
        if (s == data_) {
            dataReceived_ += s->readAll();
            dataEnded_ = true;
            Run();
        }
    });
    connect(s, &QTcpSocket::errorOccurred, this, [this, s](QAbstractSocket::SocketError) {
        if (s == data_ && s->state() != QAbstractSocket::ConnectedState) {
            dataEnded_ = true;
            Run();
        }
    });
    connect(s, &QTcpSocket::connected, this, [this] {
        EndDataIfDue();
        Run();
    });
    EndDataIfDue();
    Run();
}

void FtpFakeServer::EndDataIfDue()
{
    if (endDataAt_ < 0 || !data_ || data_->state() != QAbstractSocket::ConnectedState ||
        dataReceived_.size() < endDataAt_)
        return;
    endDataAt_ = -1;
    ::shutdown(static_cast<int>(data_->socketDescriptor()), SHUT_WR);
}

void FtpFakeServer::Write(const QByteArray& bytes)
{
    if (ctl_ && ctl_->state() == QAbstractSocket::ConnectedState)
        ctl_->write(bytes);
}

void FtpFakeServer::Run()
{
    if (inRun_ || !ctl_ || awaitingControl_)
        return;
    inRun_ = true;
    while (!steps_.empty() && !awaitingControl_) {
        running_ = true;
        if (!RunStep(steps_.front()))
            break;
        steps_.pop_front();
        running_ = false;
    }
    inRun_ = false;
}

bool FtpFakeServer::RunStep(Step& step)
{
    switch (step.kind) {
    case Step::ReplyLine:
        Write(step.bytes + "\r\n");
        return true;
    case Step::RawBytes:
        Write(step.bytes);
        return true;
    case Step::Wait:
        if (delayDone_) {
            delayArmed_ = delayDone_ = false;
            return true;
        }
        if (!delayArmed_) {
            delayArmed_ = true;
            if (ctl_)
                ctl_->flush();
            delay_.start(step.ms);
        }
        return false;
    case Step::ExpectCmd: {
        if (pendingLines_.empty())
            return false;
        QByteArray line = pendingLines_.front();
        pendingLines_.pop_front();
        if (!line.startsWith(step.bytes))
            mismatches_ << QStringLiteral("expected '%1', got '%2'")
                               .arg(QString::fromLatin1(step.bytes), QString::fromLatin1(line));
        return true;
    }
    case Step::OpenPassive:
    case Step::OpenPassiveBare: {
        dataListener_.close();
        dataListener_.listen(QHostAddress::LocalHost, 0);
        const quint16 p = dataListener_.serverPort();
        const QString numbers = QStringLiteral("127,0,0,1,%1,%2").arg(p / 256).arg(p % 256);
        Write((step.kind == Step::OpenPassive ? QStringLiteral("227 Entering Passive Mode (%1).\r\n")
                                              : QStringLiteral("227 Entering Passive Mode %1\r\n"))
                  .arg(numbers)
                  .toLatin1());
        return true;
    }
    case Step::PassiveNowhere: {
        if (!fullListener_.isListening()) {
            // A queue of one, filled: the kernel drops further connection requests.
            fullListener_.setListenBacklogSize(0);
            fullListener_.setMaxPendingConnections(0);
            fullListener_.listen(QHostAddress::LocalHost, 0);
            fullListenerFiller_.connectToHost(QHostAddress::LocalHost, fullListener_.serverPort());
            fullListenerFiller_.waitForConnected(5000);
        }
        const quint16 p = fullListener_.serverPort();
        Write(QStringLiteral("227 Entering Passive Mode (127,0,0,1,%1,%2).\r\n").arg(p / 256).arg(p % 256).toLatin1());
        return true;
    }
    case Step::StrangerConnect: {
        auto* s = new QTcpSocket(this);
        s->bind(QHostAddress(QStringLiteral("127.0.0.2")), 0);
        connect(s, &QTcpSocket::readyRead, this, [this, s] { strangerReceived_ += s->readAll(); });
        s->connectToHost(portAddr_, portPort_);
        return true;
    }
    case Step::ActiveConnect: {
        auto* s = new QTcpSocket(this);
        AttachData(s);
        s->connectToHost(portAddr_, portPort_);
        return true;
    }
    case Step::EndDataAfter:
        endDataAfter_ = step.ms;
        return true;
    case Step::RecvData:
        if (!dataFresh_ || !dataEnded_)
            return false;
        dataFresh_ = false;
        return true;
    case Step::SendDataBytes:
        if (!data_ || !dataFresh_)
            return false;
        if (data_->state() != QAbstractSocket::ConnectedState) {
            if (dataEnded_) {
                dataFresh_ = false;
                return true;
            }
            return false;
        }
        if (!sendStarted_) {
            sendStarted_ = true;
            data_->write(step.bytes);
            data_->disconnectFromHost();  // flushes, then closes
        }
        if (!dataEnded_)
            return false;
        dataFresh_ = false;
        return true;
    case Step::DropControl:
        if (ctl_) {
            ctl_->flush();
            ctl_->disconnectFromHost();
        }
        awaitingControl_ = true;  // the rest of the script is for the next connection
        return true;
    case Step::ResetControl:
        if (ctl_) {
            ctl_->flush();
            // Linger on with no time makes the close a reset.
            struct linger lg{1, 0};
            ::setsockopt(static_cast<int>(ctl_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            ctl_->abort();
        }
        awaitingControl_ = true;
        return true;
    case Step::AwaitControl:
        awaitingControl_ = true;
        return true;
    }
    return true;
}

}  // namespace testsupport
