// The client's state table: for each state that awaits a reply, where each
// class of reply (and a lost connection) leads, seen through the requests'
// results against the scripted server.
#include "tests/ftp/ftp_probe.h"
#include "tests/support/ftp_fake_server.h"

#include <gtest/gtest.h>

#include <functional>

using ftptest::ClientProbe;
using testsupport::FtpFakeServer;

namespace {

enum class Stage { Greeting, AuthTls, Command, Pasv, TransferSent, Moving, DataFirst };

// The script up to the state, and the request that gets there.
void Reach(Stage stage, FtpFakeServer& s)
{
    switch (stage) {
    case Stage::Greeting: break;
    case Stage::AuthTls: s.Reply("220 Ready").Expect("AUTH TLS"); break;
    case Stage::Command: s.LoginSteps().Expect("CWD /d"); break;
    case Stage::Pasv: s.LoginSteps().Expect("PASV"); break;
    case Stage::TransferSent: s.LoginSteps().Expect("PASV").Passive().Expect("RETR f"); break;
    case Stage::Moving: s.LoginSteps().Expect("PASV").Passive().Expect("RETR f").Reply("150 Opening"); break;
    case Stage::DataFirst:
        s.LoginSteps().Expect("PASV").Passive().Expect("RETR f").Reply("150 Opening").SendData("abc");
        break;
    }
}

bool Request(Stage stage, TFtpClient& c)
{
    switch (stage) {
    case Stage::Greeting: return c.Open();
    case Stage::AuthTls: c.SetSecurity(ftpExplicitTls); return c.Open();
    case Stage::Command: return c.Login() && c.Cwd();
    default: return c.Login() && c.Retrieve();
    }
}

}  // namespace

TEST(FtpStateTable, EveryReplyClassLeadsWhereTheTableSays)
{
    const QByteArray lost;  // the control connection closes instead
    struct Row {
        Stage stage;
        const char* cls;
        QByteArray reply;
        std::function<void(FtpFakeServer&)> after;  // what the server does next
        int result;
    };
    auto none = [](FtpFakeServer&) {};
    auto data = [](FtpFakeServer& s) { s.SendData("abc"); };
    auto finish = [](FtpFakeServer& s) { s.SendData("abc").Reply("226 Done"); };
    const Row rows[] = {
        {Stage::Greeting, "1xx", "120 Wait", none, 120},
        {Stage::Greeting, "2xx", "220 Ready", none, 0},
        {Stage::Greeting, "3xx", "331 Odd", none, 331},
        {Stage::Greeting, "4xx", "421 Busy", none, 421},
        {Stage::Greeting, "5xx", "500 No", none, 500},
        {Stage::Greeting, "garbled", "22 x", none, 500},
        {Stage::Greeting, "lost", lost, none, 500},
        {Stage::AuthTls, "1xx", "150 Odd", none, 534},
        {Stage::AuthTls, "3xx", "334 Odd", none, 534},
        {Stage::AuthTls, "4xx", "431 No", none, 431},
        {Stage::AuthTls, "5xx", "502 No", none, 502},
        {Stage::AuthTls, "garbled", "22 x", none, 500},
        {Stage::AuthTls, "lost", lost, none, 500},
        {Stage::Command, "1xx", "150 Odd", none, 150},
        {Stage::Command, "2xx", "250 Ok", none, 0},
        {Stage::Command, "3xx", "350 Odd", none, 350},
        {Stage::Command, "4xx", "450 Busy", none, 450},
        {Stage::Command, "5xx", "550 No", none, 550},
        {Stage::Command, "garbled", "22 x", none, 500},
        {Stage::Command, "lost", lost, none, 500},
        {Stage::Pasv, "1xx", "150 Odd", none, 500},
        {Stage::Pasv, "2xx", "200 Not 227", none, 500},
        {Stage::Pasv, "3xx", "350 Odd", none, 500},
        {Stage::Pasv, "4xx", "425 No", none, 425},
        {Stage::Pasv, "5xx", "550 No", none, 550},
        {Stage::Pasv, "garbled", "22 x", none, 500},
        {Stage::Pasv, "lost", lost, none, 500},
        {Stage::TransferSent, "1xx", "150 Opening", finish, 0},
        {Stage::TransferSent, "2xx", "226 Done", none, 226},
        {Stage::TransferSent, "3xx", "350 Odd", none, 350},
        {Stage::TransferSent, "4xx", "425 No", none, 425},
        {Stage::TransferSent, "5xx", "550 No", none, 550},
        {Stage::TransferSent, "garbled", "22 x", none, 500},
        {Stage::TransferSent, "lost", lost, none, 500},
        {Stage::Moving, "1xx", "150 Again", none, 150},
        {Stage::Moving, "2xx", "226 Done", data, 0},
        {Stage::Moving, "3xx", "350 Odd", none, 350},
        {Stage::Moving, "4xx", "426 Cut", none, 426},
        {Stage::Moving, "5xx", "551 No", none, 551},
        {Stage::Moving, "garbled", "22 x", none, 500},
        {Stage::Moving, "lost", lost, none, 500},
        {Stage::Moving, "2xx, then lost before the data ended", "226 Done", [](FtpFakeServer& s) { s.Drop(); }, 500},
        {Stage::DataFirst, "1xx", "150 Again", none, 150},
        {Stage::DataFirst, "2xx", "226 Done", none, 0},
        {Stage::DataFirst, "3xx", "350 Odd", none, 350},
        {Stage::DataFirst, "4xx", "426 Cut", none, 426},
        {Stage::DataFirst, "5xx", "551 No", none, 551},
        {Stage::DataFirst, "garbled", "22 x", none, 500},
        {Stage::DataFirst, "lost", lost, none, 500},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.stage) << " " << row.cls);
        FtpFakeServer s;
        Reach(row.stage, s);
        if (row.reply.isEmpty())
            s.Drop();
        else
            s.Reply(row.reply);
        row.after(s);
        ClientProbe p(s.Port());
        p.client.SetPassiveMode(true);
        p.client.SetHostDirName(QStringLiteral("/d"));
        p.client.SetHostFileName(QStringLiteral("f"));
        p.client.SetDisplayFileFlag(true);  // the listing goes to the events, no local file
        EXPECT_EQ(Request(row.stage, p.client), row.result == 0);
        ASSERT_FALSE(p.done.isEmpty());
        EXPECT_EQ(p.done.back().error, row.result) << p.client.LastResponse().toStdString();
        EXPECT_EQ(p.client.State(), fsReady);
    }
}
