// Help, About and the maker's address as the user reaches them from the main
// window and its dialogs.
#include "main_window_fixture.h"

#include "tests/support/recording_services.h"
#include "ui/AboutDlg.h"
#include "ui/HtmlHelpBridge.h"
#include "ui/URL.h"

#include <QProcess>
#include <QTest>

using namespace apptest;
using platform::HH_DISPLAY_INDEX;
using platform::HH_DISPLAY_TOC;
using platform::HH_HELP_CONTEXT;

namespace {

class HelpAndLinks : public MainWindowTest
{
protected:
    HelpAndLinks() { bridge_.Install(); }
    ~HelpAndLinks() override { bridge_.Remove(); }

    // Launches with a help file in the program folder and the window shown.
    void LaunchShown()
    {
        WriteFile(Path(QStringLiteral("TarvoLt.chm")), "ITSF");
        StoreSettings("[Other Settings]\nFirstRun=0\n");  // no wizard over the window
        LaunchWithCamera();
        Main().show();
        Main().activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
        help_->calls.clear();
    }

    // Presses F1 in the window that the action opens modally, then closes it
    // by its close box.
    void F1InModal(const char* action, const char* windowName)
    {
        bool pressed = false;
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible() && w->objectName() == QLatin1String(windowName) && !pressed) {
                    pressed = true;
                    poll.stop();
                    QTest::keyClick(w, Qt::Key_F1);
                    w->close();
                }
            }
        });
        poll.start();
        Action(action)->trigger();  // returns once the modal window has closed
        ASSERT_TRUE(testsupport::WaitUntil([&] { return pressed; }));
    }

    TconHTMLHelp bridge_;
    testsupport::ScopedRecordingHelp help_;
    testsupport::ScopedRecordingShell shell_;
};

TEST_F(HelpAndLinks, HelpAndF1OpenTheContentsAndHelpIndexTheIndexOfTheProgramFoldersFile)
{
    LaunchShown();
    const QString file = Path(QStringLiteral("TarvoLt.chm"));

    Action("menuHelp2")->trigger();
    QTest::keyClick(&Main(), Qt::Key_F1);
    Action("menuHelpIndex")->trigger();

    ASSERT_EQ(help_->calls.size(), 3u);
    EXPECT_EQ(help_->calls[0].command, HH_DISPLAY_TOC);
    EXPECT_EQ(help_->calls[1].command, HH_DISPLAY_TOC) << "F1 on the main window is the Help item's shortcut";
    EXPECT_EQ(help_->calls[2].command, HH_DISPLAY_INDEX);
    for (const auto& call : help_->calls) {
        EXPECT_EQ(call.file, file);
        EXPECT_EQ(call.owner, &Main());
    }
}

TEST_F(HelpAndLinks, F1InEachDialogOpensItsOwnTopic)
{
    LaunchShown();
    F1InModal("menuNetwork", "frmNetwork");
    F1InModal("menuCaptureparameter1", "DlgCapParam");
    F1InModal("menuVideoDriver1", "DlgCapDriver");
    F1InModal("menuWizard", "frmWizard1");
    F1InModal("menuMotion", "frmMotion");
    F1InModal("menuPrivacyMasks", "frmPrivacyMasks");
    F1InModal("menuCaption", "frmCaption");

    // F1 belongs to the window the user is in; until the log window is active
    // the main window's shortcut would take the key.
    Log().show();
    Log().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Log()));
    QTest::keyClick(&Log(), Qt::Key_F1);
    Log().hide();

    const std::uintptr_t expected[] = {15, 11, 10, 8, 16, 20, 19, 9};
    ASSERT_EQ(help_->calls.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(help_->calls[i].command, HH_HELP_CONTEXT) << i;
        EXPECT_EQ(help_->calls[i].data, expected[i]) << i;
    }
}

TEST_F(HelpAndLinks, TheVideoMenuItemsCarryTheirTopics)
{
    LaunchShown();
    EXPECT_EQ(apphelp::HelpContextOf(Action("menuVideoSource1")), 12);
    EXPECT_EQ(apphelp::HelpContextOf(Action("menuVideoFormat1")), 13);
    EXPECT_EQ(apphelp::HelpContextOf(Action("menuVideoCompression1")), 14);
    EXPECT_EQ(apphelp::HelpContextOf(&Main()), 4);
}

TEST_F(HelpAndLinks, TheWebItemOpensTheMakersAddressThroughTheShell)
{
    LaunchShown();
    Action("GotoWebsite1")->trigger();
    ASSERT_EQ(shell_->calls.size(), 1u);
    EXPECT_EQ(shell_->calls[0].target, QString::fromLatin1(kMakerWebAddress));
}

// One version, from the program's own record, in the About box and in what
// "--version" prints.
TEST_F(HelpAndLinks, AboutShowsTheProgramsOwnVersionAtEveryShowing)
{
    LaunchShown();
    TrsFileVersion program;
    ASSERT_TRUE(program.GetVersionInfo(QStringLiteral(TARVO_BIN_DIR "/tarvo-lite")));
    const QString expected = TAboutDlg::VersionCaption(program);
    EXPECT_NE(expected, QStringLiteral("Version 0.0.0 (Build 0)"));
    QProcess printed;
    printed.start(QStringLiteral(TARVO_BIN_DIR "/tarvo-lite"), {QStringLiteral("--version")});
    ASSERT_TRUE(printed.waitForFinished(30000));
    EXPECT_EQ(QStringLiteral("Version ") + QString::fromUtf8(printed.readAllStandardOutput()).remove(QStringLiteral("Tarvo Lite ")).trimmed(),
              expected);

    QStringList seen;
    for (int i = 0; i < 2; ++i) {
        bool shown = false;
        WhenModal(QStringLiteral("AboutDlg"), [&](QDialog* d) {
            seen << static_cast<TAboutDlg*>(d)->lblVersion()->text();
            shown = true;
            d->accept();
        });
        Action("menuAbout1")->trigger();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return shown; }));
    }
    EXPECT_EQ(seen, QStringList({expected, expected}));
}

}  // namespace
