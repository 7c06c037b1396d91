// The FTP client at its edges against the scripted fake server: failures that
// must never read as success, unsafe arguments, handler faults, replies that
// real servers send, and handlers that delete the client.
#include "tests/ftp/ftp_probe.h"
#include "tests/support/ftp_fake_server.h"
#include "tests/support/wait.h"

#include <QPointer>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

using ftptest::ClientProbe;
using testsupport::FtpFakeServer;
using testsupport::WaitUntil;

namespace {

class FtpClientEdges : public ftptest::FakeServerTest
{
};

quint16 ClosedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

QByteArray PassiveTo(quint16 port)
{
    return QStringLiteral("227 Entering Passive Mode (127,0,0,1,%1,%2).").arg(port / 256).arg(port % 256).toLatin1();
}

// Proves that replies are still in step: the next command gets its own answer.
void ExpectTypeInStep(FtpFakeServer& srv) { srv.Expect("TYPE I").Reply("200 Type set to I."); }

}  // namespace

// --- failures are never reported as success ----------------------------------------

// A download whose local file cannot take the bytes (here /dev/full: every
// write, and the flush at close, fails) ends with an error, small or large.
TEST_F(FtpClientEdges, DownloadIntoAFullDiskFails)
{
    for (qsizetype size : {qsizetype(10), qsizetype(200 * 1024)}) {
        FtpFakeServer s;
        s.LoginSteps().Expect("PASV").Passive().Expect("RETR f.bin").Reply("150 Opening.").SendData(
            ftptest::Pattern(size)).Reply("226 Done.");
        ClientProbe p(s.Port());
        p.client.SetPassiveMode(true);
        ASSERT_TRUE(p.client.Login());
        p.client.SetLocalFileName("/dev/full");
        p.client.SetHostFileName("f.bin");
        EXPECT_FALSE(p.client.Retrieve()) << size;
        ASSERT_EQ(p.done.size(), 2);
        EXPECT_GE(p.done[1].error, 400) << size;
        EXPECT_TRUE(p.client.ErrorMessage().contains("local file")) << p.client.ErrorMessage().toStdString();
    }
}

// A server that ends the data connection before the whole file is there
// (a FIN, which looks graceful, then 150 and 226) gets no success, in either
// mode, and the replies stay in step.
TEST_F(FtpClientEdges, StoreEndedEarlyByTheServerFails)
{
    const QByteArray file = ftptest::Pattern(2 * 1024 * 1024);
    const struct {
        const char* name;
        qint64 endAfter;
        bool passive;
    } rows[] = {
        {"FIN when open, passive", 0, true},
        {"FIN after 4 KB, passive", 4096, true},
        {"FIN when open, active", 0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FtpFakeServer s;
        s.LoginSteps();
        if (row.passive)
            s.Expect("PASV").EndDataEarly(row.endAfter).Passive().Expect("STOR cut.bin").Reply("150 Ok.");
        else
            s.Expect("PORT").Reply("200 Port ok.").Expect("STOR cut.bin").Reply("150 Ok.").EndDataEarly(row.endAfter).ConnectData();
        s.ReceiveData().Reply("226 Transfer complete.");
        ExpectTypeInStep(s);
        ClientProbe p(s.Port());
        p.client.SetPassiveMode(row.passive);
        ASSERT_TRUE(p.client.Login());
        p.client.SetLocalFileName(Local("cut.bin", file));
        p.client.SetHostFileName("cut.bin");
        EXPECT_FALSE(p.client.Store());
        EXPECT_TRUE(p.client.ErrorMessage().startsWith("426 Data connection closed by the server after "))
            << p.client.ErrorMessage().toStdString();
        EXPECT_TRUE(p.client.ErrorMessage().endsWith(QStringLiteral(" of %1 bytes").arg(file.size())))
            << p.client.ErrorMessage().toStdString();
        EXPECT_LT(s.DataReceived().size(), file.size());
        EXPECT_TRUE(p.client.SetBinaryType()) << p.client.ErrorMessage().toStdString();
        EXPECT_TRUE(s.Mismatches().isEmpty()) << s.Mismatches().join('\n').toStdString();
    }
}

// Each row: what the server answers around a transfer, and what must hold.
TEST_F(FtpClientEdges, TransferFailuresEndTheRequestAndKeepRepliesInStep)
{
    struct Row {
        const char* name;
        std::function<void(FtpFakeServer&)> script;  // after login
        bool store;                                  // Store, else Retrieve
        bool expectOk;
        const char* message;  // expected in ErrorMessage on failure
    };
    const Row rows[] = {
        // A refused RETR leaves the existing local file alone.
        {"refused RETR", [](FtpFakeServer& s) { s.Expect("PASV").Passive().Expect("RETR kept.bin").Reply("550 No such file."); },
         false, false, "550 No such file."},
        // A PASV answered with anything but 227 gives no address to use,
        // not the previous transfer's.
        {"PASV answered 200", [](FtpFakeServer& s) { s.Expect("PASV").Reply("200 Whatever."); }, true, false,
         "PASV"},
        // The data connection cannot be opened: the transfer command is not
        // sent, so no late reply can answer the next command.
        {"passive connect fails", [](FtpFakeServer& s) { s.Expect("PASV").Reply(PassiveTo(ClosedPort())); }, false,
         false, "Unable to establish data connection"},
        // RFC 1123: the six numbers without parentheses.
        {"227 without parentheses",
         [](FtpFakeServer& s) {
             s.Expect("PASV").Passive(false).Expect("STOR kept.bin").Reply("150 Ok.").ReceiveData().Reply("226 Ok.");
         },
         true, true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString kept = Local("kept.bin", "precious");
        FtpFakeServer s;
        s.LoginSteps().Expect("PASV").Passive().Expect("STOR first.bin").Reply("150 Ok.").ReceiveData().Reply("226 Ok.");
        row.script(s);
        ExpectTypeInStep(s);
        ClientProbe p(s.Port());
        p.client.SetPassiveMode(true);
        ASSERT_TRUE(p.client.Login());
        p.client.SetLocalFileName(Local("first.bin", "first"));
        p.client.SetHostFileName("first.bin");
        ASSERT_TRUE(p.client.Store());
        p.client.SetLocalFileName(kept);
        p.client.SetHostFileName("kept.bin");
        EXPECT_EQ(row.store ? p.client.Store() : p.client.Retrieve(), row.expectOk) << p.client.ErrorMessage().toStdString();
        testsupport::DrainEvents();
        ASSERT_EQ(p.done.size(), 3);
        if (!row.expectOk) {
            EXPECT_GE(p.done[2].error, 400);
            EXPECT_TRUE(p.client.ErrorMessage().contains(row.message)) << p.client.ErrorMessage().toStdString();
        }
        EXPECT_EQ(ftptest::ReadFile(kept), "precious");
        EXPECT_TRUE(p.client.SetBinaryType()) << p.client.ErrorMessage().toStdString();
        EXPECT_TRUE(s.Mismatches().isEmpty()) << s.Mismatches().join('\n').toStdString();
    }
}

TEST_F(FtpClientEdges, ForceCloseDuringASingleCommandIsAFailure)
{
    srv.LoginSteps();  // TYPE is never answered
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    p.client.StartTypeBinary();
    ASSERT_TRUE(WaitUntil([&] { return srv.Commands().size() == 3; }));
    p.client.ForceClose();
    ASSERT_TRUE(WaitUntil([&] { return p.done.size() == 2; }));
    EXPECT_EQ(p.done[1].rq, ftpReqType);
    EXPECT_EQ(p.done[1].error, 426);
}

TEST_F(FtpClientEdges, RestWhileBusyIsRefused)
{
    srv.LoginSteps().Expect("TYPE I").Delay(100).Reply("200 Type set to I.");
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(dir.filePath("nothing-here"));
    p.client.StartTypeBinary();
    EXPECT_THROW(p.client.StartRest(), FtpException);
    ASSERT_TRUE(p.client.WaitForReady());
    testsupport::DrainEvents();
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].rq, ftpReqType);
    EXPECT_EQ(p.done[1].error, 0);
}

// A blocking call reports its own request's result, whatever OnRequestDone
// starts next.
TEST_F(FtpClientEdges, BlockingResultIsTakenBeforeRequestDoneRuns)
{
    for (const char* typeReply : {"200 Type set to I.", "500 No types here."}) {
        FtpFakeServer s;
        s.LoginSteps().Expect("TYPE I").Reply(typeReply);
        ClientProbe p(s.Port());
        p.client.OnRequestDone = [&](TCustomFtpCli*, TFtpRequest rq, std::uint16_t) {
            if (rq == ftpReqLogin)
                p.client.SetBinaryType();
        };
        EXPECT_TRUE(p.client.Login()) << typeReply;
    }
}

TEST_F(FtpClientEdges, QuitOnAClosedConnectionFinishesAtOnce)
{
    srv.LoginSteps().Drop();
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    ASSERT_TRUE(WaitUntil([&] { return !p.client.IsConnected(); }));
    p.client.SetTimeout(0);  // waiting would never end
    EXPECT_TRUE(p.client.Quit());
    testsupport::DrainEvents();
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].rq, ftpReqQuit);
    EXPECT_EQ(p.done[1].error, 0);
}

// --- unsafe arguments ------------------------------------------------------------------

TEST_F(FtpClientEdges, LineBreaksAndNulInArgumentsAreRefusedAtTheStart)
{
    struct Row {
        const char* name;
        std::function<void(TFtpClient&, const QString&)> set;
        void (TCustomFtpCli::*start)();
    };
    const Row rows[] = {
        {"user", [](TFtpClient& c, const QString& v) { c.SetUserName(v); }, &TCustomFtpCli::StartLogin},
        {"password", [](TFtpClient& c, const QString& v) { c.SetPassWord(v); }, &TCustomFtpCli::StartLogin},
        {"folder", [](TFtpClient& c, const QString& v) { c.SetHostDirName(v); }, &TCustomFtpCli::StartUpload},
        {"file", [](TFtpClient& c, const QString& v) { c.SetHostFileName(v); }, &TCustomFtpCli::StartUpload},
        {"raw command", [](TFtpClient& c, const QString& v) { c.SetLocalFileName(v); },
         &TCustomFtpCli::StartLoginQuote},
    };
    for (const Row& row : rows) {
        for (const QString& bad : {QStringLiteral("x\r\nDELE index.html"), QStringLiteral("x\nDELE a"),
                                   QStringLiteral("x") + QChar(0) + QStringLiteral("y")}) {
            SCOPED_TRACE(row.name);
            ClientProbe p(srv.Port());
            p.client.SetLocalFileName(Local("a.jpg", "x"));
            p.client.SetHostFileName("a.jpg");
            row.set(p.client, bad);
            EXPECT_THROW((p.client.*row.start)(), FtpException);
            EXPECT_EQ(p.client.State(), fsReady);
        }
    }
    testsupport::DrainEvents();
    EXPECT_EQ(srv.Connections(), 0);

    // The same for single commands on an open connection.
    srv.LoginSteps();
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    p.client.SetHostDirName("www\r\nDELE index.html");
    EXPECT_THROW(p.client.StartCwd(), FtpException);
    p.client.SetLocalFileName("NOOP\nDELE index.html");
    EXPECT_THROW(p.client.StartQuote(), FtpException);
    testsupport::DrainEvents();
    EXPECT_EQ(srv.Commands().size(), 2);
}

// In active mode only the server may connect to the data port.
TEST_F(FtpClientEdges, ActiveDataConnectionFromAnotherAddressIsDropped)
{
    const QByteArray content = ftptest::Pattern(50 * 1024);
    srv.LoginSteps()
        .Expect("PORT 127,0,0,1,")
        .Reply("200 Ok.")
        .Expect("STOR cam.jpg")
        .ConnectStranger()
        .Delay(100)
        .Reply("150 Opening.")
        .ConnectData()
        .ReceiveData()
        .Reply("226 Done.");
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(Local("cam.jpg", content));
    p.client.SetHostFileName("cam.jpg");
    ASSERT_TRUE(p.client.Store()) << p.client.ErrorMessage().toStdString();
    EXPECT_TRUE(srv.DataReceived() == content);
    EXPECT_TRUE(srv.StrangerReceived().isEmpty());
}

// --- replies as real servers write them --------------------------------------------------

TEST_F(FtpClientEdges, RepliesOfRealServersAreUnderstood)
{
    struct Row {
        const char* name;
        QByteArray reply;  // the raw answer to PWD
        QString dir;       // expected folder result
    };
    const Row rows[] = {
        // Text lines inside a multi-line reply that begin with digits.
        {"digits in a block", "257-Info\r\n2 rules apply\r\n100 users max\r\n257 \"/cam\" is current.\r\n", "/cam"},
        {"same code ends the block", "257-Info\r\n257-more\r\n257\r\n", ""},
        // A NUL byte is an ordinary byte of the line.
        {"NUL", QByteArray("257 \"/x\" note \0 here\r\n", 22), "/x"},
        // Latin-1 text when the bytes are not UTF-8.
        {"Latin-1", "257 \"/caf\xe9\" is current.\r\n", QStringLiteral("/caf\u00e9")},
        {"UTF-8", "257 \"/caf\xc3\xa9\" is current.\r\n", QStringLiteral("/caf\u00e9")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FtpFakeServer s;
        s.LoginSteps().Expect("PWD").Raw(row.reply);
        ExpectTypeInStep(s);
        ClientProbe p(s.Port());
        p.client.SetTimeout(5);
        ASSERT_TRUE(p.client.Login());
        EXPECT_TRUE(p.client.Pwd()) << p.client.ErrorMessage().toStdString();
        EXPECT_EQ(p.client.DirResult(), row.dir);
        EXPECT_TRUE(p.client.SetBinaryType()) << p.client.ErrorMessage().toStdString();
        EXPECT_TRUE(s.Mismatches().isEmpty()) << s.Mismatches().join('\n').toStdString();
    }
}

TEST_F(FtpClientEdges, LoginRepliesOfRealServersAreUnderstood)
{
    for (const QByteArray& passReply : {QByteArray("202 No password needed.\r\n"),
                                       QByteArray("230-Welcome\r\n100 users max\r\n230 Logged in.\r\n")}) {
        SCOPED_TRACE(passReply.toStdString());
        FtpFakeServer s;
        s.Greeting().Expect("USER ").Reply("331 Password required.").Expect("PASS ").Raw(passReply);
        ExpectTypeInStep(s);
        ClientProbe p(s.Port());
        EXPECT_TRUE(p.client.Login()) << p.client.ErrorMessage().toStdString();
        EXPECT_TRUE(p.client.SetBinaryType()) << p.client.ErrorMessage().toStdString();
        EXPECT_TRUE(s.Mismatches().isEmpty()) << s.Mismatches().join('\n').toStdString();
    }
}

// --- faults in handlers ----------------------------------------------------------------

namespace {

// Forgets the command it sent after SYST: the client's own program error.
class LosingClient : public TFtpClient
{
protected:
    void SendCommand(QString cmd) override
    {
        TFtpClient::SendCommand(cmd);
        if (cmd == QLatin1String("SYST"))
            lastCommand_.clear();
    }
};

}  // namespace

// An exception in a handler that runs inside a socket event ends the request
// with the exception's text at once and reaches OnBgException.
TEST_F(FtpClientEdges, ExceptionsInsideSocketEventsEndTheRequest)
{
    struct Row {
        const char* name;
        std::function<void(TFtpClient&)> arm;
        const char* text;
    };
    const Row rows[] = {
        {"std::exception from OnResponse",
         [](TFtpClient& c) {
             c.OnResponse = [](TCustomFtpCli* s) {
                 if (s->LastResponse().startsWith("215"))
                     throw std::runtime_error("response handler failed");
             };
         },
         "response handler failed"},
        {"anything from OnDisplay",
         [](TFtpClient& c) {
             c.OnDisplay = [](TCustomFtpCli*, QString& m) {
                 if (m.startsWith("< 215"))
                     throw 42;
             };
         },
         "Unknown exception"},
        {"program error", [](TFtpClient&) {}, "Program error: FNext is nil"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FtpFakeServer s;
        s.LoginSteps().Expect("SYST").Reply("215 UNIX Type: L8");
        LosingClient lossy;
        TFtpClient plain;
        TFtpClient& c = std::string(row.name) == "program error" ? lossy : plain;
        c.SetHostName("127.0.0.1");
        c.SetPort(s.PortText());
        c.SetUserName("tarvo");
        c.SetPassWord("secret");
        c.SetTimeout(20);
        QStringList caught;
        c.OnBgException = [&](TCustomFtpCli*, const std::exception& e, bool&) { caught << QString::fromUtf8(e.what()); };
        ASSERT_TRUE(c.Login());
        row.arm(c);
        EXPECT_FALSE(c.Syst());
        EXPECT_TRUE(c.ErrorMessage().contains(row.text)) << c.ErrorMessage().toStdString();
        EXPECT_EQ(caught.size(), 1);
        EXPECT_TRUE(caught.value(0).contains(row.text));
    }
}

TEST_F(FtpClientEdges, AnyExceptionFromRequestDoneGoesToBgException)
{
    for (int kind = 0; kind < 2; ++kind) {
        FtpFakeServer s;
        s.LoginSteps();
        ClientProbe p(s.Port());
        p.client.OnRequestDone = [kind](TCustomFtpCli*, TFtpRequest, std::uint16_t) {
            if (kind == 0)
                throw std::runtime_error("plain std exception");
            throw 7;
        };
        QString caught;
        p.client.OnBgException = [&](TCustomFtpCli*, const std::exception& e, bool&) { caught = e.what(); };
        EXPECT_TRUE(p.client.Login());
        testsupport::DrainEvents();
        EXPECT_EQ(caught, kind == 0 ? "plain std exception" : "Unknown exception");
    }
}

// --- handlers that delete the client --------------------------------------------------------

// Every event of the client may delete it; nothing may touch it afterwards.
TEST_F(FtpClientEdges, AnyEventMayDeleteTheClient)
{
    using Arm = std::function<void(TFtpClient*, std::function<void()>)>;
    struct Row {
        const char* name;
        Arm arm;
    };
    const Row rows[] = {
        {"OnDisplay", [](TFtpClient* c, auto kill) { c->OnDisplay = [kill](TCustomFtpCli*, QString&) { kill(); }; }},
        {"OnCommand", [](TFtpClient* c, auto kill) { c->OnCommand = [kill](TCustomFtpCli*, QString&) { kill(); }; }},
        {"OnResponse", [](TFtpClient* c, auto kill) { c->OnResponse = [kill](TCustomFtpCli*) { kill(); }; }},
        {"OnSessionConnected",
         [](TFtpClient* c, auto kill) { c->OnSessionConnected = [kill](TCustomFtpCli*, std::uint16_t) { kill(); }; }},
        {"OnStateChange", [](TFtpClient* c, auto kill) { c->OnStateChange = [kill](TCustomFtpCli*) { kill(); }; }},
        {"OnReadyToTransmit",
         [](TFtpClient* c, auto kill) { c->OnReadyToTransmit = [kill](TCustomFtpCli*, bool&) { kill(); }; }},
        {"OnProgress",
         [](TFtpClient* c, auto kill) { c->OnProgress = [kill](TCustomFtpCli*, qint64, bool&) { kill(); }; }},
        {"OnDisplayFile",
         [](TFtpClient* c, auto kill) { c->OnDisplayFile = [kill](TCustomFtpCli*, QString&) { kill(); }; }},
        {"OnRequestDone",
         [](TFtpClient* c, auto kill) {
             c->OnRequestDone = [kill](TCustomFtpCli*, TFtpRequest, std::uint16_t) { kill(); };
         }},
        {"OnSessionClosed",
         [](TFtpClient* c, auto kill) { c->OnSessionClosed = [kill](TCustomFtpCli*, std::uint16_t) { kill(); }; }},
        {"OnBgException",
         [](TFtpClient* c, auto kill) {
             c->OnResponse = [](TCustomFtpCli* s) {
                 if (s->LastResponse().startsWith("226"))
                     throw std::runtime_error("fault");
             };
             c->OnBgException = [kill](TCustomFtpCli*, const std::exception&, bool&) { kill(); };
         }},
    };
    const QString upload = Local("cam.jpg", ftptest::Pattern(20 * 1024));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FtpFakeServer s;
        s.LoginSteps()
            .Expect("PASV")
            .Passive()
            .Expect("STOR cam.jpg")
            .Reply("150 Ok.")
            .ReceiveData()
            .Reply("226 Stored.")
            .Expect("PASV")
            .Passive()
            .Expect("NLST")
            .Reply("150 Here.")
            .SendData("cam.jpg\r\n")
            .Reply("226 Listed.")
            .Expect("QUIT")
            .Reply("221 Bye.")
            .Drop();
        auto* c = new TFtpClient;
        QPointer<TFtpClient> alive(c);
        c->SetHostName("127.0.0.1");
        c->SetPort(s.PortText());
        c->SetUserName("tarvo");
        c->SetPassWord("secret");
        c->SetPassiveMode(true);
        c->SetLocalFileName(upload);
        c->SetHostFileName("cam.jpg");
        row.arm(c, [c] { delete c; });
        const std::function<bool()> steps[] = {
            [&] { return alive->Login(); },
            [&] { return alive->Store(); },
            [&] {
                alive->SetDisplayFileFlag(true);
                alive->SetHostFileName({});
                return alive->ListNames();
            },
            [&] { return alive->Quit(); },
        };
        for (const auto& step : steps) {
            if (!alive)
                break;
            step();
        }
        testsupport::DrainEvents();
        EXPECT_TRUE(!alive) << "the handler never ran";
        delete alive.data();
        WaitUntil([&] { return !s.ControlOpen(); }, 2000);
        testsupport::DrainEvents();
    }
}
