#include "app/Settings.h"
#include "tests/support/unwritable_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace app;

namespace {

class SettingsFiles : public ::testing::Test
{
protected:
    void WriteSettings(const QByteArray& text)
    {
        QFile f(files_.SettingsFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QByteArray ReadFile(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir_;
    ProgramFiles files_{dir_.path()};
};

TEST_F(SettingsFiles, WithoutAFileNothingIsReadAndTheBuiltInValuesStand)
{
    ProgramSettings s;
    s.updateInterval = QStringLiteral("keep");
    EXPECT_FALSE(LoadProgramSettings(ProgramSettingsFile(files_), s));
    EXPECT_EQ(s.updateInterval, QStringLiteral("keep"));

    const ProgramSettings builtIn;
    EXPECT_EQ(builtIn.updateInterval, QStringLiteral("3"));
    EXPECT_EQ(builtIn.ftpPort, QStringLiteral("ftp"));
    EXPECT_EQ(builtIn.ftpTimeout, 15);
    EXPECT_TRUE(builtIn.logErrors && builtIn.firstRun && builtIn.passiveMode);
    EXPECT_FALSE(builtIn.errorBeep || builtIn.autoStart);
}

TEST_F(SettingsFiles, AnExistingFileLoadsWithEachKeysDefault)
{
    // Keys absent from the file take the defaults of a read, not the built-in values.
    WriteSettings("[FTP Settings]\r\nFTP_Host=ftp.example.org\r\nFTP_Timeout=0x1E\r\n"
                  "Password= p@ss; w=rd! \r\n[Other Settings]\r\nFirstRun=0\r\n");
    ProgramSettings s;
    ASSERT_TRUE(LoadProgramSettings(ProgramSettingsFile(files_), s));
    EXPECT_EQ(s.ftpHost, QStringLiteral("ftp.example.org"));
    EXPECT_EQ(s.ftpTimeout, 30);
    EXPECT_EQ(s.ftpPort, QStringLiteral("21"));
    EXPECT_EQ(s.updateInterval, QStringLiteral("5"));
    EXPECT_EQ(s.password, QStringLiteral("p@ss; w=rd!"));  // blanks around a hand-written value are trimmed
    EXPECT_TRUE(s.passiveMode);
    EXPECT_TRUE(s.logErrors);
    EXPECT_FALSE(s.errorBeep);
    EXPECT_FALSE(s.firstRun);
    EXPECT_FALSE(s.autoStart);
    EXPECT_EQ(s.frameRate, 15);

    WriteSettings("[FTP Settings]\r\nFTP_Timeout=thirty\r\nPassive_Mode=0\r\nAutoStart=$1\r\n");
    ASSERT_TRUE(LoadProgramSettings(ProgramSettingsFile(files_), s));
    EXPECT_EQ(s.ftpTimeout, 15);
    EXPECT_FALSE(s.passiveMode);
    EXPECT_TRUE(s.autoStart);
}

TEST_F(SettingsFiles, ACaptureNumberOutOfRangeIsIgnoredWhileTheRestLoads)
{
    WriteSettings("[Capture Parameters]\r\nFrameRate=70000\r\nCapture_Time=65535\r\nIndex_Size=-1\r\n"
                  "Buffer_Size=$FFFF\r\nCapture_Audio=1\r\n[FTP Settings]\r\nUser_ID=me\r\n");
    ProgramSettings s;
    ASSERT_TRUE(LoadProgramSettings(ProgramSettingsFile(files_), s));
    EXPECT_EQ(s.frameRate, 15);
    EXPECT_EQ(s.captureTime, 65535);
    EXPECT_EQ(s.indexSize, 0u);
    EXPECT_EQ(s.bufferSize, 65535);
    EXPECT_TRUE(s.captureAudio);
    EXPECT_EQ(s.userId, QStringLiteral("me"));
}

TEST_F(SettingsFiles, CloseTimeSaveWritesElevenKeysInOrderOwnerOnly)
{
    CloseTimeSettings c;
    c.ftpHost = QStringLiteral("host");
    c.ftpPort = QString();  // an emptied port is saved as 21
    c.ftpTimeout = QStringLiteral("15");
    c.userId = QStringLiteral("user");
    c.password = QStringLiteral("  pa ss\"word' #1 ");
    c.updateInterval = QStringLiteral("3");
    c.autoStart = true;
    c.passiveMode = false;
    c.logErrors = true;
    c.errorBeep = false;
    c.firstRun = false;
    platform::IniFile file = ProgramSettingsFile(files_);
    SaveProgramSettings(file, c);

    EXPECT_EQ(ReadFile(files_.SettingsFile()),
              QByteArray("[FTP Settings]\r\nFTP_Host=host\r\nFTP_Port=21\r\nFTP_Timeout=15\r\nUser_ID=user\r\n"
                         "Password=\"  pa ss\"word' #1 \"\r\nUpdate_Interval=3\r\nAutoStart=1\r\nPassive_Mode=0\r\n\r\n"
                         "[Other Settings]\r\nLogErrors=1\r\nErrorBeep=0\r\nFirstRun=0\r\n"));
    EXPECT_EQ(QFile::permissions(files_.SettingsFile()) & QFileDevice::Permissions(0x7077),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    // The next start reads the password back exactly as typed.
    ProgramSettings s;
    ASSERT_TRUE(LoadProgramSettings(ProgramSettingsFile(files_), s));
    EXPECT_EQ(s.password, c.password);
    EXPECT_FALSE(s.passiveMode);
}

TEST_F(SettingsFiles, ASaveThatCannotWriteRaisesTheMessage)
{
    QTemporaryDir base;
    const ProgramFiles readOnly(testsupport::UnwritableFolder(base));
    platform::IniFile file = ProgramSettingsFile(readOnly);
    try {
        SaveProgramSettings(file, CloseTimeSettings{});
        FAIL() << "no exception";
    } catch (const platform::EIniFileException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to write to ") + readOnly.SettingsFile());
    }
}

TEST_F(SettingsFiles, DriverIndexDefaultsToNoDriver)
{
    platform::IniFile vcap = DriverSettingsFile(files_);
    EXPECT_EQ(ReadDriverIndex(vcap), -1);
    WriteDriverIndex(vcap, 2);
    EXPECT_EQ(ReadFile(files_.DriverSettingsFile()), QByteArray("[Driver]\r\nindex=2\r\n"));
    EXPECT_EQ(ReadDriverIndex(vcap), 2);
}

TEST_F(SettingsFiles, WorkingFilesAreCreatedAtStartAndPicturesDeletedAtClose)
{
    QFile log(files_.ErrorLog());
    ASSERT_TRUE(log.open(QIODevice::WriteOnly));
    log.write("earlier entry\r\n");
    log.close();

    files_.CreateWorkingFiles();
    files_.CreateWorkingFiles();  // a second start changes nothing
    EXPECT_TRUE(QDir(files_.SnapshotsFolder()).exists());
    EXPECT_TRUE(QDir(files_.VideosFolder()).exists());
    EXPECT_TRUE(QFile::exists(files_.CaptureBmp()));
    EXPECT_EQ(QFileInfo(files_.CaptureBmp()).size(), 0);
    EXPECT_EQ(ReadFile(files_.ErrorLog()), QByteArray("earlier entry\r\n"));

    for (const char* name : {"temp00.bmp", "TempRemoteFile.jpg", "Capture.jpg", "datetime.bmp"}) {
        QFile f(files_.File(QString::fromLatin1(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    files_.DeleteWorkingPictures();
    EXPECT_EQ(QDir(files_.Folder()).entryList(QDir::Files), QStringList({"Capture.bmp", "Error.log"}));
}

}  // namespace
