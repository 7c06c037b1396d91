// The website update end to end: the real main window, the test-pattern
// camera and a real loopback FTP server whose folder is inspected; the
// scripted server where an exact fault is needed.
#include "tests/app/main_window_fixture.h"
#include "tests/support/ftp_fake_server.h"
#include "capture/engine/V4l2Device.h"
#include "tests/support/fake_v4l2.h"
#include "tests/support/ftp_real_server.h"
#include "app/CameraShare.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTcpServer>
#include <QTest>

#include <csignal>
#include <cstring>
#include <functional>

using namespace apptest;
using testsupport::FtpFakeServer;
using testsupport::FtpRealServer;
using testsupport::WaitUntil;

namespace {

class WebsiteUpdate : public MainWindowTest
{
protected:
    void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.Error().toStdString(); }

    void LaunchWithServer(const QByteArray& extra = {}, const QString& password = QString())
    {
        StoreSettings(Account(server_.PortText(), server_.User(), password.isEmpty() ? server_.Password() : password, extra));
        LaunchWithCamera();
    }

    QString Remote(const char* name) const { return server_.Root() + QLatin1Char('/') + QString::fromLatin1(name); }
    QByteArray RemoteBytes(const char* name) const { return ReadFile(Remote(name)); }
    QByteArray Local(const char* name) const { return ReadFile(Path(QString::fromLatin1(name))); }
    QPushButton* StartButton() const { return Find<QPushButton>("BitBtnFrameCap"); }

    FtpRealServer server_;
};

// --- start, tick, stop, close ------------------------------------------------------

TEST_F(WebsiteUpdate, StartUploadsBothPicturesAtOnceAndShowsTheActiveState)
{
    LaunchWithServer();
    Press();

    const QImage picture = QImage::fromData(RemoteBytes("Capture.jpg"), "JPG");
    EXPECT_EQ(picture.size(), QSize(320, 240));
    EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("Capture.jpg"));
    EXPECT_EQ(QImage::fromData(RemoteBytes("datetime.bmp"), "BMP").size(), QSize(178, 18));
    EXPECT_TRUE(LogLines().isEmpty()) << LogLines().join(QLatin1Char('\n')).toStdString();

    EXPECT_TRUE(Main().Timer1().isActive());
    EXPECT_EQ(Main().Timer1().interval(), 5 * 60000) << "the file holds no interval: its read default";
    EXPECT_EQ(StartButton()->text(), QStringLiteral("Stop"));
    EXPECT_TRUE(StartButton()->styleSheet().contains(QStringLiteral("255, 0, 0")));
    EXPECT_TRUE(Find<QLabel>("stWebUpdate")->isVisibleTo(&Main()));
    EXPECT_EQ(Action("menuPeriodicUpdate")->text(), QStringLiteral("Stop Web Update"));
    for (const char* name : {"menuVideoDriver1", "menuCaptureparameter1", "menuVideoCompression1", "menuNetwork",
                             "menuSnapshot", "menuVideo", "menuWizard"})
        EXPECT_FALSE(Action(name)->isEnabled()) << name;
    EXPECT_FALSE(Find<QWidget>("GroupBox1")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("GroupBox2")->isEnabled());
    EXPECT_FALSE(Find<QLineEdit>("EditInterval")->isEnabled());
    EXPECT_TRUE(Action("menuPeriodicUpdate")->isEnabled());
    auto* lamp = Find<QLabel>("lblColor");
    EXPECT_NE(lamp->palette().color(QPalette::Window), QColor(255, 0, 0)) << "red only while uploading";
    EXPECT_EQ(dialogs_->cursors.back(), platform::Cursor::Default);
    EXPECT_FALSE(Main().FtpClient().IsConnected()) << "every successful sequence ends with QUIT";
}

TEST_F(WebsiteUpdate, ATickUploadsFreshPicturesAndStopUploadsTheStopPictures)
{
    LaunchWithServer();
    Press();
    const QByteArray first = RemoteBytes("Capture.jpg");
    ASSERT_FALSE(first.isEmpty());
    ASSERT_TRUE(WaitUntil([&] {
        Tick();
        return RemoteBytes("Capture.jpg") != first;
    }));
    EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("Capture.jpg"));

    Action("menuPeriodicUpdate")->trigger();
    WaitIdle();
    EXPECT_FALSE(Main().Timer1().isActive());
    EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("stopcap.jpg"));
    EXPECT_EQ(RemoteBytes("datetime.bmp"), Local("stoptime.bmp"));
    EXPECT_EQ(Action("menuPeriodicUpdate")->text(), QStringLiteral("Start Web Update"));
    EXPECT_EQ(StartButton()->text(), QStringLiteral("Start"));
    EXPECT_TRUE(StartButton()->styleSheet().contains(QStringLiteral("0, 128, 0")));
    EXPECT_FALSE(Find<QLabel>("stWebUpdate")->isVisibleTo(&Main()));
    EXPECT_TRUE(Action("menuNetwork")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("GroupBox2")->isEnabled());
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(WebsiteUpdate, ClosingWhileActiveUploadsTheStopPicturesBeforeDeletingTheFiles)
{
    LaunchWithServer();
    Press();
    ASSERT_TRUE(QFileInfo::exists(Path(QStringLiteral("Capture.jpg"))));
    Close();
    EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("stopcap.jpg"));
    EXPECT_EQ(RemoteBytes("datetime.bmp"), Local("stoptime.bmp"));
    EXPECT_FALSE(QFileInfo::exists(Path(QStringLiteral("Capture.jpg"))));
    EXPECT_FALSE(QFileInfo::exists(Path(QStringLiteral("datetime.bmp"))));
    EXPECT_TRUE(QFileInfo::exists(Path(QStringLiteral("Capture.bmp"))));
}

TEST_F(WebsiteUpdate, ATerminationSignalDuringAnActiveUpdateUploadsTheStopPictures)
{
    LaunchWithServer();
    forms_->CloseOnTermination();
    Press();
    ::raise(SIGTERM);
    ASSERT_TRUE(WaitUntil([this] { return Main().Closed(); }, 30000));
    EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("stopcap.jpg"));
    EXPECT_EQ(RemoteBytes("datetime.bmp"), Local("stoptime.bmp"));
}

TEST_F(WebsiteUpdate, AutoStartUploadsBeforeTheWindowIsShown)
{
    LaunchWithServer("AutoStart=1\n");
    WaitIdle();
    EXPECT_FALSE(Main().isVisible());
    EXPECT_TRUE(Main().Timer1().isActive());
    EXPECT_EQ(QImage::fromData(RemoteBytes("Capture.jpg"), "JPG").size(), QSize(320, 240));
}

TEST_F(WebsiteUpdate, ActiveModeChosenInTheNetworkDialogUploadsToo)
{
    LaunchWithServer();
    WhenModal(QStringLiteral("frmNetwork"), [](QDialog* d) {
        d->findChild<QCheckBox*>(QStringLiteral("CheckBoxPassive"))->setChecked(false);
        d->findChild<QPushButton*>(QStringLiteral("OKBtn"))->click();
    });
    Action("menuNetwork")->trigger();
    ASSERT_FALSE(JobAccount().passiveMode);
    Press();
    EXPECT_EQ(QImage::fromData(RemoteBytes("Capture.jpg"), "JPG").size(), QSize(320, 240));
    EXPECT_EQ(QImage::fromData(RemoteBytes("datetime.bmp"), "BMP").size(), QSize(178, 18));
    EXPECT_TRUE(LogLines().isEmpty()) << LogLines().join(QLatin1Char('\n')).toStdString();
}

// --- interval -------------------------------------------------------------------------

TEST_F(WebsiteUpdate, TheIntervalIsClampedAndWrittenBack)
{
    LaunchWithServer();
    auto* interval = Find<QLineEdit>("EditInterval");
    struct Case {
        QString typed;
        QString shown;
        int ms;
    };
    const Case cases[] = {{QStringLiteral("0"), QStringLiteral("1"), 60000},
                          {QStringLiteral("1500"), QStringLiteral("999"), 59940000},
                          {QStringLiteral("999"), QStringLiteral("999"), 59940000},
                          {QStringLiteral(""), QStringLiteral("1"), 60000},
                          {QStringLiteral("007"), QStringLiteral("007"), 420000}};
    for (const Case& c : cases) {
        interval->setText(c.typed);
        Press();
        EXPECT_EQ(interval->text(), c.shown) << c.typed.toStdString();
        EXPECT_EQ(Main().Timer1().interval(), c.ms) << c.typed.toStdString();
        EXPECT_TRUE(Main().Timer1().isActive());
        Press();
        EXPECT_FALSE(Main().Timer1().isActive());
    }
}

// --- a camera that goes and comes back ------------------------------------------------------

TEST_F(WebsiteUpdate, ALostCameraUploadsTheStopPicturesAndItsReturnTheLivePictureAgain)
{
    const testsupport::ScopedFakeCamera camera;
    StoreSettings(Account(server_.PortText(), server_.User(), server_.Password()));
    StoreDriver(0);
    Launch();
    Press();
    ASSERT_EQ(RemoteBytes("Capture.jpg"), Local("Capture.jpg"));

    camera->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return !Main().VideoCap1()->DriverOpen(); }));
    for (int tick = 0; tick < 2; ++tick) {
        Tick();
        EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("stopcap.jpg")) << "never an old picture beside a new time";
        EXPECT_EQ(RemoteBytes("datetime.bmp"), Local("stoptime.bmp"));
    }
    EXPECT_EQ(LogLines().filter(QStringLiteral("Could not save captured frame to disk")).size(), 1)
        << "once per outage: " << LogLines().join(QLatin1Char('\n')).toStdString();

    // Back without a prompt at the next tick, with a live picture.
    camera->Replug();
    const std::size_t shown = dialogs_->shown.size();
    Tick();
    EXPECT_TRUE(Main().VideoCap1()->DriverOpen());
    EXPECT_EQ(dialogs_->shown.size(), shown);
    EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("Capture.jpg"));
    EXPECT_NE(RemoteBytes("Capture.jpg"), Local("stopcap.jpg"));
}

// --- a camera shared with other programs -------------------------------------------------

TEST_F(WebsiteUpdate, AMinimisedWindowReleasesTheCameraBetweenTicksAndAnotherProgramMayTakeIt)
{
    const testsupport::ScopedFakeCamera camera;
    StoreSettings(Account(server_.PortText(), server_.User(), server_.Password()));
    StoreDriver(0);
    Launch();
    Main().show();
    Main().showMinimized();
    Press();
    ASSERT_EQ(RemoteBytes("Capture.jpg"), Local("Capture.jpg"));
    EXPECT_FALSE(Main().VideoCap1()->DriverOpen()) << "released after the grab";
    EXPECT_EQ(camera->openFds, 0);

    // Another program holds the camera over two ticks: said once, tried at each.
    camera->busy = true;
    const int opensBefore = camera->opens;
    Tick();
    Tick();
    EXPECT_FALSE(Main().VideoCap1()->DriverOpen());
    EXPECT_EQ(camera->opens, opensBefore) << "no other device taken in its place";
    EXPECT_EQ(LogLines().filter(QStringLiteral("in use by another program")).size(), 1)
        << LogLines().join(QLatin1Char('\n')).toStdString();

    // It lets go: the next tick opens, lets the picture settle, grabs a fresh
    // frame and releases the camera again.
    camera->busy = false;
    const std::uint32_t before = camera->Sequence();
    Tick();
    EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("Capture.jpg"));
    EXPECT_GT(camera->Sequence(), before + app::TCameraShare::kSettleFrames) << "the first frames after the open are dropped";
    EXPECT_FALSE(Main().VideoCap1()->DriverOpen());
    EXPECT_EQ(camera->openFds, 0);

    // Between ticks the camera is opened about a second ahead of the next one,
    // so that its exposure has settled when the tick grabs: no frames dropped then.
    app::TCameraShare& share = Main().CameraShare();
    ASSERT_GE(share.WarmUpDueMs(), 0);
    EXPECT_NEAR(share.WarmUpDueMs(), Main().Timer1().remainingTime() - app::TCameraShare::kSettleMs, 500);
    share.WarmUp();
    EXPECT_TRUE(Main().VideoCap1()->DriverOpen());
    const int opens = camera->opens;
    const std::uint32_t warmed = camera->Sequence();
    Tick();
    EXPECT_EQ(camera->opens, opens);
    EXPECT_LE(camera->Sequence(), warmed + 2) << "a settled camera's next frame is taken";
    EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("Capture.jpg"));
    EXPECT_FALSE(Main().VideoCap1()->DriverOpen());

    // Restored, the window has its live picture again; the option off keeps the camera.
    Main().showNormal();
    EXPECT_TRUE(Main().VideoCap1()->DriverOpen());
    Action("menuReleaseCamera")->setChecked(false);
    Main().showMinimized();
    Tick();
    EXPECT_TRUE(Main().VideoCap1()->DriverOpen());
}

// --- failures ---------------------------------------------------------------------------

TEST_F(WebsiteUpdate, APictureThatCannotBeWrittenIsSaidOnceAndNothingIsUploaded)
{
    LaunchWithServer();
    ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("Capture.jpg")));  // refuses every write
    Press();
    Tick();
    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 1) << lines.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(lines[0].contains(QStringLiteral(" :   Error = Unable to write to "))) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("Capture.jpg"))) << lines[0].toStdString();
    EXPECT_TRUE(Panel(1).startsWith(QStringLiteral("Unable to write to ")));
    EXPECT_FALSE(QFileInfo::exists(Remote("Capture.jpg")));
}

TEST_F(WebsiteUpdate, AWrongPasswordLogsTheRefusalOnceAndStoresNothing)
{
    LaunchWithServer({}, QStringLiteral("wrong"));
    Press();
    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 1) << lines.join(QLatin1Char('\n')).toStdString();
    const int at = lines[0].indexOf(QStringLiteral(" :   FTP Error = "));
    ASSERT_GT(at, 0);
    EXPECT_TRUE(lines[0].mid(at + 17).startsWith(QStringLiteral("530"))) << lines[0].toStdString();
    EXPECT_TRUE(Panel(1).startsWith(QStringLiteral("530")));
    EXPECT_EQ(dialogs_->beeps, 0);
    EXPECT_FALSE(QFileInfo::exists(Remote("Capture.jpg")));
    EXPECT_TRUE(Main().Timer1().isActive()) << "the update stays active; the next tick retries";

    Action("menuErrorBeep")->trigger();
    Tick();
    EXPECT_EQ(dialogs_->beeps, 1);
    EXPECT_EQ(LogLines().size(), 2);
}

TEST_F(WebsiteUpdate, AnUnreachableServerIsLogged)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const QString port = QString::number(closed.serverPort());
    closed.close();
    StoreSettings(Account(port, QStringLiteral("u"), QStringLiteral("p")));
    LaunchWithCamera();
    Press();
    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].contains(QStringLiteral(" :   FTP Error = "))) << lines[0].toStdString();
    EXPECT_FALSE(Panel(1).isEmpty());
}

TEST_F(WebsiteUpdate, AnEmptyHostIsReportedNotSilentlySkipped)
{
    StoreSettings("[Other Settings]\nFirstRun=0\n");
    LaunchWithCamera();
    Press();
    ASSERT_EQ(LogLines().size(), 1);
    EXPECT_TRUE(LogLines()[0].contains(QStringLiteral(" :   FTP Error = ")));
    EXPECT_EQ(dialogs_->cursors.back(), platform::Cursor::Default);
}

TEST_F(WebsiteUpdate, AFailedStoreLeavesTheConnectionOpenAndTheNextSequenceLogsInAfresh)
{
    LaunchWithServer();
    Press();
    // The second store of the stop sequence fails: its local file is missing.
    ASSERT_TRUE(QFile::remove(Path(QStringLiteral("stoptime.bmp"))));
    Press();
    EXPECT_EQ(LogLines().size(), 1);
    EXPECT_FALSE(Main().LastUploadOk());
    EXPECT_TRUE(Main().FtpClient().IsConnected()) << "no QUIT after a failure";

    QFile::remove(Remote("Capture.jpg"));
    Press();
    EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("Capture.jpg"));
    EXPECT_EQ(LogLines().size(), 1);
    EXPECT_FALSE(Main().FtpClient().IsConnected());
}

// Panel 1 shows a failure until pictures go up again, then when they went up;
// the log keeps the failure.
TEST_F(WebsiteUpdate, ASuccessAfterAFailureSaysWhenThePicturesWentUp)
{
    const struct {
        const char* what;
        std::function<void()> succeed;
        const char* said;
    } cases[] = {
        {"a tick", [this] { Tick(); }, "Pictures uploaded at "},
        {"a motion picture",
         [this] {
             QImage picture(320, 240, QImage::Format_RGB888);
             picture.fill(Qt::darkCyan);
             ASSERT_TRUE(Main().WebsiteUpdate().UploadMotionPicture(picture));
             WaitIdle();
         },
         "Pictures uploaded at "},
        {"the stop", [this] { Press(); }, "Stop pictures sent at "},
    };
    StoreSettings(Account(server_.PortText(), server_.User(), server_.Password()));
    StoreDriver(TestPatternIndex());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Launch();
        BlockRemoteFile(server_.Root(), QStringLiteral("Capture.jpg"));
        Press();
        EXPECT_TRUE(Panel(1).contains(QStringLiteral("550"))) << Panel(1).toStdString();
        UnblockRemoteFile(server_.Root(), QStringLiteral("Capture.jpg"));

        c.succeed();
        const QString said = Panel(1);
        ASSERT_TRUE(said.startsWith(QString::fromLatin1(c.said))) << said.toStdString();
        EXPECT_EQ(Find<QLabel>("StatusPanel1")->toolTip(), said) << "in full where the panel is cut";
        const QTime at = QTime::fromString(said.mid(int(std::strlen(c.said))), QStringLiteral("HH:mm:ss"));
        ASSERT_TRUE(at.isValid()) << said.toStdString();
        EXPECT_LE(std::abs(at.secsTo(QTime::currentTime())), 5) << "local time, now";
        const QStringList failures = LogLines().filter(QStringLiteral(" :   FTP Error = "));
        ASSERT_EQ(failures.size(), 1) << "the failure stays in the log";
        EXPECT_TRUE(failures[0].contains(QStringLiteral(" :   FTP Error = 550"))) << failures[0].toStdString();
        Close();
        QFile::remove(Path(QStringLiteral("Error.log")));
    }
}

// --- overlapping sequences --------------------------------------------------------------

TEST_F(WebsiteUpdate, StopDuringTheStartUploadShowsAtOnceThenUploadsTheStopPicturesOnce)
{
    LaunchWithServer();
    StartButton()->click();
    ASSERT_TRUE(Main().SequenceRunning()) << "the click returns while its upload runs";
    EXPECT_EQ(Find<QLabel>("lblColor")->palette().color(QPalette::Window), QColor(255, 0, 0));

    StartButton()->click();
    EXPECT_EQ(StartButton()->text(), QStringLiteral("Start"));
    EXPECT_FALSE(StartButton()->isEnabled());
    EXPECT_FALSE(Action("menuPeriodicUpdate")->isEnabled());
    EXPECT_EQ(Panel(1), QStringLiteral("Stopping the website update..."));
    Main().BitBtnFrameCapClick();  // a second press does nothing more
    WaitIdle();

    EXPECT_FALSE(Main().Timer1().isActive());
    EXPECT_FALSE(Main().UpdateActive());
    EXPECT_TRUE(StartButton()->isEnabled());
    EXPECT_FALSE(Find<QLabel>("stWebUpdate")->isVisibleTo(&Main()));
    EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("stopcap.jpg"));
    EXPECT_TRUE(LogLines().isEmpty()) << LogLines().join(QLatin1Char('\n')).toStdString();
}

TEST_F(WebsiteUpdate, TheWizardChosenDuringTheStopUploadOpensOnceTheStopPicturesAreUp)
{
    LaunchWithServer();
    Press();
    bool wizardDuringUpload = true;
    QByteArray remoteWhenWizardOpened;
    Main().OnShowWizard = [&] {
        wizardDuringUpload = Main().SequenceRunning() || Main().FtpClient().IsConnected();
        remoteWhenWizardOpened = RemoteBytes("Capture.jpg");
    };
    StartButton()->click();
    Action("menuWizard")->trigger();
    ASSERT_TRUE(WaitUntil([&] { return !remoteWhenWizardOpened.isEmpty(); }));
    EXPECT_FALSE(wizardDuringUpload);
    EXPECT_EQ(remoteWhenWizardOpened, Local("stopcap.jpg"));
}

TEST_F(WebsiteUpdate, ACloseDuringAnUploadWaitsForItThenStops)
{
    LaunchWithServer();
    Press();
    Main().Timer1Timer();
    Main().close();
    EXPECT_FALSE(Main().Closed()) << "the tick's upload finishes first";
    ASSERT_TRUE(WaitUntil([this] { return Main().Closed(); }, 30000));
    EXPECT_EQ(RemoteBytes("Capture.jpg"), Local("stopcap.jpg"));
    EXPECT_TRUE(LogLines().isEmpty()) << LogLines().join(QLatin1Char('\n')).toStdString();
}

// --- exact faults from the scripted server ------------------------------------------------

class WebsiteUpdateFaults : public MainWindowTest
{
protected:
    void LaunchWithFake(const QByteArray& extra = {})
    {
        StoreSettings(Account(fake_.PortText(), QStringLiteral("u"), QStringLiteral("p"), "Update_Interval=5\n" + extra));
        LaunchWithCamera();
    }
    // A picture published safely: stored under its temporary name, renamed.
    FtpFakeServer& Upload(FtpFakeServer& s, int delayMs = 0)
    {
        s.Expect("PASV").Passive().Expect("STOR").Reply("150 Ok to send data.");
        if (delayMs)
            s.Delay(delayMs);
        s.ReceiveData().Reply("226 Transfer complete.");
        return s.Expect("RNFR").Reply("350 Ready for destination name.").Expect("RNTO").Reply("250 Renamed.");
    }
    FtpFakeServer& Sequence(FtpFakeServer& s, int delayMs = 0)
    {
        s.LoginSteps().Expect("TYPE I").Reply("200 Type set to I.");
        Upload(s, delayMs);
        Upload(s);
        return s.Expect("QUIT").Reply("221 Goodbye.");
    }

    FtpFakeServer fake_;
};

TEST_F(WebsiteUpdateFaults, ClosingWhileIdleSendsNothing)
{
    LaunchWithFake();
    Close();
    EXPECT_EQ(fake_.Connections(), 0);
}

TEST_F(WebsiteUpdateFaults, AReplyBelow400ThatWasNotAcceptedIsAFailure)
{
    fake_.Greeting().Expect("USER").Reply("332 Need account for login.");
    LaunchWithFake();
    Press();
    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].contains(QStringLiteral(" :   FTP Error = 332"))) << lines[0].toStdString();
    EXPECT_FALSE(Main().LastUploadOk());
    for (const QString& c : fake_.Commands())
        EXPECT_FALSE(c.startsWith(QStringLiteral("STOR"))) << c.toStdString();
}

TEST_F(WebsiteUpdateFaults, ADataConnectionLostMidStoreIsLoggedAndTheNextTickUploadsCleanly)
{
    // First sequence: the server loses the data connection of the first STOR
    // and keeps the control connection open.
    fake_.LoginSteps().Expect("TYPE I").Reply("200 Type set to I.");
    fake_.Expect("PASV").Passive().Expect("STOR").Reply("150 Ok to send data.").ReceiveData();
    fake_.Reply("426 Connection closed; transfer aborted.");
    // Next tick: a fresh connection (the greeting waits until it is there),
    // a fresh login and a clean upload.
    fake_.Delay(1000);
    Sequence(fake_);
    LaunchWithFake();
    Press();
    ASSERT_EQ(LogLines().size(), 1);
    EXPECT_TRUE(LogLines()[0].contains(QStringLiteral(" :   FTP Error = 426")));

    Tick();
    EXPECT_EQ(fake_.Connections(), 2);
    EXPECT_TRUE(fake_.ScriptDone()) << fake_.Commands().join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(fake_.Mismatches().isEmpty()) << fake_.Mismatches().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(LogLines().size(), 1);
    EXPECT_TRUE(fake_.DataReceived().endsWith(ReadFile(Path(QStringLiteral("datetime.bmp")))));
}

// A server that ends the data connection at once and still answers 226:
// the update says so, and the temporary file is never renamed over the
// picture the page shows.
TEST_F(WebsiteUpdateFaults, AStoreTheServerEndedEarlyIsLoggedAndNeverPublished)
{
    fake_.LoginSteps().Expect("TYPE I").Reply("200 Type set to I.");
    fake_.Expect("PASV").EndDataEarly(0).Passive().Expect("STOR").Reply("150 Ok to send data.");
    fake_.ReceiveData().Reply("226 Transfer complete.");
    LaunchWithFake();
    Press();
    ASSERT_EQ(LogLines().size(), 1);
    EXPECT_TRUE(LogLines()[0].contains(QStringLiteral(" :   FTP Error = 426 Data connection closed by the server after ")))
        << LogLines()[0].toStdString();
    for (const QString& c : fake_.Commands())
        EXPECT_FALSE(c.startsWith(QStringLiteral("RNFR"))) << c.toStdString();
}

TEST_F(WebsiteUpdateFaults, ATickDuringASlowUploadIsSkipped)
{
    Sequence(fake_, 400);
    LaunchWithFake();
    bool tickedDuringUpload = false;
    QTimer::singleShot(100, &Main(), [&] {
        tickedDuringUpload = Main().SequenceRunning();
        Main().Timer1Timer();
    });
    Press();
    EXPECT_TRUE(tickedDuringUpload);
    EXPECT_TRUE(fake_.ScriptDone());
    EXPECT_EQ(fake_.Connections(), 1);
    EXPECT_EQ(fake_.Commands().filter(QStringLiteral("USER")).size(), 1);
    EXPECT_EQ(fake_.Commands().filter(QStringLiteral("QUIT")).size(), 1);
    EXPECT_TRUE(LogLines().isEmpty()) << LogLines().join(QLatin1Char('\n')).toStdString();
}

TEST_F(WebsiteUpdateFaults, ASilentServerWithNoTimeLimitIsGivenUpAndTheCloseStillUploadsTheStopPictures)
{
    // "FTP_Timeout=0" would wait forever: the update counts it as 15 seconds.
    fake_.LoginSteps().Expect("TYPE I").Delay(18000);  // then silence until the next connection
    Sequence(fake_);
    LaunchWithFake("FTP_Timeout=0\n");
    EXPECT_EQ(JobAccount().TimeoutSeconds(), 15) << "every job, the wizard's too, takes this limit";
    Find<QPushButton>("BitBtnFrameCap")->click();
    ASSERT_TRUE(WaitUntil([&] { return fake_.Commands().contains(QStringLiteral("TYPE I")); }));
    Main().close();
    ASSERT_TRUE(WaitUntil([this] { return Main().Closed(); }, 60000));
    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 1) << lines.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(" :   FTP Error = 426 Timeout"))) << lines[0].toStdString();
    EXPECT_TRUE(fake_.ScriptDone()) << fake_.Commands().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(fake_.Connections(), 2);
    EXPECT_TRUE(fake_.DataReceived().endsWith(ReadFile(Path(QStringLiteral("stoptime.bmp")))));
}

// The network dialog can be confirmed while the stop pictures go up: the
// running sequence keeps the account it started with (passive mode for both
// stores here), and the confirmed one applies from the next sequence.
TEST_F(WebsiteUpdateFaults, SettingsConfirmedDuringAnUploadApplyFromTheNextSequence)
{
    Sequence(fake_).Drop();  // the start
    Sequence(fake_, 1000);   // the stop pictures, the first store slow
    LaunchWithFake();
    Press();
    bool runningAtOk = false;
    WhenModal(QStringLiteral("frmNetwork"), [&](QDialog* d) {
        d->findChild<QCheckBox*>(QStringLiteral("CheckBoxPassive"))->setChecked(false);
        d->findChild<QLineEdit*>(QStringLiteral("edTimeout"))->setText(QStringLiteral("7"));
        runningAtOk = Main().SequenceRunning();
        d->findChild<QPushButton*>(QStringLiteral("OKBtn"))->click();
    });
    Find<QPushButton>("BitBtnFrameCap")->click();
    ASSERT_TRUE(Main().SequenceRunning());
    Action("menuNetwork")->trigger();
    EXPECT_TRUE(runningAtOk);
    if (Main().SequenceRunning()) {
        EXPECT_TRUE(Main().FtpClient().PassiveMode()) << "the running job keeps its account";
    }
    WaitIdle();
    EXPECT_TRUE(fake_.ScriptDone()) << fake_.Commands().join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(fake_.Mismatches().isEmpty()) << fake_.Mismatches().join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(LogLines().isEmpty()) << LogLines().join(QLatin1Char('\n')).toStdString();
    EXPECT_FALSE(JobAccount().passiveMode);
    EXPECT_EQ(JobAccount().TimeoutSeconds(), 7);
}

// A limit beyond an int's milliseconds once stopped every timer: a silent
// server then held the upload and the close for ever.
TEST_F(WebsiteUpdateFaults, ASilentServerWithAnHourLimitStillLetsATerminationSignalCloseWithinHalfAMinute)
{
    LaunchWithFake("FTP_Timeout=3000000\n");  // no script: the server accepts and never answers
    EXPECT_EQ(JobAccount().TimeoutSeconds(), 3600);
    forms_->CloseOnTermination();
    Find<QPushButton>("BitBtnFrameCap")->click();
    ASSERT_TRUE(WaitUntil([&] { return fake_.Connections() == 1; }));
    QElapsedTimer clock;
    clock.start();
    ::raise(SIGTERM);
    ASSERT_TRUE(WaitUntil([this] { return Main().Closed(); }, 45000));
    EXPECT_LT(clock.elapsed(), 35000) << "the running upload and the stop pictures get 15 s each";
    EXPECT_EQ(fake_.Connections(), 2) << "the stop pictures were still tried";
    for (const QString& line : LogLines())
        EXPECT_TRUE(line.endsWith(QStringLiteral(" :   FTP Error = 426 Timeout"))) << line.toStdString();
}

TEST_F(WebsiteUpdateFaults, TheCameraLossBoxDelaysNeitherTheStoreNorTheNextTickNorStop)
{
    Sequence(fake_, 400).Drop();  // the start's first store is slow
    Sequence(fake_).Drop();       // the next tick
    Sequence(fake_);              // Stop
    LaunchWithFake();
    bool storeEnded = false, tickUploaded = false, stopped = false;
    dialogs_->whileShown = [&](const QString& text) {
        if (!text.startsWith(QStringLiteral("Capture device was not detected.")))
            return;
        // Nobody answers the box: the update goes on underneath it.
        storeEnded = WaitUntil([&] { return !Main().SequenceRunning(); });
        Main().Timer1Timer();
        tickUploaded = Main().SequenceRunning() && WaitUntil([&] { return !Main().SequenceRunning(); });
        Find<QPushButton>("BitBtnFrameCap")->click();
        stopped = WaitUntil([&] { return !Main().SequenceRunning() && fake_.ScriptDone(); });
    };
    Find<QPushButton>("BitBtnFrameCap")->click();
    ASSERT_TRUE(WaitUntil([&] { return fake_.Commands().filter(QStringLiteral("STOR")).size() == 1; }));
    Main().VideoCap1Error(0, QStringLiteral("Capture device was not detected."));

    EXPECT_TRUE(storeEnded);
    EXPECT_TRUE(tickUploaded);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(fake_.Connections(), 3);
    EXPECT_TRUE(fake_.Mismatches().isEmpty()) << fake_.Mismatches().join(QLatin1Char('|')).toStdString();
    EXPECT_FALSE(Main().UpdateActive());
    EXPECT_EQ(LogLines().filter(QStringLiteral("FTP Error")).size(), 0) << LogLines().join(QLatin1Char('\n')).toStdString();
}

// --- safe publishing ------------------------------------------------------------------------

QString Temporary(const QString& name)
{
    return name == QStringLiteral("Capture.jpg") ? QStringLiteral("Capture.tmp.jpg") : QStringLiteral("datetime.tmp.bmp");
}

QStringList Stored(FtpFakeServer& s, const QString& as)
{
    s.Expect("PASV").Passive().Expect("STOR").Reply("150 Ok to send data.").ReceiveData().Reply("226 Transfer complete.");
    return {QStringLiteral("PASV"), QStringLiteral("STOR ") + as};
}

QStringList Renamed(FtpFakeServer& s, const QString& name, const QByteArray& rntoReply)
{
    s.Expect("RNFR").Reply("350 Ready for destination name.").Expect("RNTO").Reply(rntoReply);
    return {QStringLiteral("RNFR ") + Temporary(name), QStringLiteral("RNTO ") + name};
}

QStringList Deleted(FtpFakeServer& s, const QString& name)
{
    s.Expect("DELE").Reply("250 Deleted.");
    return {QStringLiteral("DELE ") + name};
}

QString Aside(const QString& name)
{
    return name == QStringLiteral("Capture.jpg") ? QStringLiteral("Capture.old.jpg") : QStringLiteral("datetime.old.bmp");
}

// The real file renamed aside, on a server that would not rename over it.
QStringList SetAside(FtpFakeServer& s, const QString& name)
{
    s.Expect("RNFR").Reply("350 Ready for destination name.").Expect("RNTO").Reply("250 Renamed.");
    return {QStringLiteral("RNFR ") + name, QStringLiteral("RNTO ") + Aside(name)};
}

// How a server takes the publishing of one file: appends its side to the
// script and answers the commands it then has received. firstOfRun: the
// first file since the update started.
struct ServerKind {
    const char* name;
    QByteArray settings;
    std::function<QStringList(FtpFakeServer&, const QString& file, bool firstOfRun)> publish;
    int notesPerRun;
};

// Test names show the kind, not its bytes.
void PrintTo(const ServerKind& kind, std::ostream* os)
{
    *os << kind.name;
}

// Each step appends to the script in turn: "<<" evaluates left to right.
const ServerKind kServerKinds[] = {
    {"SafeUploadOff", "Safe_Upload=0\n", [](FtpFakeServer& s, const QString& f, bool) { return Stored(s, f); }, 0},
    {"RenamesOver", {},
     [](FtpFakeServer& s, const QString& f, bool) {
         return QStringList() << Stored(s, Temporary(f)) << Renamed(s, f, "250 Renamed.");
     },
     0},
    {"RefusesToOverwrite", {},
     [](FtpFakeServer& s, const QString& f, bool) {
         return QStringList() << Stored(s, Temporary(f)) << Renamed(s, f, "553 File exists.") << SetAside(s, f)
                              << Renamed(s, f, "250 Renamed.") << Deleted(s, Aside(f));
     },
     0},
    {"RefusesToRename", {},
     [](FtpFakeServer& s, const QString& f, bool first) {
         if (!first)
             return Stored(s, f);
         QStringList commands = Stored(s, Temporary(f));
         s.Expect("RNFR").Reply("502 Command not implemented.");
         return commands << QStringLiteral("RNFR ") + Temporary(f) << Deleted(s, Temporary(f)) << Stored(s, f);
     },
     1},
    {"RefusesTheRetriedRename", {},
     [](FtpFakeServer& s, const QString& f, bool first) {
         if (!first)
             return Stored(s, f);
         return QStringList() << Stored(s, Temporary(f)) << Renamed(s, f, "553 File exists.") << SetAside(s, f)
                              << Renamed(s, f, "550 Permission denied.") << Deleted(s, Temporary(f)) << Stored(s, f)
                              << Deleted(s, Aside(f));
     },
     1},
};

class SafePublishing : public WebsiteUpdateFaults, public ::testing::WithParamInterface<ServerKind>
{
};

// Two runs of the update (start, tick, stop; start, stop): every picture,
// the stop pictures too, goes the way the server can take, and a server
// that cannot rename is said once per run, never as a failure.
TEST_P(SafePublishing, EachPictureGoesUpTheWayTheServerTakes)
{
    const ServerKind& kind = GetParam();
    QStringList expected;
    for (int sequences : {3, 2}) {
        bool first = true;
        for (int i = 0; i < sequences; ++i) {
            fake_.LoginSteps().Expect("TYPE I").Reply("200 Type set to I.");
            expected << QStringLiteral("USER u") << QStringLiteral("PASS p") << QStringLiteral("TYPE I");
            for (const QString& file : {QStringLiteral("Capture.jpg"), QStringLiteral("datetime.bmp")}) {
                expected << kind.publish(fake_, file, first);
                first = false;
            }
            fake_.Expect("QUIT").Reply("221 Goodbye.").Drop();
            expected << QStringLiteral("QUIT");
        }
    }
    LaunchWithFake(kind.settings);
    Press();
    Tick();
    Press();
    Press();
    Press();

    EXPECT_EQ(fake_.Commands().join(QLatin1Char('|')).toStdString(), expected.join(QLatin1Char('|')).toStdString());
    EXPECT_TRUE(fake_.Mismatches().isEmpty()) << fake_.Mismatches().join(QLatin1Char('|')).toStdString();
    const QStringList lines = LogLines();
    EXPECT_EQ(lines.size(), 2 * kind.notesPerRun) << lines.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(lines.filter(QStringLiteral(" :   The FTP server cannot rename files")).size(), 2 * kind.notesPerRun);
    EXPECT_TRUE(Main().LastUploadOk());
}

INSTANTIATE_TEST_SUITE_P(Servers, SafePublishing, ::testing::ValuesIn(kServerKinds),
                         [](const ::testing::TestParamInfo<ServerKind>& info) { return std::string(info.param.name); });

}  // namespace
