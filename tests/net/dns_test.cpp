// Asynchronous name lookup on the socket object.
#include "net/WSocket.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <vector>

using testsupport::DrainEvents;
using testsupport::WaitUntil;

namespace {

struct Lookups {
    std::vector<int> done;
    void Attach(TCustomWSocket& s)
    {
        s.OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) { done.push_back(e); };
    }
};

}  // namespace

TEST(WSocketDns, DottedAddressFinishesBeforeDnsLookupReturns)
{
    TWSocket s;
    Lookups l;
    l.Attach(s);
    s.DnsLookup(QStringLiteral(" 10.1.2.3 "));
    EXPECT_EQ(l.done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), QStringLiteral("10.1.2.3"));
    EXPECT_EQ(s.DnsResultList(), QStringList{QStringLiteral("10.1.2.3")});
    DrainEvents();
    EXPECT_EQ(l.done.size(), 1u);
}

TEST(WSocketDns, LocalhostResolvesFromTheLoop)
{
    TWSocket s;
    Lookups l;
    l.Attach(s);
    s.DnsLookup(QStringLiteral("localhost"));
    EXPECT_TRUE(l.done.empty()) << "a name lookup ends from the loop";
    ASSERT_TRUE(WaitUntil([&] { return !l.done.empty(); }));
    EXPECT_EQ(l.done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(s.DnsResultList().contains(QStringLiteral("127.0.0.1")));
}

TEST(WSocketDns, UnknownNameFailsWith11001AndEmptyResult)
{
    TWSocket s;
    Lookups l;
    l.Attach(s);
    s.DnsLookup(QStringLiteral("10.0.0.1"));
    s.DnsLookup(QStringLiteral("nosuchhost.invalid"));
    EXPECT_TRUE(s.DnsResult().isEmpty()) << "a new lookup clears the old result";
    ASSERT_TRUE(WaitUntil([&] { return l.done.size() == 2; }));
    EXPECT_EQ(l.done[1], 11001);
    EXPECT_TRUE(s.DnsResult().isEmpty());
    EXPECT_TRUE(s.DnsResultList().isEmpty());
}

TEST(WSocketDns, CancelReports10004OnceAndNothingArrivesLater)
{
    TWSocket s;
    Lookups l;
    l.Attach(s);
    s.DnsLookup(QStringLiteral("localhost"));
    s.CancelLookup();
    EXPECT_EQ(l.done, std::vector<int>{10004});
    // The worker's reply may already be queued; it must find nothing.
    EXPECT_FALSE(WaitUntil([&] { return l.done.size() > 1; }, 300));
    s.CancelLookup();  // nothing pending: no event
    EXPECT_EQ(l.done.size(), 1u);
}

TEST(WSocketDns, ASecondLookupSilentlyReplacesThePendingOne)
{
    TWSocket s;
    Lookups l;
    l.Attach(s);
    s.DnsLookup(QStringLiteral("nosuchhost.invalid"));
    s.DnsLookup(QStringLiteral("localhost"));
    ASSERT_TRUE(WaitUntil([&] { return !l.done.empty(); }));
    EXPECT_FALSE(WaitUntil([&] { return l.done.size() > 1; }, 300));
    EXPECT_EQ(l.done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), QStringLiteral("127.0.0.1"));
}

TEST(WSocketDns, EmptyHostReportsThenEnds10022)
{
    TWSocket s;
    std::vector<std::string> order;
    s.OnError = [&](TCustomWSocket*) { order.push_back("error"); };
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { order.push_back("done " + std::to_string(e)); };
    s.DnsLookup(QString());
    EXPECT_EQ(order, (std::vector<std::string>{"error", "done 10022"}));

    TWSocket raising;
    try {
        raising.DnsLookup(QString());
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("DNS lookup: invalid host name."));
    }
}

TEST(WSocketDns, ReverseLookupOfLoopback)
{
    TWSocket s;
    Lookups l;
    l.Attach(s);
    s.ReverseDnsLookup(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(WaitUntil([&] { return !l.done.empty(); }));
    EXPECT_EQ(l.done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), QStringLiteral("localhost"));
    EXPECT_EQ(s.DnsResultList(), QStringList{QStringLiteral("localhost")});

    try {
        s.ReverseDnsLookup(QString(257, QLatin1Char('1')));
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("ReverseDnsLookup: Invalid host name."));
    }
}

TEST(WSocketDns, LookupSurvivesCloseButNotDestruction)
{
    Lookups l;
    {
        TWSocket s;
        l.Attach(s);
        s.DnsLookup(QStringLiteral("localhost"));
        s.Close();
    }
    DrainEvents();
    EXPECT_TRUE(l.done.empty()) << "the destructor cancels without an event";

    TWSocket s;
    l.Attach(s);
    s.DnsLookup(QStringLiteral("localhost"));
    s.Close();
    ASSERT_TRUE(WaitUntil([&] { return !l.done.empty(); }));
    EXPECT_EQ(l.done, std::vector<int>{0});
}

TEST(WSocketDns, LiveSocketCountFollowsObjects)
{
    const int before = LiveSocketCount();
    {
        TWSocket a;
        TCustomWSocket b;
        EXPECT_EQ(LiveSocketCount(), before + 2);
    }
    EXPECT_EQ(LiveSocketCount(), before);
}
