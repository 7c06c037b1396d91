// The tray's view of the website update, fed by the real main window uploading
// to a real loopback FTP server that starts failing and then recovers. The
// offscreen platform has no tray: the state, tooltip and notifications are
// checked on the tray object, and the program runs as without one.
#include "app/DesktopEntry.h"
#include "app/TrayStatus.h"
#include "tests/app/main_window_fixture.h"
#include "tests/support/ftp_real_server.h"
#include "ui/ErrorLook.h"

#include <QCheckBox>
#include <QDir>
#include <QMenu>
#include <QProcess>

using namespace apptest;
using testsupport::FtpRealServer;

namespace {

class Tray : public MainWindowTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.Start()) << server_.Error().toStdString();
        StoreSettings(Account(server_.PortText(), server_.User(), server_.Password()));
        LaunchWithCamera();
        tray_ = forms_->Tray();
        ASSERT_NE(tray_, nullptr);
        tray_->OnNotify = [this](const QString& title, const QString& text) { notes_ << title + QLatin1Char('|') + text; };
    }
    void BreakServer() { BlockRemoteFile(server_.Root(), QStringLiteral("Capture.jpg")); }
    void MendServer() { UnblockRemoteFile(server_.Root(), QStringLiteral("Capture.jpg")); }

    FtpRealServer server_;
    TrayStatus* tray_ = nullptr;
    QStringList notes_;
};

}  // namespace

TEST_F(Tray, FollowsAFailingAndRecoveringServerWithOneNotificationEachWay)
{
    EXPECT_FALSE(tray_->IconShown()) << "offscreen has no tray";
    EXPECT_EQ(tray_->State(), TrayStatus::UpdateState::Off);
    EXPECT_TRUE(tray_->ToolTip().contains(QStringLiteral("Website update: off")));
    EXPECT_TRUE(tray_->ToolTip().contains(QStringLiteral("No picture uploaded yet")));

    Press();
    EXPECT_EQ(tray_->State(), TrayStatus::UpdateState::Working);
    EXPECT_TRUE(tray_->ToolTip().contains(QStringLiteral("Last picture uploaded: "))) << tray_->ToolTip().toStdString();
    EXPECT_TRUE(tray_->ToolTip().contains(QStringLiteral("Next picture due: "))) << tray_->ToolTip().toStdString();
    EXPECT_FALSE(tray_->ToolTip().contains(QStringLiteral("Last error")));

    BreakServer();
    // Notifications after each failed tick: none, none, the one, still one.
    const int expected[] = {0, 0, 1, 1};
    for (int tick = 0; tick < 4; ++tick) {
        Tick();
        EXPECT_EQ(tray_->State(), TrayStatus::UpdateState::Failing);
        EXPECT_EQ(notes_.size(), expected[tick]) << "after failed tick " << tick + 1;
    }
    ASSERT_EQ(notes_.size(), 1);
    EXPECT_TRUE(notes_[0].contains(QStringLiteral("failing"))) << notes_[0].toStdString();
    EXPECT_TRUE(notes_[0].contains(QStringLiteral("550"))) << "says why: " << notes_[0].toStdString();
    EXPECT_TRUE(tray_->ToolTip().contains(QStringLiteral("Last error: 550"))) << tray_->ToolTip().toStdString();
    EXPECT_TRUE(Panel(1).contains(QStringLiteral("550"))) << "the status bar shows what it always showed";
    // Without a tray the window itself says so, until the next success.
    const QString title = QStringLiteral("Tarvo Lite - Remote Surveillance");
    const auto panelColor = [this] { return Find<QLabel>("StatusPanel1")->palette().color(QPalette::WindowText); };
    EXPECT_EQ(Main().windowTitle(), title + QStringLiteral(" \u2014 upload failing"));
    EXPECT_EQ(panelColor(), ErrorColor());

    MendServer();
    Tick();
    EXPECT_EQ(tray_->State(), TrayStatus::UpdateState::Working);
    ASSERT_EQ(notes_.size(), 2);
    EXPECT_TRUE(notes_[1].contains(QStringLiteral("working again"))) << notes_[1].toStdString();
    EXPECT_FALSE(tray_->ToolTip().contains(QStringLiteral("Last error")));
    EXPECT_EQ(Main().windowTitle(), title);
    EXPECT_NE(panelColor(), ErrorColor());
    Tick();
    EXPECT_EQ(notes_.size(), 2) << "no notification per good tick";

    Press();
    EXPECT_EQ(tray_->State(), TrayStatus::UpdateState::Off);
    EXPECT_FALSE(tray_->ToolTip().contains(QStringLiteral("Next picture due")));
}

TEST_F(Tray, ItsMenuRunsTheWindowsOwnCommandsAndFollowsTheirCaptions)
{
    QMenu* menu = tray_->Menu();
    const QList<QAction*> items = menu->actions();
    ASSERT_EQ(items.size(), 5);  // show, start/stop, error log, separator, close
    QAction* startStop = items[1];
    EXPECT_EQ(startStop->text(), Action("menuPeriodicUpdate")->text());

    startStop->trigger();
    WaitIdle();
    EXPECT_TRUE(Main().Timer1().isActive());
    EXPECT_EQ(startStop->text(), QStringLiteral("Stop Web Update"));
    startStop->trigger();
    WaitIdle();
    EXPECT_FALSE(Main().Timer1().isActive());
    EXPECT_EQ(ReadFile(server_.Root() + QStringLiteral("/Capture.jpg")), ReadFile(Path(QStringLiteral("stopcap.jpg"))));

    Main().showMinimized();
    items[0]->trigger();
    EXPECT_TRUE(Main().isVisible());
    EXPECT_FALSE(Main().isMinimized());

    items[2]->trigger();
    EXPECT_TRUE(Log().isVisible());
    items[4]->trigger();
    EXPECT_TRUE(testsupport::WaitUntil([this] { return Main().Closed(); }, 30000));
}

namespace {

// Started with the desktop session: the entry that does it, and the window
// that opens minimised with the update running by itself.
class SessionStart : public MainWindowTest
{
protected:
    SessionStart() : savedConfigHome_(qgetenv("XDG_CONFIG_HOME"))
    {
        qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
    }
    ~SessionStart() override
    {
        if (savedConfigHome_.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", savedConfigHome_);
    }

    QTemporaryDir config_;
    QByteArray savedConfigHome_;
};

TEST_F(SessionStart, TheCheckBoxWritesAndRemovesTheAutostartEntryForThisProgramsRealPath)
{
    StoreSettings("[Other Settings]\nFirstRun=0\n");
    LaunchWithCamera();
    const QString entry = config_.path() + QStringLiteral("/autostart/tarvo-lite.desktop");
    const QString program = QCoreApplication::applicationFilePath();
    QCheckBox* box = Network().chkSessionStart();
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on);
        Network().FormShow();
        EXPECT_FALSE(box->isHidden());
        EXPECT_EQ(box->isChecked(), !on) << "the box shows whether the entry is there";
        box->setChecked(on);
        Network().OKBtnClick();
        EXPECT_EQ(QFile::exists(entry), on);
        EXPECT_EQ(app::SessionStartEnabled(config_.path(), program), on);
    }

    ASSERT_TRUE(app::SetSessionStart(config_.path(), program, true).isEmpty());
    const QString text = QString::fromUtf8(ReadFile(entry));
    EXPECT_TRUE(text.contains(QStringLiteral("\nExec=") + program + QStringLiteral(" --session-start\n"))) << text.toStdString();
    QProcess validate;
    validate.start(QStringLiteral("desktop-file-validate"), {entry});
    ASSERT_TRUE(validate.waitForFinished(30000));
    EXPECT_EQ(validate.exitCode(), 0) << validate.readAllStandardOutput().toStdString();
    EXPECT_FALSE(app::SessionStartEnabled(config_.path(), QStringLiteral("/elsewhere/tarvo-lite")))
        << "an entry for another copy of the program is not this one's";
}

TEST_F(SessionStart, WithoutATrayTheWindowOpensMinimisedAndTheAutoStartUploads)
{
    FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    StoreSettings(Account(server.PortText(), server.User(), server.Password(), "AutoStart=1\n"));
    LaunchWithCamera();
    ASSERT_FALSE(forms_->Tray()->IconShown()) << "the offscreen platform has no tray";

    forms_->ShowMain(true);
    EXPECT_TRUE(Main().isVisible()) << "the only way back is never hidden";
    EXPECT_TRUE(Main().isMinimized());
    EXPECT_TRUE(Main().UpdateActive());
    WaitIdle();
    EXPECT_TRUE(QFile::exists(server.Root() + QStringLiteral("/Capture.jpg")));

    // Where a tray shows the icon, the window waits there, hidden.
    QWidget other;
    TForms::ShowAtSessionStart(other, true);
    EXPECT_FALSE(other.isVisible());
}

}  // namespace
