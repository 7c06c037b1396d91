#include "settings/Settings.h"
#include "tests/support/unwritable_folder.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>

#include <sys/inotify.h>
#include <unistd.h>

using settings::TProgramSettings;

namespace {

// How often an existing file was replaced (renamed onto) or written in place
// since the object was made, from the kernel's notices on its folder.
class FileWrites
{
public:
    explicit FileWrites(const QString& path)
        : name_(QFile::encodeName(QFileInfo(path).fileName())), fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        inotify_add_watch(fd_, QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    ~FileWrites() { close(fd_); }
    FileWrites(const FileWrites&) = delete;
    FileWrites& operator=(const FileWrites&) = delete;

    int Count()
    {
        alignas(inotify_event) char buffer[64 * 1024];
        int count = 0;
        for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                count += e->len > 0 && name_ == e->name ? 1 : 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
        return count;
    }

private:
    QByteArray name_;
    int fd_;
};

class SettingsFiles : public ::testing::Test
{
protected:
    void WriteSettings(const QByteArray& text)
    {
        QFile f(fileName_);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QByteArray ReadFile(const QString& path) const
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir_;
    QString fileName_ = dir_.filePath(QStringLiteral("Tarvo Lite.sif"));
    TProgramSettings settings_{fileName_};
};

TEST_F(SettingsFiles, WithoutAFileNothingIsReadAndTheBuiltInValuesStand)
{
    settings_.updateInterval = QStringLiteral("keep");
    EXPECT_FALSE(settings_.Load());
    EXPECT_FALSE(settings_.LoadAccount());
    EXPECT_EQ(settings_.updateInterval, QStringLiteral("keep"));

    const TProgramSettings builtIn(fileName_);
    EXPECT_EQ(builtIn.updateInterval, QStringLiteral("3"));
    EXPECT_EQ(builtIn.account.TimeoutSeconds(), 15);
    EXPECT_TRUE(builtIn.logErrors && builtIn.firstRun && builtIn.account.passiveMode);
    EXPECT_FALSE(builtIn.errorBeep || builtIn.account.autoStart);
    EXPECT_EQ(builtIn.ReadCaptureParameters().frameRate, QStringLiteral("15"));
}

TEST_F(SettingsFiles, AnExistingFileLoadsWithEachKeysDefault)
{
    // Keys absent from the file take the defaults of a read, not the built-in values.
    WriteSettings("[FTP Settings]\r\nFTP_Host=ftp.example.org\r\nFTP_Timeout=0x1E\r\n"
                  "Password= p@ss; w=rd! \r\n[Other Settings]\r\nFirstRun=0\r\n");
    ASSERT_TRUE(settings_.Load());
    const settings::FtpAccount& a = settings_.account;
    EXPECT_EQ(a.host, QStringLiteral("ftp.example.org"));
    EXPECT_EQ(a.TimeoutSeconds(), 30);
    EXPECT_EQ(a.port, QStringLiteral("21"));
    EXPECT_EQ(settings_.updateInterval, QStringLiteral("5"));
    EXPECT_EQ(a.password, QStringLiteral("p@ss; w=rd!"));  // blanks around a hand-written value are trimmed
    EXPECT_TRUE(a.passiveMode && settings_.logErrors && a.safeUpload);
    EXPECT_FALSE(settings_.errorBeep || settings_.firstRun || a.autoStart);
    EXPECT_EQ(settings_.frameRate, 15);

    WriteSettings("[FTP Settings]\r\nFTP_Timeout=thirty\r\nPassive_Mode=0\r\nAutoStart=$1\r\nSafe_Upload=0\r\n");
    ASSERT_TRUE(settings_.Load());
    EXPECT_EQ(settings_.account.TimeoutSeconds(), 15);
    EXPECT_FALSE(settings_.account.passiveMode);
    EXPECT_FALSE(settings_.account.safeUpload);
    EXPECT_TRUE(settings_.account.autoStart);
}

TEST_F(SettingsFiles, ACaptureNumberOutOfRangeIsIgnoredWhileTheRestLoads)
{
    WriteSettings("[Capture Parameters]\r\nFrameRate=70000\r\nCapture_Time=65535\r\nIndex_Size=-1\r\n"
                  "Buffer_Size=$FFFF\r\nCapture_Audio=1\r\n[FTP Settings]\r\nUser_ID=me\r\n");
    ASSERT_TRUE(settings_.Load());
    EXPECT_EQ(settings_.frameRate, 15);
    EXPECT_EQ(settings_.captureTime, 65535);
    EXPECT_EQ(settings_.indexSize, 0u);
    EXPECT_EQ(settings_.bufferSize, 65535);
    EXPECT_TRUE(settings_.captureAudio);
    EXPECT_EQ(settings_.account.userId, QStringLiteral("me"));
    EXPECT_EQ(settings_.ReadCaptureParameters().frameRate, QStringLiteral("70000"));
}

// Every writer writes its keys in the order of the file's table, owner-only,
// and the next start reads the password back exactly as typed.
TEST_F(SettingsFiles, EachWriterWritesItsKeysInOrder)
{
    settings::FtpAccount typed;
    typed.host = QStringLiteral("host");
    typed.port = QString();  // an emptied port is saved as 21
    typed.userId = QStringLiteral("user");
    typed.password = QStringLiteral("  pa ss\"word' #1 ");
    typed.autoStart = true;
    typed.passiveMode = false;
    typed.safeUpload = false;
    settings::FtpAccount inFolder = typed;
    inFolder.remoteFolder = QStringLiteral("pics/cam 1");
    const QByteArray account = "[FTP Settings]\r\nFTP_Host=host\r\nFTP_Port=21\r\nFTP_Timeout=15\r\nUser_ID=user\r\n"
                               "Password=\"  pa ss\"word' #1 \"\r\n";
    struct Case {
        const char* writer;
        std::function<void(TProgramSettings&)> save;
        QByteArray file;
    };
    const Case cases[] = {
        {"network dialog", [&](TProgramSettings& s) { s.SaveAccount(typed, QStringLiteral("3")); },
         account + "Update_Interval=3\r\nAutoStart=1\r\nPassive_Mode=0\r\nSafe_Upload=0\r\n"},
        {"network dialog, a folder", [&](TProgramSettings& s) { s.SaveAccount(inFolder, QStringLiteral("3")); },
         account + "Update_Interval=3\r\nAutoStart=1\r\nPassive_Mode=0\r\nSafe_Upload=0\r\nRemote_Folder=pics/cam 1\r\n"},
        {"network dialog, the folder emptied",
         [&](TProgramSettings& s) {
             s.SaveAccount(inFolder, QStringLiteral("3"));
             s.SaveAccount(typed, QStringLiteral("3"));
         },
         account + "Update_Interval=3\r\nAutoStart=1\r\nPassive_Mode=0\r\nSafe_Upload=0\r\nRemote_Folder=\r\n"},
        {"wizard page 1", [&](TProgramSettings& s) { s.SaveLogin(typed.host, typed.userId, typed.password, {}); },
         "[FTP Settings]\r\nFTP_Host=host\r\nUser_ID=user\r\nPassword=\"  pa ss\"word' #1 \"\r\n"},
        {"wizard page 1, a folder",
         [&](TProgramSettings& s) { s.SaveLogin(typed.host, typed.userId, typed.password, inFolder.remoteFolder); },
         "[FTP Settings]\r\nFTP_Host=host\r\nUser_ID=user\r\nPassword=\"  pa ss\"word' #1 \"\r\n"
         "Remote_Folder=pics/cam 1\r\n"},
        {"wizard finish", [&](TProgramSettings& s) { s.account = typed; s.SaveWizardAccount(); },
         account + "Passive_Mode=0\r\n"},
        {"close", [&](TProgramSettings& s) { s.account = typed; s.firstRun = false; s.SaveAtClose(QStringLiteral("3"), true, false); },
         account + "Update_Interval=3\r\nAutoStart=1\r\nPassive_Mode=0\r\n\r\n"
                   "[Other Settings]\r\nLogErrors=1\r\nErrorBeep=0\r\nFirstRun=0\r\n"},
        {"close, the camera kept",
         [&](TProgramSettings& s) { s.account = typed; s.firstRun = false; s.releaseCamera = false; s.SaveAtClose(QStringLiteral("3"), true, false); },
         account + "Update_Interval=3\r\nAutoStart=1\r\nPassive_Mode=0\r\n\r\n"
                   "[Other Settings]\r\nLogErrors=1\r\nErrorBeep=0\r\nFirstRun=0\r\nRelease_Camera=0\r\n"},
    };
    for (const Case& c : cases) {
        QFile::remove(fileName_);
        TProgramSettings s(fileName_);
        c.save(s);
        EXPECT_EQ(ReadFile(fileName_), c.file) << c.writer;
        EXPECT_EQ(QFile::permissions(fileName_) & QFileDevice::Permissions(0x7077),
                  QFileDevice::ReadOwner | QFileDevice::WriteOwner)
            << c.writer;
        EXPECT_EQ(s.account.password, typed.password) << c.writer << ": accepted as saved";
        TProgramSettings next(fileName_);
        ASSERT_TRUE(next.Load());
        EXPECT_EQ(next.account.password, typed.password) << c.writer;
        EXPECT_EQ(next.account.remoteFolder, s.account.remoteFolder) << c.writer;
        EXPECT_EQ(next.releaseCamera, s.releaseCamera) << c.writer;
    }
}

TEST_F(SettingsFiles, ASaveThatCannotWriteRaisesTheMessageAndAcceptsNothing)
{
    QTemporaryDir base;
    TProgramSettings readOnly(testsupport::UnwritableFolder(base) + QStringLiteral("/Tarvo Lite.sif"));
    settings::FtpAccount typed;
    typed.host = QStringLiteral("typed");
    try {
        readOnly.SaveAccount(typed, QStringLiteral("3"));
        FAIL() << "no exception";
    } catch (const platform::EIniFileException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to write to ") + readOnly.FileName());
    }
    EXPECT_TRUE(readOnly.account.host.isEmpty());
}

// A crash between two writes of one save would leave a mixed account.
TEST_F(SettingsFiles, EverySaveWritesTheFileOnce)
{
    settings::FtpAccount typed;
    typed.host = QStringLiteral("host");
    typed.tls.mode = 1;
    const QString vcap = dir_.filePath(QStringLiteral("vcap.sif"));
    const struct {
        const char* save;
        std::function<void()> run;
    } cases[] = {
        {"network dialog", [&] { settings_.SaveAccount(typed, QStringLiteral("3")); }},
        {"wizard login", [&] { settings_.SaveLogin(QStringLiteral("h"), QStringLiteral("u"), QStringLiteral("p"), {}); }},
        {"wizard security", [&] { settings_.SaveSecurity(typed.tls, QStringLiteral("990")); }},
        {"host key pinned", [&] { settings_.SaveSsh({settings::Protocol::Sftp, QStringLiteral("SHA256:k"), {}}); }},
        {"wizard finish", [&] { settings_.SaveWizardAccount(); }},
        {"close", [&] { settings_.SaveAtClose(QStringLiteral("3"), true, true); }},
        {"capture parameters", [&] { settings_.SaveCaptureParameters({}); }},
        {"motion", [&] { settings_.SaveMotion({}); }},
        {"driver", [&] { settings::WriteDriverChoice(vcap, 2, QStringLiteral("card")); }},
    };
    // Files that exist, so that each write is a rename onto them.
    WriteSettings("[FTP Settings]\r\n");
    QFile(vcap).open(QIODevice::WriteOnly);
    for (const auto& c : cases) {
        FileWrites writes(c.save == std::string("driver") ? vcap : fileName_);
        c.run();
        EXPECT_EQ(writes.Count(), 1) << c.save;
    }

    // A value the file cannot hold refuses the whole save.
    const QByteArray before = ReadFile(fileName_);
    typed.host = QStringLiteral("other");
    typed.password = QStringLiteral("line\nbreak");
    EXPECT_THROW(settings_.SaveAccount(typed, QStringLiteral("4")), platform::EIniFileException);
    EXPECT_EQ(ReadFile(fileName_), before);
}

TEST_F(SettingsFiles, DriverIndexDefaultsToNoDriver)
{
    const QString vcap = dir_.filePath(QStringLiteral("vcap.sif"));
    EXPECT_EQ(settings::ReadDriverIndex(vcap), -1);
    EXPECT_EQ(settings::ReadDriverIdentity(vcap), QString());
    settings::WriteDriverChoice(vcap, 2, QStringLiteral("Cam (usb-1)"));
    EXPECT_EQ(ReadFile(vcap), QByteArray("[Driver]\r\nindex=2\r\nname=Cam (usb-1)\r\n"));
    EXPECT_EQ(settings::ReadDriverIndex(vcap), 2);
    EXPECT_EQ(settings::ReadDriverIdentity(vcap), QStringLiteral("Cam (usb-1)"));
}

}  // namespace

namespace {

// The TLS keys: read with their defaults and range, written only once TLS or
// a pin was chosen, and then kept up to date (also back to plain FTP).
TEST_F(SettingsFiles, TlsKeysStayOutOfFilesThatNeverUsedTls)
{
    const struct {
        const char* file;
        int mode;
        const char* fingerprint;
    } reads[] = {
        {"[FTP Settings]\r\nFTP_Host=h\r\n", 0, ""},
        {"[FTP Settings]\r\nFTP_Security=2\r\nTLS_Fingerprint= AB:CD \r\n", 2, "AB:CD"},
        {"[FTP Settings]\r\nFTP_Security=7\r\n", 0, ""},
        {"[FTP Settings]\r\nFTP_Security=one\r\n", 0, ""},
    };
    for (const auto& r : reads) {
        WriteSettings(r.file);
        TProgramSettings s(fileName_);
        ASSERT_TRUE(s.Load());
        EXPECT_EQ(s.account.tls.mode, r.mode) << r.file;
        EXPECT_EQ(s.account.tls.fingerprint, QString::fromLatin1(r.fingerprint)) << r.file;
    }

    QFile::remove(fileName_);
    settings::FtpAccount typed;
    settings_.SaveAccount(typed, QStringLiteral("3"));
    EXPECT_FALSE(ReadFile(fileName_).contains("FTP_Security"));
    typed.tls = {1, QStringLiteral("AB:CD")};
    settings_.SaveAccount(typed, QStringLiteral("3"));
    EXPECT_TRUE(ReadFile(fileName_).contains("FTP_Security=1\r\nTLS_Fingerprint=AB:CD\r\n"));
    EXPECT_EQ(settings_.account.tls.mode, 1);
    typed.tls = {};
    settings_.SaveAccount(typed, QStringLiteral("3"));
    EXPECT_TRUE(ReadFile(fileName_).contains("FTP_Security=0\r\nTLS_Fingerprint=\r\n"));
    settings_.SaveSecurity({2, QString()}, QStringLiteral("990"));
    TProgramSettings next(fileName_);
    ASSERT_TRUE(next.Load());
    EXPECT_EQ(next.account.tls.mode, 2);
    EXPECT_EQ(next.account.port, QStringLiteral("990"));
}

// The SFTP keys follow the same rule as the TLS keys.
TEST_F(SettingsFiles, SshKeysStayOutOfFilesThatNeverUsedSftp)
{
    WriteSettings("[FTP Settings]\r\nProtocol=1\r\nSSH_HostKey= SHA256:abc \r\nSSH_KeyFile=/k\r\n");
    ASSERT_TRUE(settings_.Load());
    EXPECT_EQ(settings_.account.ssh,
              (settings::SshSettings{settings::Protocol::Sftp, QStringLiteral("SHA256:abc"), QStringLiteral("/k")}));
    WriteSettings("[FTP Settings]\r\nProtocol=5\r\n");
    ASSERT_TRUE(settings_.Load());
    EXPECT_FALSE(settings_.account.Sftp());

    QFile::remove(fileName_);
    settings::FtpAccount typed;
    settings_.SaveAccount(typed, QStringLiteral("3"));
    EXPECT_FALSE(ReadFile(fileName_).contains("Protocol"));
    typed.ssh.protocol = settings::Protocol::Sftp;
    settings_.SaveAccount(typed, QStringLiteral("3"));
    typed.ssh.protocol = settings::Protocol::Ftp;
    settings_.SaveAccount(typed, QStringLiteral("3"));
    EXPECT_TRUE(ReadFile(fileName_).contains("Protocol=0\r\nSSH_HostKey=\r\nSSH_KeyFile=\r\n"));
}

}  // namespace

namespace {

// The time limit every caller takes: never "no limit", never more than an
// hour, whatever the file or the field holds. The field accepts only a text
// that is within the limits as it stands.
TEST(FtpTimeout, TheStoredTextGivesALimitFromOneSecondToAnHour)
{
    const struct {
        const char* text;
        int seconds;
        bool inRange;
    } cases[] = {
        {"15", 15, true},          {"1", 1, true},
        {"3600", 3600, true},      {"0x1E", 30, true},  // hexadecimal, as the files read integers
        {"$14", 20, true},         {"0", 15, false},    // once "wait forever"
        {"-5", 15, false},         {"thirty", 15, false},
        {"", 15, false},           {"3601", 3600, false},
        {"2147484", 3600, false},  // milliseconds beyond an int
        {"3000000", 3600, false},  {"99999999999", 3600, false},
    };
    for (const auto& c : cases) {
        settings::FtpAccount account;
        account.timeout = QString::fromLatin1(c.text);
        EXPECT_EQ(account.TimeoutSeconds(), c.seconds) << c.text;
        EXPECT_EQ(settings::FtpTimeoutInRange(account.timeout), c.inRange) << c.text;
    }
}

}  // namespace
