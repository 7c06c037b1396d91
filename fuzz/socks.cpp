// A SOCKS proxy answering with arbitrary bytes, in pieces of any size: the
// method reply, the user-code reply and the connect reply of SOCKS 5, and the
// connect reply of SOCKS 4 and 4A. After a grant, the bytes behind the reply
// are the peer's first data and must reach the owner unchanged and once.

#include "fuzz/fuzz_support.h"
#include "fuzz/socket_feed.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::EnsureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input in(data, size);
    const int levelChoice = in.Range(0, 2);
    const bool usercode = in.Bool();
    const QString level = levelChoice == 0 ? QStringLiteral("4") : levelChoice == 1 ? QStringLiteral("4A") : QStringLiteral("5");
    const QString user = QString::fromLatin1(in.Bytes(std::size_t(in.Range(0, 20))));
    const QString password = QString::fromLatin1(in.Bytes(std::size_t(in.Range(0, 20))));
    const QString host = levelChoice == 0 ? QStringLiteral("10.0.0.1") : QStringLiteral("camera.example");

    int connected = 0;
    int closed = 0;
    QByteArray owned;  // what the owner received after the grant
    {
        fuzz::FeedSocket s;
        if (!s.Open())
            return 0;
        s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { ++connected; };
        s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++closed; };
        s.OnDataAvailable = [&](TCustomWSocket* sock, std::uint16_t) {
            char buf[64];
            const int n = sock->Receive(buf, int(sizeof buf));
            if (n > 0)
                owned.append(buf, n);
        };
        s.BeginSocks(level, usercode, user, password, host, 8080);
        FUZZ_CHECK(!s.TakeSent(true).isEmpty());  // the first request went out

        QByteArray fed;
        while (!in.Empty() && s.IsOpen()) {
            const QByteArray piece = in.Bytes(std::size_t(in.Range(1, 16)));
            fed += piece;
            s.Feed(piece);
            s.TakeSent();
        }
        FUZZ_CHECK(connected <= 1);
        FUZZ_CHECK(owned.size() <= fed.size());
        // The owner's data is a tail of what the proxy sent.
        if (s.SocksIdle() && connected == 1 && s.IsOpen())
            FUZZ_CHECK(fed.endsWith(owned));
        s.PeerClose();
        FUZZ_CHECK(closed <= 1);
        FUZZ_CHECK(s.SocksReplyCount() <= 127);
    }
    fuzz::PumpPosted();
    return 0;
}
