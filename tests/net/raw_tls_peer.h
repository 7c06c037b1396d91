#pragma once
// A TLS server for one connection, on its own thread and written against
// OpenSSL directly, so that a test decides what goes on the wire after the
// handshake: an end without the close notice, a clean end, a renegotiation.
// What it saw is read after Join().

#include <QString>

#include <string>
#include <thread>

namespace nettest {

class RawTlsPeer
{
public:
    enum class Act {
        BareEnd,      // FIN without a close notice, then reads on
        CleanEnd,     // the close notice and FIN, then reads on
        Renegotiate,  // TLS 1.2 only: asks the client to renegotiate, then reads on;
                      // a refusal ends it with an alert and a graceful close
        RenegotiateThenReset,  // the same, but a refusal ends it with a reset
    };

    // Acts once `after` plain bytes have arrived; certificate: a name of
    // TlsCertificates.
    RawTlsPeer(Act act, long long after, const QString& certificate);
    ~RawTlsPeer();
    RawTlsPeer(const RawTlsPeer&) = delete;
    RawTlsPeer& operator=(const RawTlsPeer&) = delete;

    QString PortText() const { return QString::number(port_); }
    void Join();

    // Valid after Join().
    bool closeNoticeSeen = false;  // the client ended with its close notice
    std::string failure;           // the server side's error, if any

private:
    void Serve(Act act, long long after, const std::string& cert, const std::string& key);

    int listener_ = -1;
    unsigned short port_ = 0;
    std::thread thread_;
};

}  // namespace nettest
