#include "app/ProgramFiles.h"
#include "tests/support/unwritable_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

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

namespace {

// Where the files go for each way of installing, at the first start (no data
// folder yet) and at the next (what is there is kept).
TEST(ProgramFoldersRule, EachInstallKeepsItsFilesWhereItCanWriteAndReadsShippedFilesWhereInstalled)
{
    enum class Install { OwnFolder, ReadOnlyFolder, DebianLayout };
    const struct {
        const char* name;
        Install install;
        bool perUser;  // data in the user's folder, not beside the program
    } cases[] = {
        {"a program folder the user owns", Install::OwnFolder, false},
        {"a read-only program folder", Install::ReadOnlyFolder, true},
        {"bin/ with share/tarvo-lite/ beside it", Install::DebianLayout, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir base;
        const QString dataHome = base.filePath(QStringLiteral("home/.local/share"));
        std::unique_ptr<testsupport::ReadOnlyFolder> readOnly;
        QString program = base.filePath(QStringLiteral("program"));
        QString shipped = program;
        switch (c.install) {
        case Install::OwnFolder:
            QDir().mkpath(program + QStringLiteral("/Server"));
            break;
        case Install::ReadOnlyFolder:
            readOnly = std::make_unique<testsupport::ReadOnlyFolder>(base, QStringList{QStringLiteral("Server")});
            ASSERT_TRUE(readOnly->RefusesNewFiles());
            program = shipped = readOnly->Path();
            break;
        case Install::DebianLayout:
            program = base.filePath(QStringLiteral("usr/bin"));
            shipped = base.filePath(QStringLiteral("usr/share/tarvo-lite"));
            QDir().mkpath(program);
            QDir().mkpath(shipped + QStringLiteral("/Server"));
            break;
        }
        const QString data = c.perUser ? dataHome + QStringLiteral("/tarvo-lite/") : program + QLatin1Char('/');

        for (int start = 0; start < 2; ++start) {
            const ProgramFiles files = ProgramFiles::ForProgram(program, dataHome);
            EXPECT_EQ(files.Folder(), data);
            EXPECT_EQ(files.SeparateDataFolder(), c.perUser);
            EXPECT_EQ(files.SettingsFile(), data + QStringLiteral("Tarvo Lite.sif"));
            EXPECT_EQ(files.VideosFolder(), data + QStringLiteral("Videos/"));
            EXPECT_EQ(files.StopCapJpg(), shipped + QStringLiteral("/stopcap.jpg"));
            EXPECT_EQ(files.HelpFile(), shipped + QStringLiteral("/TarvoLt.chm"));
            EXPECT_EQ(files.ServerFolder(), shipped + QStringLiteral("/Server/"));
            EXPECT_EQ(QDir(program).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral("probe")), QStringList())
                << "the writability probe is gone";

            files.CreateWorkingFiles();
            EXPECT_TRUE(QDir(files.SnapshotsFolder()).exists());
            EXPECT_TRUE(QFile::exists(files.ErrorLog()));
            if (start == 0) {
                QFile log(files.ErrorLog());
                ASSERT_TRUE(log.open(QIODevice::Append));
                log.write("first start\r\n");
            } else {
                QFile log(files.ErrorLog());
                ASSERT_TRUE(log.open(QIODevice::ReadOnly));
                EXPECT_EQ(log.readAll(), QByteArray("first start\r\n"));
            }
        }
        EXPECT_EQ(QDir(dataHome).exists(), c.perUser) << "no user folder for a program that keeps its own";
    }
}

}  // namespace
