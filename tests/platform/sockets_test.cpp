// The sockets shim: readiness notices and their re-enabling rules, error
// numbers, lookups.
#include "platform/sockets.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <vector>

using namespace platform;
using testsupport::DrainEvents;
using testsupport::WaitUntil;

namespace {

constexpr std::uint32_t kMsg = WM_USER + 1;

struct Notice {
    SocketHandle s;
    std::uint16_t event;
    std::uint16_t error;
};

struct Notices {
    std::vector<Notice> got;
    NotifyWindow window{[this](Message& m) {
        got.push_back({SocketHandle(m.wParam), LoWord(m.lParam), HiWord(m.lParam)});
    }};
    int Count(std::uint16_t event) const
    {
        int n = 0;
        for (const Notice& x : got)
            n += x.event == event;
        return n;
    }
};

SockAddrIn Loopback(quint16 port)
{
    SockAddrIn a;
    a.sin_port = Htons(port);
    a.sin_addr = Htonl(0x7F000001);
    return a;
}

// A connected shim socket and the Qt peer on the other end.
struct Pair {
    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;
    SocketHandle s = kInvalidSocket;
    Notices n;

    bool Open()
    {
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        s = Socket(kAfInet, kSockStream, kIpProtoTcp);
        if (AsyncSelect(s, n.window.Handle(), kMsg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0)
            return false;
        if (Connect(s, Loopback(server.serverPort())) != 0 && WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        if (!WaitUntil([&] { return server.hasPendingConnections() && n.Count(FD_WRITE) == 1; }))
            return false;
        peer.reset(server.nextPendingConnection());
        peer->setParent(nullptr);
        return true;
    }
    ~Pair()
    {
        if (s != kInvalidSocket)
            CloseSocket(s);
    }
};

}  // namespace

TEST(SocketsShim, ConnectNoticeThenWriteNotice)
{
    Pair p;
    ASSERT_TRUE(p.Open());
    ASSERT_GE(p.n.got.size(), 2u);
    EXPECT_EQ(p.n.got[0].event, FD_CONNECT);
    EXPECT_EQ(p.n.got[0].error, 0);
    EXPECT_EQ(p.n.got[0].s, p.s);
    EXPECT_EQ(p.n.got[1].event, FD_WRITE);
}

TEST(SocketsShim, RefusedConnectIsANoticeWithTheError)
{
    Notices n;
    quint16 port;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
    }
    const SocketHandle s = Socket(kAfInet, kSockStream, kIpProtoTcp);
    ASSERT_EQ(AsyncSelect(s, n.window.Handle(), kMsg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
    EXPECT_EQ(Connect(s, Loopback(port)), kSocketError);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(WaitUntil([&] { return !n.got.empty(); }));
    DrainEvents();
    ASSERT_EQ(n.got.size(), 1u) << "no write or close notice for a failed connect";
    EXPECT_EQ(n.got[0].event, FD_CONNECT);
    EXPECT_EQ(n.got[0].error, WSAECONNREFUSED);
    EXPECT_EQ(CloseSocket(s), 0);
}

TEST(SocketsShim, OneReadNoticeUntilTheProgramReads)
{
    Pair p;
    ASSERT_TRUE(p.Open());
    p.n.got.clear();
    p.peer->write("one");
    p.peer->flush();
    ASSERT_TRUE(WaitUntil([&] { return p.n.Count(FD_READ) == 1; }));
    p.peer->write("two");
    p.peer->flush();
    unsigned long count = 0;
    ASSERT_TRUE(WaitUntil([&] { return IoctlFionRead(p.s, &count) == 0 && count == 6; }));
    DrainEvents();
    EXPECT_EQ(p.n.Count(FD_READ), 1);

    char buf[4];
    EXPECT_EQ(Recv(p.s, buf, 4, 0), 4);  // two bytes stay: a new notice
    ASSERT_TRUE(WaitUntil([&] { return p.n.Count(FD_READ) == 2; }));
    EXPECT_EQ(Recv(p.s, buf, 4, 0), 2);
    DrainEvents();
    EXPECT_EQ(p.n.Count(FD_READ), 2);
    EXPECT_EQ(Recv(p.s, buf, 4, 0), kSocketError);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    // A zero-length read tells an open connection from a closed one.
    EXPECT_EQ(Recv(p.s, buf, 0, 0), kSocketError);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST(SocketsShim, OrderlyCloseGivesOneCloseNotice)
{
    Pair p;
    ASSERT_TRUE(p.Open());
    p.n.got.clear();
    p.peer->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return p.n.Count(FD_CLOSE) == 1; }));
    char c;
    EXPECT_EQ(Recv(p.s, &c, 1, 0), 0);
    EXPECT_EQ(Recv(p.s, &c, 0, 0), 0);
    DrainEvents();
    EXPECT_EQ(p.n.Count(FD_CLOSE), 1);
    EXPECT_EQ(p.n.got.back().error, 0);
}

TEST(SocketsShim, WriteNoticeAfterWouldBlockDrains)
{
    Pair p;
    ASSERT_TRUE(p.Open());
    p.peer->setReadBufferSize(1);
    p.n.got.clear();
    std::vector<char> block(64 * 1024, 'x');
    qint64 sent = 0;
    for (;;) {
        const int r = Send(p.s, block.data(), int(block.size()), 0);
        if (r < 0) {
            ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
            break;
        }
        sent += r;
        ASSERT_LT(sent, 1LL << 30);
    }
    DrainEvents();
    EXPECT_EQ(p.n.Count(FD_WRITE), 0) << "no notice while the peer is not reading";
    p.peer->setReadBufferSize(0);
    qint64 got = 0;
    QObject::connect(p.peer.get(), &QTcpSocket::readyRead, [&] { got += p.peer->readAll().size(); });
    got += p.peer->readAll().size();
    ASSERT_TRUE(WaitUntil([&] { return p.n.Count(FD_WRITE) == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return got == sent; }));
    DrainEvents();
    EXPECT_EQ(p.n.Count(FD_WRITE), 1);
}

TEST(SocketsShim, OneAcceptNoticePerPendingConnection)
{
    Notices n;
    const SocketHandle l = Socket(kAfInet, kSockStream, kIpProtoTcp);
    ASSERT_EQ(Bind(l, Loopback(0)), 0);
    ASSERT_EQ(Listen(l, 5), 0);
    ASSERT_EQ(AsyncSelect(l, n.window.Handle(), kMsg, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE), 0);
    SockAddrIn bound;
    ASSERT_EQ(GetSockName(l, &bound), 0);
    QTcpSocket a;
    QTcpSocket b;
    a.connectToHost(QHostAddress::LocalHost, Ntohs(bound.sin_port));
    b.connectToHost(QHostAddress::LocalHost, Ntohs(bound.sin_port));
    ASSERT_TRUE(WaitUntil([&] {
        return a.state() == QAbstractSocket::ConnectedState && b.state() == QAbstractSocket::ConnectedState;
    }));
    ASSERT_TRUE(WaitUntil([&] { return n.Count(FD_ACCEPT) == 1; }));
    DrainEvents();
    EXPECT_EQ(n.Count(FD_ACCEPT), 1);

    SockAddrIn peer;
    const SocketHandle first = Accept(l, &peer);
    ASSERT_NE(first, kInvalidSocket);
    EXPECT_EQ(peer.sin_addr, Htonl(0x7F000001));
    ASSERT_TRUE(WaitUntil([&] { return n.Count(FD_ACCEPT) == 2; }));
    const SocketHandle second = Accept(l, nullptr);
    ASSERT_NE(second, kInvalidSocket);
    EXPECT_NE(first, second);
    EXPECT_EQ(Accept(l, nullptr), kInvalidSocket);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    DrainEvents();
    EXPECT_EQ(n.Count(FD_ACCEPT), 2);
    for (SocketHandle s : {first, second, l})
        EXPECT_EQ(CloseSocket(s), 0);
}

TEST(SocketsShim, ErrorsAreTheSocketsNumbers)
{
    const SocketHandle s = Socket(kAfInet, kSockStream, kIpProtoTcp);
    ASSERT_NE(s, kInvalidSocket);
    EXPECT_EQ(Send(s, "x", 1, 0), kSocketError);
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
    SockAddrIn peer;
    EXPECT_EQ(GetPeerName(s, &peer), kSocketError);
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);

    QTcpServer taken;
    taken.listen(QHostAddress::LocalHost, 0);
    EXPECT_EQ(Bind(s, Loopback(taken.serverPort())), kSocketError);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    EXPECT_EQ(CloseSocket(s), 0);

    // Closed handles are not valid again, and are not handed out again.
    EXPECT_EQ(CloseSocket(s), kSocketError);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    const SocketHandle next = Socket(kAfInet, kSockStream, kIpProtoTcp);
    EXPECT_NE(next, s);
    CloseSocket(next);
    EXPECT_EQ(Socket(7, kSockStream, 0), kInvalidSocket);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
}

TEST(SocketsShim, AddressTextAndDatabaseLookups)
{
    EXPECT_EQ(InetAddr(QStringLiteral("127.0.0.1")), Htonl(0x7F000001));
    EXPECT_EQ(InetAddr(QStringLiteral("nonsense")), kInAddrNone);
    EXPECT_EQ(InetNtoa(Htonl(0xC0A80001)), QStringLiteral("192.168.0.1"));
    std::uint16_t port = 0;
    ASSERT_TRUE(GetServByName(QStringLiteral("ftp"), QStringLiteral("tcp"), &port));
    EXPECT_EQ(Ntohs(port), 21);
    EXPECT_FALSE(GetServByName(QStringLiteral("nosuchservice"), QStringLiteral("tcp"), &port));
    EXPECT_EQ(WSAGetLastError(), WSANO_DATA);
    int proto = 0;
    ASSERT_TRUE(GetProtoByName(QStringLiteral("udp"), &proto));
    EXPECT_EQ(proto, 17);
    std::uint32_t a = 0;
    EXPECT_FALSE(GetHostByName(QStringLiteral("nosuchhost.invalid"), &a));
    EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
}

TEST(SocketsShim, AsyncLookupPostsItsHandleAndKeepsTheResultUntilTaken)
{
    std::vector<Message> got;
    NotifyWindow w([&](Message& m) { got.push_back(m); });
    const LookupHandle h = AsyncGetHostByName(w.Handle(), kMsg, QStringLiteral("localhost"));
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(WaitUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got[0].wParam, WPARAM(h));
    EXPECT_EQ(HiWord(got[0].lParam), 0);
    HostEntry e;
    ASSERT_TRUE(TakeLookupResult(h, &e));
    ASSERT_FALSE(e.addresses.empty());
    EXPECT_EQ(e.addresses[0], Htonl(0x7F000001));
    EXPECT_FALSE(TakeLookupResult(h, &e)) << "taken once";
    EXPECT_EQ(CancelAsyncRequest(h), kSocketError);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);

    const LookupHandle r = AsyncGetHostByAddr(w.Handle(), kMsg, Htonl(0x7F000001));
    ASSERT_NE(r, h);
    ASSERT_TRUE(WaitUntil([&] { return got.size() == 2; }));
    ASSERT_TRUE(TakeLookupResult(r, &e));
    EXPECT_EQ(e.name, QStringLiteral("localhost"));

    const LookupHandle c = AsyncGetHostByName(w.Handle(), kMsg, QStringLiteral("localhost"));
    EXPECT_EQ(CancelAsyncRequest(c), 0);
    EXPECT_FALSE(TakeLookupResult(c, &e));
    EXPECT_EQ(AsyncGetHostByName(0, kMsg, QStringLiteral("localhost")), 0u);
}
