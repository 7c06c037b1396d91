// The FTP client against a real server (pyftpdlib on loopback): transfers in
// both modes with byte-identical results, listings and a refused login.
#include "tests/ftp/ftp_probe.h"
#include "tests/support/danted_proxy.h"
#include "tests/support/ftp_real_server.h"
#include "tests/support/wait.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

using ftptest::ClientProbe;
using testsupport::FtpRealServer;

namespace {

// A BMP picture of about 70 KB with noisy pixels.
QByteArray Picture()
{
    QImage img(160, 145, QImage::Format_RGB888);
    QRandomGenerator rng(7);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.setPixel(x, y, rng.generate() & 0xFFFFFF);
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "BMP");
    return bytes;
}

class FtpClientReal : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        server = std::make_unique<FtpRealServer>();
        if (!server->Start())
            startError = server->Error();
    }
    static void TearDownTestSuite() { server.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(server && server->Running()) << startError.toStdString();
        ASSERT_TRUE(local.isValid());
    }

    QString ServerPath(const QString& name) const { return QDir(server->Root()).filePath(name); }

    static std::unique_ptr<FtpRealServer> server;
    static QString startError;
    QTemporaryDir local;
};

std::unique_ptr<FtpRealServer> FtpClientReal::server;
QString FtpClientReal::startError;

enum class Size { Empty, Picture, Large };

class FtpClientRealTransfer : public FtpClientReal, public ::testing::WithParamInterface<std::tuple<bool, Size>>
{
protected:
    bool Passive() const { return std::get<0>(GetParam()); }
    QByteArray Content() const
    {
        switch (std::get<1>(GetParam())) {
        case Size::Empty: return {};
        case Size::Picture: return Picture();
        case Size::Large: return ftptest::Pattern(20 * 1024 * 1024);
        }
        return {};
    }
};

std::string TransferName(const ::testing::TestParamInfo<std::tuple<bool, Size>>& info)
{
    static const char* const sizes[] = {"Empty", "Picture70K", "File20M"};
    return std::string(std::get<0>(info.param) ? "Passive" : "Active") + sizes[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(All, FtpClientRealTransfer,
                         ::testing::Combine(::testing::Values(true, false),
                                            ::testing::Values(Size::Empty, Size::Picture, Size::Large)),
                         TransferName);

}  // namespace

TEST_P(FtpClientRealTransfer, UploadThenDownloadGivesTheSameBytes)
{
    const QByteArray content = Content();
    const QString name = QStringLiteral("file-%1.bin").arg(Passive() ? "p" : "a");
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("up.bin"), content));

    ClientProbe p(server->Port(), server->User(), server->Password());
    p.client.SetPassiveMode(Passive());
    p.client.SetLocalFileName(local.filePath("up.bin"));
    p.client.SetHostFileName(name);
    ASSERT_TRUE(p.client.Upload()) << p.client.ErrorMessage().toStdString() << "\n"
                                   << p.display.join("\n").toStdString();
    const QByteArray stored = ftptest::ReadFile(ServerPath(name));
    EXPECT_EQ(stored.size(), content.size());
    EXPECT_TRUE(stored == content);

    p.client.SetLocalFileName(local.filePath("down.bin"));
    ASSERT_TRUE(p.client.Download()) << p.client.ErrorMessage().toStdString() << "\n"
                                     << p.display.join("\n").toStdString();
    const QByteArray fetched = ftptest::ReadFile(local.filePath("down.bin"));
    EXPECT_EQ(fetched.size(), content.size());
    EXPECT_TRUE(fetched == content);

    ASSERT_EQ(p.done.size(), 2);
    EXPECT_EQ(p.done[0].rq, ftpReqUpload);
    EXPECT_EQ(p.done[0].error, 0);
    EXPECT_EQ(p.done[1].rq, ftpReqDownload);
    EXPECT_EQ(p.done[1].error, 0);
    EXPECT_FALSE(p.client.IsConnected());
}

TEST_F(FtpClientReal, UpdateSequenceStoresBothPictures)
{
    const QByteArray capture = Picture();
    const QByteArray stamp = ftptest::Pattern(8 * 1024);
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("Capture.jpg"), capture));
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("datetime.bmp"), stamp));
    // The program stores files by names relative to the current folder.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(local.path()));

    for (bool passive : {true, false}) {
        ClientProbe p(server->Port(), server->User(), server->Password());
        p.client.SetPassiveMode(passive);
        ASSERT_TRUE(p.client.Login()) << p.client.ErrorMessage().toStdString();
        ASSERT_TRUE(p.client.SetBinaryType());
        for (const char* name : {"Capture.jpg", "datetime.bmp"}) {
            p.client.SetLocalFileName(name);
            p.client.SetHostFileName(name);
            ASSERT_TRUE(p.client.Store()) << p.client.ErrorMessage().toStdString();
        }
        ASSERT_TRUE(p.client.Quit());
        testsupport::DrainEvents();
        ASSERT_EQ(p.done.size(), 5);
        for (const auto& d : p.done)
            EXPECT_EQ(d.error, 0);
        EXPECT_TRUE(ftptest::ReadFile(ServerPath("Capture.jpg")) == capture);
        EXPECT_TRUE(ftptest::ReadFile(ServerPath("datetime.bmp")) == stamp);
        QFile::remove(ServerPath("Capture.jpg"));
        QFile::remove(ServerPath("datetime.bmp"));
    }
    QDir::setCurrent(previous);
}

TEST_F(FtpClientReal, DirectoryListingShowsTheFiles)
{
    QDir(server->Root()).mkdir("www");
    ASSERT_TRUE(ftptest::WriteFile(ServerPath("www/tarvolt.html"), "<html></html>"));
    ASSERT_TRUE(ftptest::WriteFile(ServerPath("www/stopcap.jpg"), Picture()));

    for (bool passive : {true, false}) {
        ClientProbe p(server->Port(), server->User(), server->Password());
        p.client.SetPassiveMode(passive);
        p.client.SetHostDirName("/www");
        QStringList lines;
        p.client.OnDisplayFile = [&](TCustomFtpCli*, QString& line) { lines << line; };
        p.client.SetDisplayFileFlag(true);
        ASSERT_TRUE(p.client.DirectoryLong()) << p.client.ErrorMessage().toStdString();
        ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
        EXPECT_TRUE(lines.filter("tarvolt.html").size() == 1);
        EXPECT_TRUE(lines.filter("stopcap.jpg").size() == 1);

        p.client.SetDisplayFileFlag(false);
        p.client.SetLocalFileName(local.filePath("names.txt"));
        ASSERT_TRUE(p.client.DirectoryNames()) << p.client.ErrorMessage().toStdString();
        QStringList names = QString::fromUtf8(ftptest::ReadFile(local.filePath("names.txt")))
                                .split(QRegularExpression("[\r\n]+"), Qt::SkipEmptyParts);
        names.sort();
        EXPECT_EQ(names, (QStringList{"stopcap.jpg", "tarvolt.html"}));
        EXPECT_EQ(p.client.DirResult(), "/www");
    }
}

TEST_F(FtpClientReal, WrongPasswordIsRefused)
{
    ClientProbe p(server->Port(), server->User(), QStringLiteral("wrong"));
    EXPECT_FALSE(p.client.Login());
    ASSERT_EQ(p.done.size(), 1);
    EXPECT_EQ(p.done[0].error, 530);
    EXPECT_TRUE(p.client.ErrorMessage().startsWith("530 ")) << p.client.ErrorMessage().toStdString();
    EXPECT_TRUE(p.client.IsConnected());
}

TEST_F(FtpClientReal, InterruptedTransfersResume)
{
    const QByteArray content = ftptest::Pattern(300 * 1024 + 5);
    for (bool passive : {true, false}) {
        // Download: the local half is kept and the rest appended.
        ASSERT_TRUE(ftptest::WriteFile(ServerPath("movie.bin"), content));
        ASSERT_TRUE(ftptest::WriteFile(local.filePath("movie.bin"), content.left(100 * 1024)));
        ClientProbe p(server->Port(), server->User(), server->Password());
        p.client.SetPassiveMode(passive);
        p.client.SetHostFileName("movie.bin");
        p.client.SetLocalFileName(local.filePath("movie.bin"));
        ASSERT_TRUE(p.client.RunBlocking(&TCustomFtpCli::StartDownloadResume))
            << p.client.ErrorMessage().toStdString() << "\n" << p.display.join("\n").toStdString();
        EXPECT_TRUE(p.Trace("> ").contains(QStringLiteral("REST %1").arg(100 * 1024)));
        EXPECT_TRUE(ftptest::ReadFile(local.filePath("movie.bin")) == content);
        EXPECT_EQ(p.client.ByteCount(), content.size() - 100 * 1024);

        // Upload: the server's part stays, the rest is stored from the offset.
        ASSERT_TRUE(ftptest::WriteFile(ServerPath("up.bin"), content.left(50 * 1024)));
        ASSERT_TRUE(ftptest::WriteFile(local.filePath("up.bin"), content));
        p.client.SetHostFileName("up.bin");
        p.client.SetLocalFileName(local.filePath("up.bin"));
        p.client.SetResumeAt(50 * 1024);
        ASSERT_TRUE(p.client.RunBlocking(&TCustomFtpCli::StartUploadResume))
            << p.client.ErrorMessage().toStdString() << "\n" << p.display.join("\n").toStdString();
        EXPECT_TRUE(ftptest::ReadFile(ServerPath("up.bin")) == content) << p.display.join("\n").toStdString();
        EXPECT_EQ(p.client.ResumeAt(), 0);
    }
}

TEST_F(FtpClientReal, MultiThreadedWaitPumpsTheThreadQueue)
{
    ClientProbe p(server->Port(), server->User(), server->Password());
    p.client.SetMultiThreaded(true);
    ASSERT_TRUE(p.client.Login());
    p.client.SetHostFileName({});
    ASSERT_TRUE(p.client.RunBlocking(&TCustomFtpCli::StartPwd));
    EXPECT_EQ(p.client.DirResult(), "/");
    ASSERT_TRUE(p.client.Quit());
    EXPECT_EQ(p.done.size(), 3);
}

// Both connections through a real SOCKS proxy: the control connection and
// the passive data connection.
TEST_F(FtpClientReal, UploadThroughSocksProxy)
{
    testsupport::DantedProxy proxy;
    ASSERT_TRUE(proxy.Running()) << proxy.Error().toStdString();
    const QByteArray content = Picture();
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("Capture.jpg"), content));
    for (TFtpConnectionType type : {ftpSocks5, ftpSocks4}) {
        ClientProbe p(server->Port(), server->User(), server->Password());
        p.client.SetConnectionType(type);
        p.client.SetSocksServer("127.0.0.1");
        p.client.SetSocksPort(QString::number(proxy.Port()));
        // The test proxy takes no user name: offer SOCKS 5 without authentication.
        if (type == ftpSocks5)
            for (TWSocket* s : {p.client.ControlSocket(), p.client.DataSocket()})
                s->SetSocksAuthentication(socksNoAuthentication);
        p.client.SetLocalFileName(local.filePath("Capture.jpg"));
        p.client.SetHostFileName(QStringLiteral("socks%1.jpg").arg(int(type)));
        ASSERT_TRUE(p.client.Upload()) << p.client.ErrorMessage().toStdString() << "\n"
                                       << p.display.join("\n").toStdString() << proxy.Log().toStdString();
        EXPECT_TRUE(ftptest::ReadFile(ServerPath(p.client.HostFileName())) == content);
    }
}

// An upload that stops early must not read as success, although the server
// answers 226 to the graceful end of the data connection.
TEST_F(FtpClientReal, UploadCutShortIsAFailure)
{
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("big.bin"), ftptest::Pattern(2 * 1024 * 1024)));
    for (bool passive : {true, false}) {
        ClientProbe p(server->Port(), server->User(), server->Password());
        p.client.SetPassiveMode(passive);
        ASSERT_TRUE(p.client.Login());
        p.client.SetLocalFileName(local.filePath("big.bin"));
        p.client.SetHostFileName("cut.bin");
        p.client.OnProgress = [](TCustomFtpCli*, qint64 count, bool& abort) { abort = count >= 50 * 1460; };
        EXPECT_FALSE(p.client.Store());
        testsupport::DrainEvents();
        ASSERT_EQ(p.done.size(), 2);
        EXPECT_GE(p.done[1].error, 400) << p.display.join("\n").toStdString();
        EXPECT_TRUE(p.done[1].errorMessage.startsWith("426 ")) << p.done[1].errorMessage.toStdString();
        // The dialogue stays in step.
        EXPECT_TRUE(p.client.SetBinaryType()) << p.display.join("\n").toStdString();
    }
}

// A server behind NAT names another address in its 227 reply: the client
// uses the control connection's peer, and the update sequence stores both files.
TEST(FtpClientRealNat, UpdateSequenceThroughAMasqueradingServer)
{
    FtpRealServer nat;
    nat.SetMasqueradeAddress(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(nat.Start()) << nat.Error().toStdString();
    QTemporaryDir local;
    const QByteArray capture = Picture();
    const QByteArray stamp = ftptest::Pattern(8 * 1024);
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("Capture.jpg"), capture));
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("datetime.bmp"), stamp));

    ClientProbe p(nat.Port(), nat.User(), nat.Password());
    p.client.SetPassiveMode(true);
    ASSERT_TRUE(p.client.Login()) << p.client.ErrorMessage().toStdString();
    ASSERT_TRUE(p.client.SetBinaryType());
    for (const char* name : {"Capture.jpg", "datetime.bmp"}) {
        p.client.SetLocalFileName(local.filePath(name));
        p.client.SetHostFileName(name);
        ASSERT_TRUE(p.client.Store()) << p.client.ErrorMessage().toStdString() << "\n"
                                      << p.display.join("\n").toStdString();
    }
    ASSERT_TRUE(p.client.Quit());
    EXPECT_TRUE(p.Trace("< ").filter("(127,0,0,2,").size() == 2);
    EXPECT_TRUE(ftptest::ReadFile(QDir(nat.Root()).filePath("Capture.jpg")) == capture);
    EXPECT_TRUE(ftptest::ReadFile(QDir(nat.Root()).filePath("datetime.bmp")) == stamp);
}
