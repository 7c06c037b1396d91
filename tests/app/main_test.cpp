// The main window working locally: start-up and close, settings, error log,
// capture controls, update pictures and the network dialog, driven through
// the real window with the test-pattern camera.
#include "app/ErrorLog.h"
#include "app/UpdatePictures.h"
#include "platform/inifile.h"
#include "platform/signals.h"
#include "tests/app/main_window_fixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QTest>

#include <csignal>

using namespace apptest;
using testsupport::WaitUntil;

namespace {

class MainWindow : public MainWindowTest
{
protected:
    platform::IniFile Settings() const
    {
        return platform::IniFile(Path(QStringLiteral("Tarvo Lite.sif")));
    }
    QStringList LogLines() const
    {
        QStringList lines = QString::fromUtf8(ReadFile(Path(QStringLiteral("Error.log")))).split(QStringLiteral("\r\n"));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }
    // Sends a key to a field as typing does.
    void Type(QLineEdit* edit, const QString& text)
    {
        edit->setFocus();
        QTest::keyClicks(edit, text);
    }
};

// --- start-up and close ------------------------------------------------------

TEST_F(MainWindow, FirstRunWarnsSelectsADriverAndWritesElevenKeysAtClose)
{
    WhenModal(QStringLiteral("DlgCapDriver"), [](QDialog* d) {
        auto* combo = d->findChild<QComboBox*>(QStringLiteral("ComboBox1"));
        EXPECT_EQ(combo->currentIndex(), -1);
        combo->setCurrentIndex(TestPatternIndex());
        d->findChild<QPushButton*>(QStringLiteral("OKBtn"))->click();
    });
    Launch();

    ASSERT_FALSE(dialogs_->shown.empty());
    EXPECT_EQ(dialogs_->shown[0].text,
              QStringLiteral("Could not activate video input device. Select a capture driver first."));
    EXPECT_EQ(dialogs_->shown[0].type, platform::MsgDlgType::Warning);
    EXPECT_EQ(dialogs_->beeps, 1);
    EXPECT_TRUE(dialogs_->exceptions.isEmpty()) << dialogs_->exceptions.join(QLatin1Char('\n')).toStdString();

    EXPECT_TRUE(Main().VideoCap1()->DriverOpen());
    EXPECT_EQ(Find<QLineEdit>("EditInterval")->text(), QStringLiteral("3"));
    EXPECT_EQ(JobAccount().port, QStringLiteral("21"));
    EXPECT_TRUE(Main().FirstRun());
    for (const char* name : {"Snapshots", "Videos", "Capture.bmp", "Error.log"})
        EXPECT_TRUE(QFileInfo::exists(Path(QString::fromLatin1(name)))) << name;

    Close();
    const QString text = QString::fromUtf8(ReadFile(Path(QStringLiteral("Tarvo Lite.sif"))));
    int keys = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        keys += line.contains(QLatin1Char('=')) ? 1 : 0;
    EXPECT_EQ(keys, 11) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("FTP_Port=21")));
    EXPECT_TRUE(text.contains(QStringLiteral("FirstRun=1")));
    EXPECT_EQ(QFile::permissions(Path(QStringLiteral("Tarvo Lite.sif"))) & 0x0077, 0) << "readable by its owner only";

    forms_.reset();  // destruction writes the chosen driver back
    EXPECT_EQ(platform::IniFile(Path(QStringLiteral("vcap.sif"))).ReadInteger(QStringLiteral("Driver"), QStringLiteral("index"), -9),
              TestPatternIndex());
}

TEST_F(MainWindow, AStoredDriverOpensWithoutWarningAndOverlayIsTicked)
{
    LaunchWithCamera();
    EXPECT_TRUE(dialogs_->shown.empty());
    EXPECT_TRUE(Main().VideoCap1()->DriverOpen());
    // The test-pattern camera offers overlay.
    EXPECT_TRUE(Find<QCheckBox>("CheckOverl")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>("CheckPrev")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>("CheckFitWindow")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>("CheckProportional")->isChecked());
    EXPECT_TRUE(Main().VideoCap1()->VideoOverlay());
    EXPECT_TRUE(Main().VideoCap1()->PreviewScaleProportional());
    EXPECT_TRUE(Action("menuVideoFormat1")->isEnabled());
    EXPECT_EQ(Find<QLineEdit>("EditCapPicture")->text(), QStringLiteral("Snapshot.bmp"));
    EXPECT_EQ(Find<QLineEdit>("EditVideoFile")->text(), QStringLiteral("Video.avi"));
}

TEST_F(MainWindow, ACancelledDriverSelectionStillLoadsTheSettingsAndSaysWhyThereIsNoPicture)
{
    StoreSettings("[FTP Settings]\nUpdate_Interval=7\nFTP_Host=example.org\n");
    WhenModal(QStringLiteral("DlgCapDriver"), [](QDialog* d) {
        d->findChild<QPushButton*>(QStringLiteral("CancelBtn"))->click();
    });
    Launch();
    EXPECT_FALSE(Main().VideoCap1()->DriverOpen());
    EXPECT_EQ(Find<QLineEdit>("EditInterval")->text(), QStringLiteral("7"));
    EXPECT_EQ(JobAccount().host, QStringLiteral("example.org"));
    ASSERT_EQ(dialogs_->exceptions.size(), 1);
    EXPECT_EQ(dialogs_->exceptions[0], QStringLiteral("No capture driver selected"));
}

TEST_F(MainWindow, StoredValuesLoadThroughTheLaunchOrder)
{
    StoreSettings("[FTP Settings]\nPassive_Mode=0\nFTP_Timeout=0x1E\nFTP_Port=2121\n"
                  "[Capture Parameters]\nFrameRate=70000\nCapture_Time=12\n[Other Settings]\nErrorBeep=1\nFirstRun=0\n");
    LaunchWithCamera();
    // The stored choices are what the first job takes, the wizard's pages created.
    EXPECT_FALSE(JobAccount().passiveMode);
    EXPECT_EQ(JobAccount().TimeoutSeconds(), 30);
    EXPECT_EQ(JobAccount().port, QStringLiteral("2121"));
    EXPECT_EQ(Main().VideoCap1()->FrameRate(), 15) << "out of range: the built-in value stays";
    EXPECT_EQ(Main().VideoCap1()->CapTimeLimit(), 12) << "the rest still loads";
    EXPECT_TRUE(Action("menuErrorBeep")->isChecked());
    EXPECT_TRUE(Action("menuLogErrors")->isChecked());
    EXPECT_FALSE(Main().FirstRun());
    EXPECT_EQ(Main().ProgramSettings().account.port, QStringLiteral("2121"));
    EXPECT_FALSE(Main().ProgramSettings().account.passiveMode);

    WhenModal(QStringLiteral("frmNetwork"), [](QDialog* d) { d->findChild<QPushButton*>(QStringLiteral("OKBtn"))->click(); });
    Action("menuNetwork")->trigger();
    EXPECT_FALSE(JobAccount().passiveMode);

    Close();
    forms_.reset();
    StoreSettings("[FTP Settings]\nFTP_Timeout=thirty\n");
    Launch();
    EXPECT_EQ(JobAccount().TimeoutSeconds(), 15);
}

TEST_F(MainWindow, APasswordWithSpacesAndPunctuationSurvivesDialogFileAndRestart)
{
    LaunchWithCamera();
    const QString password = QStringLiteral(" pa ss;w=rd#\"[x]' ");
    WhenModal(QStringLiteral("frmNetwork"), [this, password](QDialog* d) {
        auto* field = d->findChild<QLineEdit*>(QStringLiteral("edPassword"));
        field->clear();
        Type(field, password);
        d->findChild<QPushButton*>(QStringLiteral("OKBtn"))->click();
    });
    Action("menuNetwork")->trigger();
    EXPECT_EQ(JobAccount().password, password);
    Relaunch();
    EXPECT_EQ(JobAccount().password, password);
    EXPECT_EQ(Network().WorkingPassword(), password);
}

TEST_F(MainWindow, TheFirstShowingOfAFirstRunOpensTheWizardOverTheWindow)
{
    LaunchWithCamera();
    ASSERT_TRUE(Main().FirstRun());
    int shown = 0;
    bool mainVisible = false;
    QTimer answer;
    bool answered = false;  // in this showing
    bool closedDuringWizard = true;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (!forms_->frmWizard1()->Showing()) {
            answered = false;
            return;
        }
        QWidget* page = QApplication::activeModalWidget();
        if (answered || !page || page->objectName() != QStringLiteral("frmWizard1"))
            return;
        answered = true;
        ++shown;
        mainVisible = Main().isVisible();
        if (shown == 2) {
            // A close (a termination signal, say) waits for the wizard.
            Main().close();
            closedDuringWizard = Main().Closed();
        }
        auto* noFtp = page->findChild<QCheckBox*>(QStringLiteral("cbNoFTP"));
        if (!noFtp->isChecked())
            noFtp->click();
        page->findChild<QPushButton*>(QStringLiteral("BitBtnNext"))->click();
    });
    answer.start(5);
    Main().show();
    ASSERT_TRUE(WaitUntil([&] { return shown == 1 && !forms_->frmWizard1()->Showing(); }));
    EXPECT_TRUE(mainVisible);
    // The wizard menu item shows it again.
    answered = false;
    // Without a stored choice uploads are passive, as the dialog's box.
    EXPECT_TRUE(JobAccount().passiveMode);
    Action("menuWizard")->trigger();
    EXPECT_EQ(shown, 2);
    EXPECT_FALSE(closedDuringWizard);
    EXPECT_TRUE(WaitUntil([this] { return Main().Closed(); }));
}

// A termination signal closes without asking anybody and saves only what was
// loaded or accepted: during the start-up's driver warning (once the window
// exists), over a half-typed network dialog, and with a settings file that
// cannot be written.
TEST_F(MainWindow, ATerminationSignalClosesUnattendedWhereverItArrives)
{
    struct Case {
        const char* when;
        std::function<void()> arrange;  // before the launch
        std::function<void()> act;     // after it; raises the signal
        QString host;                              // "FTP_Host" afterwards
        bool logged;                               // the failed save is logged, not boxed
    };
    const Case cases[] = {
        {"during the driver warning",
         [this] {
             QFile::remove(Path(QStringLiteral("vcap.sif")));
             WhenModal(QStringLiteral("DlgCapDriver"), [](QDialog* d) { d->reject(); });
             dialogs_->whileShown = [](const QString& text) {
                 if (text.startsWith(QStringLiteral("Could not activate"))) {
                     ::raise(SIGTERM);
                     testsupport::DrainEvents();
                 }
             };
         },
         [] {}, QStringLiteral("stored.example"), false},
        {"over a half-typed network dialog", {},
         [this] {
             WhenModal(QStringLiteral("frmNetwork"), [](QDialog* d) {
                 d->findChild<QLineEdit*>(QStringLiteral("edFTPhost"))->setText(QStringLiteral("half.typ"));
                 d->findChild<QLineEdit*>(QStringLiteral("edPassword"))->setText(QStringLiteral("half"));
                 ::raise(SIGTERM);
             });
             Action("menuNetwork")->trigger();
         },
         QStringLiteral("stored.example"), false},
        {"with a settings file that refuses writes", {},
         [this] {
             // Like a full disk, the settings file cannot be written at all.
             QFile::remove(Path(QStringLiteral("Tarvo Lite.sif")));
             QDir(dir_.path()).mkdir(QStringLiteral("Tarvo Lite.sif"));
             ::raise(SIGTERM);
         },
         QString(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.when);
        QDir(Path(QStringLiteral("Tarvo Lite.sif"))).removeRecursively();
        QFile::remove(Path(QStringLiteral("Tarvo Lite.sif")));
        QFile::remove(Path(QStringLiteral("Error.log")));
        StoreSettings("[FTP Settings]\nFTP_Host=stored.example\nPassword=stored\n[Other Settings]\nFirstRun=0\n");
        StoreDriver(TestPatternIndex());
        dialogs_->exceptions.clear();
        if (c.arrange)
            c.arrange();
        forms_ = std::make_unique<TForms>(dir_.path(), true);
        dialogs_->whileShown = nullptr;
        c.act();
        ASSERT_TRUE(WaitUntil([this] { return Main().Closed(); }));
        EXPECT_TRUE(dialogs_->exceptions.isEmpty()) << dialogs_->exceptions.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(Settings().ReadString(QStringLiteral("FTP Settings"), QStringLiteral("FTP_Host"), {}), c.host);
        EXPECT_EQ(Settings().ReadString(QStringLiteral("FTP Settings"), QStringLiteral("Password"), {}),
                  c.host.isEmpty() ? QString() : QStringLiteral("stored"));
        EXPECT_EQ(LogLines().filter(QStringLiteral("Unable to write to")).size(), c.logged ? 1 : 0);
        forms_.reset();
    }
}

TEST_F(MainWindow, ReturnInTheIntervalFieldPressesStart)
{
    StoreSettings("[Other Settings]\nFirstRun=0\n");
    LaunchWithCamera();
    Main().show();
    auto* interval = Find<QLineEdit>("EditInterval");
    interval->setFocus();
    QTest::keyClick(interval, Qt::Key_Return);
    EXPECT_TRUE(Main().UpdateActive());
    WaitIdle();
}

TEST_F(MainWindow, TheVideoPanelKeepsFourToThree)
{
    StoreSettings("[Other Settings]\nFirstRun=0\n");
    LaunchWithCamera();
    Main().show();
    auto* panel = Find<QWidget>("Panel2");
    EXPECT_EQ(Main().size(), QSize(561, 372));
    EXPECT_EQ(panel->size(), QSize(399, 299));
    Main().setFixedSize(562, 372);
    EXPECT_EQ(panel->size(), QSize(400, 300));
    Main().setFixedSize(760, 516);
    EXPECT_EQ(panel->size(), QSize(598, 448));  // 598 x 3 / 4 = 448.5 rounds to even
}

TEST_F(MainWindow, ATerminationSignalClosesAsTheCloseBoxDoesDeletingOnlyTheUploadedPictures)
{
    StoreSettings("[Other Settings]\nFirstRun=0\n");
    LaunchWithCamera();
    forms_->CloseOnTermination();
    for (const char* name : {"Capture.jpg", "datetime.bmp", "temp00.bmp", "TempRemoteFile.jpg"})
        WriteFile(Path(QString::fromLatin1(name)), "x");
    WriteFile(Path(QStringLiteral("Capture.bmp")), "frame");
    Main().show();
    ::raise(SIGINT);  // Ctrl+C in a terminal: the same as SIGTERM
    ASSERT_TRUE(WaitUntil([this] { return Main().Closed(); }));
    EXPECT_FALSE(Main().isVisible());
    for (const char* name : {"Capture.jpg", "datetime.bmp", "temp00.bmp", "TempRemoteFile.jpg"})
        EXPECT_FALSE(QFileInfo::exists(Path(QString::fromLatin1(name)))) << name;
    EXPECT_EQ(ReadFile(Path(QStringLiteral("Capture.bmp"))), QByteArray("frame"));
    EXPECT_TRUE(QFileInfo::exists(Path(QStringLiteral("stopcap.jpg"))));
    EXPECT_TRUE(QFileInfo::exists(Path(QStringLiteral("Tarvo Lite.sif"))));
}

TEST_F(MainWindow, PointerHintsStayInPanelZeroUntilAnotherControlReplacesThem)
{
    LaunchWithCamera();
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(Find<QPushButton>("BitBtnFrameCap"), &enter);
    EXPECT_EQ(Panel(0), QStringLiteral("Click to start periodic image transmission."));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(Find<QPushButton>("BitBtnFrameCap"), &leave);
    EXPECT_EQ(Panel(0), QStringLiteral("Click to start periodic image transmission."));
    QApplication::sendEvent(Main().VideoCap1(), &enter);
    EXPECT_EQ(Panel(0), QString());
}

// A start/stop button's hint says what its next click does, also while the
// pointer rests on it.
TEST_F(MainWindow, AStartStopButtonsHintFollowsWhatItsClickDoes)
{
    StoreSettings("[Other Settings]\nFirstRun=0\n");
    LaunchWithCamera();
    const struct {
        const char* button;
        const char* started;  // its caption once the click has taken effect
        const char* start;
        const char* stop;
    } cases[] = {
        {"BitBtnFrameCap", "Stop", "Click to start periodic image transmission.",
         "Click to stop periodic image transmission."},
        {"BtStartStop", "Stop Video", "Click to start manual video recording.", "Click to stop manual video recording."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.button);
        auto* button = Find<QPushButton>(c.button);
        const QString idle = button->text();
        QEvent enter(QEvent::Enter);
        QApplication::sendEvent(button, &enter);
        EXPECT_EQ(Panel(0), QString::fromLatin1(c.start));
        button->click();
        ASSERT_TRUE(WaitUntil([&] { return button->text() == QString::fromLatin1(c.started); }));
        EXPECT_EQ(Panel(0), QString::fromLatin1(c.stop));
        WaitIdle();
        button->click();
        ASSERT_TRUE(WaitUntil([&] { return button->text() == idle && !Main().SequenceRunning(); }));
        EXPECT_EQ(Panel(0), QString::fromLatin1(c.start));
        QApplication::sendEvent(Main().VideoCap1(), &enter);
        QApplication::sendEvent(button, &enter);
        EXPECT_EQ(Panel(0), QString::fromLatin1(c.start));
    }
}

// --- error log -----------------------------------------------------------------

TEST_F(MainWindow, CaptureErrorsReachPanelAndLogUnlessLoggingIsOff)
{
    LaunchWithCamera();
    Main().VideoCap1Error(409, QStringLiteral("Write error"));
    EXPECT_EQ(Panel(1), QStringLiteral("Write error"));
    ASSERT_EQ(LogLines().size(), 1);
    EXPECT_TRUE(LogLines()[0].endsWith(QStringLiteral(" :   Error = Write error")));

    Action("menuLogErrors")->trigger();  // untick
    EXPECT_FALSE(Action("menuLogErrors")->isChecked());
    Main().VideoCap1Error(409, QStringLiteral("Second"));
    EXPECT_EQ(Panel(1), QStringLiteral("Second"));
    EXPECT_EQ(LogLines().size(), 1);
    Close();
    EXPECT_TRUE(ReadFile(Path(QStringLiteral("Tarvo Lite.sif"))).contains("LogErrors=0"));
}

TEST_F(MainWindow, AnUndetectedDeviceClosesAndDeselectsTheDriverButKeepsTheStoredOne)
{
    LaunchWithCamera();
    Main().VideoCap1Error(434, QStringLiteral("Capture device was not detected."));
    EXPECT_FALSE(Main().VideoCap1()->DriverOpen());
    EXPECT_EQ(Main().VideoCap1()->DriverIndex(), -1);
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(dialogs_->shown[0].text,
              QStringLiteral("Capture device was not detected. Connect camera before running this program."));
    EXPECT_EQ(dialogs_->beeps, 1);
    // A loss is not a choice: the next start opens the stored driver again.
    Relaunch();
    EXPECT_EQ(Main().VideoCap1()->DriverIndex(), TestPatternIndex());
    EXPECT_EQ(dialogs_->shown.size(), 1u) << "no driver prompt";
}

TEST_F(MainWindow, TheViewerShowsTheFileAndAsksToArchiveOnlyAboveTheLimit)
{
    // 1,024 lines of 58 characters and CR LF: 61,440 characters.
    QByteArray log;
    for (int i = 0; i < 1024; ++i)
        log += QByteArray(58, 'a') + "\r\n";
    WriteFile(Path(QStringLiteral("Error.log")), log);
    LaunchWithCamera();

    Action("menuViewErrorLog")->trigger();
    ASSERT_TRUE(WaitUntil([this] { return Log().isVisible(); }));
    EXPECT_EQ(Log().Lines().size(), 1024);
    Log().findChild<QPushButton*>(QStringLiteral("btnClose"))->click();
    EXPECT_TRUE(dialogs_->shown.empty());

    WriteFile(Path(QStringLiteral("Error.log")), log + "b\r\n");  // one more line: 61,443
    dialogs_->answers = {platform::mrYes};
    dialogs_->saveAnswers = {Path(QStringLiteral("archive.txt"))};
    Action("menuViewErrorLog")->trigger();
    Log().findChild<QPushButton*>(QStringLiteral("btnClose"))->click();
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_TRUE(dialogs_->shown[0].text.startsWith(QStringLiteral("The Error Log grows too large.")));
    EXPECT_EQ(ReadFile(Path(QStringLiteral("archive.txt"))).size(), 61443);
    EXPECT_TRUE(ReadFile(Path(QStringLiteral("Error.log"))).isEmpty());

    // Entries after the archive start a new log.
    Main().VideoCap1Error(409, QStringLiteral("After"));
    EXPECT_EQ(LogLines().size(), 1);
}

// --- local capture controls -------------------------------------------------------

TEST_F(MainWindow, TheRateFieldTakesDigitsOnlyAndOutOfRangeRatesBecome15)
{
    LaunchWithCamera();
    auto* rate = Find<QLineEdit>("Edit1");
    rate->setText(QStringLiteral("12"));
    Type(rate, QStringLiteral("a"));
    EXPECT_EQ(rate->text(), QStringLiteral("12"));
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(dialogs_->shown[0].text, QStringLiteral("Invalid entry: a"));
    EXPECT_EQ(dialogs_->beeps, 1);

    rate->selectAll();
    Type(rate, QStringLiteral("45"));
    EXPECT_EQ(rate->text(), QStringLiteral("45"));
    EXPECT_EQ(Main().VideoCap1()->PreviewRate(), 15);
    rate->setText(QStringLiteral("30"));
    EXPECT_EQ(Main().VideoCap1()->PreviewRate(), 30);
    rate->setText(QStringLiteral("0"));
    EXPECT_EQ(Main().VideoCap1()->PreviewRate(), 15);
    rate->selectAll();
    QTest::keyClick(rate, Qt::Key_Backspace);
    EXPECT_EQ(rate->text(), QStringLiteral("15"));

    // The interval field has the same filter.
    auto* interval = Find<QLineEdit>("EditInterval");
    Type(interval, QStringLiteral("-"));
    EXPECT_EQ(dialogs_->shown.back().text, QStringLiteral("Invalid entry: -"));
    EXPECT_EQ(interval->text(), QStringLiteral("3"));
}

TEST_F(MainWindow, ASnapshotGoesIntoSnapshotsAndTheNextOneReplacesIt)
{
    LaunchWithCamera();
    const QString file = Path(QStringLiteral("Snapshots/Snapshot.bmp"));
    Find<QPushButton>("btnSnapshot")->click();
    const QByteArray first = ReadFile(file);
    ASSERT_FALSE(first.isEmpty());
    EXPECT_EQ(QImage(file).size(), QSize(320, 240));
    EXPECT_EQ(Panel(1), QStringLiteral("Snapshot saved: Snapshot.bmp"));
    ASSERT_TRUE(WaitUntil([&] {
        Action("menuSnapshot")->trigger();
        return ReadFile(file) != first;
    }));
    EXPECT_TRUE(dialogs_->shown.empty());

    Main().SetStatusPanelText(1, QString());
    Main().VideoCap1()->SetDriverOpen(false);
    Find<QPushButton>("btnSnapshot")->click();
    EXPECT_EQ(Panel(1), QString()) << "nothing saved, nothing said";
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(dialogs_->shown[0].text, QStringLiteral("Could not save picture. See Error Log"));
    EXPECT_EQ(dialogs_->beeps, 1);
}

TEST_F(MainWindow, ARecordingFollowsTheCaptureServicesBeginAndEnd)
{
    StoreSettings("[Other Settings]\nFirstRun=0\n");
    LaunchWithCamera();
    Main().show();
    auto* button = Find<QPushButton>("BtStartStop");
    const QFont font = button->font();
    const QSize size = button->size();
    button->click();
    // The look changes with the service's id 300, not with the click.
    EXPECT_EQ(button->text(), QStringLiteral("Start Video"));
    EXPECT_FALSE(Find<QPushButton>("btnSnapshot")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("GroupBox3")->isEnabled());
    EXPECT_FALSE(Action("menuPeriodicUpdate")->isEnabled());
    EXPECT_FALSE(Action("menuWizard")->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return button->text() == QStringLiteral("Stop Video"); }));
    EXPECT_TRUE(button->styleSheet().contains(QStringLiteral("255, 0, 0")));
    EXPECT_EQ(Action("menuVideo")->text(), QStringLiteral("Stop Video Recording"));

    Action("menuVideo")->trigger();
    ASSERT_TRUE(WaitUntil([&] { return button->text() == QStringLiteral("Start Video"); }));
    EXPECT_TRUE(button->styleSheet().contains(QStringLiteral("0, 128, 0")));
    EXPECT_EQ(button->font(), font) << "the idle look is the one it started with";
    EXPECT_EQ(button->size(), size);
    EXPECT_EQ(Action("menuVideo")->text(), QStringLiteral("Start Video Recording"));
    EXPECT_TRUE(Find<QPushButton>("btnSnapshot")->isEnabled());
    EXPECT_TRUE(Action("menuPeriodicUpdate")->isEnabled());
    EXPECT_GT(QFileInfo(Path(QStringLiteral("Videos/Video.avi"))).size(), 0);
}

TEST_F(MainWindow, ABufferFileRecordingIsCopiedToTheVideoFileAtItsEnd)
{
    StoreSettings("[Capture Parameters]\nBuffer_Size=2\n");
    LaunchWithCamera();
    ASSERT_EQ(Main().VideoCap1()->BufferFileSize(), 2);
    Find<QLineEdit>("EditVideoFile")->setText(QStringLiteral("Buffered.avi"));
    auto* button = Find<QPushButton>("BtStartStop");
    button->click();
    ASSERT_TRUE(WaitUntil([&] { return button->text() == QStringLiteral("Stop Video"); }));
    button->click();
    ASSERT_TRUE(WaitUntil([&] { return button->text() == QStringLiteral("Start Video"); }));
    EXPECT_GT(QFileInfo(Path(QStringLiteral("Videos/Buffered.avi"))).size(), 0);
}

TEST_F(MainWindow, ARefusedRecordingGivesTheControlsBack)
{
    LaunchWithCamera();
    Main().VideoCap1()->SetDriverOpen(false);
    Find<QPushButton>("BtStartStop")->click();
    EXPECT_TRUE(Find<QPushButton>("btnSnapshot")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("GroupBox1")->isEnabled());
    EXPECT_TRUE(Action("menuWizard")->isEnabled());
    EXPECT_EQ(Find<QPushButton>("BtStartStop")->text(), QStringLiteral("Start Video"));
}

TEST_F(MainWindow, TheDriverMenuClosesAndReopensEvenWhenCancelled)
{
    LaunchWithCamera();
    bool wasClosed = false;
    WhenModal(QStringLiteral("DlgCapDriver"), [&](QDialog* d) {
        wasClosed = !Main().VideoCap1()->DriverOpen();
        EXPECT_EQ(d->findChild<QComboBox*>(QStringLiteral("ComboBox1"))->currentIndex(), TestPatternIndex());
        d->reject();
    });
    Action("menuVideoDriver1")->trigger();
    EXPECT_TRUE(wasClosed);
    EXPECT_TRUE(Main().VideoCap1()->DriverOpen());
    EXPECT_EQ(Main().VideoCap1()->DriverIndex(), TestPatternIndex());
}

TEST_F(MainWindow, CaptureParametersGoToTheCameraAndTheProgramsSettingsFile)
{
    LaunchWithCamera();
    WhenModal(QStringLiteral("DlgCapParam"), [](QDialog* d) {
        auto* rate = d->findChild<QLineEdit*>(QStringLiteral("edFrameRate"));
        rate->setText(QStringLiteral("20"));
        d->findChild<QPushButton*>(QStringLiteral("OKBtn"))->click();
    });
    Action("menuCaptureparameter1")->trigger();
    EXPECT_EQ(Main().VideoCap1()->FrameRate(), 20);
    EXPECT_EQ(Settings().ReadInteger(QStringLiteral("Capture Parameters"), QStringLiteral("FrameRate"), 0), 20);
}

// --- update pictures ---------------------------------------------------------------

TEST_F(MainWindow, TheUpdatePicturesComeFromTheCameraAndTheCaptionShowsInImage1)
{
    LaunchWithCamera();
    Main().UpdatePictures().Produce(TUpdatePictures::Moment::Start);
    const QImage jpeg(Path(QStringLiteral("Capture.jpg")), "JPG");
    EXPECT_EQ(jpeg.size(), QSize(320, 240));
    const QImage caption(Path(QStringLiteral("datetime.bmp")), "BMP");
    ASSERT_EQ(caption.size(), QSize(178, 18));
    EXPECT_EQ(caption.pixelColor(0, 0), QColor(255, 0, 0));
    EXPECT_EQ(Find<QLabel>("Image1")->pixmap().size(), QSize(178, 18));
    EXPECT_FALSE(Find<QLabel>("Image1")->isVisible());
}

// --- network dialog ------------------------------------------------------------------

TEST_F(MainWindow, TheNetworkDialogReloadsTheAccountOnShowingKeepsTheIntervalAndOnlyOkWrites)
{
    StoreSettings("[FTP Settings]\nFTP_Host=a.example\nUpdate_Interval=8\n");
    LaunchWithCamera();
    auto* interval = Find<QLineEdit>("EditInterval");
    interval->setText(QStringLiteral("4"));  // typed, not saved

    WhenModal(QStringLiteral("frmNetwork"), [this](QDialog* d) {
        auto* host = d->findChild<QLineEdit*>(QStringLiteral("edFTPhost"));
        EXPECT_EQ(host->text(), QStringLiteral("a.example"));
        host->setText(QStringLiteral("cancelled.example"));
        auto* port = d->findChild<QLineEdit*>(QStringLiteral("edPort"));
        port->selectAll();
        QTest::keyClick(port, Qt::Key_Backspace);
        EXPECT_EQ(port->text(), QStringLiteral("21"));
        d->findChild<QPushButton*>(QStringLiteral("btnCancel"))->click();
    });
    Action("menuNetwork")->trigger();
    EXPECT_EQ(Main().ProgramSettings().account.host, QStringLiteral("a.example")) << "a cancelled edit is not kept for the close";
    EXPECT_EQ(interval->text(), QStringLiteral("4")) << "opening and cancelling keep what the user typed";
    EXPECT_EQ(Settings().ReadString(QStringLiteral("FTP Settings"), QStringLiteral("FTP_Host"), {}), QStringLiteral("a.example"));
    EXPECT_EQ(JobAccount().host, QStringLiteral("a.example"));

    WhenModal(QStringLiteral("frmNetwork"), [this](QDialog* d) {
        auto* host = d->findChild<QLineEdit*>(QStringLiteral("edFTPhost"));
        EXPECT_EQ(host->text(), QStringLiteral("a.example")) << "refilled from the file";
        host->setText(QStringLiteral("b.example"));
        auto* password = d->findChild<QLineEdit*>(QStringLiteral("edPassword"));
        Type(password, QStringLiteral("abc"));
        EXPECT_EQ(password->echoMode(), QLineEdit::Password);
        d->findChild<QPushButton*>(QStringLiteral("OKBtn"))->click();
    });
    Action("menuNetwork")->trigger();
    EXPECT_EQ(Settings().ReadString(QStringLiteral("FTP Settings"), QStringLiteral("FTP_Host"), {}), QStringLiteral("b.example"));
    EXPECT_EQ(JobAccount().host, QStringLiteral("b.example"));
    EXPECT_EQ(JobAccount().password, QStringLiteral("abc"));
    EXPECT_EQ(interval->text(), QStringLiteral("4"));
    EXPECT_EQ(Settings().ReadString(QStringLiteral("FTP Settings"), QStringLiteral("Update_Interval"), {}), QStringLiteral("4"));
}

}  // namespace
