#include "tests/support/fake_dialogs.h"
#include "tests/support/unwritable_folder.h"
#include "tests/support/wait.h"
#include "ui/HtmlHelpBridge.h"
#include "ui/LogForm.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>

namespace {

const QString kTooLarge =
    QStringLiteral("The Error Log grows too large. Do you want to\rcopy it to a text file and start a new one ?");

class LogForm : public ::testing::Test
{
protected:
    LogForm() { form_.SetProgramFolder(dir_.path()); }

    void WriteLog(const QByteArray& bytes)
    {
        QFile f(form_.LogFileName());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray ReadFile(const QString& path) const
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Lines whose stored text (each line plus CR LF) is exactly total characters.
    static QStringList LinesOfLength(int total)
    {
        QStringList lines;
        while (total > 0) {
            const int line = std::min(total, 100) - 2;
            lines << QString(line, QLatin1Char('x'));
            total -= line + 2;
        }
        return lines;
    }
    void Click(const char* name) { QTest::mouseClick(form_.findChild<QPushButton*>(QString::fromLatin1(name)), Qt::LeftButton); }

    testsupport::ScopedFakeDialogs dialogs_;
    QTemporaryDir dir_;
    TLogForm form_;
};

TEST_F(LogForm, DesignedAsAResizableViewerWithItsControls)
{
    EXPECT_EQ(form_.windowTitle(), QStringLiteral("Error Log"));
    EXPECT_EQ(form_.size(), QSize(547, 454));
    EXPECT_EQ(apphelp::HelpContextOf(&form_), 9);
    EXPECT_TRUE(form_.LogMemo()->isReadOnly());
    EXPECT_EQ(form_.LogMemo()->objectName(), QStringLiteral("LogMemo"));
    EXPECT_FALSE(form_.LogMemo()->focusPolicy() & Qt::TabFocus);
    EXPECT_EQ(form_.findChild<QWidget*>(QStringLiteral("Panel"))->height(), 57);
    EXPECT_EQ(form_.findChild<QPushButton*>(QStringLiteral("btnSave"))->text(), QStringLiteral("Save As..."));
    EXPECT_EQ(form_.findChild<QPushButton*>(QStringLiteral("btnClearLog"))->text(), QStringLiteral("Clear Log"));
    auto* close = form_.findChild<QPushButton*>(QStringLiteral("btnClose"));
    EXPECT_EQ(close->text(), QStringLiteral("Close"));
    EXPECT_TRUE(close->isDefault());
}

// The save dialog starts in the program folder; the process's current
// folder stays whatever it was.
TEST_F(LogForm, ShowingLoadsTheFileAndSavingStartsInTheProgramFolder)
{
    const QString before = QDir::currentPath();
    WriteLog("first\r\nsecond\r\n");
    form_.show();
    EXPECT_EQ(form_.Lines(), QStringList({QStringLiteral("first"), QStringLiteral("second")}));
    EXPECT_EQ(form_.LogMemo()->toPlainText(), QStringLiteral("first\nsecond"));
    dialogs_->saveAnswers = {QString()};
    Click("btnSave");
    ASSERT_EQ(dialogs_->saveRequests.size(), 1u);
    EXPECT_EQ(QDir(dialogs_->saveRequests[0].initialDir), QDir(dir_.path()));
    EXPECT_EQ(QDir::currentPath(), before);
    form_.hide();

    // Without the file the text box keeps what it had.
    QFile::remove(form_.LogFileName());
    form_.show();
    EXPECT_EQ(form_.Lines().size(), 2);
    form_.hide();
    QDir::setCurrent(before);
}

TEST_F(LogForm, ClearingAsksAndOnlyYesEmptiesLogAndFile)
{
    WriteLog("a\r\nb\r\n");
    form_.ReloadFromFile();
    dialogs_->answers = {platform::mrNo};
    Click("btnClearLog");
    EXPECT_EQ(form_.Lines().size(), 2);
    EXPECT_EQ(ReadFile(form_.LogFileName()), QByteArray("a\r\nb\r\n"));
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(dialogs_->shown[0].text, QStringLiteral("This action can not be undone. \rAre you sure ?"));
    EXPECT_EQ(dialogs_->shown[0].type, platform::MsgDlgType::Confirmation);
    EXPECT_EQ(dialogs_->shown[0].buttons, platform::mbYes | platform::mbNo);

    dialogs_->answers = {platform::mrYes};
    Click("btnClearLog");
    EXPECT_TRUE(form_.Lines().isEmpty());
    EXPECT_TRUE(form_.LogMemo()->toPlainText().isEmpty());
    EXPECT_TRUE(QFile::exists(form_.LogFileName()));
    EXPECT_EQ(ReadFile(form_.LogFileName()), QByteArray());
    EXPECT_EQ(dialogs_->beeps, 2);
}

TEST_F(LogForm, ClearingThatCannotWriteKeepsTheLinesAndShowsTheError)
{
    form_.SetLines({QStringLiteral("kept")});
    QTemporaryDir base;
    form_.SetProgramFolder(testsupport::UnwritableFolder(base));
    dialogs_->answers = {platform::mrYes};
    form_.btnClearLogClick();
    EXPECT_EQ(form_.Lines(), QStringList({QStringLiteral("kept")}));
    ASSERT_EQ(dialogs_->exceptions.size(), 1);
    EXPECT_TRUE(dialogs_->exceptions[0].startsWith(QStringLiteral("Unable to write to ")));
}

TEST_F(LogForm, SavingACopyWritesTheLinesUnderTheChosenName)
{
    form_.SetLines({QStringLiteral("one"), QStringLiteral("two")});
    const QString copy = dir_.filePath(QStringLiteral("copy.txt"));
    dialogs_->saveAnswers = {copy};
    Click("btnSave");
    ASSERT_EQ(dialogs_->saveRequests.size(), 1u);
    EXPECT_EQ(dialogs_->saveRequests[0].title, QStringLiteral("Save Error Log as..."));
    EXPECT_EQ(dialogs_->saveRequests[0].defaultExt, QStringLiteral("txt"));
    EXPECT_TRUE(dialogs_->saveRequests[0].filter.contains(QStringLiteral("*.txt")));
    EXPECT_EQ(ReadFile(copy), QByteArray("one\r\ntwo\r\n"));
    // Cancelling writes nothing.
    EXPECT_FALSE(form_.btnSaveClick());
}

TEST_F(LogForm, ClosingAtTheLimitAsksNothing)
{
    form_.SetLines(LinesOfLength(61440));
    ASSERT_EQ(form_.TextLength(), 61440);
    form_.show();
    Click("btnClose");
    EXPECT_FALSE(form_.isVisible());
    EXPECT_TRUE(dialogs_->shown.empty());
    EXPECT_EQ(dialogs_->beeps, 0);
}

TEST_F(LogForm, ClosingAboveTheLimitAnsweringNoKeepsEverything)
{
    const QStringList lines = LinesOfLength(61441);
    form_.SetLines(lines);
    ASSERT_EQ(form_.TextLength(), 61441);
    form_.show();
    dialogs_->answers = {platform::mrNo};
    Click("btnClose");
    EXPECT_FALSE(form_.isVisible());
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(dialogs_->shown[0].text, kTooLarge);
    EXPECT_EQ(dialogs_->shown[0].type, platform::MsgDlgType::Warning);
    EXPECT_EQ(dialogs_->beeps, 1);
    EXPECT_TRUE(dialogs_->saveRequests.empty());
    EXPECT_EQ(form_.Lines(), lines);
    EXPECT_FALSE(QFile::exists(form_.LogFileName()));
}

TEST_F(LogForm, ClosingAboveTheLimitYesThenCancelRewritesTheSameLines)
{
    const QStringList lines = LinesOfLength(61441);
    form_.SetLines(lines);
    form_.show();
    dialogs_->answers = {platform::mrYes};
    dialogs_->saveAnswers = {QString()};
    form_.close();
    EXPECT_FALSE(form_.isVisible());
    EXPECT_EQ(dialogs_->saveRequests.size(), 1u);
    EXPECT_EQ(form_.Lines(), lines);
    EXPECT_EQ(ReadFile(form_.LogFileName()).size(), 61441);
}

TEST_F(LogForm, ClosingAboveTheLimitYesThenSaveArchivesAndStartsANewLog)
{
    const QStringList lines = LinesOfLength(61441);
    form_.SetLines(lines);
    form_.show();
    const QString archive = dir_.filePath(QStringLiteral("archive.txt"));
    dialogs_->answers = {platform::mrYes};
    dialogs_->saveAnswers = {archive};
    // Esc closes the same way as the button and the close box.
    QTest::keyClick(&form_, Qt::Key_Escape);
    EXPECT_FALSE(form_.isVisible());
    EXPECT_EQ(dialogs_->saveRequests.size(), 1u);
    EXPECT_EQ(ReadFile(archive).size(), 61441);
    EXPECT_TRUE(form_.Lines().isEmpty());
    EXPECT_TRUE(QFile::exists(form_.LogFileName()));
    EXPECT_EQ(ReadFile(form_.LogFileName()), QByteArray());
}

TEST_F(LogForm, LinesAppendedAfterLoadingFollowTheFileContent)
{
    WriteLog("caf\xe9\r\nlast line without break");
    form_.ReloadFromFile();
    form_.AppendLine(QStringLiteral("new"));
    EXPECT_EQ(form_.Lines(), QStringList({QStringLiteral("caf\u00e9"), QStringLiteral("last line without break"),
                                          QStringLiteral("new")}));
    EXPECT_EQ(form_.LogMemo()->toPlainText(), form_.Lines().join(QLatin1Char('\n')));
    ASSERT_TRUE(form_.WriteLogFile());
    EXPECT_EQ(ReadFile(form_.LogFileName()), QByteArray("caf\xc3\xa9\r\nlast line without break\r\nnew\r\n"));
}

}  // namespace

namespace {

// A long unattended run: the memo keeps no undo history, and a line the file
// could not take survives a reload and goes into the file with the next one.
TEST_F(LogForm, LinesOutliveAFailedWriteAndTheMemoKeepsNoUndoHistory)
{
    const QString log = form_.LogFileName();
    form_.AppendLine(QStringLiteral("A"));
    ASSERT_TRUE(form_.WriteLogFile());

    ASSERT_TRUE(QFile::remove(log));
    ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("Error.log")));  // the file refuses the write
    form_.AppendLine(QStringLiteral("B"));
    EXPECT_FALSE(form_.WriteLogFile());
    ASSERT_TRUE(QDir(dir_.path()).rmdir(QStringLiteral("Error.log")));
    WriteLog("A\r\n");

    ASSERT_TRUE(form_.ReloadFromFile());
    EXPECT_EQ(form_.Lines(), QStringList({"A", "B"}));
    EXPECT_EQ(form_.LogMemo()->toPlainText(), QStringLiteral("A\nB"));
    form_.AppendLine(QStringLiteral("C"));
    ASSERT_TRUE(form_.WriteLogFile());
    EXPECT_EQ(ReadFile(log), QByteArray("A\r\nB\r\nC\r\n"));
    ASSERT_TRUE(form_.ReloadFromFile());
    EXPECT_EQ(form_.Lines(), QStringList({"A", "B", "C"})) << "written lines are not kept twice";

    EXPECT_FALSE(form_.LogMemo()->isUndoRedoEnabled());
    EXPECT_EQ(form_.LogMemo()->document()->availableUndoSteps(), 0);
}

// Where the program folder is read-only but its files are not, the log is
// written in place.
TEST_F(LogForm, AReadOnlyFolderWithAWritableLogIsWrittenInPlace)
{
    WriteLog("A\r\n");
    QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QFile probe(dir_.filePath(QStringLiteral("probe")));
    if (probe.open(QIODevice::WriteOnly)) {
        probe.remove();
        QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        GTEST_SKIP() << "a read-only mode does not stop this user's writes";
    }
    ASSERT_TRUE(form_.ReloadFromFile());
    form_.AppendLine(QStringLiteral("B"));
    EXPECT_TRUE(form_.WriteLogFile());
    QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(ReadFile(form_.LogFileName()), QByteArray("A\r\nB\r\n"));
}

}  // namespace
