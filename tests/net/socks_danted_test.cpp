// Through a real SOCKS proxy (danted on loopback) to a loopback peer.
#include "net/WSocket.h"
#include "tests/net/loopback.h"
#include "tests/support/danted_proxy.h"

#include <gtest/gtest.h>

using namespace nettest;

namespace {

class ThroughDanted : public ::testing::TestWithParam<const char*>
{
protected:
    static void SetUpTestSuite() { proxy_ = new testsupport::DantedProxy; }
    static void TearDownTestSuite()
    {
        delete proxy_;
        proxy_ = nullptr;
    }
    static testsupport::DantedProxy* proxy_;
};

testsupport::DantedProxy* ThroughDanted::proxy_ = nullptr;

}  // namespace

TEST_P(ThroughDanted, BytesArriveIntactBothWays)
{
    ASSERT_TRUE(proxy_->Running()) << proxy_->Error().toStdString();
    LoopbackServer target;
    TWSocket s;
    int socksConnected = -1;
    std::vector<int> socksErrors;
    QByteArray got;
    bool granted = false;
    s.OnSocksConnected = [&](TCustomWSocket*, std::uint16_t e) { socksConnected = e; };
    // Only a granted connection reaches the owner.
    s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { granted = e == 0; };
    s.OnSocksError = [&](TCustomWSocket*, int e, const QString&) { socksErrors.push_back(e); };
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        char buf[16384];
        const int n = sender->Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, n);
    };
    s.SetSocksServer(QStringLiteral("127.0.0.1"));
    s.SetSocksPort(QString::number(proxy_->Port()));
    s.SetSocksLevel(QString::fromLatin1(GetParam()));
    s.SetAddr(QStringLiteral("127.0.0.1"));
    s.SetPort(target.Port());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return (granted || !socksErrors.empty()) && !target.clients.empty(); }))
        << proxy_->Log().toStdString();
    EXPECT_EQ(socksConnected, 0);
    ASSERT_TRUE(socksErrors.empty()) << socksErrors[0];

    const QByteArray up = Pattern(1 << 20, 11);
    const QByteArray down = Pattern(1 << 20, 12);
    s.Send(up);
    target.clients[0]->socket->write(down);
    ASSERT_TRUE(WaitUntil([&] { return target.clients[0]->received.size() == up.size() && got.size() == down.size(); },
                          30000));
    EXPECT_TRUE(target.clients[0]->received == up);
    EXPECT_TRUE(got == down);
}

INSTANTIATE_TEST_SUITE_P(Levels, ThroughDanted, ::testing::Values("5", "4"),
                         [](const auto& info) { return std::string("Socks") + info.param; });
