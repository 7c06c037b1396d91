// Line mode and the synchronous wait, against a loopback peer.
#include "net/WSocket.h"
#include "tests/net/loopback.h"

#include <gtest/gtest.h>

#include <QTimer>

using namespace nettest;
using testsupport::DrainEvents;

namespace {

// A connected line-mode socket that collects what each OnDataAvailable reads.
struct LinePair {
    LoopbackServer server;
    TWSocket s;
    QStringList lines;
    int closedAfterLines = -1;

    bool Open()
    {
        s.SetLineMode(true);
        s.OnDataAvailable = [this](TCustomWSocket* sender, std::uint16_t) { lines << sender->ReceiveText(); };
        s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t) { closedAfterLines = int(lines.size()); };
        return ConnectTo(s, server);
    }
    QTcpSocket* Peer() { return server.clients[0]->socket.get(); }
    void Write(const QByteArray& bytes)
    {
        Peer()->write(bytes);
        Peer()->flush();
    }
};

}  // namespace

TEST(LineMode, TwoLinesInOneReadAreTwoEvents)
{
    LinePair p;
    ASSERT_TRUE(p.Open());
    p.Write("one\r\ntwo\r\n");
    ASSERT_TRUE(WaitUntil([&] { return p.lines.size() == 2; }));
    EXPECT_EQ(p.lines, (QStringList{QStringLiteral("one\r\n"), QStringLiteral("two\r\n")}));
    EXPECT_EQ(p.s.BufferedCount(), 0);
}

TEST(LineMode, TerminatorSplitAcrossReadsIsFound)
{
    LinePair p;
    ASSERT_TRUE(p.Open());
    p.Write("abc\r");
    ASSERT_TRUE(WaitUntil([&] { return p.s.BufferedCount() == 4; }));
    EXPECT_TRUE(p.lines.isEmpty());
    p.Write("\ndef\r\ngh");
    ASSERT_TRUE(WaitUntil([&] { return p.lines.size() == 2; }));
    EXPECT_EQ(p.lines, (QStringList{QStringLiteral("abc\r\n"), QStringLiteral("def\r\n")}));
    EXPECT_EQ(p.s.BufferedCount(), 2);
}

TEST(LineMode, OtherTerminatorsAndAHandlerReadingInPieces)
{
    LinePair p;
    p.s.SetLineEnd(QByteArrayLiteral("\n"));
    ASSERT_TRUE(p.Open());
    QByteArray pieces;
    p.s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        char c[2];
        const int n = sender->Receive(c, 2);  // two bytes per call
        if (n > 0)
            pieces += QByteArray(c, n) + '|';
    };
    p.Write("abcde\nxy\n");
    ASSERT_TRUE(WaitUntil([&] { return pieces.size() >= 14; }));
    EXPECT_EQ(pieces, QByteArray("ab|cd|e\n|xy|\n|"));
}

TEST(LineMode, LineLimitClearsOrKeepsTheBytes)
{
    for (const bool clear : {true, false}) {
        LinePair p;
        p.s.SetLineLimit(10);
        std::vector<int> reported;
        p.s.OnLineLimitExceeded = [&](TCustomWSocket*, int length, bool& clearData) {
            EXPECT_TRUE(clearData);
            reported.push_back(length);
            clearData = clear;
        };
        ASSERT_TRUE(p.Open());
        p.Write("0123456789A");
        ASSERT_TRUE(WaitUntil([&] { return !reported.empty(); }));
        EXPECT_EQ(reported, std::vector<int>{11});
        EXPECT_EQ(p.s.BufferedCount(), clear ? 0 : 11);
        p.Write("\r\n");
        ASSERT_TRUE(WaitUntil([&] { return p.lines.size() == 1; }));
        EXPECT_EQ(p.lines[0], clear ? QStringLiteral("\r\n") : QStringLiteral("0123456789A\r\n"));
    }
}

TEST(LineMode, EditingAppliesBackspaceAndTabAndEchoes)
{
    LinePair p;
    p.s.SetLineEdit(true);
    p.s.SetLineEcho(true);
    ASSERT_TRUE(p.Open());
    p.Write("abc\bd\r\n");
    ASSERT_TRUE(WaitUntil([&] { return p.lines.size() == 1; }));
    EXPECT_EQ(p.lines[0], QStringLiteral("abd\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return p.server.clients[0]->received.size() >= 9; }));
    EXPECT_EQ(p.server.clients[0]->received, QByteArray("abc\b \bd\r\n"));

    p.server.clients[0]->received.clear();
    p.Write("abc\tX\r\n");
    ASSERT_TRUE(WaitUntil([&] { return p.lines.size() == 2; }));
    EXPECT_EQ(p.lines[1], QStringLiteral("abc     X\r\n")) << "a tab at column 3 is five spaces";
    ASSERT_TRUE(WaitUntil([&] { return p.server.clients[0]->received.size() >= 11; }));
    EXPECT_EQ(p.server.clients[0]->received, QByteArray("abc     X\r\n"));
}

TEST(LineMode, BackspaceReachesIntoAnEarlierRead)
{
    LinePair p;
    p.s.SetLineEdit(true);
    ASSERT_TRUE(p.Open());
    p.Write("hello");
    ASSERT_TRUE(WaitUntil([&] { return p.s.BufferedCount() == 5; }));
    p.Write("\b\b\bp\r\n");
    ASSERT_TRUE(WaitUntil([&] { return p.lines.size() == 1; }));
    EXPECT_EQ(p.lines[0], QStringLiteral("hep\r\n"));
}

TEST(LineMode, LastUnterminatedLineComesBeforeTheClose)
{
    LinePair p;
    ASSERT_TRUE(p.Open());
    p.Write("first\r\npartial");
    p.Peer()->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return p.closedAfterLines >= 0; }));
    EXPECT_EQ(p.lines, (QStringList{QStringLiteral("first\r\n"), QStringLiteral("partial")}));
    EXPECT_EQ(p.closedAfterLines, 2);
    EXPECT_EQ(p.s.BufferedCount(), 0);
}

TEST(LineMode, SwitchingOffHandsOutBufferedBytesFirst)
{
    LinePair p;
    ASSERT_TRUE(p.Open());
    QByteArray raw;
    p.s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        auto* line = static_cast<TWSocket*>(sender);
        if (line->LineMode()) {
            p.lines << sender->ReceiveText();
            line->SetLineMode(false);  // the rest is raw data
        } else {
            raw += sender->ReceiveText().toLatin1();
        }
    };
    p.Write("HEADER\r\nbody1\r\nbody2");
    ASSERT_TRUE(WaitUntil([&] { return raw.size() >= 12; }));
    EXPECT_EQ(p.lines, QStringList{QStringLiteral("HEADER\r\n")});
    EXPECT_EQ(raw, QByteArray("body1\r\nbody2"));
    p.Write("+more");
    ASSERT_TRUE(WaitUntil([&] { return raw.endsWith("+more"); }));
    EXPECT_EQ(raw, QByteArray("body1\r\nbody2+more"));
}

TEST(LineMode, NoHandlerDropsTheLines)
{
    LinePair p;
    ASSERT_TRUE(p.Open());
    p.s.OnDataAvailable = nullptr;
    p.Write("lost\r\nalso lost\r\n");
    ASSERT_TRUE(WaitUntil([&] { return p.s.ReadCount() == 17; }));
    DrainEvents();
    EXPECT_EQ(p.s.BufferedCount(), 0);
}

TEST(SyncWait, WaitsForTheFlagOrTimesOut)
{
    LoopbackServer server;
    TWSocket s;
    bool connected = false;
    s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { connected = true; };
    s.SetAddr(QStringLiteral("127.0.0.1"));
    s.SetPort(server.Port());
    EXPECT_EQ(s.RunAndWait(connected, [&] { s.Connect(); }), 0);
    EXPECT_EQ(s.State(), wsConnected);

    bool never = false;
    s.SetSyncTimeout(100);
    EXPECT_EQ(s.WaitForFlag(never), 12001);

    // With no time limit the flag set later from the loop ends the wait.
    s.SetSyncTimeout(0);
    bool later = false;
    QTimer::singleShot(20, [&] { later = true; });
    EXPECT_EQ(s.WaitForFlag(later), 0);
}
