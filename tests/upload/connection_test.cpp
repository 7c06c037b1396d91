// The connection test: each fault a server or the network can show is told
// from the reply or socket error, its advice says what the fault is, and a
// test leaves no file on the server.
#include "tests/support/ftp_fake_server.h"
#include "tests/support/ftp_real_server.h"
#include "tests/support/tls_certificates.h"
#include "tests/support/wait.h"
#include "upload/Advice.h"
#include "upload/UploadRunner.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTcpServer>

#include <functional>
#include <algorithm>
#include <vector>

using testsupport::FtpFakeServer;
using testsupport::FtpRealServer;

namespace {

struct TestRun {
    std::vector<TUploadStep> steps;
    TUploadResult result;
    bool finished = false;
};

TestRun RunTest(const settings::FtpAccount& account, TUploadPurpose purpose = TUploadPurpose::Test,
                QStringList* failures = nullptr)
{
    TUploadRunner transport;
    TUploadJob job;
    job.purpose = purpose;
    job.account = account;
    if (purpose != TUploadPurpose::Test)
        job.files = {{QStringLiteral("/nonexistent/Capture.jpg"), QStringLiteral("Capture.jpg")}};
    if (failures)
        transport.OnFailure = [failures](TUploadPurpose, const QString& message) { *failures << message; };
    TestRun run;
    EXPECT_TRUE(transport.Start(
        job,
        [&run](const TUploadResult& r) {
            run.result = r;
            run.finished = true;
        },
        {}, [&run](const TUploadStep& s) { run.steps.push_back(s); }));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return run.finished; }, 30000));
    return run;
}

settings::FtpAccount Account(const QString& host, const QString& port)
{
    settings::FtpAccount a;
    a.host = host;
    a.port = port;
    a.userId = QStringLiteral("tarvo");
    a.password = QStringLiteral("secret");
    a.timeout = QStringLiteral("2");
    return a;
}

quint16 ClosedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost);
    const quint16 port = s.serverPort();
    s.close();
    return port;
}

// The passive address a server names when nothing listens there.
QByteArray PassiveToNowhere()
{
    const quint16 p = ClosedPort();
    return QStringLiteral("227 Entering Passive Mode (127,0,0,1,%1,%2)").arg(p >> 8).arg(p & 0xff).toLatin1();
}

FtpFakeServer& UpToStore(FtpFakeServer& s)
{
    return s.LoginSteps().Expect("TYPE I").Reply("200 Type set to I.");
}

}  // namespace

// One row per fault: the failed step's fault, the result's, and the advice
// row whose words say it.
TEST(ConnectionTest, EachFaultIsToldWithItsAdvice)
{
    ASSERT_TRUE(testsupport::TlsCertificates::Get().Ok());
    testsupport::ScopedTestCaStore store;
    FtpRealServer wrongName;
    wrongName.SetTls(FtpRealServer::Tls::Explicit, QStringLiteral("wrongname"));
    ASSERT_TRUE(wrongName.Start()) << wrongName.Error().toStdString();

    struct Row {
        const char* name;
        std::function<settings::FtpAccount(FtpFakeServer&)> setUp;
        TUploadStepKind kind;
        TUploadFault fault;
        const char* adviceWord;  // in the advice's meaning
        const char* command;     // the fake server must have received it, when set
    };
    const auto fake = [](FtpFakeServer& s) { return Account(QStringLiteral("127.0.0.1"), s.PortText()); };
    const Row rows[] = {
        {"unknown name", [](FtpFakeServer&) { return Account(QStringLiteral("no-such-host.invalid"), "21"); },
         TUploadStepKind::Resolve, TUploadFault::UnknownHost, "unknown", nullptr},
        {"closed port",
         [](FtpFakeServer&) { return Account(QStringLiteral("127.0.0.1"), QString::number(ClosedPort())); },
         TUploadStepKind::Connect, TUploadFault::NothingListening, "port", nullptr},
        {"silent server", fake, TUploadStepKind::Connect, TUploadFault::NoAnswer, "time limit", nullptr},
        {"TLS required",
         [&](FtpFakeServer& s) {
             s.Greeting().Expect("USER ").Reply("530 Non-anonymous sessions must use encryption.");
             return fake(s);
         },
         TUploadStepKind::Login, TUploadFault::EncryptionRequired, "encrypted", nullptr},
        {"certificate of another host",
         [&](FtpFakeServer&) {
             settings::FtpAccount a = Account(QStringLiteral("127.0.0.1"), wrongName.PortText());
             a.tls.mode = 1;
             return a;
         },
         TUploadStepKind::Secure, TUploadFault::CertificateName, "another host", nullptr},
        {"wrong password",
         [&](FtpFakeServer& s) {
             s.Greeting().Expect("USER ").Reply("331 Password required.").Expect("PASS ").Reply("530 Login incorrect.");
             return fake(s);
         },
         TUploadStepKind::Login, TUploadFault::LoginRefused, "password", nullptr},
        {"passive blocked",
         [&](FtpFakeServer& s) {
             UpToStore(s).Expect("PASV").Reply(PassiveToNowhere());
             s.Expect("PORT").Reply("200 PORT command successful.").Expect("STOR tarvo-lite-test.tmp.txt");
             s.Reply("150 Ok to send data.").ConnectData().ReceiveData().Reply("226 Transfer complete.");
             s.Expect("RNFR").Reply("350 Ready.").Expect("RNTO").Reply("250 Renamed.");
             s.Expect("DELE tarvo-lite-test.txt").Reply("250 Deleted.").Expect("QUIT").Reply("221 Bye.");
             return fake(s);
         },
         TUploadStepKind::DataMode, TUploadFault::PassiveFailed, "passive", "DELE tarvo-lite-test.txt"},
        // A data connection that times out is given up, and the other mode
        // tried on a fresh session: the first session's file is overwritten.
        {"active times out",
         [&](FtpFakeServer& s) {
             UpToStore(s).Expect("PORT").Reply("200 PORT command successful.").Expect("STOR tarvo-lite-test.tmp.txt");
             s.Reply("150 Opening data connection.").NextControl();  // and never connects
             UpToStore(s).Expect("PASV").Passive().Expect("STOR tarvo-lite-test.tmp.txt").Reply("150 Ok to send data.");
             s.ReceiveData().Reply("226 Transfer complete.").Expect("RNFR").Reply("350 Ready.");
             s.Expect("RNTO").Reply("250 Renamed.").Expect("DELE tarvo-lite-test.txt").Reply("250 Deleted.");
             s.Expect("QUIT").Reply("221 Bye.");
             settings::FtpAccount a = fake(s);
             a.passiveMode = false;
             return a;
         },
         TUploadStepKind::DataMode, TUploadFault::ActiveFailed, "active", "DELE tarvo-lite-test.txt"},
        {"passive times out",
         [&](FtpFakeServer& s) {
             UpToStore(s).Expect("PASV").PassiveUnanswered().NextControl();
             UpToStore(s).Expect("PORT").Reply("200 PORT command successful.").Expect("STOR tarvo-lite-test.tmp.txt");
             s.Reply("150 Ok to send data.").ConnectData().ReceiveData().Reply("226 Transfer complete.");
             s.Expect("RNFR").Reply("350 Ready.").Expect("RNTO").Reply("250 Renamed.");
             s.Expect("DELE tarvo-lite-test.txt").Reply("250 Deleted.").Expect("QUIT").Reply("221 Bye.");
             return fake(s);
         },
         TUploadStepKind::DataMode, TUploadFault::PassiveFailed, "passive", "DELE tarvo-lite-test.txt"},
        // Neither: a third session deletes what the first one stored.
        {"both modes time out",
         [&](FtpFakeServer& s) {
             UpToStore(s).Expect("PORT").Reply("200 PORT command successful.").Expect("STOR tarvo-lite-test.tmp.txt");
             s.Reply("150 Opening data connection.").NextControl();
             UpToStore(s).Expect("PASV").PassiveUnanswered().NextControl();
             UpToStore(s).Expect("DELE tarvo-lite-test.tmp.txt").Reply("250 Deleted.").Expect("QUIT").Reply("221 Bye.");
             settings::FtpAccount a = fake(s);
             a.passiveMode = false;
             return a;
         },
         TUploadStepKind::DataMode, TUploadFault::NoAnswer, "time limit", "DELE tarvo-lite-test.tmp.txt"},
        {"read-only folder",
         [&](FtpFakeServer& s) {
             UpToStore(s).Expect("CWD pictures").Reply("550 No such directory.");
             s.Expect("CWD pictures").Reply("550 No such directory.");
             s.Expect("MKD pictures").Reply("550 Permission denied.");
             settings::FtpAccount a = fake(s);
             a.remoteFolder = QStringLiteral("pictures");
             return a;
         },
         TUploadStepKind::Folder, TUploadFault::FolderNotWritable, "folder", "MKD pictures"},
        {"no rename",
         [&](FtpFakeServer& s) {
             UpToStore(s).Expect("PASV").Passive().Expect("STOR tarvo-lite-test.tmp.txt").Reply("150 Ok to send data.");
             s.ReceiveData().Reply("226 Transfer complete.").Expect("RNFR").Reply("502 Command not implemented.");
             s.Expect("DELE tarvo-lite-test.tmp.txt").Reply("250 Deleted.").Expect("QUIT").Reply("221 Bye.");
             return fake(s);
         },
         TUploadStepKind::Rename, TUploadFault::RenameRefused, "renaming", "DELE tarvo-lite-test.tmp.txt"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FtpFakeServer server;
        const TestRun run = RunTest(row.setUp(server));
        ASSERT_TRUE(run.finished);
        EXPECT_FALSE(run.result.ok);
        EXPECT_EQ(run.result.fault, row.fault) << run.result.text.toStdString();
        const auto failed = std::find_if(run.steps.begin(), run.steps.end(), [](const TUploadStep& s) { return !s.ok; });
        ASSERT_NE(failed, run.steps.end());
        EXPECT_EQ(failed->kind, row.kind) << failed->detail.toStdString();
        EXPECT_EQ(failed->fault, row.fault) << failed->detail.toStdString();
        EXPECT_FALSE(failed->detail.isEmpty());
        const TUploadAdvice* advice = FindUploadAdvice(row.fault);
        ASSERT_NE(advice, nullptr);
        EXPECT_TRUE(QString::fromUtf8(advice->meaning).contains(QLatin1String(row.adviceWord), Qt::CaseInsensitive))
            << advice->meaning;
        EXPECT_TRUE(server.Mismatches().isEmpty()) << server.Mismatches().join(QLatin1Char('|')).toStdString();
        if (row.command) {
            EXPECT_TRUE(server.Commands().contains(QLatin1String(row.command)))
                << server.Commands().join(QLatin1Char('|')).toStdString();
        }
    }
}

// A port that speaks the other protocol says so at once, in an upload's
// failure text as in the test's advice, instead of waiting out the limit.
TEST(ConnectionTest, APortOfTheOtherProtocolIsNamed)
{
    const struct {
        settings::Protocol protocol;
        const char* greeting;
        TUploadFault fault;
        const char* says;    // in the failure text and the advice's meaning
        const char* choose;  // in the failure text and the advice's action
    } rows[] = {
        {settings::Protocol::Sftp, "220 ProFTPD Server (Web space) ready.", TUploadFault::SpeaksFtp,
         "speaks FTP, not SFTP", "FTP"},
        {settings::Protocol::Ftp, "SSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u3", TUploadFault::SpeaksSsh,
         "speaks SSH, not FTP", "choose SFTP"},
    };
    for (const auto& row : rows) {
        for (const TUploadPurpose purpose : {TUploadPurpose::Update, TUploadPurpose::Test}) {
            SCOPED_TRACE(std::string(row.greeting) + (purpose == TUploadPurpose::Test ? ", test" : ", update"));
            FtpFakeServer server;
            server.Reply(row.greeting);
            settings::FtpAccount account = Account(QStringLiteral("127.0.0.1"), server.PortText());
            account.ssh.protocol = row.protocol;
            account.timeout = QStringLiteral("5");
            QStringList failures;
            const TestRun run = RunTest(account, purpose, &failures);
            ASSERT_TRUE(run.finished);
            EXPECT_EQ(run.result.fault, row.fault) << run.result.text.toStdString();
            EXPECT_EQ(failures, QStringList{run.result.text});
            const QString& text = run.result.text;
            for (const char* words : {row.says, row.choose, row.greeting})
                EXPECT_TRUE(text.contains(QLatin1String(words), Qt::CaseInsensitive)) << text.toStdString();
            if (purpose == TUploadPurpose::Test) {
                ASSERT_FALSE(run.steps.empty());
                EXPECT_EQ(run.steps.back().fault, row.fault);
                EXPECT_EQ(run.steps.back().detail, text);
            }
        }
        const TUploadAdvice* advice = FindUploadAdvice(row.fault);
        ASSERT_NE(advice, nullptr);
        EXPECT_TRUE(QString::fromUtf8(advice->meaning).contains(QLatin1String(row.says))) << advice->meaning;
        EXPECT_TRUE(QString::fromUtf8(advice->action).contains(QLatin1String(row.choose), Qt::CaseInsensitive))
            << advice->action;
    }
}

// A test that passes lists every step once, in order, and leaves nothing on
// the server.
TEST(ConnectionTest, ASuccessfulTestLeavesNoFile)
{
    FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    settings::FtpAccount account = Account(QStringLiteral("127.0.0.1"), server.PortText());
    account.userId = server.User();
    account.password = server.Password();
    account.timeout = QStringLiteral("15");
    const TestRun run = RunTest(account);
    ASSERT_TRUE(run.finished);
    EXPECT_TRUE(run.result.ok) << run.result.text.toStdString();
    std::vector<TUploadStepKind> kinds;
    for (const TUploadStep& s : run.steps) {
        EXPECT_TRUE(s.ok) << s.detail.toStdString();
        kinds.push_back(s.kind);
    }
    using K = TUploadStepKind;
    EXPECT_EQ(kinds, (std::vector<K>{K::Resolve, K::Connect, K::Login, K::Folder, K::DataMode, K::Store, K::Rename,
                                     K::Delete}));
    EXPECT_TRUE(QDir(server.Root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

// The help topic on the test lists each row of the advice table as the test
// shows it.
TEST(ConnectionTest, TheHelpTopicListsEveryAdviceRow)
{
    QFile topic(QStringLiteral(TARVO_SOURCE_DIR "/help/html/connection_test.htm"));
    ASSERT_TRUE(topic.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(topic.readAll());
    for (const TUploadAdvice& row : UploadAdviceTable()) {
        const QString line = QStringLiteral("<tr><td>%1</td><td>%2</td></tr>")
                                 .arg(QString::fromUtf8(row.meaning), QString::fromUtf8(row.action));
        EXPECT_TRUE(html.contains(line)) << line.toStdString();
    }
}
