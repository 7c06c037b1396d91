// The SOCKS layer against a scripted proxy: request bytes, every reply and
// failure code, event order, leftover bytes, reset after close.
#include "net/WSocket.h"
#include "tests/net/loopback.h"
#include "tests/support/fake_socks_server.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace nettest;
using testsupport::DrainEvents;
using testsupport::FakeSocksServer;
using Req = FakeSocksServer::Request;

namespace {

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray b;
    for (int v : values)
        b += char(v);
    return b;
}

const QByteArray kGranted5 = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x10, 0x00});
const QByteArray kGranted4 = Bytes({0, 90, 0, 0, 0, 0, 0, 0});

// A socket aimed at the scripted proxy, recording every event in order.
struct Client {
    TWSocket s;
    std::vector<std::string> log;
    QByteArray data;

    explicit Client(const FakeSocksServer& proxy, const QString& level = QStringLiteral("5"))
    {
        s.OnChangeState = [this](TCustomWSocket*, TSocketState, TSocketState n) {
            if (n == wsClosed)
                log.push_back("state closed");
        };
        s.OnSocksConnected = [this](TCustomWSocket*, std::uint16_t e) { log.push_back("socks " + std::to_string(e)); };
        s.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState a) { log.push_back("auth " + std::to_string(a)); };
        s.OnSocksError = [this](TCustomWSocket*, int e, const QString& m) {
            log.push_back("error " + std::to_string(e) + " " + m.toStdString());
        };
        s.OnSessionConnected = [this](TCustomWSocket* sender, std::uint16_t e) {
            log.push_back("connected " + std::to_string(e) + " rcvd " + std::to_string(sender->RcvdCount()));
        };
        s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { log.push_back("closed " + std::to_string(e)); };
        s.OnDataAvailable = [this](TCustomWSocket* sender, std::uint16_t) {
            char buf[64];
            const int n = sender->Receive(buf, sizeof buf);
            if (n > 0) {
                data.append(buf, n);
                log.push_back("data " + std::to_string(n));
            }
        };
        s.SetSocksServer(QStringLiteral("127.0.0.1"));
        s.SetSocksPort(proxy.Port());
        s.SetSocksLevel(level);
        s.SetAddr(QStringLiteral("ftp.example.org"));
        s.SetPort(QStringLiteral("21"));
    }

    bool Has(const std::string& entry) const { return std::find(log.begin(), log.end(), entry) != log.end(); }
};

using Log = std::vector<std::string>;

}  // namespace

TEST(Socks5, GrantedWithoutAuthenticationHandsOutBytesBehindTheReply)
{
    FakeSocksServer proxy({{Req::Methods, Bytes({5, 0})}, {Req::Connect5, kGranted5 + "abc"}});
    Client c(proxy);
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.data.size() == 3; }));
    EXPECT_EQ(c.log, (Log{"socks 0", "connected 0 rcvd 3", "data 3"}));
    EXPECT_EQ(c.data, QByteArray("abc"));
    ASSERT_EQ(proxy.Requests().size(), 2u);
    EXPECT_EQ(proxy.Requests()[0], Bytes({5, 1, 0}));
    EXPECT_EQ(proxy.Requests()[1], Bytes({5, 1, 0, 3, 15}) + "ftp.example.org" + Bytes({0, 21}));

    // After the negotiation the connection is the peer's.
    proxy.Connection()->write("more");
    ASSERT_TRUE(WaitUntil([&] { return c.data == "abcmore"; }));
    c.s.SendText(QStringLiteral("hi"));
    ASSERT_TRUE(WaitUntil([&] { return proxy.Extra() == "hi"; }));
}

TEST(Socks5, DottedDestinationStillTravelsAsAName)
{
    FakeSocksServer proxy({{Req::Methods, Bytes({5, 0})}, {Req::Connect5, kGranted5}});
    Client c(proxy);
    c.s.SetAddr(QStringLiteral("10.0.0.7"));
    c.s.SetPort(QStringLiteral("2121"));
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.Has("connected 0 rcvd 0"); }));
    EXPECT_EQ(proxy.Requests()[1], Bytes({5, 1, 0, 3, 8}) + "10.0.0.7" + Bytes({0x08, 0x49}));
}

TEST(Socks5, UsernameAuthenticationInOrder)
{
    FakeSocksServer proxy(
        {{Req::Methods, Bytes({5, 2})}, {Req::Auth, Bytes({1, 0})}, {Req::Connect5, kGranted5}});
    Client c(proxy);
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.SetSocksUsercode(QStringLiteral("user"));
    c.s.SetSocksPassword(QStringLiteral("secret"));
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.Has("connected 0 rcvd 0"); }));
    EXPECT_EQ(c.log, (Log{"socks 0", "auth 0", "auth 1", "connected 0 rcvd 0"}));
    EXPECT_EQ(proxy.Requests()[0], Bytes({5, 1, 2}));
    EXPECT_EQ(proxy.Requests()[1], Bytes({1, 4}) + "user" + Bytes({6}) + "secret");
}

TEST(Socks5, ProxyChoosingNoAuthenticationSkipsIt)
{
    FakeSocksServer proxy({{Req::Methods, Bytes({5, 0})}, {Req::Connect5, kGranted5}});
    Client c(proxy);
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.Has("connected 0 rcvd 0"); }));
    EXPECT_EQ(c.log, (Log{"socks 0", "auth 3", "connected 0 rcvd 0"}));
}

TEST(Socks5, RejectedAuthenticationFailsAndCloses)
{
    FakeSocksServer proxy({{Req::Methods, Bytes({5, 2})}, {Req::Auth, Bytes({1, 1})}});
    Client c(proxy);
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.Has("closed 20015"); }));
    EXPECT_EQ(c.log, (Log{"socks 0", "auth 0", "error 20015 socks authentication failed", "connected 20015 rcvd 0",
                          "state closed", "closed 20015"}));
}

TEST(Socks5, ProxyClosingDuringAuthenticationIsARejection)
{
    FakeSocksServer proxy({{Req::Methods, Bytes({5, 2})}, {Req::Auth, {}, /*closeAfter=*/true}});
    Client c(proxy);
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed && c.Has("closed 0"); }));
    EXPECT_EQ(c.log, (Log{"socks 0", "auth 0", "auth 2", "closed 0", "state closed"}));
}

TEST(Socks5, EveryReplyCodeHasItsErrorAndText)
{
    const std::pair<int, const char*> codes[] = {
        {1, "error 20004 general SOCKS server failure"}, {2, "error 20005 connection not allowed by ruleset"},
        {3, "error 20006 network unreachable"},          {4, "error 20007 host unreachable"},
        {5, "error 20008 connection refused"},           {6, "error 20009 time to live expired"},
        {7, "error 20010 command not supported"},        {8, "error 20011 address type not supported"},
        {9, "error 20012 unassigned error #9"},          {255, "error 20012 unassigned error #255"},
    };
    for (const auto& [code, text] : codes) {
        FakeSocksServer proxy({{Req::Methods, Bytes({5, 0})}, {Req::Connect5, Bytes({5, code, 0, 1})}});
        Client c(proxy);
        c.s.Connect();
        ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; })) << code;
        const std::string e = std::string(text).substr(6, 5);  // the code in the text
        EXPECT_EQ(c.log, (Log{"socks 0", text, "connected " + e + " rcvd 0", "state closed", "closed " + e}))
            << code;
    }
}

TEST(Socks5, MalformedRepliesAreVersionMethodAndAddressErrors)
{
    struct Case {
        std::vector<FakeSocksServer::Step> script;
        std::string error;
    };
    const Case cases[] = {
        {{{Req::Methods, Bytes({4, 0})}}, "error 20002 socks version error"},
        {{{Req::Methods, Bytes({5, 0xFF})}}, "error 20003 authentification method not acceptable"},
        {{{Req::Methods, Bytes({5, 2})}, {Req::Auth, Bytes({5, 0})}}, "error 20002 socks version error"},
        {{{Req::Methods, Bytes({5, 2})}, {Req::Auth, Bytes({1, 0, 0})}}, "error 20001 too much data availaible"},
        {{{Req::Methods, Bytes({5, 0})}, {Req::Connect5, Bytes({4, 0, 0, 1})}}, "error 20002 socks version error"},
        {{{Req::Methods, Bytes({5, 0})}, {Req::Connect5, Bytes({5, 0, 0, 4, 0})}},
         "error 20011 address type not supported"},
    };
    for (const Case& k : cases) {
        FakeSocksServer proxy(k.script);
        Client c(proxy);
        c.s.SetSocksAuthentication(socksAuthenticateUsercode);
        c.s.Connect();
        ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; })) << k.error;
        EXPECT_TRUE(c.Has(k.error)) << k.error;
    }
}

TEST(Socks5, DomainReplyWaitsForAllTwentySevenBytes)
{
    const QByteArray name = "abcdefghij.example.x";  // 20 characters
    ASSERT_EQ(name.size(), 20);
    const QByteArray reply = Bytes({5, 0, 0, 3, 20}) + name + Bytes({0x04, 0x01});
    ASSERT_EQ(reply.size(), 27);
    FakeSocksServer proxy({{Req::Methods, Bytes({5, 0})}, {Req::Connect5, reply.left(26)}});
    Client c(proxy);
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return proxy.Requests().size() == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return proxy.Connection()->bytesToWrite() == 0; }));
    EXPECT_FALSE(WaitUntil([&] { return c.Has("connected 0 rcvd 0"); }, 200)) << "26 bytes are not enough";
    proxy.Connection()->write(reply.right(1) + "xyz");
    ASSERT_TRUE(WaitUntil([&] { return c.data == "xyz"; }));
    EXPECT_EQ(c.log, (Log{"socks 0", "connected 0 rcvd 3", "data 3"}));
}

TEST(Socks4, RequestBytesAndGrant)
{
    FakeSocksServer proxy({{Req::Connect4, kGranted4}});
    Client c(proxy, QStringLiteral("4"));
    c.s.SetAddr(QStringLiteral("127.0.0.1"));
    c.s.SetSocksUsercode(QStringLiteral("bob"));
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.Has("connected 0 rcvd 0"); }));
    EXPECT_EQ(c.log, (Log{"socks 0", "connected 0 rcvd 0"}));
    EXPECT_EQ(proxy.Requests()[0], Bytes({4, 1, 0, 21, 127, 0, 0, 1}) + "bob" + Bytes({0}));
}

TEST(Socks4, LevelFourAPassesTheNameToTheProxy)
{
    FakeSocksServer proxy({{Req::Connect4, kGranted4}});
    Client c(proxy, QStringLiteral("4a"));
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.Has("connected 0 rcvd 0"); }));
    EXPECT_EQ(proxy.Requests()[0], Bytes({4, 1, 0, 21, 0, 0, 0, 1, 0}) + "ftp.example.org" + Bytes({0}));
}

TEST(Socks4, RefusalCodes)
{
    const std::pair<int, const char*> codes[] = {
        {91, "error 20016 request rejected or failed"},
        {92, "error 20008 connection refused"},
        {93, "error 20015 authentification failed"},
        {94, "error 20012 unassigned error #94"},
    };
    for (const auto& [code, text] : codes) {
        FakeSocksServer proxy({{Req::Connect4, Bytes({0, code, 0, 0, 0, 0, 0, 0})}});
        Client c(proxy, QStringLiteral("4A"));
        c.s.Connect();
        ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; })) << code;
        EXPECT_EQ(c.log[1], text);
        EXPECT_EQ(c.log.back().substr(0, 8), "closed 2");
    }
    FakeSocksServer bad({{Req::Connect4, Bytes({4, 90, 0, 0, 0, 0, 0, 0})}});
    Client c(bad, QStringLiteral("4A"));
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
    EXPECT_TRUE(c.Has("error 20002 socks version error"));
}

TEST(Socks4, UnresolvableHostEndsWithoutSessionConnected)
{
    FakeSocksServer proxy({});
    Client c(proxy, QStringLiteral("4"));
    c.s.SetAddr(QStringLiteral("nosuchhost.invalid"));
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
    EXPECT_EQ(c.log, (Log{"socks 0",
                          "error 20017 ESocketException WSocketResolveHost: Cannot convert host address "
                          "'nosuchhost.invalid', Error #11001",
                          "state closed", "closed 20017"}));
    DrainEvents();
    EXPECT_TRUE(proxy.Requests().empty()) << "nothing is sent";
}

TEST(SocksConfig, UnreachableProxyAndSettingsResetAfterClose)
{
    LoopbackServer target;
    FakeSocksServer proxy({});
    Client c(proxy);
    c.s.SetSocksPort(RefusingPort());
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
    EXPECT_EQ(c.log, (Log{"socks 10061", "connected 10061 rcvd 0", "state closed", "closed 0"}));

    // Closed: the proxy settings are gone, a new connect goes direct.
    EXPECT_TRUE(c.s.SocksServer().isEmpty());
    EXPECT_TRUE(c.s.SocksPort().isEmpty());
    EXPECT_EQ(c.s.SocksLevel(), QStringLiteral("5"));
    c.log.clear();
    c.s.SetAddr(QStringLiteral("127.0.0.1"));
    c.s.SetPort(target.Port());
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.Has("connected 0 rcvd 0"); }));
    EXPECT_FALSE(c.Has("socks 0"));
}

TEST(SocksConfig, RefusalsAtConnect)
{
    FakeSocksServer proxy({});
    const auto refused = [&](const std::function<void(TWSocket&)>& setup) -> std::string {
        Client c(proxy);
        setup(c.s);
        try {
            c.s.Connect();
        } catch (const ESocketException& e) {
            return e.Message().toStdString();
        }
        return "<accepted>";
    };
    EXPECT_EQ(refused([](TWSocket& s) { s.SetProto(QStringLiteral("udp")); }),
              "tcp is the only protocol supported thru socks server");
    EXPECT_EQ(refused([](TWSocket& s) { s.SetSocksPort(QStringLiteral("nosuchservice")); }),
              "connect: WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");
    // Values that do not fit the 128-byte requests are refused, not cut.
    EXPECT_EQ(refused([](TWSocket& s) {
                  s.SetSocksAuthentication(socksAuthenticateUsercode);
                  s.SetSocksUsercode(QString(100, QLatin1Char('u')));
                  s.SetSocksPassword(QString(26, QLatin1Char('p')));
              }),
              "connect: socks user code or password too long");
    EXPECT_EQ(refused([](TWSocket& s) { s.SetAddr(QString(122, QLatin1Char('h'))); }),
              "connect: socks host name too long");
    EXPECT_EQ(refused([](TWSocket& s) {
                  s.SetSocksLevel(QStringLiteral("4A"));
                  s.SetSocksUsercode(QString(60, QLatin1Char('u')));
                  s.SetAddr(QString(60, QLatin1Char('h')));
              }),
              "connect: socks user code or host name too long");
    // Exactly at the limit is still fine.
    EXPECT_EQ(refused([](TWSocket& s) {
                  s.SetSocksAuthentication(socksAuthenticateUsercode);
                  s.SetSocksUsercode(QString(100, QLatin1Char('u')));
                  s.SetSocksPassword(QString(25, QLatin1Char('p')));
              }),
              "<accepted>");
}

TEST(SocksConfig, TooLongValuesAreRefusedForEachLevel)
{
    FakeSocksServer proxy({});
    const auto refused = [&](const QString& level, const std::function<void(TWSocket&)>& setup) -> std::string {
        Client c(proxy, level);
        setup(c.s);
        try {
            c.s.Connect();
        } catch (const ESocketException& e) {
            EXPECT_EQ(c.s.State(), wsClosed);
            return e.Message().toStdString();
        }
        c.s.Abort();
        return "<accepted>";
    };
    const QString five = QStringLiteral("5"), four = QStringLiteral("4"), fourA = QStringLiteral("4A");
    const auto user = [](int n) { return [n](TWSocket& s) { s.SetSocksUsercode(QString(n, QLatin1Char('u'))); }; };
    const auto withAuth = [](int userLength, int passwordLength) {
        return [=](TWSocket& s) {
            s.SetSocksAuthentication(socksAuthenticateUsercode);
            s.SetSocksUsercode(QString(userLength, QLatin1Char('u')));
            s.SetSocksPassword(QString(passwordLength, QLatin1Char('p')));
        };
    };

    // Version 5: user name and password each alone, and the host.
    EXPECT_EQ(refused(five, withAuth(126, 0)), "connect: socks user code or password too long");
    EXPECT_EQ(refused(five, withAuth(0, 126)), "connect: socks user code or password too long");
    EXPECT_EQ(refused(five, withAuth(0, 125)), "<accepted>");
    EXPECT_EQ(refused(five, [](TWSocket& s) { s.SetAddr(QString(121, QLatin1Char('h'))); }), "<accepted>");
    // Without authentication neither is sent, so neither can be too long.
    EXPECT_EQ(refused(five, [](TWSocket& s) {
                  s.SetSocksUsercode(QString(300, QLatin1Char('u')));
                  s.SetSocksPassword(QString(300, QLatin1Char('p')));
              }),
              "<accepted>");

    // Version 4: the user id (the host is sent as an address).
    EXPECT_EQ(refused(four, user(120)), "connect: socks user code or host name too long");
    EXPECT_EQ(refused(four, user(119)), "<accepted>");
    // Bytes count, not characters: 60 two-byte characters are 120 bytes.
    EXPECT_EQ(refused(four, [](TWSocket& s) { s.SetSocksUsercode(QString(60, QChar(0xE9))); }),
              "connect: socks user code or host name too long");

    // Version 4A: the host name alone, and at the limit.
    EXPECT_EQ(refused(fourA, [](TWSocket& s) { s.SetAddr(QString(119, QLatin1Char('h'))); }),
              "connect: socks user code or host name too long");
    EXPECT_EQ(refused(fourA, [](TWSocket& s) { s.SetAddr(QString(118, QLatin1Char('h'))); }), "<accepted>");
    DrainEvents();
}

// Values changed after Connect (from a handler) are checked again when the
// request is built: the negotiation fails instead of sending a wrapped length.
TEST(SocksConfig, TooLongValuesSetDuringNegotiationFail)
{
    {
        FakeSocksServer proxy({{Req::Methods, Bytes({5, 2})}});
        Client c(proxy);
        c.s.SetSocksAuthentication(socksAuthenticateUsercode);
        c.s.OnSocksConnected = [&](TCustomWSocket*, std::uint16_t) {
            c.s.SetSocksUsercode(QString(300, QLatin1Char('u')));
        };
        c.s.Connect();
        ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed && c.Has("closed 20001"); }));
        EXPECT_EQ(c.log, (Log{"auth 0", "error 20001 socks user code or password too long", "connected 20001 rcvd 0",
                              "state closed", "closed 20001"}));
        DrainEvents();
        EXPECT_TRUE(proxy.Extra().isEmpty()) << "nothing sent behind the method request";
    }
    for (const char* level : {"4", "4A"}) {
        FakeSocksServer proxy({});
        Client c(proxy, QString::fromLatin1(level));
        c.s.SetAddr(QStringLiteral("127.0.0.1"));
        c.s.OnSocksConnected = [&](TCustomWSocket*, std::uint16_t) {
            c.s.SetSocksUsercode(QString(120, QLatin1Char('u')));
        };
        c.s.Connect();
        ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; })) << level;
        EXPECT_EQ(c.log, (Log{"error 20001 socks user code or host name too long", "connected 20001 rcvd 0",
                              "state closed", "closed 20001"}))
            << level;
        DrainEvents();
        EXPECT_TRUE(proxy.Extra().isEmpty()) << level;
    }
}

// A proxy that resolves the 4A name itself and really carries the bytes.
TEST(Socks4, LevelFourAThroughARelayingProxyReachesTheNamedHost)
{
    LoopbackServer target;
    FakeSocksServer proxy({{Req::Connect4, kGranted4, false, /*relay=*/true}});
    Client c(proxy, QStringLiteral("4A"));
    c.s.SetAddr(QStringLiteral("localhost"));
    c.s.SetPort(target.Port());
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.Has("connected 0 rcvd 0") && !target.clients.empty(); }));
    ASSERT_EQ(proxy.Relayed(), std::vector<QString>{QStringLiteral("localhost:") + target.Port()});

    const QByteArray up = Pattern(256 * 1024, 3);
    const QByteArray down = Pattern(256 * 1024, 4);
    c.s.Send(up);
    target.clients[0]->socket->write(down);
    ASSERT_TRUE(WaitUntil([&] { return target.clients[0]->received.size() == up.size() && c.data.size() == down.size(); },
                          20000));
    EXPECT_TRUE(target.clients[0]->received == up);
    EXPECT_TRUE(c.data == down);

    // The destination's close reaches the client through the proxy.
    target.clients[0]->socket->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
}

TEST(Socks4, RelayingProxyRefusesAnUnreachableDestination)
{
    FakeSocksServer proxy({{Req::Connect4, kGranted4, false, /*relay=*/true}});
    Client c(proxy, QStringLiteral("4A"));
    c.s.SetAddr(QStringLiteral("127.0.0.1"));
    c.s.SetPort(RefusingPort());
    c.s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
    EXPECT_TRUE(c.Has("error 20016 request rejected or failed"));
    EXPECT_FALSE(c.Has("connected 0 rcvd 0"));
}
