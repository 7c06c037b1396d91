// What a visitor sees: a reader downloading "Capture.jpg" from the real
// server while upload sequences keep storing it.
#include "upload/UploadRunner.h"
#include "tests/support/ftp_fake_server.h"
#include "tests/support/ftp_reader.h"
#include "tests/support/ftp_real_server.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <utility>

using testsupport::FtpFakeServer;
using testsupport::FtpReader;
using testsupport::FtpRealServer;
using testsupport::WaitUntil;

namespace {

constexpr int kUpdates = 200;

// Two versions of the picture that differ in every block, so that a copy cut
// short or made of both is told from either; several upload blocks long, so
// that a plain store reaches the server's file in pieces.
QByteArray Picture(char seed)
{
    QByteArray bytes(160 * 1024, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(seed + i * 7);
    return bytes;
}

class PublishWhileRead : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.Start()) << server_.Error().toStdString();
        for (const auto& [name, bytes] : {std::pair{"a.jpg", pictures_[0]}, std::pair{"b.jpg", pictures_[1]},
                                          std::pair{"c.bmp", QByteArray("caption")}}) {
            QFile f(local_.filePath(QString::fromLatin1(name)));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
        account_.host = QStringLiteral("127.0.0.1");
        account_.port = server_.PortText();
        account_.userId = server_.User();
        account_.password = server_.Password();
        transport_.OnFailure = [this](TUploadPurpose, const QString& message) { failures_ << message; };
    }

    // Stores the picture, the two versions in turn, while the reader downloads
    // it: kUpdates times; plain stores until the reader has caught a torn copy,
    // which takes longer on a busy machine (up to ten times as many).
    void Publish(bool safe)
    {
        FtpReader reader(server_.Port(), server_.User(), server_.Password(), QStringLiteral("Capture.jpg"),
                         {pictures_[0], pictures_[1]});
        reader.Start();
        TUploadJob job;
        job.account = account_;
        job.safe = safe;
        const int updates = safe ? kUpdates : 10 * kUpdates;
        for (int i = 0; i < updates && failures_.isEmpty() && (safe || reader.Torn() == 0); ++i) {
            job.files = {{local_.filePath(QString::fromLatin1(i % 2 ? "b.jpg" : "a.jpg")), QStringLiteral("Capture.jpg")},
                         {local_.filePath(QStringLiteral("c.bmp")), QStringLiteral("datetime.bmp")}};
            ASSERT_TRUE(transport_.Start(job, {}));
            // Past the job's own time limit (15 s), so that a stall ends in
            // its failure text, which names where it stood.
            ASSERT_TRUE(WaitUntil([this] { return !transport_.Running(); }, 20000));
        }
        reader.Stop();
        EXPECT_TRUE(failures_.isEmpty()) << failures_.join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(reader.Error().isEmpty()) << reader.Error().toStdString();
        whole_ = reader.Whole();
        torn_ = reader.Torn();
    }

    FtpRealServer server_;
    QTemporaryDir local_;
    const QByteArray pictures_[2] = {Picture('a'), Picture('b')};
    settings::FtpAccount account_;
    TUploadRunner transport_;
    QStringList failures_;
    int whole_ = 0;
    int torn_ = 0;
};

TEST_F(PublishWhileRead, SafelyPublishedPicturesAreNeverSeenTorn)
{
    Publish(true);
    EXPECT_GT(whole_, 0);
    EXPECT_EQ(torn_, 0) << "of " << whole_ + torn_ << " copies";
    EXPECT_FALSE(QFile::exists(server_.Root() + QStringLiteral("/Capture.tmp.jpg")));
}

// The same reader catches the plain store: the test above can fail.
TEST_F(PublishWhileRead, PlainStoresAreSeenTorn)
{
    Publish(false);
    EXPECT_GT(torn_, 0) << "of " << whole_ + torn_ << " copies";
}

// A server that will not rename over an existing name, as far as publishing
// goes: the names it holds and how it answers.
struct NoOverwriteServer {
    QSet<QString> names{QStringLiteral("Capture.jpg")};
    QString from;

    QByteArray Answer(const QString& command)
    {
        const QString name = command.mid(5);
        if (command.startsWith(QLatin1String("STOR "))) {
            names.insert(name);
            return "226 Transfer complete.";
        }
        if (command.startsWith(QLatin1String("RNFR "))) {
            from = names.contains(name) ? name : QString();
            return from.isEmpty() ? "550 No such file." : "350 Ready for destination name.";
        }
        if (command.startsWith(QLatin1String("RNTO "))) {
            if (from.isEmpty())
                return "503 Bad sequence of commands.";
            if (names.contains(name))
                return "553 File exists.";
            names.remove(std::exchange(from, QString()));
            names.insert(name);
            return "250 Renamed.";
        }
        return names.remove(name) ? "250 Deleted." : "550 No such file.";
    }
};

// Appends the server's side of the commands to the script, each store over
// a passive data connection; at cut, the command is done and the connection
// cut before its answer. Returns the commands as the server receives them.
QStringList Serve(FtpFakeServer& s, NoOverwriteServer& server, const QStringList& commands, int cut = -1)
{
    QStringList received;
    for (int i = 0; i < commands.size(); ++i) {
        const QString& command = commands[i];
        if (command.startsWith(QLatin1String("STOR "))) {
            s.Expect("PASV").Passive().Expect(command.toLatin1()).Reply("150 Ok to send data.").ReceiveData();
            received << QStringLiteral("PASV");
        } else {
            s.Expect(command.toLatin1());
        }
        received << command;
        const QByteArray answer = server.Answer(command);
        if (i == cut) {
            s.Drop();
            break;
        }
        s.Reply(answer);
    }
    return received;
}

// On a server that will not rename over the picture, the old one is renamed
// aside until the new one is in. A cut at each step leaves the page its
// picture or the old one aside; the next job puts that back (or deletes it)
// before it stores anything, then publishes as usual.
TEST(PublishWithoutOverwrite, ACutAtEachStepLeavesThePageAPicture)
{
    const QStringList publish{"STOR Capture.tmp.jpg", "RNFR Capture.tmp.jpg", "RNTO Capture.jpg",
                              "RNFR Capture.jpg",     "RNTO Capture.old.jpg", "RNFR Capture.tmp.jpg",
                              "RNTO Capture.jpg",     "DELE Capture.old.jpg"};
    const QStringList putBack{"RNFR Capture.old.jpg", "RNTO Capture.jpg"};
    const struct {
        int cut;           // in publish
        QStringList next;  // what the next job sends before it stores
    } cases[] = {{0, {}},      {1, {}},      {2, {}}, {3, {}}, {4, putBack}, {5, putBack},
                 {6, putBack + QStringList{"DELE Capture.old.jpg"}}, {7, {"RNFR Capture.old.jpg"}}};
    QTemporaryDir local;
    const QString picture = local.filePath(QStringLiteral("a.jpg"));
    {
        QFile f(picture);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("picture") == 7);
    }
    const QStringList login{"USER u", "PASS p", "TYPE I"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cut);
        FtpFakeServer fake;
        NoOverwriteServer server;
        fake.LoginSteps().Expect("TYPE I").Reply("200 Type set to I.");
        QStringList expected = login + Serve(fake, server, publish, c.cut);
        EXPECT_TRUE(server.names.contains(QStringLiteral("Capture.jpg")) ||
                    server.names.contains(QStringLiteral("Capture.old.jpg")));
        fake.LoginSteps().Expect("TYPE I").Reply("200 Type set to I.");
        expected << login << Serve(fake, server, c.next);
        EXPECT_TRUE(server.names.contains(QStringLiteral("Capture.jpg"))) << "before the next store";
        expected << Serve(fake, server, publish) << QStringLiteral("QUIT");
        fake.Expect("QUIT").Reply("221 Goodbye.");

        TUploadRunner transport;
        TUploadJob job;
        job.account.host = QStringLiteral("127.0.0.1");
        job.account.port = fake.PortText();
        job.account.userId = QStringLiteral("u");
        job.account.password = QStringLiteral("p");
        job.files = {{picture, QStringLiteral("Capture.jpg")}};
        for (const bool ok : {false, true}) {
            TUploadResult result;
            bool finished = false;
            ASSERT_TRUE(transport.Start(job, [&](const TUploadResult& r) {
                result = r;
                finished = true;
            }));
            ASSERT_TRUE(WaitUntil([&] { return finished; }));
            EXPECT_EQ(result.ok, ok) << result.text.toStdString();
        }
        EXPECT_EQ(fake.Commands().join(QLatin1Char('|')).toStdString(), expected.join(QLatin1Char('|')).toStdString());
        EXPECT_TRUE(fake.Mismatches().isEmpty()) << fake.Mismatches().join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(server.names, QSet<QString>{QStringLiteral("Capture.jpg")});
    }
}

}  // namespace
