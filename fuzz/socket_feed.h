#pragma once
// A socket component on a real loopback connection whose far end the fuzz
// target writes: bytes reach the layers through the same receive path a
// read notice takes (DrainReceive -> FireDataAvailable -> RawReceive).

#include "net/WSocket.h"

#include <QByteArray>

namespace fuzz {

class FeedSocket : public TWSocket
{
public:
    FeedSocket();
    ~FeedSocket() override;

    // Connects a fresh loopback pair and hands our end to the component.
    bool Open();
    bool IsOpen() const { return hSocket_ != INVALID_SOCKET; }
    // Writes bytes at the far end and runs the read path as a notice would.
    void Feed(const QByteArray& bytes);
    // The far end closes: what is buffered is offered, then the close reported.
    void PeerClose();
    // Everything the component sent to the far end so far; with waitForSome,
    // waits (up to 5 s) for at least one byte first.
    QByteArray TakeSent(bool waitForSome = false);

    // SOCKS: the state a Connect through a proxy leaves before the proxy answers.
    void BeginSocks(const QString& level, bool usercode, const QString& user, const QString& password,
                    const QString& host, std::uint16_t port);
    bool SocksIdle() const { return socksPhase_ == socksPhaseIdle; }
    int SocksReplyCount() const { return socksReplyCount_; }

private:
    int peer_ = -1;
};

// Delivers what the component posted to itself (line data pending notices).
void PumpPosted();

}  // namespace fuzz
