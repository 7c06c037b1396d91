#pragma once
// Loopback peers for the socket tests: a plain Qt TCP server on 127.0.0.1,
// port 0, so the component is checked against an independent implementation.

#include "net/WSocket.h"
#include "tests/support/wait.h"

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nettest {

using testsupport::WaitUntil;

class LoopbackServer
{
public:
    struct Client {
        std::unique_ptr<QTcpSocket> socket;
        QByteArray received;
        bool disconnected = false;
    };

    // readBufferSize > 0 limits what each accepted connection reads from the
    // kernel (a peer that stops reading).
    explicit LoopbackServer(qint64 readBufferSize = 0) : readBufferSize_(readBufferSize)
    {
        listening_ = server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                s->setParent(nullptr);
                s->setReadBufferSize(readBufferSize_);
                auto c = std::make_unique<Client>();
                c->socket.reset(s);
                Client* raw = c.get();
                QObject::connect(s, &QTcpSocket::readyRead, [this, raw] {
                    if (autoRead)
                        raw->received += raw->socket->readAll();
                });
                QObject::connect(s, &QTcpSocket::disconnected, [raw] { raw->disconnected = true; });
                clients.push_back(std::move(c));
            }
        });
    }

    bool Listening() const { return listening_; }
    QString Port() const { return QString::number(server_.serverPort()); }
    void Close() { server_.close(); }

    Client* WaitForClient(std::size_t index = 0, int timeoutMs = 5000)
    {
        if (!WaitUntil([&] { return clients.size() > index; }, timeoutMs))
            return nullptr;
        return clients[index].get();
    }

    bool autoRead = true;
    std::vector<std::unique_ptr<Client>> clients;

private:
    QTcpServer server_;
    qint64 readBufferSize_ = 0;
    bool listening_ = false;
};

// A port that refuses connections: bound once, then released.
inline QString RefusingPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    const QString port = QString::number(s.serverPort());
    s.close();
    return port;
}

// The peer writes bytes (if any) and then resets the connection.
inline void ResetPeer(QTcpSocket* peer, const QByteArray& bytes)
{
    if (!bytes.isEmpty()) {
        peer->write(bytes);
        peer->flush();
    }
    const ::linger hard{1, 0};
    ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    peer->abort();
}

// An OnDataAvailable handler that appends what it reads, up to piece bytes a call.
inline std::function<void(TCustomWSocket*, std::uint16_t)> CollectInto(QByteArray& into, int piece = 4096)
{
    return [&into, piece](TCustomWSocket* s, std::uint16_t) {
        QByteArray buf(piece, Qt::Uninitialized);
        const int n = s->Receive(buf.data(), piece);
        if (n > 0)
            into.append(buf.constData(), n);
    };
}

// Records the component's events in order as short texts.
struct EventLog {
    std::vector<std::string> log;
    int dataSent = 0;
    int closed = 0;
    std::vector<int> sendData;

    void Attach(TCustomWSocket& s, bool withDataAvailable = false)
    {
        s.OnChangeState = [this](TCustomWSocket*, TSocketState o, TSocketState n) {
            log.push_back("state " + std::to_string(o) + "->" + std::to_string(n));
        };
        s.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
            log.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
            ++closed;
            log.push_back("closed " + std::to_string(e));
        };
        s.OnDataSent = [this](TCustomWSocket*, std::uint16_t) { ++dataSent; };
        s.OnSendData = [this](TCustomWSocket*, int n) { sendData.push_back(n); };
        if (withDataAvailable)
            s.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) {
                log.push_back("data " + std::to_string(e));
            };
    }
};

// Connects s to the server and waits until both ends are up and the
// connect-time write notice has been handled.
inline bool ConnectTo(TCustomWSocket& s, LoopbackServer& server, EventLog* log = nullptr)
{
    s.SetAddr(QStringLiteral("127.0.0.1"));
    s.SetPort(server.Port());
    s.Connect();
    if (!WaitUntil([&] { return s.State() == wsConnected && !server.clients.empty(); }))
        return false;
    if (log && !WaitUntil([&] { return log->dataSent >= 1; }))
        return false;
    return true;
}

inline QByteArray Pattern(int size, unsigned seed = 1)
{
    QByteArray b(size, Qt::Uninitialized);
    std::uint32_t x = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = char(x);
    }
    return b;
}

}  // namespace nettest
