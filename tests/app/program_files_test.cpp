#include "app/ProgramFiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace app;

namespace {

class ProgramFolder : public ::testing::Test
{
protected:
    QByteArray ReadFile(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir_;
    ProgramFiles files_{dir_.path()};
};

TEST_F(ProgramFolder, WorkingFilesAreCreatedAtStartAndPicturesDeletedAtClose)
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
