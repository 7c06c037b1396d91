// The socket component at its edges: handlers that delete, close, reconnect
// or throw; failures that must reset; waits that must block, not spin.
// One table of cases per group; each case runs on fresh objects.
#include "net/WSocket.h"
#include "tests/net/loopback.h"
#include "tests/support/fake_socks_server.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

#include <climits>
#include <ctime>
#include <functional>
#include <stdexcept>

using namespace nettest;
using testsupport::DrainEvents;
using testsupport::FakeSocksServer;

// Fails SO_LINGER on demand (tests/net/sockopt_fault.cpp).
extern bool g_failLingerOption;

namespace {

struct Case {
    const char* name;
    std::function<void()> run;
};

void RunTable(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.run();
        DrainEvents();
    }
}

std::string Text(const std::exception& e)
{
    if (auto* x = dynamic_cast<const Exception*>(&e))
        return x->Message().toStdString();
    return e.what();
}

// Waits until the peer's reset has reached s (its peer name is gone), so
// that the next send fails with 10054 whatever the order of notices.
bool WaitResetArrived(TCustomWSocket& s)
{
    return WaitUntil([&] {
        TSockAddrIn a;
        return s.GetPeerName(a, int(sizeof a)) != 0;
    });
}

double ThreadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

// Runs wait and checks that it blocked in the event loop: it took at least
// minWallMs and used under a tenth of that in CPU time on this thread.
void ExpectBlockingWait(const std::function<void()>& wait, int minWallMs)
{
    QElapsedTimer wall;
    wall.start();
    const double cpu0 = ThreadCpuMs();
    wait();
    const double cpu = ThreadCpuMs() - cpu0;
    const qint64 ms = wall.elapsed();
    EXPECT_GE(ms, minWallMs);
    EXPECT_LT(cpu, double(ms) / 10.0) << "wall " << ms << " ms";
}

const QByteArray kGranted5 = QByteArray("\x05\x00\x00\x01\x7f\x00\x00\x01\x10\x00", 10);

struct Probe : TWSocket {
    using TWSocket::readCount_;
    int failSendWith = 0;  // RawSend fails with this error when set
    int RawSend(const void* data, int length) override
    {
        if (failSendWith) {
            platform::WSASetLastError(failSendWith);
            return -1;
        }
        return TWSocket::RawSend(data, length);
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Memory safety

TEST(SocketEdges, MemorySafety)
{
    // A handler destroys the socket inside each event it can receive.
    using Trigger = std::function<void(TWSocket*, LoopbackServer&)>;
    struct DeleteCase {
        const char* event;
        std::function<void(TWSocket*)> arm;  // assigns the deleting handler
        Trigger trigger;
    };
    auto deleter = [](TCustomWSocket* s, std::uint16_t) { delete s; };
    auto peerWrites = [](TWSocket*, LoopbackServer& server) {
        server.clients[0]->socket->write("line\r\n");
        server.clients[0]->socket->flush();
    };
    const std::vector<DeleteCase> deletes = {
        {"OnSessionClosed (peer)", [&](TWSocket* s) { s->OnSessionClosed = deleter; },
         [](TWSocket*, LoopbackServer& server) { server.clients[0]->socket->disconnectFromHost(); }},
        {"OnSessionClosed (Close)", [&](TWSocket* s) { s->OnSessionClosed = deleter; },
         [](TWSocket* s, LoopbackServer&) { s->Close(); }},
        {"OnDataAvailable", [&](TWSocket* s) { s->OnDataAvailable = deleter; }, peerWrites},
        {"line handler", [&](TWSocket* s) { s->SetLineMode(true); s->OnDataAvailable = deleter; }, peerWrites},
        {"OnSendData", [](TWSocket* s) { s->OnSendData = [](TCustomWSocket* x, int) { delete x; }; },
         [](TWSocket* s, LoopbackServer&) { s->Send(QByteArray(5000, 'x')); }},
        {"OnDataSent", [&](TWSocket* s) { s->OnDataSent = deleter; },
         [](TWSocket* s, LoopbackServer&) { s->Send(QByteArray("x")); }},
    };
    std::vector<Case> cases;
    for (const DeleteCase& d : deletes) {
        cases.push_back({d.event, [d] {
                             LoopbackServer server;
                             auto* s = new TWSocket;
                             QPointer<TWSocket> alive(s);
                             EventLog ev;
                             ev.Attach(*s);
                             ASSERT_TRUE(ConnectTo(*s, server, &ev));
                             d.arm(s);
                             d.trigger(s, server);
                             EXPECT_TRUE(WaitUntil([&] { return alive.isNull(); }));
                             DrainEvents();
                             delete alive.data();
                         }});
    }

    cases.push_back({"echo that meets a reset, then a new connection", [] {
                         LoopbackServer server;
                         TWSocket s;
                         QStringList lines;
                         int closed = 0;
                         s.SetLineMode(true);
                         s.SetLineEcho(true);
                         s.OnError = [](TCustomWSocket*) {};
                         s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) { lines << x->ReceiveText(); };
                         s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++closed; };
                         ASSERT_TRUE(ConnectTo(s, server));
                         s.Pause();
                         ResetPeer(server.clients[0]->socket.get(), "abc");
                         ASSERT_TRUE(WaitResetArrived(s));
                         s.Resume();
                         ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
                         EXPECT_EQ(closed, 1);
                         EXPECT_EQ(lines, QStringList{QStringLiteral("abc")}) << "offered once, as the last line";
                         EXPECT_EQ(s.BufferedCount(), 0);
                         lines.clear();
                         ASSERT_TRUE(ConnectTo(s, server));
                         server.clients[1]->socket->write("xy\r\n");
                         ASSERT_TRUE(WaitUntil([&] { return !lines.isEmpty(); }));
                         EXPECT_EQ(lines, QStringList{QStringLiteral("xy\r\n")});
                     }});

    cases.push_back({"ReadCount past 2 GiB", [] {
                         LoopbackServer server;
                         Probe s;
                         QByteArray got;
                         s.OnDataAvailable = CollectInto(got);
                         ASSERT_TRUE(ConnectTo(s, server));
                         s.readCount_ = INT_MAX - 1;
                         server.clients[0]->socket->write("12345");
                         ASSERT_TRUE(WaitUntil([&] { return got.size() == 5; }));
                         EXPECT_EQ(std::int64_t(s.ReadCount()), std::int64_t(INT_MAX) + 4);
                     }});
    RunTable(cases);
}

// ---------------------------------------------------------------------------
// Lost or doubled events

TEST(SocketEdges, EventsOncePerConnection)
{
    std::vector<Case> cases;

    // A failure reported with 10057 or 10054 ends the connection; the next
    // connection of the same object still reports its close.
    struct Failure {
        const char* name;
        std::function<void(TWSocket&, LoopbackServer&)> fail;
    };
    const std::vector<Failure> failures = {
        {"Send while connecting",
         [](TWSocket& s, LoopbackServer& server) {
             s.SetAddr(QStringLiteral("127.0.0.1"));
             s.SetPort(server.Port());
             s.Connect();
             ASSERT_EQ(s.State(), wsConnecting);
             EXPECT_EQ(s.Send(QByteArray("x")), -1);
         }},
        {"PeerAddr after a reset",
         [](TWSocket& s, LoopbackServer& server) {
             ASSERT_TRUE(ConnectTo(s, server));
             s.Pause();
             ResetPeer(server.clients.back()->socket.get(), {});
             ASSERT_TRUE(WaitResetArrived(s));
             EXPECT_EQ(s.PeerAddr(), QStringLiteral("error"));
         }},
    };
    for (const Failure& f : failures) {
        cases.push_back({f.name, [f] {
                             LoopbackServer server;
                             TWSocket s;
                             EventLog ev;
                             ev.Attach(s);
                             s.OnError = [](TCustomWSocket*) {};
                             s.SetLingerOnOff(wsLingerOff);
                             f.fail(s, server);
                             EXPECT_EQ(s.State(), wsClosed);
                             EXPECT_EQ(ev.closed, 1);
                             EXPECT_EQ(s.LingerOnOff(), wsLingerOn) << "the reset ran";
                             DrainEvents();
                             const std::size_t before = server.clients.size();
                             ASSERT_TRUE(ConnectTo(s, server));
                             ASSERT_TRUE(server.WaitForClient(before));
                             server.clients[before]->socket->disconnectFromHost();
                             EXPECT_TRUE(WaitUntil([&] { return ev.closed == 2; }));
                         }});
    }

    cases.push_back({"send from OnSessionClosed after a reset", [] {
                         LoopbackServer server;
                         TWSocket s;
                         int closed = 0;
                         ASSERT_TRUE(ConnectTo(s, server));
                         s.OnError = [](TCustomWSocket*) {};
                         s.OnSessionClosed = [&](TCustomWSocket* x, std::uint16_t) {
                             ++closed;
                             x->Send(QByteArray("bye"));
                         };
                         ResetPeer(server.clients[0]->socket.get(), {});
                         ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
                         DrainEvents();
                         EXPECT_EQ(closed, 1);
                     }});

    // Exceptions from handlers reach the background-error handler.
    auto expectBackgroundError = [](TWSocket& s, const std::function<void()>& start) {
        std::string seen;
        s.OnBgException = [&](TCustomWSocket*, const std::exception& e, bool&) { seen = Text(e); };
        start();
        ASSERT_TRUE(WaitUntil([&] { return !seen.empty(); }));
        EXPECT_EQ(seen, "handler failed");
        EXPECT_TRUE(WaitUntil([&] { return s.State() == wsClosed; })) << "the default outcome is Abort";
    };
    cases.push_back({"OnDataAvailable throws", [=] {
                         LoopbackServer server;
                         TWSocket s;
                         s.OnDataAvailable = [](TCustomWSocket*, std::uint16_t) {
                             throw ESocketException(QStringLiteral("handler failed"));
                         };
                         ASSERT_TRUE(ConnectTo(s, server));
                         expectBackgroundError(s, [&] { server.clients[0]->socket->write("x"); });
                     }});
    cases.push_back({"OnSessionConnected throws after a SOCKS grant", [=] {
                         FakeSocksServer proxy({{FakeSocksServer::Request::Methods, QByteArray("\x05\x00", 2)},
                                                {FakeSocksServer::Request::Connect5, kGranted5}});
                         TWSocket s;
                         s.SetSocksServer(QStringLiteral("127.0.0.1"));
                         s.SetSocksPort(proxy.Port());
                         s.SetAddr(QStringLiteral("example.org"));
                         s.SetPort(QStringLiteral("21"));
                         s.OnSessionConnected = [](TCustomWSocket*, std::uint16_t) {
                             throw ESocketException(QStringLiteral("handler failed"));
                         };
                         expectBackgroundError(s, [&] { s.Connect(); });
                     }});

    cases.push_back({"no OnDataAvailable after OnSessionConnected closed (SOCKS)", [] {
                         FakeSocksServer proxy({{FakeSocksServer::Request::Methods, QByteArray("\x05\x00", 2)},
                                                {FakeSocksServer::Request::Connect5, kGranted5 + "hello"}});
                         TWSocket s;
                         int data = 0;
                         bool connected = false;
                         s.SetSocksServer(QStringLiteral("127.0.0.1"));
                         s.SetSocksPort(proxy.Port());
                         s.SetAddr(QStringLiteral("example.org"));
                         s.SetPort(QStringLiteral("21"));
                         s.OnSessionConnected = [&](TCustomWSocket* x, std::uint16_t) {
                             connected = true;
                             x->Close();
                         };
                         s.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++data; };
                         s.Connect();
                         ASSERT_TRUE(WaitUntil([&] { return connected; }));
                         DrainEvents();
                         EXPECT_EQ(data, 0);
                     }});

    // Line mode: every received byte reaches the owner exactly once.
    cases.push_back({"Close inside a line handler", [] {
                         LoopbackServer server;
                         TWSocket s;
                         QStringList lines;
                         s.SetLineMode(true);
                         s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
                             lines << x->ReceiveText();
                             x->Close();
                         };
                         ASSERT_TRUE(ConnectTo(s, server));
                         server.clients[0]->socket->write("one\r\ntwo\r\n");
                         ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
                         DrainEvents();
                         EXPECT_EQ(lines, QStringList{QStringLiteral("one\r\n")});
                     }});
    cases.push_back({"line mode off mid-line, then on again", [] {
                         LoopbackServer server;
                         TWSocket s;
                         QByteArray got;
                         int calls = 0;
                         s.SetLineMode(true);
                         s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
                             auto* line = static_cast<TWSocket*>(x);
                             char buf[2];
                             const int n = line->Receive(buf, 2);
                             if (n > 0)
                                 got.append(buf, n);
                             ++calls;
                             if (calls == 1 || calls == 2)
                                 line->SetLineMode(!line->LineMode());  // off in the line, on again after 2 more bytes
                         };
                         ASSERT_TRUE(ConnectTo(s, server));
                         server.clients[0]->socket->write("abcdefgh\r\nij\r\n");
                         ASSERT_TRUE(WaitUntil([&] { return calls >= 2; }));
                         server.clients[0]->socket->write("kl\r\n");
                         server.clients[0]->socket->disconnectFromHost();
                         ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
                         EXPECT_EQ(got, QByteArray("abcdefgh\r\nij\r\nkl\r\n"));
                     }});

    // A handler that reconnects from OnSessionClosed keeps the new connection.
    struct Reconnect {
        const char* name;
        std::function<void(TWSocket&, LoopbackServer&)> end;
    };
    const std::vector<Reconnect> reconnects = {
        {"after Close",
         [](TWSocket& s, LoopbackServer& server) {
             ASSERT_TRUE(ConnectTo(s, server));
             s.Close();
         }},
        {"after a failure report",
         [](TWSocket& s, LoopbackServer& server) {
             s.SetAddr(QStringLiteral("127.0.0.1"));
             s.SetPort(server.Port());
             s.Connect();
             s.Send(QByteArray("x"));  // not connected yet: 10057
         }},
    };
    for (const Reconnect& r : reconnects) {
        cases.push_back({r.name, [r] {
                             LoopbackServer server;
                             TWSocket s;
                             s.OnError = [](TCustomWSocket*) {};
                             s.OnSessionClosed = [&](TCustomWSocket* x, std::uint16_t) {
                                 x->OnSessionClosed = nullptr;
                                 x->SetAddr(QStringLiteral("127.0.0.1"));
                                 x->SetPort(server.Port());
                                 x->Connect();
                             };
                             r.end(s, server);
                             EXPECT_NE(s.HSocket(), INVALID_SOCKET);
                             EXPECT_EQ(s.State(), wsConnecting);
                             EXPECT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
                         }});
    }
    RunTable(cases);
}

// ---------------------------------------------------------------------------
// Leaks and stale state

TEST(SocketEdges, NoLeaksOrStaleState)
{
    std::vector<Case> cases;
    cases.push_back({"Listen again releases the first port", [] {
                         TWSocket s;
                         s.SetAddr(QStringLiteral("127.0.0.1"));
                         s.SetPort(QStringLiteral("0"));
                         s.Listen();
                         const QString first = s.GetBoundPort();
                         s.Listen();
                         ASSERT_EQ(s.State(), wsListening);
                         QTcpServer probe;
                         EXPECT_TRUE(probe.listen(QHostAddress::LocalHost, quint16(first.toUInt())));
                     }});
    cases.push_back({"Close drops the send queue before Dup", [] {
                         LoopbackServer stalled(1);  // reads one byte at a time, never more
                         stalled.autoRead = false;
                         TWSocket listener;
                         listener.SetAddr(QStringLiteral("127.0.0.1"));
                         listener.SetPort(QStringLiteral("0"));
                         listener.Listen();
                         TWSocket s;
                         ASSERT_TRUE(ConnectTo(s, stalled));
                         s.Send(Pattern(16 * 1024 * 1024));
                         ASSERT_FALSE(s.AllSent());
                         s.Close();
                         QTcpSocket peer;
                         peer.connectToHost(QHostAddress::LocalHost, quint16(listener.GetBoundPort().toUInt()));
                         TSocket accepted = INVALID_SOCKET;
                         listener.OnSessionAvailable = [&](TCustomWSocket* x, std::uint16_t) { accepted = x->Accept(); };
                         ASSERT_TRUE(WaitUntil([&] { return accepted != INVALID_SOCKET; }));
                         s.Dup(accepted);
                         s.Send(QByteArray("Z"));
                         ASSERT_TRUE(WaitUntil([&] { return peer.bytesAvailable() > 0; }));
                         EXPECT_EQ(peer.readAll(), QByteArray("Z"));
                     }});

    // A SOCKS Connect that fails early leaves nothing behind for a direct one.
    struct Early {
        const char* name;
        std::function<void(TWSocket&)> setUp;
    };
    const std::vector<Early> earlies = {
        {"destination port unknown",
         [](TWSocket& s) {
             s.SetAddr(QStringLiteral("127.0.0.1"));
             s.SetPort(QStringLiteral("no-such-service-here"));
         }},
        {"destination address unassigned", [](TWSocket& s) { s.SetPort(QStringLiteral("21")); }},
    };
    for (const Early& e : earlies) {
        cases.push_back({e.name, [e] {
                             LoopbackServer server;
                             TWSocket s;
                             int errors = 0;
                             s.OnError = [&](TCustomWSocket*) { ++errors; };
                             // The proxy's address differs from the destination's.
                             s.SetSocksServer(QStringLiteral("127.0.0.2"));
                             s.SetSocksPort(server.Port());
                             e.setUp(s);
                             s.Connect();
                             EXPECT_EQ(errors, 1);
                             s.SetSocksServer(QString());
                             EventLog ev;
                             ev.Attach(s);
                             ASSERT_TRUE(ConnectTo(s, server));
                             EXPECT_TRUE(WaitUntil([&] { return !ev.log.empty() && ev.log.back() == "connected 0"; }));
                             DrainEvents();
                             EXPECT_TRUE(server.clients[0]->received.isEmpty()) << "no SOCKS greeting";
                         }});
    }

    cases.push_back({"a linger failure ends Connect", [] {
                         LoopbackServer server;
                         TWSocket s;
                         int errors = 0;
                         s.OnError = [&](TCustomWSocket*) { ++errors; };
                         s.SetAddr(QStringLiteral("127.0.0.1"));
                         s.SetPort(server.Port());
                         g_failLingerOption = true;
                         s.Connect();
                         g_failLingerOption = false;
                         EXPECT_EQ(errors, 1);
                         EXPECT_EQ(s.State(), wsOpened);
                         EXPECT_FALSE(server.WaitForClient(0, 300)) << "no connect was started";
                     }});
    RunTable(cases);
}

// ---------------------------------------------------------------------------
// Waits block in the event loop

TEST(SocketEdges, WaitsBlockInTheEventLoop)
{
    std::vector<Case> cases;
    cases.push_back({"WaitForFlag until its time-out", [] {
                         TWSocket s;
                         s.SetSyncTimeout(400);
                         bool flag = false;
                         ExpectBlockingWait([&] { EXPECT_EQ(s.WaitForFlag(flag), kSyncWaitTimeout); }, 400);
                     }});
    cases.push_back({"WaitForFlag set by a later event", [] {
                         TWSocket s;
                         bool flag = false;
                         QTimer::singleShot(400, &s, [&] { flag = true; });
                         ExpectBlockingWait([&] { EXPECT_EQ(s.WaitForFlag(flag), 0); }, 390);
                     }});
    cases.push_back({"WaitUntilClosed until the peer closes", [] {
                         LoopbackServer server;
                         TWSocket s;
                         ASSERT_TRUE(ConnectTo(s, server));
                         QTimer::singleShot(400, &s, [&] { server.clients[0]->socket->disconnectFromHost(); });
                         ExpectBlockingWait([&] { s.WaitUntilClosed(); }, 390);
                     }});
    cases.push_back({"a graceful linger close", [] {
                         LoopbackServer stalled(1);
                         stalled.autoRead = false;
                         TWSocket s;
                         s.SetLingerOnOff(wsLingerOn);
                         s.SetLingerTimeout(1);
                         ASSERT_TRUE(ConnectTo(s, stalled));
                         s.Send(Pattern(16 * 1024 * 1024));
                         ExpectBlockingWait([&] { s.Close(); }, 900);
                         EXPECT_EQ(s.State(), wsClosed);
                     }});
    cases.push_back({"Flush gives up on a persistent error", [] {
                         LoopbackServer server;
                         Probe s;
                         ASSERT_TRUE(ConnectTo(s, server));
                         s.OnError = [](TCustomWSocket*) {};
                         bool watchdog = false;
                         QTimer::singleShot(3000, &s, [&] {
                             watchdog = true;
                             s.Abort();
                         });
                         s.failSendWith = platform::WSAENOBUFS;
                         s.Send(QByteArray("x"));
                         s.Flush();
                         EXPECT_FALSE(watchdog);
                         EXPECT_EQ(s.LastError(), platform::WSAENOBUFS);
                         s.failSendWith = 0;
                     }});
    RunTable(cases);
}

// ---------------------------------------------------------------------------
// Text and messages

TEST(SocketEdges, TextAndMessages)
{
    std::vector<Case> cases;
    cases.push_back({"text round-trips as UTF-8", [] {
                         TWSocket b;
                         const QString text = QStringLiteral("Grüße, 5 € – ok");
                         QString got;
                         TWSocket listener;
                         listener.SetAddr(QStringLiteral("127.0.0.1"));
                         listener.SetPort(QStringLiteral("0"));
                         listener.OnSessionAvailable = [&](TCustomWSocket* x, std::uint16_t) { b.Dup(x->Accept()); };
                         listener.Listen();
                         b.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) { got += x->ReceiveText(); };
                         TWSocket c;
                         c.SetAddr(QStringLiteral("127.0.0.1"));
                         c.SetPort(listener.GetBoundPort());
                         c.Connect();
                         ASSERT_TRUE(WaitUntil([&] { return c.State() == wsConnected && b.State() == wsConnected; }));
                         c.SendText(text);
                         ASSERT_TRUE(WaitUntil([&] { return got.size() >= text.size(); }));
                         EXPECT_EQ(got, text);
                     }});
    cases.push_back({"message 0x406 is not a production message", [] {
                         LoopbackServer server;
                         TWSocket s;
                         ASSERT_TRUE(ConnectTo(s, server));
                         bool background = false;
                         s.OnBgException = [&](TCustomWSocket*, const std::exception&, bool&) { background = true; };
                         platform::PostMessage(s.Handle(), 0x406, 0, 0);
                         DrainEvents();
                         EXPECT_FALSE(background);
                         EXPECT_EQ(s.State(), wsConnected);
                     }});
    RunTable(cases);
}
