// The socket component against real loopback peers.
#include "net/WSocket.h"
#include "tests/net/loopback.h"

#include <gtest/gtest.h>

#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <stdexcept>

using namespace nettest;
using testsupport::DrainEvents;

namespace {

using Log = std::vector<std::string>;

std::string Text(const std::exception& e)
{
    if (auto* x = dynamic_cast<const Exception*>(&e))
        return x->Message().toStdString();
    return e.what();
}

}  // namespace

// ---------------------------------------------------------------------------
// Connect and close

TEST(WSocketConnect, RefusedConnectReportsInOrderThenCloses)
{
    TWSocket s;
    EventLog ev;
    ev.Attach(s);
    s.SetAddr(QStringLiteral("127.0.0.1"));
    s.SetPort(RefusingPort());
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);
    ASSERT_TRUE(WaitUntil([&] { return ev.closed == 1; }));
    DrainEvents();
    const Log expected = {"state 7->1", "state 1->3", "state 3->4", "connected 10061", "state 4->7", "closed 0"};
    EXPECT_EQ(ev.log, expected);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), INVALID_SOCKET);
}

TEST(WSocketConnect, CloseResetsPerConnectionSettings)
{
    LoopbackServer server;
    ASSERT_TRUE(server.Listening());
    TWSocket s;
    s.SetComponentOptions({wsoNoReceiveLoop});
    s.SetLingerOnOff(wsLingerOff);
    ASSERT_TRUE(ConnectTo(s, server));
    EXPECT_EQ(s.PeerAddr(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(s.PeerPort(), server.Port());
    EXPECT_EQ(s.GetBoundAddr(), QStringLiteral("127.0.0.1"));
    s.Close();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.PeerAddr(), QStringLiteral("error"));
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.Proto(), QStringLiteral("tcp"));
    EXPECT_EQ(s.LocalAddr(), QStringLiteral("0.0.0.0"));
    EXPECT_TRUE(s.ComponentOptions().Contains(wsoNoReceiveLoop)) << "options survive a close";
    ASSERT_TRUE(server.clients[0]->socket->waitForDisconnected(5000) || server.clients[0]->disconnected);

    // The texts stay but count as unassigned until assigned again.
    EXPECT_EQ(s.Addr(), QStringLiteral("127.0.0.1"));
    try {
        s.Connect();
        FAIL() << "Connect without a new Port must fail";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Connect: No Port Specified"));
    }
    s.SetPort(server.Port());
    try {
        s.Connect();
        FAIL() << "Connect without a new Addr must fail";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Connect: No IP Address Specified"));
    }
    s.SetAddr(QStringLiteral("127.0.0.1"));  // the same text assigns again
    s.Connect();
    EXPECT_TRUE(WaitUntil([&] { return s.State() == wsConnected && server.clients.size() == 2; }));
}

TEST(WSocketConnect, SettersRefuseWhileOpen)
{
    LoopbackServer server;
    TWSocket s;
    ASSERT_TRUE(ConnectTo(s, server));
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { s.SetAddr(QStringLiteral("10.0.0.1")); }, "Cannot change Addr if not closed"},
        {[&] { s.SetPort(QStringLiteral("21")); }, "Cannot change Port if not closed"},
        {[&] { s.SetProto(QStringLiteral("udp")); }, "Cannot change Proto if not closed"},
        {[&] { s.SetLocalAddr(QString()); }, "Cannot change LocalAddr if not closed"},
        {[&] { s.SetLocalPort(QStringLiteral("0")); }, "Cannot change LocalPort if not closed"},
        {[&] { s.SetSocksServer(QStringLiteral("proxy")); }, "Can't change socks server if not closed"},
        {[&] { s.SetSocksPort(QStringLiteral("1080")); }, "Can't change socks port if not closed"},
        {[&] { s.SetSocksLevel(QStringLiteral("4")); }, "Can't change socks level if not closed"},
        {[&] { s.Connect(); }, "Connect: Socket already in use"},
    };
    for (const auto& [call, text] : cases) {
        try {
            call();
            ADD_FAILURE() << "no refusal: " << text;
        } catch (const ESocketException& e) {
            EXPECT_EQ(e.Message().toStdString(), text);
        }
    }
    EXPECT_EQ(s.State(), wsConnected);
}

TEST(WSocketConnect, SocksPropertiesValidateAndResetAfterClose)
{
    TWSocket s;
    s.SetSocksLevel(QStringLiteral("4a"));
    EXPECT_EQ(s.SocksLevel(), QStringLiteral("4A"));
    try {
        s.SetSocksLevel(QStringLiteral("6"));
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Invalid socks level. Must be 4, 4A or 5."));
    }
    s.SetSocksServer(QStringLiteral(" proxy.example "));
    EXPECT_EQ(s.SocksServer(), QStringLiteral("proxy.example"));
    s.SetPort(QStringLiteral("0"));
    s.SetAddr(QStringLiteral("127.0.0.1"));
    try {
        s.Listen();
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Listening is not supported thru socks server"));
    }
}

// ---------------------------------------------------------------------------
// Sending

TEST(WSocketSend, BlocksOf1460ThenOneDataSentFromTheLoop)
{
    LoopbackServer server;
    TWSocket s;
    EventLog ev;
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(s, server, &ev));
    ev.dataSent = 0;
    ev.sendData.clear();

    const QByteArray data = Pattern(3000);
    EXPECT_EQ(s.Send(data.constData(), int(data.size())), 3000);
    EXPECT_EQ(ev.sendData, (std::vector<int>{1460, 1460, 80}));
    EXPECT_EQ(ev.dataSent, 0) << "OnDataSent must not fire inside Send";
    ASSERT_TRUE(WaitUntil([&] { return ev.dataSent == 1 && server.clients[0]->received.size() == 3000; }));
    DrainEvents();
    EXPECT_EQ(ev.dataSent, 1);
    EXPECT_EQ(server.clients[0]->received, data);

    // An empty send still ends in one OnDataSent from the loop.
    EXPECT_EQ(s.Send(nullptr, 0), 0);
    EXPECT_EQ(ev.dataSent, 1);
    ASSERT_TRUE(WaitUntil([&] { return ev.dataSent == 2; }));
}

// A bulk sender's larger blocks: one send call per block, still one notice.
TEST(WSocketSend, LargerBlocksMeanFewerSendCalls)
{
    LoopbackServer server;
    TWSocket s;
    EventLog ev;
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(s, server, &ev));
    s.SetBlockSize(2048);
    ev.dataSent = 0;
    ev.sendData.clear();

    const QByteArray data = Pattern(3000);
    EXPECT_EQ(s.Send(data.constData(), int(data.size())), 3000);
    EXPECT_EQ(ev.sendData, (std::vector<int>{2048, 952}));
    ASSERT_TRUE(WaitUntil([&] { return ev.dataSent == 1 && server.clients[0]->received.size() == 3000; }));
    EXPECT_EQ(server.clients[0]->received, data);
}

TEST(WSocketSend, SendingAgainFromOnDataSentDoesNotRecurse)
{
    LoopbackServer server;
    TWSocket s;
    EventLog ev;
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(s, server, &ev));
    int depth = 0;
    int rounds = 0;
    QByteArray expected;
    s.OnDataSent = [&](TCustomWSocket* sender, std::uint16_t) {
        ++depth;
        EXPECT_EQ(depth, 1);
        if (rounds < 5) {
            const QByteArray chunk = Pattern(5000, unsigned(rounds));
            expected += chunk;
            ++rounds;
            sender->Send(chunk);
        }
        --depth;
    };
    s.Send(nullptr, 0);
    ASSERT_TRUE(WaitUntil([&] { return server.clients[0]->received.size() == 25000; }));
    EXPECT_EQ(server.clients[0]->received, expected);
}

TEST(WSocketSend, PartialSendResumesOnTheNextWriteNotice)
{
    LoopbackServer server(/*readBufferSize=*/4096);
    TWSocket s;
    EventLog ev;
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(s, server, &ev));
    ev.dataSent = 0;
    LoopbackServer::Client* peer = server.clients[0].get();
    server.autoRead = false;

    const QByteArray data = Pattern(32 * 1024 * 1024, 7);
    EXPECT_EQ(s.Send(data), data.size()) << "Send accepts everything";
    qint64 taken = 0;
    for (int n : ev.sendData)
        taken += n;
    EXPECT_LT(taken, data.size()) << "the kernel cannot hold 32 MB for a peer that does not read";
    EXPECT_FALSE(s.AllSent());
    DrainEvents();
    EXPECT_EQ(ev.dataSent, 0);

    // The peer reads again: the queue drains through write notices.
    server.autoRead = true;
    peer->socket->setReadBufferSize(0);
    peer->received += peer->socket->readAll();
    ASSERT_TRUE(WaitUntil([&] { return peer->received.size() == data.size() && ev.dataSent == 1; }, 30000))
        << peer->received.size();
    EXPECT_TRUE(peer->received == data);
    EXPECT_TRUE(s.AllSent());
}

TEST(WSocketSend, SendWhenNotConnectedRaisesOrReports)
{
    TWSocket s;
    try {
        s.Send("x", 1);
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Error 10057 in function Send\r\nSocket is not connected"));
    }
    EXPECT_EQ(s.LastError(), 10057);

    int errors = 0;
    s.OnError = [&](TCustomWSocket*) { ++errors; };
    EXPECT_EQ(s.Send("x", 1), -1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 10057);
}

TEST(WSocketSend, PeerResetMidSendClosesOnceWith10054)
{
    LoopbackServer server(/*readBufferSize=*/4096);
    TWSocket s;
    EventLog ev;
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(s, server, &ev));
    server.autoRead = false;
    s.Send(Pattern(32 * 1024 * 1024));
    ASSERT_FALSE(s.AllSent());

    ResetPeer(server.clients[0]->socket.get(), {});

    ASSERT_TRUE(WaitUntil([&] { return ev.closed >= 1; }));
    DrainEvents();
    // Either the failing send or the close notice sees the reset first.
    EXPECT_EQ(ev.closed, 1);
    EXPECT_EQ(std::count(ev.log.begin(), ev.log.end(), "closed 10054"), 1);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), INVALID_SOCKET);
}

// ---------------------------------------------------------------------------
// Receiving

TEST(WSocketReceive, ResetPeerReportsSessionClosed10054Once)
{
    LoopbackServer server;
    TWSocket s;
    EventLog ev;
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(s, server, &ev));
    ResetPeer(server.clients[0]->socket.get(), {});
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
    DrainEvents();
    EXPECT_EQ(ev.closed, 1);
    // The close notice reports first, then the object closes.
    const Log tail(ev.log.end() - 2, ev.log.end());
    EXPECT_EQ(tail, (Log{"closed 10054", "state 4->7"}));
}

TEST(WSocketReceive, OrderlyCloseDeliversDataThenClosesOnce)
{
    LoopbackServer server;
    TWSocket s;
    EventLog ev;
    ev.Attach(s);
    QByteArray got;
    s.OnDataAvailable = CollectInto(got, 700);
    ASSERT_TRUE(ConnectTo(s, server, &ev));
    const QByteArray data = Pattern(100000, 3);
    server.clients[0]->socket->write(data);
    server.clients[0]->socket->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return ev.closed == 1; }));
    DrainEvents();
    EXPECT_EQ(got, data);
    EXPECT_EQ(s.ReadCount(), 0) << "reset after the close";
    EXPECT_EQ(ev.closed, 1);
    const Log tail(ev.log.end() - 2, ev.log.end());
    EXPECT_EQ(tail, (Log{"closed 0", "state 4->7"}));
}

TEST(WSocketReceive, WithoutHandlerDataIsDiscarded)
{
    LoopbackServer server;
    TWSocket s;
    ASSERT_TRUE(ConnectTo(s, server));
    server.clients[0]->socket->write(Pattern(5000));
    server.clients[0]->socket->flush();
    // Wait until the bytes have come and gone again.
    ASSERT_TRUE(WaitUntil([&] { return server.clients[0]->socket->bytesToWrite() == 0; }));
    DrainEvents();
    ASSERT_TRUE(WaitUntil([&] { return s.RcvdCount() == 0; }));

    QByteArray got;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) { got += sender->ReceiveText().toLatin1(); };
    server.clients[0]->socket->write("after");
    ASSERT_TRUE(WaitUntil([&] { return got.size() >= 5; }));
    EXPECT_EQ(got, QByteArray("after"));
    EXPECT_EQ(s.ReadCount(), 5);
}

// Handler calls before the event loop ran once, for one burst of data.
static int CallsInFirstNotice(TWSocketOptions options)
{
    LoopbackServer server;
    TWSocket s;
    s.SetComponentOptions(options);
    EventLog ev;
    ev.Attach(s);
    if (!ConnectTo(s, server, &ev))
        return -1;
    bool loopRan = false;
    int callsBeforeLoop = 0;
    int total = 0;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        char buf[100];
        total += std::max(0, sender->Receive(buf, sizeof buf));
        if (!loopRan)
            ++callsBeforeLoop;
        // Bound to the socket: a timer still pending at return must not fire.
        QTimer::singleShot(0, &s, [&] { loopRan = true; });
    };
    server.clients[0]->socket->write(Pattern(3000));
    if (!WaitUntil([&] { return total == 3000; }))
        return -2;
    return callsBeforeLoop;
}

TEST(WSocketReceive, ReceiveLoopDrainsOneNoticeWithoutNoReceiveLoopOneCall)
{
    EXPECT_GT(CallsInFirstNotice({}), 1);
    EXPECT_EQ(CallsInFirstNotice({wsoNoReceiveLoop}), 1);
}

TEST(WSocketReceive, NoReceiveLoopStillGetsEverythingBeforeTheClose)
{
    LoopbackServer server;
    TWSocket s;
    s.SetComponentOptions({wsoNoReceiveLoop});
    EventLog ev;
    ev.Attach(s);
    int atClose = -1;
    int total = 0;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        char buf[100];
        total += std::max(0, sender->Receive(buf, sizeof buf));
    };
    s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { atClose = total; };
    ASSERT_TRUE(ConnectTo(s, server, &ev));
    server.clients[0]->socket->write(Pattern(3000));
    server.clients[0]->socket->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return atClose >= 0; }));
    EXPECT_EQ(atClose, 3000);
}

TEST(WSocketReceive, PausedNoticesAreDroppedAndResumeDelivers)
{
    LoopbackServer server;
    TWSocket s;
    EventLog ev;
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(s, server, &ev));
    QByteArray got;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) { got += sender->ReceiveText().toLatin1(); };

    s.Pause();
    EXPECT_TRUE(s.Paused());
    server.clients[0]->socket->write("abc");
    ASSERT_TRUE(WaitUntil([&] { return s.RcvdCount() == 3; }));
    // A notice already queued is dropped too.
    platform::PostMessage(s.Handle(), WM_SOCKET_EVENT, platform::WPARAM(s.HSocket()),
                          platform::MakeLParam(platform::FD_READ, 0));
    DrainEvents();
    EXPECT_TRUE(got.isEmpty());

    s.Resume();
    ASSERT_TRUE(WaitUntil([&] { return got == "abc"; }));
}

TEST(WSocketReceive, StaleHandleNoticeChangesNothing)
{
    LoopbackServer server;
    TWSocket s;
    EventLog ev;
    ev.Attach(s, /*withDataAvailable=*/true);
    ASSERT_TRUE(ConnectTo(s, server, &ev));
    const TSocket old = s.HSocket();
    s.Close();
    s.SetAddr(QStringLiteral("127.0.0.1"));
    s.SetPort(server.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
    DrainEvents();
    ASSERT_NE(s.HSocket(), old);
    const Log before = ev.log;
    const int sentBefore = ev.dataSent;
    using platform::MakeLParam;
    const std::uint16_t all = platform::FD_READ | platform::FD_WRITE | platform::FD_CONNECT | platform::FD_CLOSE;
    platform::PostMessage(s.Handle(), WM_SOCKET_EVENT, platform::WPARAM(old), MakeLParam(all, 10054));
    DrainEvents();
    EXPECT_EQ(ev.log, before);
    EXPECT_EQ(ev.dataSent, sentBefore);
    EXPECT_EQ(s.State(), wsConnected);
}

// ---------------------------------------------------------------------------
// Listening, accepting, adopting

TEST(WSocketListen, AcceptCloseAndDupIntoTheSameObject)
{
    TWSocket srv;
    srv.SetAddr(QStringLiteral("127.0.0.1"));
    srv.SetPort(QStringLiteral("0"));
    EventLog ev;
    ev.Attach(srv);
    TSocket accepted = INVALID_SOCKET;
    srv.OnSessionAvailable = [&](TCustomWSocket* sender, std::uint16_t error) {
        EXPECT_EQ(error, 0);
        accepted = sender->Accept();
    };
    srv.Listen();
    EXPECT_EQ(srv.State(), wsListening);
    const QString port = srv.GetBoundPort();
    ASSERT_NE(port, QStringLiteral("0"));
    TSockAddrIn name;
    int nameLength = 0;
    ASSERT_EQ(srv.GetSockName(name, nameLength), 0);
    EXPECT_EQ(nameLength, 16);
    EXPECT_EQ(QString::number(platform::Ntohs(name.sin_port)), port);

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port.toUShort());
    ASSERT_TRUE(WaitUntil([&] { return accepted != INVALID_SOCKET; }));
    EXPECT_EQ(srv.LastAcceptedSocket(), accepted);
    EXPECT_EQ(platform::InetNtoa(srv.sin().sin_addr), QStringLiteral("127.0.0.1")) << "Accept stores the peer";

    srv.Close();
    EXPECT_EQ(srv.State(), wsClosed);
    srv.Dup(accepted);
    EXPECT_EQ(srv.State(), wsConnected);
    EXPECT_EQ(srv.HSocket(), accepted);
    EXPECT_EQ(srv.PeerPort(), QString::number(client.localPort()));

    QByteArray got;
    srv.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) { got += sender->ReceiveText().toLatin1(); };
    client.write("ping");
    ASSERT_TRUE(WaitUntil([&] { return got == "ping"; }));
    srv.SendText(QStringLiteral("pong"));
    ASSERT_TRUE(WaitUntil([&] { return client.bytesAvailable() >= 4; }));
    EXPECT_EQ(client.readAll(), QByteArray("pong"));

    client.disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return srv.State() == wsClosed; }));
    EXPECT_EQ(ev.closed, 2);
}

TEST(WSocketListen, TwoPendingConnectionsGiveTwoAcceptNotices)
{
    TWSocket srv;
    srv.SetAddr(QStringLiteral("127.0.0.1"));
    srv.SetPort(QStringLiteral("0"));
    std::vector<std::unique_ptr<TWSocket>> sessions;
    srv.OnSessionAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        auto session = std::make_unique<TWSocket>();
        session->Dup(sender->Accept());
        sessions.push_back(std::move(session));
    };
    srv.Listen();
    QTcpSocket a;
    QTcpSocket b;
    a.connectToHost(QHostAddress::LocalHost, srv.GetBoundPort().toUShort());
    b.connectToHost(QHostAddress::LocalHost, srv.GetBoundPort().toUShort());
    ASSERT_TRUE(WaitUntil([&] { return sessions.size() == 2; }));
    DrainEvents();
    EXPECT_EQ(sessions.size(), 2u);
    for (auto& session : sessions)
        EXPECT_EQ(session->State(), wsConnected);
}

TEST(WSocketListen, MisuseIsReportedWithItsText)
{
    TWSocket s;
    try {
        s.Accept();
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Error 10022 in function not a listening socket\r\nInvalid argument"));
    }
    try {
        s.Listen();
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Error 10022 in function listen: port not assigned\r\nInvalid argument"));
    }
    try {
        s.Dup(INVALID_SOCKET);
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Error 10022 in function Dup\r\nInvalid argument"));
    }

    // A port already taken: the bind fails and the handle is not kept.
    LoopbackServer taken;
    s.SetAddr(QStringLiteral("127.0.0.1"));
    s.SetPort(taken.Port());
    int errors = 0;
    s.OnError = [&](TCustomWSocket*) { ++errors; };
    s.Listen();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 10048);
    EXPECT_EQ(s.HSocket(), INVALID_SOCKET);
    EXPECT_EQ(s.State(), wsClosed);
}

// ---------------------------------------------------------------------------
// Errors raised inside notifications

TEST(WSocketErrors, HandlerExceptionGoesToBackgroundErrorAndAborts)
{
    LoopbackServer server;
    TWSocket s;
    std::string seen;
    s.OnSessionConnected = [](TCustomWSocket*, std::uint16_t) { throw std::runtime_error("handler failed"); };
    s.OnBgException = [&](TCustomWSocket*, const std::exception& e, bool& canClose) {
        seen = Text(e);
        EXPECT_TRUE(canClose);
    };
    s.SetAddr(QStringLiteral("127.0.0.1"));
    s.SetPort(server.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "handler failed");
    EXPECT_EQ(s.State(), wsClosed) << "the default outcome is Abort";
}

TEST(WSocketErrors, BackgroundErrorCanKeepTheConnection)
{
    LoopbackServer server;
    TWSocket s;
    ASSERT_TRUE(ConnectTo(s, server));
    std::string seen;
    s.OnBgException = [&](TCustomWSocket*, const std::exception& e, bool& canClose) {
        seen = Text(e);
        canClose = false;
        throw std::runtime_error("swallowed");
    };
    s.OnDataAvailable = [](TCustomWSocket* x, std::uint16_t) {
        char c;
        x->Receive(&c, 1);
        throw ESocketException(QStringLiteral("handler failed"));
    };
    server.clients[0]->socket->write("x");
    ASSERT_TRUE(WaitUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "handler failed");
    EXPECT_EQ(s.State(), wsConnected);
}

TEST(WSocketErrors, CloseLaterAndFreeLaterActFromTheLoop)
{
    LoopbackServer server;
    auto* s = new TWSocket;
    QPointer<TWSocket> alive(s);
    ASSERT_TRUE(ConnectTo(*s, server));
    const int live = LiveSocketCount();
    s->CloseLater();
    EXPECT_EQ(s->State(), wsConnected);
    ASSERT_TRUE(WaitUntil([&] { return s->State() == wsClosed; }));
    s->FreeLater();
    ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));
    EXPECT_EQ(LiveSocketCount(), live - 1);
}

// ---------------------------------------------------------------------------
// Waiting operations and datagrams

TEST(WSocketWait, FlushReturnsOnceTheQueueHasLeft)
{
    LoopbackServer server;
    TWSocket s;
    ASSERT_TRUE(ConnectTo(s, server));
    const QByteArray data = Pattern(8 * 1024 * 1024, 5);
    s.Send(data);
    s.Flush();
    EXPECT_TRUE(s.AllSent());
    ASSERT_TRUE(WaitUntil([&] { return server.clients[0]->received.size() == data.size(); }));
    EXPECT_TRUE(server.clients[0]->received == data);
}

TEST(WSocketWait, WaitUntilClosedDeliversDataUntilThePeerCloses)
{
    LoopbackServer server;
    TWSocket s;
    EventLog ev;
    ev.Attach(s);
    QByteArray got;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) { got += sender->ReceiveText().toLatin1(); };
    ASSERT_TRUE(ConnectTo(s, server, &ev));
    QTcpSocket* peer = server.clients[0]->socket.get();
    peer->write("last words");
    QTimer::singleShot(50, peer, [peer] { peer->disconnectFromHost(); });
    s.WaitUntilClosed();
    // Returns once the peer's close is seen; its notice follows from the loop.
    EXPECT_EQ(got, QByteArray("last words"));
    ASSERT_TRUE(WaitUntil([&] { return ev.closed == 1; }));
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketDatagram, ListenAndConnectWithoutAHandshake)
{
    TWSocket receiver;
    EventLog rev;
    rev.Attach(receiver);
    receiver.SetProto(QStringLiteral("udp"));
    receiver.SetAddr(QStringLiteral("127.0.0.1"));
    receiver.SetPort(QStringLiteral("0"));
    receiver.Listen();
    EXPECT_EQ(rev.log, (Log{"state 7->2", "state 2->6", "state 6->4", "connected 0"}));
    QByteArray got;
    TSockAddrIn from;
    int fromLength = 0;
    receiver.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[100];
        const int n = s->ReceiveFrom(buf, sizeof buf, from, fromLength);
        if (n > 0)
            got.append(buf, n);
    };

    TWSocket sender;
    EventLog sev;
    sev.Attach(sender);
    sender.SetProto(QStringLiteral("udp"));
    sender.SetAddr(QStringLiteral("127.0.0.1"));
    sender.SetPort(receiver.GetBoundPort());
    sender.Connect();
    EXPECT_EQ(sev.log, (Log{"state 7->1", "state 1->4", "connected 0"}));
    EXPECT_EQ(sender.SendText(QStringLiteral("hello")), 5);
    ASSERT_TRUE(WaitUntil([&] { return got == "hello"; }));
    EXPECT_EQ(fromLength, 16);
    EXPECT_EQ(QString::number(platform::Ntohs(from.sin_port)), sender.LocalPort());
}

TEST(WSocketWait, CloseWithLingerTimeLetsQueuedBytesLeaveThenClosesInOrder)
{
    // The peer is a socket object too: its close error tells an orderly
    // close (0) from a reset (10054).
    TWSocket listener;
    TWSocket peer;
    QByteArray got;
    int peerClosed = -1;
    listener.SetAddr(QStringLiteral("127.0.0.1"));
    listener.SetPort(QStringLiteral("0"));
    listener.OnSessionAvailable = [&](TCustomWSocket* sender, std::uint16_t) { peer.Dup(sender->Accept()); };
    peer.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        char buf[4096];  // small reads: the sender has to wait in Close
        const int n = sender->Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, n);
    };
    peer.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { peerClosed = e; };
    listener.Listen();

    TWSocket s;
    s.SetAddr(QStringLiteral("127.0.0.1"));
    s.SetPort(listener.GetBoundPort());
    s.SetLingerOnOff(wsLingerOn);
    s.SetLingerTimeout(30);
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected && peer.State() == wsConnected; }));

    const QByteArray data = Pattern(16 * 1024 * 1024, 9);
    s.Send(data);
    s.Flush();  // out of the queue into the kernel; Close does not send the queue
    s.Close();  // pumps while the kernel's unsent bytes drain
    EXPECT_EQ(s.State(), wsClosed);
    ASSERT_TRUE(WaitUntil([&] { return peerClosed >= 0; }, 30000));
    EXPECT_EQ(peerClosed, 0) << "closed in order, not reset";
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}
