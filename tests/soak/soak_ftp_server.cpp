#include "tests/soak/soak_ftp_server.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

const char* SoakStepName(SoakStep step)
{
    switch (step) {
    case SoakStep::Greeting: return "greeting";
    case SoakStep::User: return "USER";
    case SoakStep::Pass: return "PASS";
    case SoakStep::Type: return "TYPE";
    case SoakStep::Pasv1: return "PASV 1";
    case SoakStep::Stor1: return "STOR 1";
    case SoakStep::Final1: return "transfer 1";
    case SoakStep::Pasv2: return "PASV 2";
    case SoakStep::Stor2: return "STOR 2";
    case SoakStep::Final2: return "transfer 2";
    case SoakStep::Quit: return "QUIT";
    case SoakStep::Count: break;
    }
    return "?";
}

const char* SoakFaultKindName(SoakFault::Kind kind)
{
    switch (kind) {
    case SoakFault::Kind::None: return "none";
    case SoakFault::Kind::Refused: return "refused connect";
    case SoakFault::Kind::ErrorReply: return "error reply";
    case SoakFault::Kind::Silence: return "silence";
    case SoakFault::Kind::DropClean: return "close";
    case SoakFault::Kind::DropReset: return "reset";
    case SoakFault::Kind::GarbagePassive: return "garbled 227";
    case SoakFault::Kind::DataDropMidTransfer: return "data lost mid-transfer";
    case SoakFault::Kind::ControlDropMidTransfer: return "control lost mid-transfer";
    }
    return "?";
}

QString SoakFault::Describe() const
{
    QString text = QString::fromLatin1(SoakFaultKindName(kind));
    if (kind != Kind::None && kind != Kind::Refused)
        text += QStringLiteral(" at ") + QString::fromLatin1(SoakStepName(step));
    if (kind == Kind::ErrorReply)
        text += QStringLiteral(" (%1)").arg(code);
    if (kind == Kind::GarbagePassive)
        text += QStringLiteral(" \"%1\"").arg(QString::fromLatin1(garbage.toPercentEncoding(" (),.=")));
    if (splitReplies)
        text += QStringLiteral(", replies byte by byte");
    return text;
}

struct SoakFtpServer::Session {
    SoakFault fault;
    QTcpSocket* ctl = nullptr;
    QByteArray in;
    QByteArray out;  // replies still to go out byte by byte
    QTimer* pump = nullptr;
    bool silent = false;
    bool closing = false;
    bool closeReset = false;
    int stores = 0;
    QTcpServer* pasv = nullptr;
    QTcpSocket* data = nullptr;
    QByteArray dataBytes;
    QString storName;
    QString renameFrom;
    bool storActive = false;
    bool dataSeen = false;
    bool dataEnded = false;
};

SoakFtpServer::SoakFtpServer() : listener_(std::make_unique<QTcpServer>())
{
    connect(listener_.get(), &QTcpServer::newConnection, this, &SoakFtpServer::OnNewControl);
    listener_->listen(QHostAddress::LocalHost, 0);

    // A port that is bound but never listens: connects to it are refused, and
    // nothing else can take it while the server lives.
    refusedFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (refusedFd_ >= 0) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(refusedFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::getsockname(refusedFd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            refusedPort_ = ntohs(addr.sin_port);
    }
}

SoakFtpServer::~SoakFtpServer()
{
    while (!sessions_.empty())
        CloseNow(sessions_.begin()->first, true);
    if (refusedFd_ >= 0)
        ::close(refusedFd_);
}

bool SoakFtpServer::Listening() const { return listener_->isListening() && refusedPort_ != 0; }
quint16 SoakFtpServer::Port() const { return listener_->serverPort(); }

void SoakFtpServer::SetNextFault(const SoakFault& fault)
{
    next_ = fault;
    planned_ = true;
}

std::vector<SoakFtpServer::Upload> SoakFtpServer::TakeUploads()
{
    std::vector<Upload> taken;
    taken.swap(uploads_);
    return taken;
}

int SoakFtpServer::OpenSockets() const
{
    return static_cast<int>(findChildren<QAbstractSocket*>().size() + findChildren<QTcpServer*>().size());
}

void SoakFtpServer::OnNewControl()
{
    while (QTcpSocket* socket = listener_->nextPendingConnection()) {
        ++connections_;
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto owned = std::make_unique<Session>();
        Session* s = owned.get();
        s->ctl = socket;
        if (planned_) {
            s->fault = next_;
            planned_ = false;
        } else {
            problems_ << QStringLiteral("a control connection without a plan (sequence %1)").arg(next_.sequence);
            s->fault = SoakFault{};
            s->fault.sequence = next_.sequence;
        }
        sessions_[s] = std::move(owned);
        connect(socket, &QTcpSocket::readyRead, socket, [this, s] { OnCommandBytes(s); });
        connect(socket, &QTcpSocket::disconnected, socket, [this, s] { End(s); });
        if (!Strike(s, SoakStep::Greeting))
            Send(s, "220 Soak server ready.");
    }
}

void SoakFtpServer::OnCommandBytes(Session* s)
{
    s->in += s->ctl->readAll();
    for (;;) {
        const int nl = s->in.indexOf('\n');
        if (nl < 0)
            return;
        QByteArray line = s->in.left(nl);
        s->in.remove(0, nl + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        OnCommand(s, line);
        if (!sessions_.count(s))
            return;  // the command ended the session
    }
}

void SoakFtpServer::OnCommand(Session* s, const QByteArray& line)
{
    if (s->silent)
        return;
    const int space = line.indexOf(' ');
    const QByteArray verb = (space < 0 ? line : line.left(space)).toUpper();
    if (verb == "USER") {
        if (!Strike(s, SoakStep::User))
            Send(s, "331 Password required.");
    } else if (verb == "PASS") {
        if (!Strike(s, SoakStep::Pass))
            Send(s, "230 Logged in.");
    } else if (verb == "TYPE") {
        if (!Strike(s, SoakStep::Type))
            Send(s, "200 Type set to I.");
    } else if (verb == "PASV") {
        if (Strike(s, s->stores == 0 ? SoakStep::Pasv1 : SoakStep::Pasv2))
            return;
        if (s->pasv)
            s->pasv->deleteLater();
        s->pasv = new QTcpServer(this);
        s->pasv->listen(QHostAddress::LocalHost, 0);
        connect(s->pasv, &QTcpServer::newConnection, s->pasv, [this, s] { OnPassiveConnection(s); });
        const quint16 p = s->pasv->serverPort();
        Send(s, QStringLiteral("227 Entering Passive Mode (127,0,0,1,%1,%2).").arg(p / 256).arg(p % 256).toLatin1());
    } else if (verb == "STOR") {
        const SoakStep step = s->stores == 0 ? SoakStep::Stor1 : SoakStep::Stor2;
        ++s->stores;
        if (Strike(s, step))
            return;
        if (!s->data) {
            problems_ << QStringLiteral("STOR without a data connection (sequence %1)").arg(s->fault.sequence);
            Send(s, "425 No data connection.");
            return;
        }
        s->storName = QString::fromUtf8(line.mid(5));
        s->storActive = true;
        Send(s, "150 Ok to send data.");
        if (s->dataEnded)
            TransferDone(s);
    } else if (verb == "RNFR") {
        // Published safely, each stored file is renamed; no fault strikes here.
        s->renameFrom = QString::fromUtf8(line.mid(5));
        Send(s, "350 Ready for destination name.");
    } else if (verb == "RNTO") {
        for (auto u = uploads_.rbegin(); u != uploads_.rend(); ++u) {
            if (u->sequence == s->fault.sequence && u->name == s->renameFrom) {
                u->name = QString::fromUtf8(line.mid(5));
                break;
            }
        }
        s->renameFrom.clear();
        Send(s, "250 Renamed.");
    } else if (verb == "QUIT") {
        if (Strike(s, SoakStep::Quit))
            return;
        Send(s, "221 Goodbye.");
        CloseAfterSend(s, false);
    } else {
        problems_ << QStringLiteral("unexpected command \"%1\" (sequence %2)")
                         .arg(QString::fromLatin1(line))
                         .arg(s->fault.sequence);
        Send(s, "502 Command not implemented.");
    }
}

void SoakFtpServer::OnPassiveConnection(Session* s)
{
    while (QTcpSocket* socket = s->pasv->nextPendingConnection()) {
        socket->setParent(this);
        if (s->data)
            s->data->deleteLater();
        s->data = socket;
        s->dataBytes.clear();
        s->dataSeen = false;
        s->dataEnded = false;
        connect(socket, &QTcpSocket::readyRead, socket, [this, s] { OnDataBytes(s); });
        connect(socket, &QTcpSocket::disconnected, socket, [this, s] { OnDataEnd(s); });
    }
    s->pasv->close();
    s->pasv->deleteLater();
    s->pasv = nullptr;
}

void SoakFtpServer::OnDataBytes(Session* s)
{
    if (!s->data)
        return;
    const QByteArray bytes = s->data->readAll();
    s->dataBytes += bytes;
    if (!s->storActive || s->silent || s->dataSeen || bytes.isEmpty())
        return;
    s->dataSeen = true;
    const SoakStep final = s->stores == 1 ? SoakStep::Final1 : SoakStep::Final2;
    if (s->fault.step != final)
        return;
    if (s->fault.kind == SoakFault::Kind::DataDropMidTransfer) {
        QTcpSocket* data = s->data;
        s->data = nullptr;
        QObject::disconnect(data, nullptr, nullptr, nullptr);
        const struct linger lg{1, 0};
        ::setsockopt(static_cast<int>(data->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        data->abort();
        data->deleteLater();
        s->storActive = false;
        Send(s, QStringLiteral("426 Soak fault in sequence %1: data connection lost.").arg(s->fault.sequence).toLatin1());
    } else if (s->fault.kind == SoakFault::Kind::ControlDropMidTransfer) {
        CloseNow(s, false);
    }
}

void SoakFtpServer::OnDataEnd(Session* s)
{
    if (!s->data)
        return;
    s->dataBytes += s->data->readAll();
    s->dataEnded = true;
    if (s->storActive)
        TransferDone(s);
}

void SoakFtpServer::TransferDone(Session* s)
{
    s->storActive = false;
    if (s->data) {
        QObject::disconnect(s->data, nullptr, nullptr, nullptr);
        s->data->deleteLater();
        s->data = nullptr;
    }
    const QByteArray bytes = s->dataBytes;
    s->dataBytes.clear();
    s->dataEnded = false;
    s->dataSeen = false;
    const SoakStep step = s->stores == 1 ? SoakStep::Final1 : SoakStep::Final2;
    if (s->silent)
        return;
    // A file so short that no bytes came before its end still fails as planned.
    if (s->fault.step == step && s->fault.kind == SoakFault::Kind::DataDropMidTransfer) {
        Send(s, QStringLiteral("426 Soak fault in sequence %1: data connection lost.").arg(s->fault.sequence).toLatin1());
        return;
    }
    if (s->fault.step == step && s->fault.kind == SoakFault::Kind::ControlDropMidTransfer) {
        CloseNow(s, false);
        return;
    }
    if (Strike(s, step))
        return;
    uploads_.push_back(Upload{s->fault.sequence, s->storName, bytes});
    Send(s, "226 Transfer complete.");
}

bool SoakFtpServer::Strike(Session* s, SoakStep step)
{
    if (s->silent)
        return true;
    const SoakFault& f = s->fault;
    if (f.step != step)
        return false;
    switch (f.kind) {
    case SoakFault::Kind::ErrorReply:
        Send(s, QStringLiteral("%1 Soak fault in sequence %2.").arg(f.code).arg(f.sequence).toLatin1());
        return true;
    case SoakFault::Kind::Silence:
        s->silent = true;
        return true;
    case SoakFault::Kind::DropClean:
        CloseAfterSend(s, false);
        return true;
    case SoakFault::Kind::DropReset:
        CloseAfterSend(s, true);
        return true;
    case SoakFault::Kind::GarbagePassive:
        Send(s, f.garbage);
        return true;
    default:
        return false;
    }
}

void SoakFtpServer::Send(Session* s, const QByteArray& line)
{
    if (!s->fault.splitReplies) {
        s->ctl->write(line + "\r\n");
        return;
    }
    s->out += line + "\r\n";
    if (!s->pump) {
        // One byte per turn of the event loop: the client reads every piece apart.
        s->pump = new QTimer(this);
        s->pump->setInterval(0);
        connect(s->pump, &QTimer::timeout, s->pump, [this, s] { SendNextByte(s); });
    }
    s->pump->start();
}

void SoakFtpServer::SendNextByte(Session* s)
{
    if (!s->out.isEmpty()) {
        s->ctl->write(s->out.left(1));
        s->ctl->flush();
        s->out.remove(0, 1);
    }
    if (s->out.isEmpty()) {
        s->pump->stop();
        if (s->closing)
            CloseNow(s, s->closeReset);
    }
}

void SoakFtpServer::CloseAfterSend(Session* s, bool reset)
{
    if (s->out.isEmpty()) {
        CloseNow(s, reset);
        return;
    }
    s->closing = true;
    s->closeReset = reset;
}

void SoakFtpServer::CloseNow(Session* s, bool reset)
{
    QTcpSocket* ctl = s->ctl;
    QObject::disconnect(ctl, nullptr, nullptr, nullptr);
    if (reset) {
        ctl->flush();
        // Linger on with no time makes the close a reset.
        const struct linger lg{1, 0};
        ::setsockopt(static_cast<int>(ctl->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        ctl->abort();
        ctl->deleteLater();
    } else {
        ctl->disconnectFromHost();  // sends what is queued, then FIN
        if (ctl->state() == QAbstractSocket::UnconnectedState)
            ctl->deleteLater();
        else
            connect(ctl, &QTcpSocket::disconnected, ctl, &QObject::deleteLater);
    }
    s->ctl = nullptr;
    End(s);
}

void SoakFtpServer::End(Session* s)
{
    auto it = sessions_.find(s);
    if (it == sessions_.end())
        return;
    if (s->ctl) {
        // The client closed: close our side too.
        QObject::disconnect(s->ctl, nullptr, nullptr, nullptr);
        s->ctl->abort();
        s->ctl->deleteLater();
    }
    if (s->data) {
        QObject::disconnect(s->data, nullptr, nullptr, nullptr);
        s->data->abort();
        s->data->deleteLater();
    }
    if (s->pasv) {
        s->pasv->close();
        s->pasv->deleteLater();
    }
    if (s->pump) {
        s->pump->stop();
        s->pump->deleteLater();
    }
    sessions_.erase(it);
}

}  // namespace testsupport
