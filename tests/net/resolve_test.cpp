// The free functions of the socket unit: address tests, resolve functions,
// error texts and the send-queue block.
#include "net/WSocket.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

QString ThrownText(const std::function<void()>& f)
{
    try {
        f();
    } catch (const ESocketException& e) {
        return e.Message();
    }
    return QStringLiteral("<nothing thrown>");
}

}  // namespace

TEST(IsDottedIPv4, AcceptsFourGroupsWithBlanksAround)
{
    for (const char* ok : {"10.0.0.1", "  10.0.0.1", "10.0.0.1  ", "0.0.0.0", "255.255.255.255", "127.0.0.1"})
        EXPECT_TRUE(IsDottedIPv4(QString::fromLatin1(ok))) << ok;
}

TEST(IsDottedIPv4, RefusesEverythingElse)
{
    for (const char* bad : {"", "10.0.0", "10.0.0.1.", "1.2.3.x", ".1.2.3.4", "1.2.3.256", "1.2.3.999", "256.1.1.1",
                            "1..2.3", "1.2.3.4.5", "1.2.3.4 x", "localhost", "1.2.3.4x", " . 1.2.3"})
        EXPECT_FALSE(IsDottedIPv4(QString::fromLatin1(bad))) << bad;
}

TEST(ParseLeadingNumber, ReadsDigitsAfterBlanksAndSaturates)
{
    EXPECT_EQ(ParseLeadingNumber(QStringLiteral("21")), 21u);
    EXPECT_EQ(ParseLeadingNumber(QStringLiteral("   8080abc")), 8080u);
    EXPECT_EQ(ParseLeadingNumber(QStringLiteral("abc")), 0u);
    EXPECT_EQ(ParseLeadingNumber(QString()), 0u);
    // No wrap-around into a small, plausible value.
    EXPECT_EQ(ParseLeadingNumber(QStringLiteral("4294967317")), 0xFFFFFFFFu);
    EXPECT_EQ(ParseLeadingNumber(QStringLiteral("99999999999999999999999")), 0xFFFFFFFFu);
}

TEST(WSocketResolveHost, DottedAndNamedHosts)
{
    EXPECT_EQ(WSocketResolveHost(QStringLiteral("127.0.0.1")), platform::Htonl(0x7F000001));
    EXPECT_EQ(WSocketResolveHost(QStringLiteral(" 10.1.2.3 ")), platform::Htonl(0x0A010203));
    EXPECT_EQ(WSocketResolveHost(QStringLiteral("255.255.255.255")), 0xFFFFFFFFu);
    EXPECT_EQ(WSocketResolveHost(QStringLiteral("localhost")), platform::Htonl(0x7F000001));
}

TEST(WSocketResolveHost, RefusalsCarryTheirTexts)
{
    const QString longHost(257, QLatin1Char('a'));
    EXPECT_EQ(ThrownText([&] { WSocketResolveHost(longHost); }),
              QStringLiteral("WSocketResolveHost: '") + longHost + QStringLiteral("' Invalid Hostname."));
    EXPECT_EQ(ThrownText([] { WSocketResolveHost(QString()); }),
              QStringLiteral("WSocketResolveHost: '' Invalid Hostname."));
    EXPECT_EQ(ThrownText([] { WSocketResolveHost(QStringLiteral("nosuchhost.invalid")); }),
              QStringLiteral("WSocketResolveHost: Cannot convert host address 'nosuchhost.invalid', Error #11001"));
    // A group above 255 is not dotted, so it goes to the name lookup.
    EXPECT_TRUE(ThrownText([] { WSocketResolveHost(QStringLiteral("1.2.3.999")); })
                    .startsWith(QStringLiteral("WSocketResolveHost: Cannot convert host address '1.2.3.999'")));
}

TEST(WSocketResolvePort, NumbersServiceNamesAndErrors)
{
    EXPECT_EQ(WSocketResolvePort(QStringLiteral("21"), QStringLiteral("tcp")), 21);
    EXPECT_EQ(WSocketResolvePort(QStringLiteral("65535"), QStringLiteral("tcp")), 65535);
    EXPECT_EQ(WSocketResolvePort(QStringLiteral("ftp"), QStringLiteral("tcp")), 21);
    EXPECT_EQ(WSocketResolvePort(QStringLiteral(" ftp "), QStringLiteral("tcp")), 21);

    EXPECT_EQ(ThrownText([] { WSocketResolvePort(QStringLiteral("65536"), QStringLiteral("tcp")); }),
              QStringLiteral("WSocketResolvePort: Port '65536' out of range."));
    EXPECT_EQ(ThrownText([] { WSocketResolvePort(QStringLiteral("4294967317"), QStringLiteral("tcp")); }),
              QStringLiteral("WSocketResolvePort: Port '4294967317' out of range."));
    EXPECT_EQ(ThrownText([] { WSocketResolvePort(QString(), QStringLiteral("tcp")); }),
              QStringLiteral("WSocketResolvePort: Invalid Port."));
    EXPECT_EQ(ThrownText([] { WSocketResolvePort(QString(32, QLatin1Char('1')), QStringLiteral("tcp")); }),
              QStringLiteral("WSocketResolvePort: Invalid Port."));
    EXPECT_EQ(ThrownText([] { WSocketResolvePort(QStringLiteral("21"), QString()); }),
              QStringLiteral("WSocketResolvePort: Invalid Proto."));
    EXPECT_EQ(ThrownText([] { WSocketResolvePort(QStringLiteral("nosuchservice"), QStringLiteral("tcp")); }),
              QStringLiteral("WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004"));
}

TEST(WSocketResolveProto, NamesNumbersAndErrors)
{
    EXPECT_EQ(WSocketResolveProto(QStringLiteral("tcp")), 6);
    EXPECT_EQ(WSocketResolveProto(QStringLiteral("udp")), 17);
    EXPECT_EQ(WSocketResolveProto(QStringLiteral("17")), 17);
    EXPECT_EQ(ThrownText([] { WSocketResolveProto(QString()); }),
              QStringLiteral("WSocketResolveProto: Invalid Protocol."));
    EXPECT_EQ(ThrownText([] { WSocketResolveProto(QStringLiteral("nosuchproto")); }),
              QStringLiteral("WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004"));
}

TEST(SocketErrorText, KnownAndUnknownCodes)
{
    EXPECT_EQ(SocketErrorText(0), QStringLiteral("No Error"));
    EXPECT_EQ(SocketErrorText(10035), QStringLiteral("Operation would block"));
    EXPECT_EQ(SocketErrorText(10054), QStringLiteral("Connection reset by peer"));
    EXPECT_EQ(SocketErrorText(10057), QStringLiteral("Socket is not connected"));
    EXPECT_EQ(SocketErrorText(10058), QStringLiteral("Can't send after socket shutdown"));
    EXPECT_EQ(SocketErrorText(10061), QStringLiteral("Connection refused"));
    EXPECT_EQ(SocketErrorText(10093), QStringLiteral("WinSock not initialized"));
    EXPECT_EQ(SocketErrorText(11001), QStringLiteral("Host not found"));
    EXPECT_EQ(SocketErrorText(11004), QStringLiteral("No Data"));
    EXPECT_EQ(SocketErrorText(10000), QStringLiteral("Not a WinSock error"));
    EXPECT_EQ(SocketErrorText(20001), QStringLiteral("Not a WinSock error"));
}

TEST(TBuffer, FillsPeeksAndRestartsWhenEmptied)
{
    TBuffer b(8);
    EXPECT_EQ(b.Size(), 8);
    EXPECT_EQ(b.Write("abcdef", 6), 6);
    EXPECT_EQ(b.Write("ghijk", 5), 2);  // only the room left
    EXPECT_EQ(b.Write("x", 1), 0);

    int len = 0;
    const char* p = b.Peek(&len);
    ASSERT_EQ(len, 8);
    EXPECT_EQ(std::memcmp(p, "abcdefgh", 8), 0);

    EXPECT_EQ(b.Remove(3), 3);
    p = b.Peek(&len);
    ASSERT_EQ(len, 5);
    EXPECT_EQ(*p, 'd');
    EXPECT_EQ(b.Remove(100), 5);  // no more than is there
    EXPECT_EQ(b.Peek(&len), nullptr);
    EXPECT_EQ(len, 0);
    // An emptied block is written again from its start.
    EXPECT_EQ(b.WriteCount(), 0);
    EXPECT_EQ(b.ReadOffset(), 0);
    EXPECT_EQ(b.Write("12345678", 8), 8);
    EXPECT_EQ(b.Remove(0), 0);
}

TEST(TBuffer, SizeDefaultsAndGrowthKeepsData)
{
    EXPECT_EQ(TBuffer(0).Size(), 1514);
    EXPECT_EQ(TBuffer(-5).Size(), 1514);
    TBuffer b(4);
    b.Write("wxyz", 4);
    b.Remove(1);
    b.SetSize(10);
    int len = 0;
    const char* p = b.Peek(&len);
    ASSERT_EQ(len, 3);
    EXPECT_EQ(std::memcmp(p, "xyz", 3), 0);
    EXPECT_EQ(b.Write("0123456", 7), 6);
}
