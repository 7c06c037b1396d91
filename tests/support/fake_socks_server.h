#pragma once
// A scripted SOCKS proxy on 127.0.0.1, port 0: for each expected request it
// waits until the whole request has arrived, records it, and answers with the
// canned bytes (which may carry application data behind the reply), or closes.

#include <QByteArray>
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
    };

    explicit FakeSocksServer(std::vector<Step> script);

    bool Listening() const { return server_.isListening(); }
    QString Port() const { return QString::number(server_.serverPort()); }
    // Complete requests as received, one per step done.
    const std::vector<QByteArray>& Requests() const { return requests_; }
    // Bytes that arrived after the script ran out.
    const QByteArray& Extra() const { return extra_; }
    QTcpSocket* Connection() const { return connection_.get(); }
    bool ScriptDone() const { return next_ >= script_.size(); }

    // Length of a complete request of this kind at the front of data; 0 when
    // more bytes are needed.
    static int CompleteLength(Request kind, const QByteArray& data);

private:
    void OnReadyRead();

    QTcpServer server_;
    std::unique_ptr<QTcpSocket> connection_;
    std::vector<Step> script_;
    std::size_t next_ = 0;
    QByteArray pending_;
    QByteArray extra_;
    std::vector<QByteArray> requests_;
};

}  // namespace testsupport
