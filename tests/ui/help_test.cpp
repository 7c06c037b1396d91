#include "ui/HtmlHelpBridge.h"
#include "platform/help.h"
#include "tests/support/recording_services.h"

#include <QAction>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using namespace platform;

namespace {

struct BridgeTest : ::testing::Test {
    testsupport::ScopedRecordingHelp viewer;
    TconHTMLHelp bridge;
    QMainWindow main;

    void SetUp() override
    {
        apphelp::SetHelpFile(QStringLiteral("/opt/tarvo/TarvoLt.chm"));
        apphelp::SetMainWindow(&main);
        bridge.Install();
    }
    void TearDown() override
    {
        bridge.Remove();
        apphelp::SetMainWindow(nullptr);
        apphelp::SetHelpFile({});
    }
};

TEST_F(BridgeTest, EveryRequestBecomesItsViewerCommand)
{
    const struct {
        std::uint16_t command;
        std::int32_t data;
        unsigned hh;
        std::uintptr_t hhData;
    } table[] = {
        {HELP_CONTEXT, 15, HH_HELP_CONTEXT, 15},
        {HELP_CONTEXTPOPUP, 11, HH_HELP_CONTEXT, 11},
        {HELP_QUIT, 5, HH_CLOSE_ALL, 0},
        {HELP_CONTENTS, 3, HH_DISPLAY_TOC, 0},
        {HELP_FINDER, 6, HH_DISPLAY_TOPIC, 6},
        {HELP_KEY, 0, HH_DISPLAY_INDEX, 0},
        {0x0004, 42, HH_DISPLAY_TOPIC, 0},  // HELP_SETCONTENTS: not listed
        {0xFFFF, 42, HH_DISPLAY_TOPIC, 0},
        {HELP_CONTEXT, -1, HH_HELP_CONTEXT, 0xFFFFFFFFu},
    };
    for (const auto& row : table) {
        viewer->calls.clear();
        bool callHelp = true;
        EXPECT_TRUE(bridge.ApplicationHelp(row.command, row.data, callHelp));
        EXPECT_FALSE(callHelp);
        ASSERT_EQ(viewer->calls.size(), 1u) << row.command;
        EXPECT_EQ(viewer->calls[0].command, row.hh) << row.command;
        EXPECT_EQ(viewer->calls[0].data, row.hhData) << row.command;
        EXPECT_EQ(viewer->calls[0].owner, &main);
        EXPECT_EQ(viewer->calls[0].file, QStringLiteral("/opt/tarvo/TarvoLt.chm"));
    }
}

TEST_F(BridgeTest, InstalledAsTheApplicationsHandlerUntilRemoved)
{
    EXPECT_TRUE(apphelp::HelpCommand(HELP_CONTENTS, 0));
    EXPECT_TRUE(apphelp::HelpCommand(HELP_KEY, 0));
    EXPECT_TRUE(apphelp::HelpContext(9999));
    ASSERT_EQ(viewer->calls.size(), 3u);
    EXPECT_EQ(viewer->calls[0].command, HH_DISPLAY_TOC);
    EXPECT_EQ(viewer->calls[1].command, HH_DISPLAY_INDEX);
    EXPECT_EQ(viewer->calls[2].command, HH_HELP_CONTEXT);
    EXPECT_EQ(viewer->calls[2].data, 9999u);

    bridge.Remove();
    EXPECT_FALSE(apphelp::HasOnHelp());
    EXPECT_FALSE(apphelp::HelpCommand(HELP_CONTENTS, 0));
    EXPECT_EQ(viewer->calls.size(), 3u);
    bridge.Install();
    bridge.Install();
    EXPECT_TRUE(apphelp::HelpCommand(HELP_CONTENTS, 0));
    EXPECT_EQ(viewer->calls.size(), 4u) << "installing twice still answers once";
}

TEST_F(BridgeTest, F1AsksForTheContextOfTheFocusedWindow)
{
    QDialog dialog;
    auto* layout = new QVBoxLayout(&dialog);
    auto* edit = new QLineEdit;
    layout->addWidget(edit);
    apphelp::SetHelpContext(&dialog, 15);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(edit, Qt::Key_F1);
    ASSERT_EQ(viewer->calls.size(), 1u);
    EXPECT_EQ(viewer->calls[0].command, HH_HELP_CONTEXT);
    EXPECT_EQ(viewer->calls[0].data, 15u);

    // A control's own context wins over its window's.
    apphelp::SetHelpContext(edit, 12);
    QTest::keyClick(edit, Qt::Key_F1);
    ASSERT_EQ(viewer->calls.size(), 2u);
    EXPECT_EQ(viewer->calls[1].data, 12u);

    // Shift+F1 and windows without context are left alone; typing still works.
    QTest::keyClick(edit, Qt::Key_F1, Qt::ShiftModifier);
    QTest::keyClicks(edit, QStringLiteral("ab"));
    EXPECT_EQ(edit->text(), QStringLiteral("ab"));
    apphelp::SetHelpContext(edit, 0);
    apphelp::SetHelpContext(&dialog, 0);
    QTest::keyClick(edit, Qt::Key_F1);
    EXPECT_EQ(viewer->calls.size(), 2u);

    // Without the bridge F1 reaches nobody.
    apphelp::SetHelpContext(&dialog, 15);
    bridge.Remove();
    QTest::keyClick(edit, Qt::Key_F1);
    EXPECT_EQ(viewer->calls.size(), 2u);
}

TEST_F(BridgeTest, F1OnAHighlightedMenuItemAsksForItsContext)
{
    QMenu menu;
    QAction* source = menu.addAction(QStringLiteral("Video &Source..."));
    QAction* display = menu.addAction(QStringLiteral("Video &Display..."));
    apphelp::SetHelpContext(source, 12);
    apphelp::SetHelpContext(&main, 4);
    menu.popup(QPoint(10, 10));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu));
    menu.setActiveAction(source);
    QTest::keyClick(&menu, Qt::Key_F1);
    ASSERT_EQ(viewer->calls.size(), 1u);
    EXPECT_EQ(viewer->calls[0].command, HH_HELP_CONTEXT);
    EXPECT_EQ(viewer->calls[0].data, 12u);

    // An item without a context of its own: nothing from the menu itself.
    menu.setActiveAction(display);
    QTest::keyClick(&menu, Qt::Key_F1);
    EXPECT_EQ(viewer->calls.size(), 1u);
    menu.close();
}

TEST(HelpFileLocation, FoundBesideTheProgramFromAnotherWorkingFolder)
{
    QTemporaryDir programDir;
    QTemporaryDir elsewhere;
    const QString program = programDir.filePath(QStringLiteral("tarvo-lite"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARVO_BIN_DIR "/TarvoLt.chm"), programDir.filePath(QStringLiteral("TarvoLt.chm"))))
        << "build the tarvo_help target first";
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));

    const QString located = apphelp::LocateHelpFile(program);
    EXPECT_EQ(located, programDir.filePath(QStringLiteral("TarvoLt.chm")));
    // The viewer opens it from here, and the bare name would not.
    auto* v = qobject_cast<HelpViewer*>(HtmlHelpA(nullptr, located, HH_HELP_CONTEXT, 15));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->CurrentTopic(), QStringLiteral("/html/network_settings.htm"));
    auto* bare = qobject_cast<HelpViewer*>(HtmlHelpA(nullptr, QStringLiteral("TarvoLt.chm"), HH_DISPLAY_TOC, 0));
    ASSERT_NE(bare, nullptr);
    EXPECT_FALSE(bare->IsOpen());
    HtmlHelpA(nullptr, {}, HH_CLOSE_ALL, 0);

    EXPECT_EQ(apphelp::LocateHelpFile(elsewhere.filePath(QStringLiteral("tarvo-lite"))), QStringLiteral("TarvoLt.chm"))
        << "no file beside the program: the bare name";
    QDir::setCurrent(before);
}

}  // namespace
