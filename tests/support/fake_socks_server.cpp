#include "tests/support/fake_socks_server.h"

#include <QHostAddress>

namespace testsupport {

FakeSocksServer::FakeSocksServer(std::vector<Step> script) : script_(std::move(script))
{
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
        QTcpSocket* s = server_.nextPendingConnection();
        if (!s)
            return;
        if (connection_) {  // one client per script
            s->abort();
            s->deleteLater();
            return;
        }
        s->setParent(nullptr);
        connection_.reset(s);
        QObject::connect(s, &QTcpSocket::readyRead, [this] { OnReadyRead(); });
    });
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

void FakeSocksServer::OnReadyRead()
{
    pending_ += connection_->readAll();
    while (next_ < script_.size()) {
        const Step& step = script_[next_];
        const int length = CompleteLength(step.request, pending_);
        if (length == 0)
            return;
        requests_.push_back(pending_.left(length));
        pending_.remove(0, length);
        ++next_;
        if (!step.reply.isEmpty()) {
            connection_->write(step.reply);
            connection_->flush();
        }
        if (step.closeAfter) {
            connection_->disconnectFromHost();
            return;
        }
    }
    extra_ += pending_;
    pending_.clear();
}

}  // namespace testsupport
