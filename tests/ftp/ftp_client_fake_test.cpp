// The FTP client against the scripted fake server: exact command sequences,
// reply assembly over real sockets, faults and the endings of requests.
#include "tests/ftp/ftp_probe.h"
#include "tests/support/ftp_fake_server.h"
#include "tests/support/wait.h"

#include <QDir>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using ftptest::ClientProbe;
using testsupport::FtpFakeServer;
using testsupport::WaitUntil;

namespace {

class FtpClientFake : public ftptest::FakeServerTest
{
};

QStringList LoginCommands() { return {"USER tarvo", "PASS secret"}; }

}  // namespace

// --- control connection and reply lines ----------------------------------------

TEST_F(FtpClientFake, LoginSendsUserAndPassAndReportsOnce)
{
    srv.LoginSteps();
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    EXPECT_EQ(srv.Commands(), LoginCommands());
    ASSERT_EQ(p.done.size(), 1);
    EXPECT_EQ(p.done[0].rq, ftpReqLogin);
    EXPECT_EQ(p.done[0].error, 0);
    EXPECT_TRUE(p.client.IsConnected());
    EXPECT_EQ(p.client.State(), fsReady);
    EXPECT_TRUE(p.Trace("> ").contains("USER tarvo"));
    EXPECT_TRUE(p.Trace("< ").contains("230 Logged in."));
}

TEST_F(FtpClientFake, UserAnsweredWith230SkipsPass)
{
    srv.Greeting().Expect("USER ").Reply("230 No password needed.");
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    EXPECT_EQ(srv.Commands(), QStringList{"USER tarvo"});
    ASSERT_EQ(p.done.size(), 1);
    EXPECT_EQ(p.done[0].error, 0);
}

TEST_F(FtpClientFake, RefusedPasswordEndsLoginWithTheReplyCode)
{
    srv.Greeting().Expect("USER ").Reply("331 Password required.").Expect("PASS ").Reply("530 Login incorrect.");
    ClientProbe p(srv.Port());
    EXPECT_FALSE(p.client.Login());
    ASSERT_EQ(p.done.size(), 1);
    EXPECT_EQ(p.done[0].error, 530);
    EXPECT_EQ(p.client.ErrorMessage(), "530 Login incorrect.");
    EXPECT_TRUE(p.client.IsConnected());  // a failing step sends no QUIT
}

TEST_F(FtpClientFake, ThreeLineGreetingConnectsOnceAfterTheLastLine)
{
    srv.Raw("220-Welcome\r\nplain text line\r\n").Delay(30).Reply("220 Ready.").Expect("USER ").Reply("230 Ok.");
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    EXPECT_EQ(p.sessionConnected, 1);
    ASSERT_GE(p.display.size(), 3);
    EXPECT_EQ(p.display.mid(0, 3), (QStringList{"< 220-Welcome", "< plain text line", "< 220 Ready."}));
    EXPECT_EQ(p.displayAtConnect, 3);
}

// A line with no valid reply code (three digits, 100 to 599) is a failure
// too, reported as 500: never as 0, whatever its digits.
TEST(FtpClientGreeting, OtherThan220ClosesWithThatCode)
{
    const struct {
        const char* greeting;
        int error;
    } rows[] = {
        {"120 Service ready in 5 minutes.", 120},
        {"000 Hello", 500},
        {"0000010000000000000000000000000000004000 Hello", 500},
        {"65536 Hello", 500},
    };
    for (const auto& r : rows) {
        FtpFakeServer srv;
        srv.Reply(r.greeting);
        ClientProbe p(srv.Port());
        EXPECT_FALSE(p.client.Login()) << r.greeting;
        ASSERT_EQ(p.done.size(), 1) << r.greeting;
        EXPECT_EQ(p.done[0].error, r.error) << r.greeting;
        EXPECT_EQ(p.client.ErrorMessage(), r.greeting);
        EXPECT_FALSE(p.client.IsConnected());
        EXPECT_EQ(p.sessionConnected, 0);
        EXPECT_TRUE(srv.Commands().isEmpty());
    }
    FtpFakeServer srv;  // the same for a command's reply
    srv.Greeting().Expect("USER ").Reply("000 Ok");
    ClientProbe p(srv.Port());
    EXPECT_FALSE(p.client.Login());
    EXPECT_EQ(p.client.StatusCode(), 500);
}

TEST_F(FtpClientFake, EmptyLinesBareLfAndSplitRepliesAreAssembled)
{
    srv.Raw("220 Ready.\n")  // bare LF ends the line with the default options
        .Expect("USER ")
        .Raw("\r\n33")
        .Delay(30)
        .Raw("1-First line\r\n331 Pass")
        .Delay(30)
        .Raw("word required.\r\n")
        .Expect("PASS ")
        .Reply("230 Ok.");
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    const QStringList replies = p.Trace("< ");
    EXPECT_EQ(replies, (QStringList{"220 Ready.", "", "331-First line", "331 Password required.", "230 Ok."}));
    EXPECT_EQ(srv.Commands(), LoginCommands());
}

TEST_F(FtpClientFake, LineOf4095BytesWithoutEndClosesTheConnection)
{
    srv.Raw(QByteArray(4095, 'x'));
    ClientProbe p(srv.Port());
    EXPECT_FALSE(p.client.Login());
    ASSERT_EQ(p.done.size(), 1);
    EXPECT_EQ(p.done[0].error, 500);
    EXPECT_EQ(p.client.ErrorMessage(), "500 Control connection closed.");
    EXPECT_FALSE(p.client.IsConnected());
}

TEST_F(FtpClientFake, RefusedConnectReportsTheSocketError)
{
    quint16 closedPort = 0;
    {
        QTcpServer s;
        ASSERT_TRUE(s.listen(QHostAddress::LocalHost, 0));
        closedPort = s.serverPort();
    }
    ClientProbe p(closedPort);
    EXPECT_FALSE(p.client.Login());
    ASSERT_EQ(p.done.size(), 1);
    EXPECT_EQ(p.done[0].error, WSAECONNREFUSED);
    EXPECT_TRUE(p.client.ErrorMessage().startsWith("500 ")) << p.client.ErrorMessage().toStdString();
    EXPECT_TRUE(p.client.ErrorMessage().endsWith("(Winsock error #10061)")) << p.client.ErrorMessage().toStdString();
    EXPECT_FALSE(p.client.IsConnected());
    EXPECT_EQ(p.client.State(), fsReady);
}

// --- time-outs, reentrancy, endings ------------------------------------------------

TEST_F(FtpClientFake, SilentServerTimesOutAndReportsOnce)
{
    // Connected, but no greeting ever comes.
    ClientProbe p(srv.Port());
    p.client.SetTimeout(1);
    EXPECT_FALSE(p.client.Login());
    EXPECT_EQ(p.client.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(p.client.StatusCode(), 426);
    ASSERT_TRUE(WaitUntil([&] { return p.done.size() >= 1; }, 5000));
    testsupport::DrainEvents();
    ASSERT_EQ(p.done.size(), 1);
    EXPECT_EQ(p.done[0].rq, ftpReqLogin);
    EXPECT_EQ(p.done[0].error, 426);
    EXPECT_FALSE(p.client.IsConnected());
    EXPECT_EQ(p.client.State(), fsReady);
}

TEST_F(FtpClientFake, TimedOutSingleCommandIsReportedAsFailure)
{
    srv.LoginSteps();  // then silence: TYPE is never answered
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    p.client.SetTimeout(1);
    EXPECT_FALSE(p.client.SetBinaryType());
    EXPECT_EQ(p.client.ErrorMessage(), "426 Timeout");
    ASSERT_TRUE(WaitUntil([&] { return p.done.size() >= 2; }, 5000));
    testsupport::DrainEvents();
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].rq, ftpReqType);
    EXPECT_EQ(p.done[1].error, 426);
}

TEST_F(FtpClientFake, CleanCloseBeforeTheFinalReplyIsAFailure)
{
    srv.LoginSteps().Expect("TYPE I").Drop();
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    EXPECT_FALSE(p.client.SetBinaryType());
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].error, 500);
    EXPECT_EQ(p.client.ErrorMessage(), "500 Control connection closed.");
    EXPECT_FALSE(p.client.IsConnected());
    EXPECT_EQ(p.sessionClosed, 1);
}

TEST_F(FtpClientFake, CleanCloseDuringATransferIsAFailure)
{
    srv.LoginSteps().Expect("PASV").Passive().Expect("STOR ").Reply("150 Ok to send data.").Drop();
    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(true);
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(Local("big.bin", ftptest::Pattern(2 * 1024 * 1024)));
    p.client.SetHostFileName("big.bin");
    EXPECT_FALSE(p.client.Store());
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].error, 500);
    EXPECT_EQ(p.client.ErrorMessage(), "500 Control connection closed.");
}

TEST_F(FtpClientFake, QuitSucceedsWhenTheServerAnswersAndCloses)
{
    srv.LoginSteps().Expect("QUIT").Reply("221 Goodbye.").Drop();
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    EXPECT_TRUE(p.client.Quit());
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].rq, ftpReqQuit);
    EXPECT_EQ(p.done[1].error, 0);
    EXPECT_FALSE(p.client.IsConnected());
}

TEST_F(FtpClientFake, QuitAnsweredOnlyByTheCloseStillSucceeds)
{
    srv.LoginSteps().Expect("QUIT").Drop();
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    EXPECT_TRUE(p.client.Quit());
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].error, 0);
}

TEST_F(FtpClientFake, BlockingCallInsideARunningRequestFailsAtOnce)
{
    srv.LoginSteps();
    ClientProbe p(srv.Port());
    int nestedCalls = 0;
    bool nestedResult = true;
    p.client.OnCommand = [&](TCustomFtpCli*, QString& cmd) {
        if (cmd.startsWith("USER") && nestedCalls++ == 0)
            nestedResult = p.client.SetBinaryType();
    };
    ASSERT_TRUE(p.client.Login());
    EXPECT_EQ(nestedCalls, 1);
    EXPECT_FALSE(nestedResult);
    EXPECT_EQ(srv.Commands(), LoginCommands());
    testsupport::DrainEvents();
    ASSERT_EQ(p.done.size(), 1);  // the refused call reports nothing
    EXPECT_EQ(p.done[0].rq, ftpReqLogin);
}

TEST_F(FtpClientFake, RequestDoneMayRunTheNextBlockingRequest)
{
    srv.LoginSteps().Expect("TYPE I").Reply("200 Type set to I.");
    ClientProbe p(srv.Port());
    bool typeResult = false;
    p.client.OnRequestDone = [&](TCustomFtpCli*, TFtpRequest rq, std::uint16_t e) {
        p.done << ftptest::Done{rq, e, {}};
        if (rq == ftpReqLogin)
            typeResult = p.client.SetBinaryType();
    };
    ASSERT_TRUE(p.client.Login());
    EXPECT_TRUE(typeResult);
    testsupport::DrainEvents();
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[0].rq, ftpReqLogin);
    EXPECT_EQ(p.done[1].rq, ftpReqType);
    EXPECT_EQ(p.done[1].error, 0);
}

TEST_F(FtpClientFake, StartErrorsRaiseAndReportNothing)
{
    ClientProbe p(srv.Port());
    EXPECT_THROW(p.client.StartType(), FtpException);  // not connected
    p.client.SetUserName({});
    srv.Greeting();
    // Open succeeds, then USER cannot start: the request ends instead of hanging.
    EXPECT_FALSE(p.client.Login());
    ASSERT_EQ(p.done.size(), 1);
    EXPECT_NE(p.done[0].error, 0);
    EXPECT_TRUE(p.client.ErrorMessage().contains("UserName emtpy"));
    try {
        p.client.StartLogin();
        FAIL() << "expected FtpException";
    } catch (const FtpException& e) {
        EXPECT_EQ(e.Message(), "FTP component already connected");
    }
}

// --- uploads ---------------------------------------------------------------------

class FtpClientFakeUpload : public FtpClientFake, public ::testing::WithParamInterface<bool>
{
protected:
    bool Passive() const { return GetParam(); }

    // The data port step as the server plays it for this mode.
    FtpFakeServer& DataPort()
    {
        if (Passive())
            return srv.Expect("PASV").Passive();
        return srv.Expect("PORT 127,0,0,1,").Reply("200 PORT command successful.");
    }
    FtpFakeServer& StoreAccepted(const QByteArray& name)
    {
        srv.Expect("STOR " + name);
        if (Passive())
            return srv.Reply("150 Ok to send data.");
        return srv.Reply("150 Opening data connection.").ConnectData();
    }
    QString PortCommand() const { return Passive() ? "PASV" : "PORT"; }
};

INSTANTIATE_TEST_SUITE_P(Modes, FtpClientFakeUpload, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

TEST_P(FtpClientFakeUpload, UploadWithoutFolderSendsTheWholeSequence)
{
    const QByteArray content = ftptest::Pattern(70 * 1024 + 17);
    srv.LoginSteps().Expect("TYPE I").Reply("200 Type set to I.");
    DataPort();
    StoreAccepted("Capture.jpg").ReceiveData().Reply("226 Transfer complete.");
    srv.Expect("QUIT").Reply("221 Goodbye.").Drop();

    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(Passive());
    p.client.SetLocalFileName(Local("Capture.jpg", content));
    p.client.SetHostFileName("Capture.jpg");
    ASSERT_TRUE(p.client.Upload()) << p.client.ErrorMessage().toStdString();

    QStringList commands = srv.Commands();
    ASSERT_EQ(commands.size(), 6);
    EXPECT_TRUE(commands[3].startsWith(PortCommand())) << commands[3].toStdString();
    commands.removeAt(3);
    EXPECT_EQ(commands, (QStringList{"USER tarvo", "PASS secret", "TYPE I", "STOR Capture.jpg", "QUIT"}));
    EXPECT_EQ(srv.DataReceived(), content);
    ASSERT_EQ(p.done.size(), 1);
    EXPECT_EQ(p.done[0].rq, ftpReqUpload);
    EXPECT_EQ(p.done[0].error, 0);
    // QUIT's reply does not replace the transfer's.
    EXPECT_EQ(p.client.LastResponse(), "226 Transfer complete.");
    EXPECT_FALSE(p.client.IsConnected());
}

TEST_P(FtpClientFakeUpload, UploadWithFolderChangesDirectoryFirst)
{
    srv.LoginSteps().Expect("CWD /www/cam").Reply("250 Directory changed.").Expect("TYPE I").Reply("200 Ok.");
    DataPort();
    StoreAccepted("datetime.bmp").ReceiveData().Reply("226 Done.");
    srv.Expect("QUIT").Reply("221 Bye.").Drop();

    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(Passive());
    p.client.SetHostDirName("/www/cam");
    p.client.SetLocalFileName(Local("datetime.bmp", "BM tiny"));
    p.client.SetHostFileName("datetime.bmp");
    ASSERT_TRUE(p.client.Upload()) << p.client.ErrorMessage().toStdString();
    EXPECT_EQ(srv.Commands().mid(0, 4), (QStringList{"USER tarvo", "PASS secret", "CWD /www/cam", "TYPE I"}));
    EXPECT_EQ(srv.DataReceived(), "BM tiny");
}

TEST_P(FtpClientFakeUpload, EmptyFileIsStoredAndCounted)
{
    srv.LoginSteps();
    DataPort();
    StoreAccepted("empty.bin").ReceiveData().Reply("226 Transfer complete.");
    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(Passive());
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(Local("empty.bin", {}));
    p.client.SetHostFileName("empty.bin");
    ASSERT_TRUE(p.client.Store()) << p.client.ErrorMessage().toStdString();
    EXPECT_TRUE(srv.DataReceived().isEmpty());
    EXPECT_TRUE(srv.DataConnectionEverOpened());
    const QStringList notes = p.Trace("! ");
    ASSERT_FALSE(notes.isEmpty());
    EXPECT_TRUE(notes.last().startsWith("0 bytes received/sent in ")) << notes.last().toStdString();
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].rq, ftpReqStore);
    EXPECT_EQ(p.done[1].error, 0);
}

TEST_P(FtpClientFakeUpload, ReplyBeforeTheDataCloseDoesNotCutTheTransfer)
{
    const QByteArray content = ftptest::Pattern(600 * 1024);
    srv.LoginSteps();
    DataPort();
    StoreAccepted("big.bin").Reply("226 Early completion.").ReceiveData();
    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(Passive());
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(Local("big.bin", content));
    p.client.SetHostFileName("big.bin");
    ASSERT_TRUE(p.client.Store()) << p.client.ErrorMessage().toStdString();
    EXPECT_EQ(srv.DataReceived().size(), content.size());
    EXPECT_TRUE(srv.DataReceived() == content);
    EXPECT_EQ(p.client.ByteCount(), content.size());
}

TEST_P(FtpClientFakeUpload, RefusedStoreKeepsTheConnection)
{
    srv.LoginSteps();
    DataPort();
    srv.Expect("STOR ").Reply("553 Could not create file.");
    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(Passive());
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(Local("a.jpg", "x"));
    p.client.SetHostFileName("a.jpg");
    EXPECT_FALSE(p.client.Store());
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].error, 553);
    EXPECT_EQ(p.client.ErrorMessage(), "553 Could not create file.");
    EXPECT_TRUE(p.client.IsConnected());
    EXPECT_EQ(p.client.State(), fsReady);
}

TEST_P(FtpClientFakeUpload, ReadyToTransmitCancelSendsNoStore)
{
    srv.LoginSteps();
    DataPort();
    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(Passive());
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(Local("a.jpg", "x"));
    p.client.SetHostFileName("a.jpg");
    p.client.OnReadyToTransmit = [](TCustomFtpCli*, bool& cancel) { cancel = true; };
    EXPECT_FALSE(p.client.Store());
    testsupport::DrainEvents();
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].error, 426);
    EXPECT_EQ(p.client.ErrorMessage(), "426 Transmit cancelled by application");
    for (const QString& c : srv.Commands())
        EXPECT_FALSE(c.startsWith("STOR")) << c.toStdString();
}

TEST_P(FtpClientFakeUpload, MissingLocalFileFailsTheStep)
{
    srv.LoginSteps();
    DataPort();
    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(Passive());
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(dir.filePath("does-not-exist.jpg"));
    p.client.SetHostFileName("x.jpg");
    EXPECT_FALSE(p.client.Store());
    testsupport::DrainEvents();
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].error, 426);
    EXPECT_EQ(p.client.ErrorMessage(), "426 Unable to open local file " + dir.filePath("does-not-exist.jpg"));
}

// --- passive replies and downloads ----------------------------------------------------

TEST_F(FtpClientFake, PassiveReplyWithoutAddressFailsTheStore)
{
    srv.LoginSteps().Expect("PASV").Reply("227 Entering Passive Mode");
    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(true);
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(Local("a.jpg", "x"));
    p.client.SetHostFileName("a.jpg");
    EXPECT_FALSE(p.client.Store());
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].error, 426);
    EXPECT_TRUE(p.client.ErrorMessage().startsWith("426 ")) << p.client.ErrorMessage().toStdString();
    EXPECT_TRUE(p.client.ErrorMessage().contains("227 Entering Passive Mode"));
    EXPECT_TRUE(p.client.IsConnected());
    EXPECT_EQ(p.client.State(), fsReady);
}

TEST_F(FtpClientFake, PassiveReplyWithoutAddressFailsTheRetrieve)
{
    srv.LoginSteps().Expect("PASV").Reply("227 Entering Passive Mode (127,0,0,1,7)");
    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(true);
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(dir.filePath("got.bin"));
    p.client.SetHostFileName("got.bin");
    EXPECT_FALSE(p.client.Retrieve());
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].error, 550);
    EXPECT_TRUE(p.client.ErrorMessage().startsWith("550 "));
    EXPECT_TRUE(p.client.ErrorMessage().contains("(127,0,0,1,7)"));
}

TEST_F(FtpClientFake, DownloadFailingAfter150IsReported)
{
    srv.LoginSteps().Expect("PASV").Passive().Expect("RETR gone.bin").Reply("150 Opening.").Reply("550 Read error.");
    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(true);
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(dir.filePath("gone.bin"));
    p.client.SetHostFileName("gone.bin");
    EXPECT_FALSE(p.client.Retrieve());
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].rq, ftpReqRetrieve);
    EXPECT_EQ(p.done[1].error, 550);
    EXPECT_TRUE(p.Trace("! ").contains("RETR/LIST/NLST Failed"));
}

TEST_F(FtpClientFake, DownloadEndsWithTheLaterOfReplyAndClose)
{
    const QByteArray content = ftptest::Pattern(100 * 1024);
    srv.LoginSteps()
        .Expect("PORT 127,0,0,1,")
        .Reply("200 Ok.")
        .Expect("RETR file.bin")
        .Reply("150 Opening.")
        .ConnectData()
        .SendData(content)
        .Delay(50)
        .Reply("226 Done.");
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(dir.filePath("file.bin"));
    p.client.SetHostFileName("file.bin");
    ASSERT_TRUE(p.client.Retrieve()) << p.client.ErrorMessage().toStdString();
    EXPECT_TRUE(ftptest::ReadFile(dir.filePath("file.bin")) == content);
}

TEST_F(FtpClientFake, RestWithoutLocalFileSendsNothing)
{
    srv.LoginSteps();
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(dir.filePath("nothing-here"));
    p.client.StartRest();
    EXPECT_EQ(p.client.State(), fsReady);
    ASSERT_TRUE(WaitUntil([&] { return p.done.size() == 2; }));
    EXPECT_EQ(p.done[1].rq, ftpReqRest);
    EXPECT_EQ(p.done[1].error, 0);
    EXPECT_EQ(srv.Commands(), LoginCommands());
}

// Some servers open the active data connection as soon as they read PORT,
// before answering it; the transfer must still start.
TEST_F(FtpClientFake, ActiveDataConnectionOpenedBeforeThePortReply)
{
    const QByteArray content = ftptest::Pattern(5000);
    srv.LoginSteps()
        .Expect("PORT 127,0,0,1,")
        .ConnectData()
        .Delay(50)
        .Reply("200 Active data connection established.")
        .Expect("STOR early.bin")
        .Reply("125 Data connection already open. Transfer starting.")
        .ReceiveData()
        .Reply("226 Transfer complete.")
        .Expect("PORT 127,0,0,1,")
        .ConnectData()
        .Delay(50)
        .Reply("200 Active data connection established.")
        .Expect("NLST")
        .Reply("125 Data connection already open. Transfer starting.")
        .SendData("early.bin\r\n")
        .Reply("226 Transfer complete.");
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(Local("early.bin", content));
    p.client.SetHostFileName("early.bin");
    ASSERT_TRUE(p.client.Store()) << p.client.ErrorMessage().toStdString();
    EXPECT_TRUE(srv.DataReceived() == content);

    QStringList names;
    p.client.SetDisplayFileFlag(true);
    p.client.SetHostFileName({});
    p.client.OnDisplayFile = [&](TCustomFtpCli*, QString& line) { names << line; };
    ASSERT_TRUE(p.client.ListNames()) << p.client.ErrorMessage().toStdString();
    EXPECT_EQ(names, QStringList{"early.bin"});
}

TEST_F(FtpClientFake, UnknownHostEndsWithTheLookupError)
{
    ClientProbe p(srv.Port());
    p.client.SetHostName("no-such-host.invalid");
    EXPECT_FALSE(p.client.Login());
    ASSERT_EQ(p.done.size(), 1);
    EXPECT_GE(p.done[0].error, 10000);  // the socket error number, not 500
    EXPECT_TRUE(p.client.ErrorMessage().startsWith("500 ")) << p.client.ErrorMessage().toStdString();
    EXPECT_TRUE(p.client.ErrorMessage().contains("(Winsock error #"));
    EXPECT_EQ(p.client.State(), fsReady);
}

TEST_F(FtpClientFake, ProgressAbortClosesTheDataConnection)
{
    srv.LoginSteps()
        .Expect("PASV")
        .Passive()
        .Expect("STOR big.bin")
        .Reply("150 Ok to send data.")
        .ReceiveData()
        .Reply("426 Connection closed; transfer aborted.");
    ClientProbe p(srv.Port());
    p.client.SetPassiveMode(true);
    ASSERT_TRUE(p.client.Login());
    p.client.SetLocalFileName(Local("big.bin", ftptest::Pattern(400 * 1024)));
    p.client.SetHostFileName("big.bin");
    qint64 lastCount = -1;
    p.client.OnProgress = [&](TCustomFtpCli*, qint64 count, bool& abort) {
        lastCount = count;
        abort = count >= 100 * 1024;
    };
    EXPECT_FALSE(p.client.Store());
    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[1].error, 426);
    EXPECT_TRUE(p.Trace("! ").contains("Abort requested"));
    // Asked before each block: the blocks before the abort went, none after.
    EXPECT_GE(lastCount, 100 * 1024);
    EXPECT_LT(lastCount, 400 * 1024);
    EXPECT_EQ(srv.DataReceived().size(), lastCount);
}

namespace {

// Reaches the FTP proxy on the fake server's port instead of port 21.
class ProxyTestClient : public TFtpClient
{
public:
    void SetProxyPortForTest(const QString& port) { proxyPort_ = port; }
};

}  // namespace

TEST_F(FtpClientFake, ProxyLoginNamesTheTargetHost)
{
    ProxyTestClient c;
    c.SetProxyPortForTest(srv.PortText());
    c.SetConnectionType(ftpProxy);
    c.SetProxyServer("127.0.0.1");
    c.SetHostName("ftp.example.com");
    c.SetUserName("tarvo");
    c.SetPassWord("secret");
    c.SetTimeout(20);
    c.SetPassiveMode(false);
    EXPECT_TRUE(c.PassiveMode());  // a proxy needs passive transfers
    const std::pair<const char*, QByteArray> cases[] = {
        {"2121", "USER tarvo@ftp.example.com:2121"},
        {"FTP", "USER tarvo@ftp.example.com"},
        {"21", "USER tarvo@ftp.example.com"},
    };
    for (const auto& [port, user] : cases) {
        srv.Greeting().Expect(user).Reply("230 Ok.").Expect("QUIT").Reply("221 Bye.").Drop();
        c.SetPort(port);
        ASSERT_TRUE(c.Login()) << c.ErrorMessage().toStdString();
        ASSERT_TRUE(c.Quit());
        EXPECT_EQ(srv.Commands().last(), "QUIT");
        EXPECT_EQ(srv.Commands()[srv.Commands().size() - 2], QString::fromLatin1(user));
    }
}

TEST(FtpClientProperties, ConnectionTypeReachesBothSockets)
{
    TFtpClient c;
    EXPECT_EQ(c.Timeout(), 15);
    EXPECT_TRUE(c.Options().Contains(ftpAcceptLF));
    EXPECT_EQ(c.ShareMode(), ftpShareExclusive);
    c.SetShareMode(static_cast<TFtpShareMode>(9));
    EXPECT_EQ(c.ShareMode(), ftpShareExclusive);
    c.SetShareMode(ftpShareDenyNone);
    EXPECT_EQ(c.ShareMode(), ftpShareDenyNone);

    c.SetConnectionType(ftpSocks4A);
    c.SetSocksServer("127.0.0.1");
    c.SetSocksPort("1080");
    c.SetSocksUserCode("cam");
    c.SetSocksPassword("pw");
    EXPECT_TRUE(c.PassiveMode());
    for (TWSocket* s : {c.ControlSocket(), c.DataSocket()}) {
        EXPECT_EQ(s->SocksLevel(), "4A");
        EXPECT_EQ(s->SocksAuthentication(), socksAuthenticateUsercode);
        EXPECT_EQ(s->SocksServer(), "127.0.0.1");
        EXPECT_EQ(s->SocksPort(), "1080");
        EXPECT_EQ(s->SocksUsercode(), "cam");
        EXPECT_EQ(s->SocksPassword(), "pw");
    }
    EXPECT_EQ(c.SocksUserCode(), "cam");

    c.SetConnectionType(ftpDirect);
    EXPECT_EQ(c.DataSocket()->SocksAuthentication(), socksNoAuthentication);
    c.SetPassiveMode(false);
    EXPECT_FALSE(c.PassiveMode());
    c.SetConnectionType(static_cast<TFtpConnectionType>(7));
    EXPECT_EQ(c.ConnectionType(), ftpDirect);
}

TEST_F(FtpClientFake, ConnectionTypeCannotChangeWhileConnected)
{
    srv.LoginSteps();
    ClientProbe p(srv.Port());
    ASSERT_TRUE(p.client.Login());
    try {
        p.client.SetConnectionType(ftpSocks5);
        FAIL() << "expected FtpException";
    } catch (const FtpException& e) {
        EXPECT_EQ(e.Message(), "FTP component connected");
    }
    EXPECT_EQ(p.client.ConnectionType(), ftpDirect);
}

TEST_F(FtpClientFake, ExceptionInRequestDoneGoesToBgException)
{
    srv.LoginSteps();
    ClientProbe p(srv.Port());
    QString caught;
    p.client.OnRequestDone = [](TCustomFtpCli*, TFtpRequest, std::uint16_t) { throw FtpException("handler failed"); };
    p.client.OnBgException = [&](TCustomFtpCli*, const std::exception& e, bool& canClose) {
        caught = QString::fromUtf8(e.what());
        EXPECT_TRUE(canClose);
    };
    EXPECT_TRUE(p.client.Login());
    testsupport::DrainEvents();
    EXPECT_EQ(caught, "handler failed");
    EXPECT_TRUE(p.client.IsConnected());  // nothing else is closed
}

TEST_F(FtpClientFake, ForceCloseAbortsAHighLevelRequest)
{
    ClientProbe p(srv.Port());  // the server never greets
    p.client.StartLogin();
    ASSERT_TRUE(WaitUntil([&] { return p.client.State() == fsWaitingGreeting && p.client.IsConnected() &&
                                       srv.Connections() == 1; }));
    testsupport::DrainEvents();
    p.client.ForceClose();
    EXPECT_EQ(p.client.State(), fsReady);
    EXPECT_FALSE(p.client.IsConnected());
    ASSERT_TRUE(WaitUntil([&] { return !p.done.isEmpty(); }));
    testsupport::DrainEvents();
    ASSERT_EQ(p.done.size(), 1);
    EXPECT_EQ(p.done[0].rq, ftpReqLogin);
    EXPECT_EQ(p.done[0].error, 426);
    EXPECT_EQ(p.done[0].errorMessage, "426 Operation aborted.");
}
