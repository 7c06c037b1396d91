// What a visitor sees: a reader downloading "Capture.jpg" from the real
// server while upload sequences keep storing it.
#include "upload/UploadRunner.h"
#include "tests/support/ftp_reader.h"
#include "tests/support/ftp_real_server.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

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

}  // namespace
