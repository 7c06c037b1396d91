#include "tests/support/fake_socks_server.h"

#include <QHostAddress>
#include <QHostInfo>

namespace testsupport {

namespace {

unsigned At(const QByteArray& d, int i) { return static_cast<unsigned char>(d[i]); }

// Where a complete connect request wants to go: host text (as requested) and
// port; false for a request the relay cannot follow.
bool Destination(FakeSocksServer::Request kind, const QByteArray& r, QString& host, quint16& port)
{
    if (kind == FakeSocksServer::Request::Connect4) {
        port = quint16(At(r, 2) << 8 | At(r, 3));
        const int userEnd = r.indexOf('\0', 8);
        if (At(r, 4) == 0 && At(r, 5) == 0 && At(r, 6) == 0 && At(r, 7) != 0) {
            const int hostEnd = r.indexOf('\0', userEnd + 1);
            host = QString::fromLatin1(r.mid(userEnd + 1, hostEnd - userEnd - 1));
        } else {
            host = QStringLiteral("%1.%2.%3.%4").arg(At(r, 4)).arg(At(r, 5)).arg(At(r, 6)).arg(At(r, 7));
        }
        return true;
    }
    if (kind == FakeSocksServer::Request::Connect5) {
        const int n = int(r.size());
        port = quint16(At(r, n - 2) << 8 | At(r, n - 1));
        switch (At(r, 3)) {
        case 1: host = QStringLiteral("%1.%2.%3.%4").arg(At(r, 4)).arg(At(r, 5)).arg(At(r, 6)).arg(At(r, 7)); return true;
        case 3: host = QString::fromLatin1(r.mid(5, At(r, 4))); return true;
        default: return false;
        }
    }
    return false;
}

// The proxy's own resolution: an IPv4 address for a name or dotted text.
QHostAddress ResolveIPv4(const QString& host)
{
    QHostAddress direct;
    if (direct.setAddress(host))
        return direct;
    for (const QHostAddress& a : QHostInfo::fromName(host).addresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol)
            return a;
    return {};
}

}  // namespace

FakeSocksServer::FakeSocksServer(std::vector<Step> script, Clients clients)
    : clients_(clients), script_(std::move(script))
{
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
        while (QTcpSocket* c = server_.nextPendingConnection()) {
            if (clients_ == Clients::One && !sessions_.empty()) {  // one client per script
                c->abort();
                c->deleteLater();
                continue;
            }
            c->setParent(nullptr);
            auto session = std::make_unique<Session>();
            session->client.reset(c);
            Session* s = session.get();
            sessions_.push_back(std::move(session));
            QObject::connect(c, &QTcpSocket::readyRead, [this, s] { OnReadyRead(*s); });
            QObject::connect(c, &QTcpSocket::disconnected, [s] {
                // The client is done: what it still sent goes on, then the
                // destination sees the close.
                if (s->relaying && s->target) {
                    s->target->write(s->client->readAll());
                    s->target->disconnectFromHost();
                }
            });
        }
    });
}

FakeSocksServer::~FakeSocksServer()
{
    // No handler may run on a half-destroyed session.
    for (auto& s : sessions_) {
        if (s->client)
            QObject::disconnect(s->client.get(), nullptr, nullptr, nullptr);
        if (s->target)
            QObject::disconnect(s->target.get(), nullptr, nullptr, nullptr);
    }
}

const QByteArray& FakeSocksServer::Extra() const
{
    static const QByteArray none;
    return sessions_.empty() ? none : sessions_.front()->extra;
}

QTcpSocket* FakeSocksServer::Connection() const
{
    return sessions_.empty() ? nullptr : sessions_.front()->client.get();
}

bool FakeSocksServer::ScriptDone() const
{
    return (sessions_.empty() ? 0 : sessions_.front()->next) >= script_.size();
}

int FakeSocksServer::CompleteLength(Request kind, const QByteArray& d)
{
    const auto at = [&](int i) { return static_cast<unsigned char>(d[i]); };
    const int n = int(d.size());
    switch (kind) {
    case Request::Methods:
        return n >= 2 && n >= 2 + at(1) ? 2 + at(1) : 0;
    case Request::Auth: {
        if (n < 2 || n < 2 + at(1) + 1)
            return 0;
        const int plenAt = 2 + at(1);
        const int total = plenAt + 1 + at(plenAt);
        return n >= total ? total : 0;
    }
    case Request::Connect4: {
        if (n < 9)
            return 0;
        const int userEnd = d.indexOf('\0', 8);
        if (userEnd < 0)
            return 0;
        const bool v4a = at(4) == 0 && at(5) == 0 && at(6) == 0 && at(7) != 0;
        if (!v4a)
            return userEnd + 1;
        const int hostEnd = d.indexOf('\0', userEnd + 1);
        return hostEnd < 0 ? 0 : hostEnd + 1;
    }
    case Request::Connect5: {
        if (n < 5)
            return 0;
        int total;
        switch (at(3)) {
        case 1: total = 10; break;
        case 3: total = 7 + at(4); break;
        case 4: total = 22; break;
        default: return n;  // unknown: take what is there
        }
        return n >= total ? total : 0;
    }
    }
    return 0;
}

void FakeSocksServer::OnReadyRead(Session& s)
{
    s.pending += s.client->readAll();
    if (s.target) {  // relaying, or waiting for the destination
        if (s.relaying) {
            s.target->write(s.pending);
            s.pending.clear();
        }
        return;
    }
    while (s.next < script_.size()) {
        const Step& step = script_[s.next];
        const int length = CompleteLength(step.request, s.pending);
        if (length == 0)
            return;
        const QByteArray request = s.pending.left(length);
        requests_.push_back(request);
        s.pending.remove(0, length);
        ++s.next;
        if (step.relay) {
            StartRelay(s, step, request);
            return;
        }
        if (!step.reply.isEmpty()) {
            s.client->write(step.reply);
            s.client->flush();
        }
        if (step.closeAfter) {
            s.client->disconnectFromHost();
            return;
        }
    }
    s.extra += s.pending;
    s.pending.clear();
}

void FakeSocksServer::StartRelay(Session& s, const Step& step, const QByteArray& request)
{
    const bool v4 = step.request == Request::Connect4;
    // Refusals in the client's protocol: 91 for version 4, "connection
    // refused" for version 5.
    const QByteArray refusal =
        v4 ? QByteArray("\x00\x5b\x00\x00\x00\x00\x00\x00", 8) : QByteArray("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10);
    QString host;
    quint16 port = 0;
    const QHostAddress address = Destination(step.request, request, host, port) ? ResolveIPv4(host) : QHostAddress();
    s.target = std::make_unique<QTcpSocket>();
    if (address.isNull()) {
        s.client->write(refusal);
        s.client->disconnectFromHost();
        return;
    }
    relayed_.push_back(host + QLatin1Char(':') + QString::number(port));
    Session* session = &s;
    QTcpSocket* target = s.target.get();
    QObject::connect(target, &QTcpSocket::connected, [session, reply = step.reply] {
        session->client->write(reply);
        session->relaying = true;
        if (!session->pending.isEmpty()) {  // the client did not wait for the grant
            session->target->write(session->pending);
            session->pending.clear();
        }
    });
    QObject::connect(target, &QTcpSocket::errorOccurred, [session, refusal](QAbstractSocket::SocketError) {
        if (!session->relaying) {
            session->client->write(refusal);
            session->client->disconnectFromHost();
        }
    });
    QObject::connect(target, &QTcpSocket::readyRead,
                     [session] { session->client->write(session->target->readAll()); });
    QObject::connect(target, &QTcpSocket::disconnected, [session] {
        session->client->write(session->target->readAll());
        session->client->disconnectFromHost();
    });
    target->connectToHost(address, port);
}

}  // namespace testsupport
