// Jobs through the FTP transport: every sender's job takes the same road,
// reports once per file and once at its end, can be cancelled at any step,
// and lands in the account's remote folder, made when missing.
#include "tests/support/ftp_fake_server.h"
#include "tests/support/ftp_real_server.h"
#include "tests/support/wait.h"
#include "upload/UploadRunner.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>
#include <limits>
#include <utility>
#include <vector>

using testsupport::DrainEvents;
using testsupport::WaitUntil;

namespace {

// What a job reported, in order.
struct Reports {
    std::vector<std::pair<std::size_t, bool>> files;
    int finished = 0;
    TUploadResult result;
    QStringList failures;
};

bool StartRecorded(TUploadRunner& transport, const TUploadJob& job, Reports& r)
{
    transport.OnFailure = [&r](TUploadPurpose, const QString& message) { r.failures << message; };
    return transport.Start(
        job,
        [&r](const TUploadResult& result) {
            ++r.finished;
            r.result = result;
        },
        [&r](std::size_t file, bool ok) { r.files.emplace_back(file, ok); });
}

bool WriteLocal(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray FileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(UploadSequenceLimit, TheRequestLimitIsOneSecondToAnHourInMilliseconds)
{
    const struct {
        int seconds;
        int ms;
    } cases[] = {{1, 1000}, {15, 15000}, {0, 15000}, {-1, 15000}, {3600, 3600000},
                 {2147484, 3600000}, {std::numeric_limits<int>::max(), 3600000}};
    for (const auto& c : cases)
        EXPECT_EQ(TUploadSequence::TimeoutMs(c.seconds), c.ms) << c.seconds;
}

// One job per sender against the real server: the files arrive whole under
// their names, each is reported once in order, and a refused login fails
// every file but not a check, which sends no name or password.
TEST(UploadJobs, EverySenderTakesTheSameRoad)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    QTemporaryDir local;
    const QStringList names{QStringLiteral("page.html"), QStringLiteral("picture.jpg"), QStringLiteral("caption.bmp")};
    for (const QString& name : names)
        ASSERT_TRUE(WriteLocal(local.filePath(name), name.toLatin1().repeated(5000)));
    const std::vector<TUploadFile> pictures{{local.filePath(names[1]), QStringLiteral("Capture.jpg")},
                                            {local.filePath(names[2]), QStringLiteral("datetime.bmp")}};
    const std::vector<TUploadFile> page{{local.filePath(names[0]), QStringLiteral("tarvolt.html")},
                                        pictures[0], pictures[1]};
    const struct {
        TUploadPurpose purpose;
        std::vector<TUploadFile> files;
        bool safe;
        bool rightPassword;
        bool ok;
    } cases[] = {
        {TUploadPurpose::Update, pictures, true, true, true},
        {TUploadPurpose::StopPictures, pictures, true, true, true},
        {TUploadPurpose::Motion, pictures, false, true, true},
        {TUploadPurpose::WizardPage, page, false, true, true},
        {TUploadPurpose::Check, {}, false, true, true},
        {TUploadPurpose::WizardPage, page, false, false, false},
        {TUploadPurpose::Check, {}, false, false, true},
    };
    TUploadRunner transport;
    for (const auto& c : cases) {
        const std::string row = std::to_string(static_cast<int>(c.purpose)) + (c.rightPassword ? "" : " refused");
        for (const QString& name : QDir(server.Root()).entryList(QDir::Files))
            QFile::remove(server.Root() + QLatin1Char('/') + name);
        TUploadJob job;
        job.purpose = c.purpose;
        job.account.host = QStringLiteral("127.0.0.1");
        job.account.port = server.PortText();
        job.account.userId = server.User();
        job.account.password = c.rightPassword ? server.Password() : QStringLiteral("wrong");
        job.files = c.files;
        job.safe = c.safe;
        Reports r;
        ASSERT_TRUE(StartRecorded(transport, job, r)) << row;
        EXPECT_FALSE(transport.Start(job, {})) << "one job at a time";
        ASSERT_TRUE(WaitUntil([&] { return r.finished > 0; })) << row;
        DrainEvents();

        EXPECT_EQ(r.finished, 1) << row;
        EXPECT_EQ(r.result.ok, c.ok) << row << " " << r.result.text.toStdString();
        EXPECT_EQ(r.result.connected, c.ok) << row;
        ASSERT_EQ(r.files.size(), c.files.size()) << row;
        for (std::size_t i = 0; i < c.files.size(); ++i)
            EXPECT_EQ(r.files[i], std::make_pair(i, c.ok)) << row;
        if (c.ok) {
            EXPECT_TRUE(r.result.text.isEmpty()) << row;
            EXPECT_TRUE(r.failures.isEmpty()) << row;
            QStringList expected;
            for (const TUploadFile& f : c.files) {
                expected << f.remoteName;
                EXPECT_EQ(FileBytes(server.Root() + QLatin1Char('/') + f.remoteName), FileBytes(f.localPath)) << row;
            }
            expected.sort();
            EXPECT_EQ(QDir(server.Root()).entryList(QDir::Files, QDir::Name), expected) << row;
        } else {
            EXPECT_TRUE(r.result.text.startsWith(QStringLiteral("530"))) << r.result.text.toStdString();
            EXPECT_EQ(r.failures, QStringList{r.result.text});
            EXPECT_TRUE(QDir(server.Root()).entryList(QDir::Files).isEmpty());
        }
    }
}

// A safe job of one file, cancelled while the server holds back its answer
// to each step in turn: one result, cancelled, the file reported once (sent
// only when the cancel came at QUIT), no failure reported, the connection
// closed.
TEST(UploadJobs, ACancelAtAnyStepEndsTheJobOnce)
{
    using Script = std::function<void(testsupport::FtpFakeServer&)>;
    const std::vector<std::pair<const char*, Script>> steps{
        {"", [](auto& s) { s.Reply("220 Ready"); }},
        {"USER", [](auto& s) { s.Expect("USER").Reply("331 Password"); }},
        {"PASS", [](auto& s) { s.Expect("PASS").Reply("230 Logged in"); }},
        {"TYPE I", [](auto& s) { s.Expect("TYPE I").Reply("200 Type set to I."); }},
        {"PASV", [](auto& s) { s.Expect("PASV").Passive(); }},
        {"STOR", [](auto& s) { s.Expect("STOR").Reply("150 Ok").ReceiveData().Reply("226 Done"); }},
        {"RNFR", [](auto& s) { s.Expect("RNFR").Reply("350 Ready"); }},
        {"RNTO", [](auto& s) { s.Expect("RNTO").Reply("250 Renamed"); }},
        {"QUIT", [](auto& s) { s.Expect("QUIT").Reply("221 Bye"); }},
    };
    QTemporaryDir local;
    ASSERT_TRUE(WriteLocal(local.filePath(QStringLiteral("a.jpg")), "picture"));

    TUploadRunner transport;
    for (std::size_t at = 0; at < steps.size(); ++at) {
        const QString command = QString::fromLatin1(steps[at].first);
        testsupport::FtpFakeServer fake;
        for (std::size_t i = 0; i < at; ++i)
            steps[i].second(fake);
        if (!command.isEmpty())
            fake.Expect(steps[at].first);  // and no answer
        TUploadJob job;
        job.account.host = QStringLiteral("127.0.0.1");
        job.account.port = fake.PortText();
        job.account.userId = QStringLiteral("u");
        job.account.password = QStringLiteral("p");
        job.files = {{local.filePath(QStringLiteral("a.jpg")), QStringLiteral("Capture.jpg")}};
        Reports r;
        ASSERT_TRUE(StartRecorded(transport, job, r));
        ASSERT_TRUE(WaitUntil([&] {
            return command.isEmpty() ? fake.Connections() == 1 : fake.Commands().size() == static_cast<int>(at);
        })) << "at " << at;
        ASSERT_TRUE(fake.Commands().isEmpty() || fake.Commands().constLast().startsWith(command));
        transport.Cancel();
        transport.Cancel();
        ASSERT_TRUE(WaitUntil([&] { return r.finished > 0; })) << "at " << at;
        EXPECT_TRUE(WaitUntil([&] { return !fake.ControlOpen(); })) << "at " << at;

        EXPECT_EQ(r.finished, 1) << "at " << at;
        EXPECT_TRUE(r.result.cancelled) << "at " << at;
        EXPECT_FALSE(r.result.ok) << "at " << at;
        EXPECT_TRUE(r.failures.isEmpty()) << "at " << at;
        const bool published = command == QStringLiteral("QUIT");
        EXPECT_EQ(r.files, (std::vector<std::pair<std::size_t, bool>>{{0, published}})) << "at " << at;
        EXPECT_FALSE(transport.Running());
    }
}

// The remote folder after TYPE I: none for an empty one, one CWD when it
// exists, each missing level made on the way, and a level the server will
// not make ends the job with its reply and stores nothing.
TEST(UploadJobs, TheFilesGoToTheRemoteFolderMadeLevelByLevel)
{
    using Script = std::function<void(testsupport::FtpFakeServer&)>;
    const auto cwd = [](const char* folder, const char* reply) {
        return [=](testsupport::FtpFakeServer& s) { s.Expect(QByteArray("CWD ") + folder).Reply(reply); };
    };
    const auto mkd = [](const char* folder, const char* reply) {
        return [=](testsupport::FtpFakeServer& s) { s.Expect(QByteArray("MKD ") + folder).Reply(reply); };
    };
    const Script store = [](testsupport::FtpFakeServer& s) {
        s.Expect("PASV").Passive().Expect("STOR").Reply("150 Ok").ReceiveData().Reply("226 Done");
        s.Expect("QUIT").Reply("221 Bye");
    };
    const char* const ok = "250 Okay.";
    const char* const missing = "550 No such directory.";
    const struct {
        const char* folder;
        std::vector<Script> script;  // after TYPE I
        QStringList commands;        // after TYPE I
        const char* failure;         // the job's text; null when it succeeds
    } cases[] = {
        {"", {store}, {"PASV", "STOR Capture.jpg", "QUIT"}, nullptr},
        {"pics", {cwd("pics", ok), store}, {"CWD pics", "PASV", "STOR Capture.jpg", "QUIT"}, nullptr},
        {"/www/cam/new",
         {cwd("/www/cam/new", missing), cwd("/www", ok), cwd("cam", missing), mkd("cam", "257 \"cam\" created."),
          cwd("cam", ok), cwd("new", missing), mkd("new", "257 Created."), cwd("new", ok), store},
         {"CWD /www/cam/new", "CWD /www", "CWD cam", "MKD cam", "CWD cam", "CWD new", "MKD new", "CWD new", "PASV",
          "STOR Capture.jpg", "QUIT"},
         nullptr},
        {"a/b",
         {cwd("a/b", missing), cwd("a", missing), mkd("a", "550 Permission denied.")},
         {"CWD a/b", "CWD a", "MKD a"},
         "550 Permission denied."},
    };
    QTemporaryDir local;
    ASSERT_TRUE(WriteLocal(local.filePath(QStringLiteral("a.jpg")), "picture"));

    TUploadRunner transport;
    for (const auto& c : cases) {
        testsupport::FtpFakeServer fake;
        fake.LoginSteps().Expect("TYPE I").Reply("200 Type set to I.");
        for (const Script& step : c.script)
            step(fake);
        TUploadJob job;
        job.account.host = QStringLiteral("127.0.0.1");
        job.account.port = fake.PortText();
        job.account.userId = QStringLiteral("u");
        job.account.password = QStringLiteral("p");
        job.account.remoteFolder = QString::fromLatin1(c.folder);
        job.files = {{local.filePath(QStringLiteral("a.jpg")), QStringLiteral("Capture.jpg")}};
        job.safe = false;
        Reports r;
        ASSERT_TRUE(StartRecorded(transport, job, r)) << c.folder;
        ASSERT_TRUE(WaitUntil([&] { return r.finished > 0; })) << c.folder;
        DrainEvents();

        const QStringList expected = QStringList{"USER u", "PASS p", "TYPE I"} + c.commands;
        EXPECT_EQ(fake.Commands(), expected) << c.folder;
        EXPECT_TRUE(fake.Mismatches().isEmpty()) << c.folder;
        EXPECT_EQ(r.result.ok, !c.failure) << c.folder << " " << r.result.text.toStdString();
        EXPECT_EQ(r.files, (std::vector<std::pair<std::size_t, bool>>{{0, !c.failure}})) << c.folder;
        if (c.failure) {
            EXPECT_EQ(r.result.text, QString::fromLatin1(c.failure)) << c.folder;
            EXPECT_EQ(r.failures, QStringList{r.result.text}) << c.folder;
            EXPECT_FALSE(fake.DataConnectionEverOpened()) << c.folder;
        } else {
            EXPECT_EQ(fake.DataReceived(), QByteArray("picture")) << c.folder;
        }
    }
}

}  // namespace
