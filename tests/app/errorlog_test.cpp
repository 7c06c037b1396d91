#include "app/ErrorLog.h"
#include "settings/Settings.h"
#include "tests/support/fake_dialogs.h"
#include "tests/support/unwritable_folder.h"
#include "ui/LogForm.h"

#include "platform/locale.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

class ErrorLog : public ::testing::Test
{
protected:
    ErrorLog()
    {
        viewer_.SetProgramFolder(dir_.path());
        log_.Now = [this] { return now_; };
        log_.OnStatusText = [this](const QString& text) { status_ << text; };
        log_.OnDeviceNotDetected = [this] {
            events_ << QStringLiteral("deselect, boxes shown: %1").arg(dialogs_->shown.size());
        };
    }

    QByteArray LogFile() const
    {
        QFile f(viewer_.LogFileName());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QString D() const { return platform::DateTimeToStr(now_); }

    testsupport::ScopedFakeDialogs dialogs_;
    QTemporaryDir dir_;
    TLogForm viewer_;
    TErrorLog log_{viewer_};
    QDateTime now_{QDate(2026, 5, 4), QTime(13, 2, 1)};
    QStringList status_;
    QStringList events_;
};

TEST_F(ErrorLog, LineFormatsOfEverySource)
{
    log_.CaptureError(1, QStringLiteral("Video format not supported"));
    log_.FtpError(QStringLiteral("530 Login incorrect."));
    log_.FrameSaveFailed(true);
    log_.FrameSaveFailed(false);

    const QStringList expected = {
        D() + QStringLiteral(" :   Error = Video format not supported"),
        D() + QStringLiteral(" :   FTP Error = 530 Login incorrect."),
        D() + QStringLiteral(" :   Could not save captured frame to disk"),
        D() + QStringLiteral(" :   Error = Could not save captured frame to disk"),
    };
    EXPECT_EQ(viewer_.Lines(), expected);
    EXPECT_EQ(LogFile(), (expected.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());
    EXPECT_EQ(status_, QStringList({QStringLiteral("Video format not supported"), QStringLiteral("530 Login incorrect."),
                                    QStringLiteral("ERROR: Could not save captured frame to disk"),
                                    QStringLiteral("ERROR: Could not save captured frame to disk")}));
    // Beeping is off by default and never applies to capture or frame failures.
    EXPECT_EQ(dialogs_->beeps, 0);
    EXPECT_TRUE(dialogs_->shown.empty());
}

TEST_F(ErrorLog, OnlyFtpFailuresBeepAndOnlyWhenAsked)
{
    log_.SetErrorBeep(true);
    log_.CaptureError(1, QStringLiteral("x"));
    log_.FrameSaveFailed(false);
    EXPECT_EQ(dialogs_->beeps, 0);
    log_.FtpError(QStringLiteral("Connection refused"));
    EXPECT_EQ(dialogs_->beeps, 1);
}

TEST_F(ErrorLog, LogErrorsOffKeepsLogAndFileButStillReports)
{
    log_.CaptureError(1, QStringLiteral("first"));
    const QByteArray before = LogFile();
    log_.SetLogErrors(false);
    log_.SetErrorBeep(true);
    log_.FtpError(QStringLiteral("second"));
    log_.FrameSaveFailed(false);
    EXPECT_EQ(viewer_.Lines().size(), 1);
    EXPECT_EQ(LogFile(), before);
    EXPECT_EQ(status_.last(), QStringLiteral("ERROR: Could not save captured frame to disk"));
    EXPECT_EQ(dialogs_->beeps, 1);
}

TEST_F(ErrorLog, AnEmptyCaptureErrorClearsThePanelAndLogsNothing)
{
    log_.CaptureError(0, QString());
    EXPECT_EQ(status_, QStringList({QString()}));
    EXPECT_TRUE(viewer_.Lines().isEmpty());
}

TEST_F(ErrorLog, AnUndetectedDeviceBeepsDeselectsThenWarnsEvenWithoutLogging)
{
    log_.SetLogErrors(false);
    log_.CaptureError(0, QStringLiteral("Capture device was not detected."));
    EXPECT_EQ(dialogs_->beeps, 1);
    EXPECT_EQ(events_, QStringList({QStringLiteral("deselect, boxes shown: 0")}));
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(dialogs_->shown[0].text,
              QStringLiteral("Capture device was not detected. Connect camera before running this program."));
    EXPECT_EQ(dialogs_->shown[0].type, platform::MsgDlgType::Warning);
    EXPECT_EQ(dialogs_->shown[0].buttons, platform::mbOK);

    // Only the exact text triggers it.
    log_.CaptureError(0, QStringLiteral("Capture device was not detected"));
    EXPECT_EQ(dialogs_->shown.size(), 1u);
}

TEST_F(ErrorLog, EntriesOfAnEarlierRunStay)
{
    QFile f(viewer_.LogFileName());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("old entry\r\n");
    f.close();
    log_.FtpError(QStringLiteral("new"));
    EXPECT_EQ(LogFile(), (QStringLiteral("old entry\r\n") + D() + QStringLiteral(" :   FTP Error = new\r\n")).toUtf8());
}

TEST_F(ErrorLog, AFailedLogWriteKeepsTheLineAndSaysSoInThePanel)
{
    QTemporaryDir base;
    viewer_.SetProgramFolder(testsupport::UnwritableFolder(base));
    EXPECT_FALSE(log_.Append(QStringLiteral("kept")));
    EXPECT_EQ(viewer_.Lines(), QStringList({QStringLiteral("kept")}));
    ASSERT_FALSE(status_.isEmpty());
    EXPECT_EQ(status_.last(), QStringLiteral("Unable to write to ") + viewer_.LogFileName());
    EXPECT_TRUE(dialogs_->exceptions.isEmpty());

    // Once the folder is writable again the next entry brings the file up to date.
    viewer_.SetProgramFolder(dir_.path());
    EXPECT_TRUE(log_.Append(QStringLiteral("next")));
    EXPECT_EQ(LogFile(), QByteArray("kept\r\nnext\r\n"));
}

// A crash during an in-place write can cut the settings file: the log says
// so, once, instead of staying silent.
TEST(ErrorLogInPlace, ASettingsFileWrittenInPlaceIsNotedOnce)
{
    QTemporaryDir base;
    const testsupport::ReadOnlyFolder folder(base, {QStringLiteral("Error.log"), QStringLiteral("Tarvo Lite.sif")});
    if (!folder.RefusesNewFiles())
        GTEST_SKIP() << "this process may create files in a read-only folder";
    TLogForm viewer;
    viewer.SetProgramFolder(folder.Path());
    TErrorLog log(viewer);
    settings::TProgramSettings s(folder.Path() + QStringLiteral("/Tarvo Lite.sif"));
    s.SaveAtClose(QStringLiteral("3"), true, false);
    s.SaveAtClose(QStringLiteral("4"), true, false);
    ASSERT_EQ(viewer.Lines().size(), 1) << viewer.Lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(viewer.Lines()[0].endsWith(QDir::toNativeSeparators(s.FileName())
                                           + QStringLiteral(" is written in place, as its folder allows no new "
                                                            "files: a crash during a write can cut it short")));
    EXPECT_TRUE(settings::TProgramSettings(s.FileName()).Load());
}

}  // namespace
