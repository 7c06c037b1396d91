// Reply-line assembly and the parsers of reply codes, quoted arguments and
// passive replies.
#include "ftp/FtpReply.h"

#include <QList>

#include <gtest/gtest.h>

#include <cstring>

namespace {

void Feed(ftp::ReplyLineBuffer& b, const QByteArray& bytes)
{
    ASSERT_LE(bytes.size(), b.FreeSpace());
    std::memcpy(b.WritePtr(), bytes.constData(), static_cast<size_t>(bytes.size()));
    b.Commit(static_cast<int>(bytes.size()));
}

QList<QByteArray> TakeAll(ftp::ReplyLineBuffer& b, bool acceptLF)
{
    QList<QByteArray> lines;
    QByteArray line;
    while (b.TakeLine(acceptLF, line))
        lines << line;
    return lines;
}

}  // namespace

TEST(FtpReplyLines, AcceptLfTreatsBareLfAndCrLfAlike)
{
    ftp::ReplyLineBuffer b;
    Feed(b, "220 one\n220 two\r\n");
    EXPECT_EQ(TakeAll(b, true), (QList<QByteArray>{"220 one", "220 two"}));
    EXPECT_EQ(b.Fill(), 0);
}

TEST(FtpReplyLines, WithoutAcceptLfOnlyCrLfEndsALine)
{
    ftp::ReplyLineBuffer b;
    Feed(b, "220 one\nstill one\r\n");
    EXPECT_EQ(TakeAll(b, false), (QList<QByteArray>{"220 one\nstill one"}));
}

TEST(FtpReplyLines, PartialLineWaitsForTheRest)
{
    ftp::ReplyLineBuffer b;
    Feed(b, "230 Logged in.\r\n331 Pass");
    EXPECT_EQ(TakeAll(b, true), (QList<QByteArray>{"230 Logged in."}));
    EXPECT_EQ(b.Fill(), 8);
    Feed(b, "word required.\r\n");
    EXPECT_EQ(TakeAll(b, true), (QList<QByteArray>{"331 Password required."}));
}

TEST(FtpReplyLines, EmptyLinesAndTrailingCrsAreKeptApart)
{
    ftp::ReplyLineBuffer b;
    Feed(b, "\r\n200 ok\r\r\n");
    EXPECT_EQ(TakeAll(b, true), (QList<QByteArray>{"", "200 ok"}));
}

TEST(FtpReplyLines, FullBufferWithoutLineEndLeavesNoRoom)
{
    ftp::ReplyLineBuffer b;
    Feed(b, QByteArray(4095, 'x'));
    QByteArray line;
    EXPECT_FALSE(b.TakeLine(true, line));
    EXPECT_EQ(b.FreeSpace(), 0);
}

TEST(FtpReplyLines, ZeroByteIsAnOrdinaryByte)
{
    ftp::ReplyLineBuffer b;
    const QByteArray line = QByteArray("200 a", 5) + QByteArray(1, '\0') + "b";
    Feed(b, line + "\r\n");
    EXPECT_EQ(TakeAll(b, true), (QList<QByteArray>{line}));
}

// Each row: the lines of one reply, and the index of the line that ends it.
TEST(FtpReplyLines, MultiLineRepliesEndOnTheirOwnCode)
{
    const struct {
        QStringList lines;
        int final;
    } rows[] = {
        {{"230 Logged in."}, 0},
        {{"230-Welcome", "2 rules apply", "100 users max", "230 Logged in."}, 3},
        {{"230-Welcome", "230-more", "230"}, 2},
        {{"230-Welcome", "2300 is not it", "230x neither", "230 done"}, 3},
        {{"text before a reply", "200 ok"}, 1},
        {{"220-a", "", "220 b"}, 2},
    };
    for (const auto& row : rows) {
        ftp::ReplyTracker t;
        for (int i = 0; i < row.lines.size(); ++i)
            EXPECT_EQ(t.IsFinal(row.lines[i]), i == row.final) << row.lines.join('|').toStdString() << " line " << i;
        EXPECT_TRUE(t.OpenCode().isEmpty());
    }
}

TEST(FtpReplyLines, TextIsUtf8WhenValidElseLatin1)
{
    EXPECT_EQ(ftp::DecodeReply("257 \"/caf\xc3\xa9\""), QStringLiteral("257 \"/caf\u00e9\""));
    EXPECT_EQ(ftp::DecodeReply("257 \"/caf\xe9\""), QStringLiteral("257 \"/caf\u00e9\""));
}

TEST(FtpReplyParsing, ReplyCodes)
{
    int next = 0;
    EXPECT_EQ(ftp::GetInteger(" \t220-Hello", 0, next), 220);
    EXPECT_EQ(next, 5);
    EXPECT_EQ(ftp::GetInteger("-12x", 0, next), -12);
    EXPECT_EQ(ftp::GetInteger("+7", 0, next), 7);
    EXPECT_EQ(ftp::GetInteger("abc", 0, next), 0);
    EXPECT_EQ(next, 0);
    // SIZE: the number after the code.
    const QString size = QStringLiteral("213 5000000000");
    ftp::GetInteger(size, 0, next);
    EXPECT_EQ(ftp::GetInteger(size, next, next), 5000000000LL);

    EXPECT_TRUE(ftp::IsContinuation("220-Welcome"));
    EXPECT_FALSE(ftp::IsContinuation("220 Welcome"));
    EXPECT_FALSE(ftp::IsContinuation(" 220-indented text"));
    EXPECT_FALSE(ftp::BeginsWithDigit(""));
}

TEST(FtpReplyParsing, QuotedArguments)
{
    EXPECT_EQ(ftp::GetQuotedString(" \"/home/cam\" is current", 0), "/home/cam");
    EXPECT_EQ(ftp::GetQuotedString("\"say \"\"hi\"\"\" created", 0), "say \"hi\"");
    EXPECT_EQ(ftp::GetQuotedString("\"/no/end", 0), "/no/end");
    EXPECT_EQ(ftp::GetQuotedString("/unquoted", 0), "");
}

TEST(FtpReplyParsing, PassiveReplies)
{
    QString addr;
    int port = 0;
    ASSERT_TRUE(ftp::ParsePassiveReply("227 Entering Passive Mode (10,0,0,5,4,1).", addr, port));
    EXPECT_EQ(addr, "10.0.0.5");
    EXPECT_EQ(port, 1025);
    ASSERT_TRUE(ftp::ParsePassiveReply("227 =(127,0,0,1,200,7)", addr, port));
    EXPECT_EQ(port, 200 * 256 + 7);

    // RFC 1123: the numbers without parentheses.
    ASSERT_TRUE(ftp::ParsePassiveReply("227 Entering Passive Mode 10,0,0,5,4,1", addr, port));
    EXPECT_EQ(addr, "10.0.0.5");
    ASSERT_TRUE(ftp::ParsePassiveReply("227 Entering Passive Mode (10, 0, 0, 5, 4, 2", addr, port));
    EXPECT_EQ(port, 1026);

    for (const char* bad : {"227 Entering Passive Mode", "227 (10,0,0,5,4)", "227 (10,0,x,5,4,1)",
                            "227 (10,0,0,5,4,300)", "227 (10,0,0,5,4,1,9)", "227 (1000,0,0,5,4,1)"})
        EXPECT_FALSE(ftp::ParsePassiveReply(QString::fromLatin1(bad), addr, port)) << bad;
}

TEST(FtpReplyParsing, PassiveTargetBehindNat)
{
    const struct {
        const char* advertised;
        const char* peer;
        const char* target;
    } rows[] = {
        {"192.168.1.5", "203.0.113.7", "203.0.113.7"},
        {"10.1.2.3", "203.0.113.7", "203.0.113.7"},
        {"172.16.0.1", "203.0.113.7", "203.0.113.7"},
        {"172.31.255.1", "203.0.113.7", "203.0.113.7"},
        {"169.254.1.1", "203.0.113.7", "203.0.113.7"},
        {"0.0.0.0", "203.0.113.7", "203.0.113.7"},
        {"127.0.0.2", "127.0.0.1", "127.0.0.1"},
        {"172.32.0.1", "203.0.113.7", "172.32.0.1"},      // public: used as it stands
        {"198.51.100.9", "203.0.113.7", "198.51.100.9"},  // another public host
        {"192.168.1.5", "192.168.1.5", "192.168.1.5"},    // the server's own address
    };
    for (const auto& row : rows)
        EXPECT_EQ(ftp::PassiveTarget(row.advertised, row.peer), row.target) << row.advertised;
}

TEST(FtpReplyParsing, PortCommandAndStatistics)
{
    EXPECT_EQ(ftp::PortCommand(0x7F000001, 1025), "PORT 127,0,0,1,4,1");
    EXPECT_EQ(ftp::PortCommand(0xC0A80102, 65535), "PORT 192,168,1,2,255,255");

    EXPECT_EQ(ftp::StatisticsText(0, 0), "0 bytes received/sent in 0 seconds");
    EXPECT_EQ(ftp::StatisticsText(1000, 500), "1000 bytes received/sent in 0 seconds (2000 Bytes/sec)");
    // Above 32767 bytes the rate is computed per millisecond first.
    EXPECT_EQ(ftp::StatisticsText(70000, 3000), "70000 bytes received/sent in 3 seconds (23000 Bytes/sec)");
}
