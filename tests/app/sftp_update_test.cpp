// The website update to an SFTP server, as a user runs it: the settings file
// asks for SFTP with the server's host key pinned and a remote folder that does
// not exist yet; the program started with AutoStart uploads both pictures
// there, the stop pictures at close, and refuses, unattended, a server whose
// key changed or is not known, logging the fingerprints.
#include "tests/app/main_window_fixture.h"
#include "tests/support/sftp_server.h"

using namespace apptest;
using testsupport::SftpServer;

namespace {

QByteArray SftpAccount(const SftpServer& server, const QString& pin)
{
    return Account(server.PortText(), server.User(), server.Password(),
                   "AutoStart=1\nProtocol=1\nRemote_Folder=cam/live\nSSH_HostKey=" + pin.toUtf8() + "\n");
}

class SftpWebsiteUpdate : public MainWindowTest
{
protected:
    // known_hosts in a folder of the test's own: empty.
    SftpWebsiteUpdate() : oldHome_(qgetenv("HOME")) { qputenv("HOME", home_.path().toUtf8()); }
    ~SftpWebsiteUpdate() override
    {
        if (forms_ && !Main().Closed())
            Main().close();
        forms_.reset();
        qputenv("HOME", oldHome_);
    }

    QByteArray Remote(const SftpServer& server, const char* name) const
    {
        return ReadFile(server.Root() + QStringLiteral("/cam/live/") + QString::fromLatin1(name));
    }
    void Restart(const QByteArray& settings)
    {
        if (!Main().Closed())
            Close();
        forms_.reset();
        QFile::remove(Path(QStringLiteral("Error.log")));
        StoreSettings(settings);
        Launch();
        WaitIdle();
    }

    QTemporaryDir home_;
    QByteArray oldHome_;
};

}  // namespace

TEST_F(SftpWebsiteUpdate, PinnedServerGetsEveryPictureAndOtherKeysAreRefused)
{
    SftpServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    StoreSettings(SftpAccount(server, server.HostKey()));
    LaunchWithCamera();
    WaitIdle();
    EXPECT_TRUE(Main().Timer1().isActive());
    EXPECT_EQ(QImage::fromData(Remote(server, "Capture.jpg"), "JPG").size(), QSize(320, 240));
    EXPECT_EQ(QImage::fromData(Remote(server, "datetime.bmp"), "BMP").size(), QSize(178, 18));
    Close();
    EXPECT_EQ(Remote(server, "Capture.jpg"), ReadFile(Path(QStringLiteral("stopcap.jpg"))));
    EXPECT_EQ(Remote(server, "datetime.bmp"), ReadFile(Path(QStringLiteral("stoptime.bmp"))));
    EXPECT_TRUE(LogText().isEmpty()) << LogText().toStdString();

    // The same account now meets another host key: pinned, or not pinned at all.
    SftpServer changed;
    ASSERT_TRUE(changed.Start()) << changed.Error().toStdString();
    for (const QString& pin : {server.HostKey(), QString()}) {
        Restart(SftpAccount(changed, pin));
        EXPECT_TRUE(Remote(changed, "Capture.jpg").isEmpty());
        const QString log = LogText();
        EXPECT_TRUE(log.contains(QStringLiteral(" :   FTP Error = ")) && log.contains(changed.HostKey()) &&
                    log.contains(pin))
            << log.toStdString();
    }
}

// A close that waits no longer for a slow server says so in the log, not as a
// time-out: each write is answered 2 s late, within the 3 s limit, and the
// close gives each upload (the running one, then the stop pictures) 3 s.
TEST_F(SftpWebsiteUpdate, ACloseThatStopsWaitingSaysSoInTheLog)
{
    SftpServer server;
    server.DelayWrites(2000);
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    StoreSettings(Account(server.PortText(), server.User(), server.Password(),
                          "AutoStart=1\nProtocol=1\nFTP_Timeout=3\nSSH_HostKey=" + server.HostKey().toUtf8() + "\n"));
    LaunchWithCamera();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !QDir(server.Root()).entryList(QDir::Files).isEmpty(); }));
    Close();
    const QStringList lines = LogLines();
    ASSERT_FALSE(lines.isEmpty());
    for (const QString& line : lines) {
        EXPECT_TRUE(line.endsWith(
            QStringLiteral(" :   FTP Error = SFTP Closing: the program was closing and waited no longer")))
            << line.toStdString();
    }
}
