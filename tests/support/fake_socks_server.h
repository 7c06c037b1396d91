#pragma once
// A scripted SOCKS proxy on 127.0.0.1, port 0: for each expected request it
// waits until the whole request has arrived, records it, and answers with the
// canned bytes (which may carry application data behind the reply), or closes.
//
// A connect step marked relay works like a real proxy: it resolves and opens
// the requested destination itself (a 4A request's name included), answers
// with the step's reply once that connection is up (or with a refusal when it
// fails) and then pumps bytes both ways until either side closes. A server
// built with Clients::Each runs its script afresh for every connection, so
// one proxy can carry a control and a data connection.

#include <QByteArray>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <vector>

namespace testsupport {

class FakeSocksServer
{
public:
    enum class Request {
        Methods,   // 05, n, n methods
        Auth,      // 01, ulen, user, plen, password
        Connect4,  // 04, 01, port, address, user, 00 [, host, 00 for 4A]
        Connect5,  // 05, 01, 00, type, address, port
    };
    struct Step {
        Request request;
        QByteArray reply;
        bool closeAfter = false;  // close instead of (or after) replying
        bool relay = false;       // connect steps: reach the destination and relay
    };
    enum class Clients {
        One,   // one client; further connections are refused
        Each,  // every connection runs the script from its start
    };

    explicit FakeSocksServer(std::vector<Step> script, Clients clients = Clients::One);
    ~FakeSocksServer();

    FakeSocksServer(const FakeSocksServer&) = delete;
    FakeSocksServer& operator=(const FakeSocksServer&) = delete;

    bool Listening() const { return server_.isListening(); }
    QString Port() const { return QString::number(server_.serverPort()); }
    // Complete requests as received, one per step done, over all connections.
    const std::vector<QByteArray>& Requests() const { return requests_; }
    // Destinations that relay steps connected to, as "host:port" with the host
    // as the request gave it (name or dotted).
    const std::vector<QString>& Relayed() const { return relayed_; }
    // Bytes that arrived on the first connection after its script ran out.
    const QByteArray& Extra() const;
    // The first connection.
    QTcpSocket* Connection() const;
    bool ScriptDone() const;
    int Connections() const { return int(sessions_.size()); }

    // Length of a complete request of this kind at the front of data; 0 when
    // more bytes are needed.
    static int CompleteLength(Request kind, const QByteArray& data);

private:
    struct Session {
        std::unique_ptr<QTcpSocket> client;
        std::unique_ptr<QTcpSocket> target;
        std::size_t next = 0;
        QByteArray pending;
        QByteArray extra;
        bool relaying = false;  // the destination is up; bytes are pumped
    };

    void OnReadyRead(Session& s);
    void StartRelay(Session& s, const Step& step, const QByteArray& request);

    QTcpServer server_;
    Clients clients_;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::vector<Step> script_;
    std::vector<QByteArray> requests_;
    std::vector<QString> relayed_;
};

}  // namespace testsupport
