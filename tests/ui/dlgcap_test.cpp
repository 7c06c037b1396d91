// The capture parameters and driver selection dialogs, on the real capture
// component with the test-pattern camera.
#include "capture/videocap.h"
#include "capture/engine/CaptureDevice.h"
#include "platform/inifile.h"
#include "tests/support/fake_dialogs.h"
#include "tests/support/wait.h"
#include "ui/DlgCapDriver.h"
#include "ui/DlgCapParam.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#include <sys/resource.h>

namespace {

const QString kSection = QStringLiteral("Capture Parameters");

class DlgCapParamTest : public ::testing::Test
{
protected:
    DlgCapParamTest()
    {
        cap.SetFrameRate(10);
        cap.SetCapTimeLimit(7);
        cap.SetCapIndexSize(2000);
        cap.SetCapAudio(true);
        settings = dir.filePath(QStringLiteral("Tarvo Lite.sif"));
    }

    std::unique_ptr<TDlgCapParam> Shown()
    {
        auto d = std::make_unique<TDlgCapParam>(&cap);
        d->SetSettingsFileName(settings);
        d->show();
        return d;
    }

    QString Stored(const QString& key) const
    {
        return platform::IniFile(settings).ReadString(kSection, key, QStringLiteral("<missing>"));
    }

    testsupport::ScopedFakeDialogs dialogs;
    QTemporaryDir dir;
    QString settings;
    TVideoCap cap;
};

TEST_F(DlgCapParamTest, FormHasItsCaptionSizeControlsAndTabOrder)
{
    auto d = Shown();
    EXPECT_EQ(d->windowTitle(), QStringLiteral("Capture parameters"));
    EXPECT_EQ(d->size(), QSize(325, 223));
    EXPECT_EQ(d->property("HelpContext").toInt(), 11);
    EXPECT_EQ(d->font().family(), QStringLiteral("Arial"));
    EXPECT_EQ(d->CheckAudio()->text(), QStringLiteral("Audio :"));
    EXPECT_EQ(d->CheckAudio()->layoutDirection(), Qt::RightToLeft) << "caption on the left";
    EXPECT_EQ(d->findChild<QLabel*>(QStringLiteral("Label4"))->text(), QStringLiteral("Index size (1800 - 324000) :"));
    EXPECT_FALSE(d->edBufferSize()->isVisible());
    EXPECT_FALSE(d->findChild<QLabel*>(QStringLiteral("Label6"))->isVisible());
    EXPECT_FALSE(d->findChild<QLabel*>(QStringLiteral("Label7"))->isVisible());
    EXPECT_TRUE(d->CancelBtn()->isDefault());
    EXPECT_FALSE(d->OKBtn()->isDefault());

    std::vector<QWidget*> order{d->CheckAudio()};
    for (QWidget* w = d->CheckAudio()->nextInFocusChain(); w != d->CheckAudio(); w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus)
            order.push_back(w);
    const std::vector<QWidget*> expected{d->CheckAudio(), d->edFrameRate(), d->edCapTime(), d->edIndexSize(),
                                         d->edBufferSize(), d->CancelBtn(), d->OKBtn()};
    EXPECT_EQ(order, expected);
}

TEST_F(DlgCapParamTest, ComponentValuesShowOnlyWithoutASettingsFile)
{
    {
        auto d = Shown();
        EXPECT_EQ(d->edFrameRate()->text(), QStringLiteral("10"));
        EXPECT_EQ(d->edCapTime()->text(), QStringLiteral("7"));
        EXPECT_EQ(d->edIndexSize()->text(), QStringLiteral("2000"));
        EXPECT_EQ(d->edBufferSize()->text(), QStringLiteral("0"));
        EXPECT_TRUE(d->CheckAudio()->isChecked());
    }
    QFile f(settings);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Capture Parameters]\r\nFrameRate=20\r\n");
    f.close();
    auto d = Shown();
    EXPECT_EQ(d->edFrameRate()->text(), QStringLiteral("20"));
    EXPECT_EQ(d->edCapTime()->text(), QStringLiteral("0")) << "missing keys read as their defaults";
    EXPECT_EQ(d->edIndexSize()->text(), QStringLiteral("0"));
    EXPECT_FALSE(d->CheckAudio()->isChecked());
}

TEST_F(DlgCapParamTest, TypedNonDigitsAreRefusedWithABeepAndAMessage)
{
    auto d = Shown();
    d->edIndexSize()->setText(QStringLiteral("12"));
    d->edIndexSize()->setFocus();
    QTest::keyClicks(d->edIndexSize(), QStringLiteral("a3"));
    EXPECT_EQ(d->edIndexSize()->text(), QStringLiteral("123"));
    EXPECT_EQ(dialogs->beeps, 1);
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text, QStringLiteral("Invalid entry: a"));
    EXPECT_EQ(dialogs->shown[0].buttons, platform::mbOK);
}

TEST_F(DlgCapParamTest, EnterInAFieldPressesCancelAndNothingIsWritten)
{
    auto d = Shown();
    d->edFrameRate()->setText(QStringLiteral("25"));
    d->edFrameRate()->setFocus();
    QTest::keyClick(d->edFrameRate(), Qt::Key_Return);
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(d->result(), QDialog::Rejected);
    EXPECT_FALSE(QFile::exists(settings));
    EXPECT_EQ(cap.FrameRate(), 10);

    auto e = Shown();
    QTest::keyClick(e.get(), Qt::Key_Escape);
    EXPECT_FALSE(e->isVisible());
    EXPECT_FALSE(QFile::exists(settings));
}

TEST_F(DlgCapParamTest, OkStoresTheTextsAndAppliesTheConvertedValues)
{
    auto d = Shown();
    d->edFrameRate()->setText(QStringLiteral("20"));
    d->edCapTime()->setText(QStringLiteral("60"));
    d->edIndexSize()->setText(QStringLiteral("500"));
    d->CheckAudio()->setChecked(false);
    d->OKBtn()->click();
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(d->result(), QDialog::Accepted);
    EXPECT_TRUE(dialogs->exceptions.isEmpty());

    EXPECT_EQ(Stored(QStringLiteral("FrameRate")), QStringLiteral("20"));
    EXPECT_EQ(Stored(QStringLiteral("Capture_Time")), QStringLiteral("60"));
    EXPECT_EQ(Stored(QStringLiteral("Index_Size")), QStringLiteral("500")) << "stored as typed";
    EXPECT_EQ(Stored(QStringLiteral("Buffer_Size")), QStringLiteral("0"));
    EXPECT_EQ(Stored(QStringLiteral("Capture_Audio")), QStringLiteral("0"));
    EXPECT_EQ(cap.MicroSecPerFrame(), 50000u);
    EXPECT_EQ(cap.CapTimeLimit(), 60);
    EXPECT_EQ(cap.CapIndexSize(), 1800u) << "applied through the clamp";
    EXPECT_FALSE(cap.CapAudio());

    auto again = Shown();
    again->edIndexSize()->setText(QStringLiteral("0"));
    again->OKBtn()->click();
    EXPECT_EQ(cap.CapIndexSize(), 0u);
}

TEST_F(DlgCapParamTest, InvalidNumbersKeepTheDialogOpenAfterTheFileIsWritten)
{
    auto d = Shown();
    d->edCapTime()->setText(QString());
    d->CheckAudio()->setChecked(false);
    d->OKBtn()->click();
    EXPECT_TRUE(d->isVisible());
    ASSERT_EQ(dialogs->exceptions.size(), 1);
    EXPECT_EQ(dialogs->exceptions[0], QStringLiteral("'' is not a valid integer value"));
    EXPECT_EQ(Stored(QStringLiteral("Capture_Time")), QString());
    EXPECT_TRUE(cap.CapAudio()) << "conversion fails before anything is applied";

    // Out of 16 bits: the values before it are applied, the rest is not.
    d->edCapTime()->setText(QStringLiteral("5"));
    d->edFrameRate()->setText(QStringLiteral("70000"));
    d->OKBtn()->click();
    EXPECT_TRUE(d->isVisible());
    ASSERT_EQ(dialogs->exceptions.size(), 2);
    EXPECT_EQ(dialogs->exceptions[1], QStringLiteral("Range check error"));
    EXPECT_FALSE(cap.CapAudio());
    EXPECT_EQ(cap.CapTimeLimit(), 7);

    d->edFrameRate()->setText(QStringLiteral("15"));
    d->OKBtn()->click();
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(cap.CapTimeLimit(), 5);
}

TEST_F(DlgCapParamTest, ABufferFileThatCannotBeAllocatedKeepsTheDialogOpen)
{
    cap.SetDriverName(platform::capture::TestPatternName());
    cap.SetDriverOpen(true);
    auto d = Shown();
    d->edFrameRate()->setText(QStringLiteral("12"));
    d->edBufferSize()->setText(QStringLiteral("8"));

    // A file size limit stands in for a full disk.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 1024 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    d->OKBtn()->click();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(dialogs->exceptions, QStringList{QStringLiteral("Could not create tmp file")});
    EXPECT_EQ(cap.FrameRate(), 12) << "the values before it are applied";
    EXPECT_EQ(cap.BufferFileSize(), 8);
    EXPECT_EQ(Stored(QStringLiteral("Buffer_Size")), QStringLiteral("8"));

    d->edBufferSize()->setText(QStringLiteral("0"));
    d->OKBtn()->click();
    EXPECT_FALSE(d->isVisible());
    EXPECT_TRUE(cap.BufferFileName().isEmpty()) << "the temporary file is given up";
}

// Answers the next modal driver dialog.
void AnswerDriverDialog(std::function<void(TDlgCapDriver*)> act, bool accept)
{
    testsupport::WhenModal(QStringLiteral("DlgCapDriver"), [act = std::move(act), accept](QDialog* dialog) {
        auto* d = qobject_cast<TDlgCapDriver*>(dialog);
        act(d);
        if (accept)
            d->OKBtn()->click();
        else
            d->CancelBtn()->click();
    });
}

class DlgCapDriverTest : public ::testing::Test
{
protected:
    DlgCapDriverTest()
    {
        cap.SetDriverName(platform::capture::TestPatternName());
        cap.SetDriverOpen(true);
    }
    TVideoCap cap;
};

TEST_F(DlgCapDriverTest, FormHasItsCaptionSizeAndList)
{
    TDlgCapDriver d;
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Select Capture Driver"));
    EXPECT_EQ(d.size(), QSize(453, 103));
    EXPECT_EQ(d.property("HelpContext").toInt(), 10);
    EXPECT_EQ(d.ComboBox1()->width(), 406);
    EXPECT_FALSE(d.ComboBox1()->isEditable());
    EXPECT_TRUE(d.OKBtn()->isDefault());
}

TEST_F(DlgCapDriverTest, CancelStillClosesAndReopensTheDriver)
{
    const int index = cap.DriverIndex();
    const platform::WindowHandle before = cap.CaptureWindow();
    bool openWhileShown = true;
    QStringList lines;
    int selected = -2;
    AnswerDriverDialog([&](TDlgCapDriver* d) {
        openWhileShown = cap.DriverOpen();
        for (int i = 0; i < d->ComboBox1()->count(); ++i)
            lines << d->ComboBox1()->itemText(i);
        selected = d->ComboBox1()->currentIndex();
    }, false);
    TDlgCapDriver::SelectDriver(cap, nullptr);
    EXPECT_FALSE(openWhileShown);
    EXPECT_EQ(lines, *GetDriverList());
    EXPECT_EQ(selected, index);
    EXPECT_EQ(cap.DriverIndex(), index);
    EXPECT_TRUE(cap.DriverOpen());
    EXPECT_NE(cap.CaptureWindow(), before) << "a new capture window";
}

TEST_F(DlgCapDriverTest, OkStoresTheSelectionAndNoSelectionRaisesOnReopen)
{
    const int index = cap.DriverIndex();
    cap.SetDriverIndex(-1);
    int selected = -2;
    AnswerDriverDialog([&](TDlgCapDriver* d) {
        selected = d->ComboBox1()->currentIndex();
        d->ComboBox1()->setCurrentIndex(index);
    }, true);
    TDlgCapDriver::SelectDriver(cap, nullptr);
    EXPECT_EQ(selected, -1) << "nothing selected for no driver";
    EXPECT_EQ(cap.DriverIndex(), index);
    EXPECT_TRUE(cap.DriverOpen());

    AnswerDriverDialog([](TDlgCapDriver* d) { d->ComboBox1()->setCurrentIndex(-1); }, true);
    try {
        TDlgCapDriver::SelectDriver(cap, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const ENoDriverException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("No capture driver selected"));
    }
    EXPECT_EQ(cap.DriverIndex(), -1);
    EXPECT_FALSE(cap.DriverOpen());
}

}  // namespace
