#include "platform/help.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QListWidget>
#include <QPointer>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace platform;

namespace {

const QString kHelpFile = QStringLiteral(TARVO_BIN_DIR "/TarvoLt.chm");

struct HelpViewerTest : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(QFile::exists(kHelpFile)) << "build the tarvo_help target first"; }
    void TearDown() override { HtmlHelpA(nullptr, {}, HH_CLOSE_ALL, 0); }

    HelpViewer* Open(unsigned command, std::uintptr_t data = 0, const QString& file = kHelpFile,
                     QWidget* owner = nullptr)
    {
        return qobject_cast<HelpViewer*>(HtmlHelpA(owner, file, command, data));
    }
};

TEST_F(HelpViewerTest, ContentsShowTreeAndDefaultTopic)
{
    HelpViewer* v = Open(HH_DISPLAY_TOC);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->isVisible());
    EXPECT_EQ(v->windowTitle(), QStringLiteral("Tarvo Lite Help"));
    EXPECT_EQ(v->Tabs()->currentIndex(), 0);
    EXPECT_EQ(v->CurrentTopic(), QStringLiteral("/html/welcome.htm"));
    EXPECT_TRUE(v->Message().isEmpty());
    EXPECT_TRUE(v->Browser()->toPlainText().contains(QStringLiteral("Using this help")));

    QStringList top;
    for (int i = 0; i < v->Contents()->topLevelItemCount(); ++i)
        top << v->Contents()->topLevelItem(i)->text(0);
    EXPECT_TRUE(top.contains(QStringLiteral("Getting started")));
    EXPECT_TRUE(top.contains(QStringLiteral("The website update")));
    EXPECT_TRUE(top.contains(QStringLiteral("The error log")));
    // Nested entries sit under their subject.
    const auto found = v->Contents()->findItems(QStringLiteral("Video format"), Qt::MatchRecursive);
    ASSERT_EQ(found.size(), 1);
    ASSERT_NE(found[0]->parent(), nullptr);
    EXPECT_EQ(found[0]->parent()->text(0), QStringLiteral("Capture settings"));

    // Choosing an entry shows its page.
    v->Contents()->itemClicked(found[0], 0);
    EXPECT_EQ(v->CurrentTopic(), QStringLiteral("/html/video_format.htm"));
    EXPECT_EQ(v->Browser()->documentTitle(), QStringLiteral("Video format"));

    // The same file reuses its window.
    EXPECT_EQ(Open(HH_DISPLAY_TOC), v);
}

TEST_F(HelpViewerTest, IndexListsKeywordsAndOpensThem)
{
    HelpViewer* v = Open(HH_DISPLAY_INDEX);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->Tabs()->currentIndex(), 1);
    EXPECT_GT(v->Index()->count(), 20);
    const auto items = v->Index()->findItems(QStringLiteral("Passive mode"), Qt::MatchExactly);
    ASSERT_EQ(items.size(), 1);
    v->Index()->itemActivated(items[0]);
    EXPECT_EQ(v->CurrentTopic(), QStringLiteral("/html/network_settings.htm"));
}

TEST_F(HelpViewerTest, ContextNumbersOpenTheirTopics)
{
    const struct {
        std::uintptr_t context;
        const char* topic;
        const char* title;
    } cases[] = {
        {4, "/html/main_window.htm", "The main window"},
        {8, "/html/wizard.htm", "The configuration wizard"},
        {9, "/html/error_log.htm", "The error log"},
        {15, "/html/network_settings.htm", "Network settings"},
        {9999, "/html/welcome.htm", "Tarvo Lite Help"},
    };
    for (const auto& c : cases) {
        HelpViewer* v = Open(HH_HELP_CONTEXT, c.context);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->CurrentTopic(), QString::fromLatin1(c.topic)) << c.context;
        EXPECT_EQ(v->Browser()->documentTitle(), QString::fromLatin1(c.title)) << c.context;
        EXPECT_TRUE(v->Message().isEmpty());
    }
    // Every context a window or menu item uses has a topic.
    HelpViewer* v = Open(HH_DISPLAY_TOC);
    for (std::uint32_t context : {4u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 16u, 19u, 20u, 9999u})
        EXPECT_FALSE(v->TopicForContext(context).isEmpty()) << context;
}

TEST_F(HelpViewerTest, UnknownContextAndMissingPageAreReportedInTheWindow)
{
    HelpViewer* v = Open(HH_HELP_CONTEXT, 77);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->isVisible());
    EXPECT_TRUE(v->CurrentTopic().isEmpty());
    EXPECT_TRUE(v->Message().contains(QStringLiteral("77")));
    EXPECT_TRUE(v->Browser()->toPlainText().contains(v->Message()));

    v = Open(HH_DISPLAY_TOPIC, 0, kHelpFile + QStringLiteral("::/html/nowhere.htm"));
    EXPECT_TRUE(v->Message().contains(QStringLiteral("nowhere.htm")));
    v = Open(HH_DISPLAY_TOPIC, 0, kHelpFile + QStringLiteral("::/html/wizard.htm"));
    EXPECT_EQ(v->CurrentTopic(), QStringLiteral("/html/wizard.htm"));
    v = Open(0x7777);
    EXPECT_EQ(v->CurrentTopic(), QStringLiteral("/html/welcome.htm")) << "other commands: the default topic";
}

TEST_F(HelpViewerTest, MissingFileIsReportedInTheWindow)
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("TarvoLt.chm"));
    HelpViewer* v = Open(HH_HELP_CONTEXT, 4, missing);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->isVisible());
    EXPECT_FALSE(v->IsOpen());
    EXPECT_TRUE(v->Message().contains(QDir::toNativeSeparators(missing)));

    // A file that is not a help file is no better.
    const QString bogus = dir.filePath(QStringLiteral("bogus.chm"));
    QFile f(bogus);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("ITSF but not really");
    f.close();
    v = Open(HH_DISPLAY_TOC, 0, bogus);
    EXPECT_FALSE(v->IsOpen());
    EXPECT_FALSE(v->Message().isEmpty());
}

TEST_F(HelpViewerTest, LinksBetweenPagesStayInTheFile)
{
    HelpViewer* v = Open(HH_HELP_CONTEXT, 9999);
    ASSERT_NE(v, nullptr);
    v->Browser()->anchorClicked(QUrl(QStringLiteral("getting_started.htm")));
    EXPECT_EQ(v->CurrentTopic(), QStringLiteral("/html/getting_started.htm"));
    EXPECT_EQ(v->Browser()->documentTitle(), QStringLiteral("Getting started"));
}

TEST_F(HelpViewerTest, ViewerOpenedFromAModalDialogBelongsToItUntilItClosesThenToItsOwner)
{
    // While the dialog runs, its modality would block any other window.
    QWidget owner;
    auto* dialog = new QDialog(&owner);
    QPointer<HelpViewer> viewer;
    QTimer::singleShot(0, dialog, [&] {
        viewer = Open(HH_HELP_CONTEXT, 15, kHelpFile, &owner);
        ASSERT_TRUE(viewer);
        EXPECT_EQ(viewer->parentWidget(), dialog);
        dialog->reject();
    });
    dialog->exec();
    delete dialog;  // dialogs made for one showing go at once
    ASSERT_TRUE(viewer) << "the help outlives the dialog that asked for it";
    EXPECT_EQ(viewer->parentWidget(), &owner);
    EXPECT_TRUE(viewer->isWindow());
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_FALSE(viewer->testAttribute(Qt::WA_QuitOnClose)) << "help never keeps the program running";

    // Asked again without a modal dialog, the same window stays with its owner.
    EXPECT_EQ(Open(HH_DISPLAY_TOC, 0, kHelpFile, &owner), viewer.data());
    EXPECT_EQ(viewer->parentWidget(), &owner);
}

TEST_F(HelpViewerTest, CloseAllClosesEveryViewer)
{
    QPointer<HelpViewer> v = Open(HH_DISPLAY_TOC);
    ASSERT_TRUE(v);
    EXPECT_EQ(HtmlHelpA(nullptr, {}, HH_CLOSE_ALL, 0), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(v.isNull());
    EXPECT_EQ(FindHelpViewer(kHelpFile), nullptr);
}

}  // namespace
