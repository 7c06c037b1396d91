#include "app/Main.h"

#include "app/CameraChoice.h"
#include "app/ErrorLog.h"
#include "app/MotionWatch.h"
#include "app/UpdatePictures.h"
#include "capture/videocap.h"
#include "platform/application.h"
#include "platform/dialogs.h"
#include "platform/messages.h"
#include "ui/AboutDlg.h"
#include "ui/DigitFilter.h"
#include "ui/DlgCapDriver.h"
#include "ui/DlgCapParam.h"
#include "ui/HtmlHelpBridge.h"
#include "ui/LogForm.h"
#include "ui/Motion.h"
#include "ui/Network.h"
#include "ui/URL.h"
#include "ui_Main.h"

#include <QCloseEvent>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QShowEvent>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kMainWidth = 561;
constexpr int kMainHeight = 372;
constexpr int kVideoPanelMaxWidth = 603;

// Button fonts; a disabled button keeps the style's grey.
const QString kGreen = QStringLiteral("QPushButton:enabled { color: rgb(0, 128, 0); }");
const QString kRed = QStringLiteral("QPushButton:enabled { color: rgb(255, 0, 0); }");

// Rounds a / b to the nearest whole number, halves to even.
int DivRoundHalfEven(int a, int b)
{
    const int q = a / b;
    const int r = a % b;
    if (2 * r > b || (2 * r == b && (q % 2) != 0))
        return q + 1;
    return q;
}

}  // namespace

TMain::TMain(const QString& programFolder, QWidget* parent)
    : QMainWindow(parent),
      files_(programFolder.isEmpty() ? platform::Application::ProgramFolder() : programFolder),
      ui(std::make_unique<Ui::TMain>()),
      programSettings_(files_.SettingsFile()),
      driverChoice_(files_.DriverSettingsFile())
{
    ui->setupUi(this);
    setObjectName(QStringLiteral("Main"));

    statusPanels_[0] = new QLabel(this);
    statusPanels_[0]->setObjectName(QStringLiteral("StatusPanel0"));
    statusPanels_[0]->setFixedWidth(400);
    statusPanels_[1] = new QLabel(this);
    statusPanels_[1]->setObjectName(QStringLiteral("StatusPanel1"));
    statusPanels_[1]->setMinimumWidth(0);
    ui->StatusBar1->addWidget(statusPanels_[0]);
    ui->StatusBar1->addWidget(statusPanels_[1], 1);
    ui->StatusBar1->setSizeGripEnabled(false);

    // The capture component fills the video panel, on black.
    videoCap1_ = new TVideoCap(ui->Panel2);
    videoCap1_->setObjectName(QStringLiteral("VideoCap1"));
    QPalette black = videoCap1_->palette();
    black.setColor(QPalette::Window, Qt::black);
    videoCap1_->setPalette(black);
    videoCap1_->setAutoFillBackground(true);
    videoCap1_->SetPreviewRate(15);
    cameraReturn_ = std::make_unique<app::TCameraReturn>(*videoCap1_);
    auto* videoLayout = new QVBoxLayout(ui->Panel2);
    const int frame = ui->Panel2->frameWidth();
    videoLayout->setContentsMargins(frame, frame, frame, frame);
    videoLayout->addWidget(videoCap1_);
    ui->Image1->lower();
    ui->MemoDateTime->lower();

    update_ = std::make_unique<TWebsiteUpdate>(files_, programSettings_, *cameraReturn_);
    update_->OnStateChanged = [this](TWebsiteUpdate::UpdateState state) { ShowUpdateState(state); };
    update_->OnLamp = [this](bool uploading) { SetLamp(uploading); };
    update_->OnIntervalCorrected = [this](const QString& interval) { ui->EditInterval->setText(interval); };
    update_->OnStatusText = [this](const QString& text) { SetStatusPanelText(1, text); };
    update_->OnSequenceFinished = [this] { emit SequenceFinished(); };
    update_->OnShowWizard = [this] {
        if (OnShowWizard)
            OnShowWizard();
    };
    update_->OnClosing = [this] { SaveSettings(); };
    update_->OnClosed = [this] { CloseDone(); };
    update_->OnCloseAgain = [this] { close(); };

    kelnaURL_ = new TURL(this);
    kelnaURL_->setObjectName(QStringLiteral("KelnaURL"));
    kelnaURL_->SetURL(QString::fromLatin1(kMakerWebHost));
    kelnaURL_->SetURLType(utHttp);

    apphelp::SetHelpContext(this, 4);
    apphelp::SetHelpContext(ui->menuVideoSource1, 12);
    apphelp::SetHelpContext(ui->menuVideoFormat1, 13);
    apphelp::SetHelpContext(ui->menuVideoCompression1, 14);
    apphelp::SetHelpContext(ui->menuHelp2, 9999);

    SetRecordingLook(false);
    ui->BitBtnFrameCap->setStyleSheet(kGreen);
    InstallDigitFilter(ui->Edit1);
    InstallDigitFilter(ui->EditInterval);
    InstallHints();
    ConnectControls();

    setWindowTitle(QString::fromLatin1(app::kProgramName) + QStringLiteral(" - Remote Surveillance"));
    // Single fixed border: the user cannot drag the size.
    setFixedSize(kMainWidth, kMainHeight);
    FormResize();
}

TMain::~TMain()
{
    driverChoice_.Save();
    motion_.reset();
    update_.reset();
    videoCap1_->OnStatus = nullptr;
    videoCap1_->OnStatusCallback = nullptr;
    videoCap1_->OnError = nullptr;
}

void TMain::AttachForms(TLogForm* logForm, TfrmNetwork* frmNetwork)
{
    logForm_ = logForm;
    frmNetwork_ = frmNetwork;
    logForm_->SetProgramFolder(files_.Folder());
    frmNetwork_->SetSettings(&programSettings_);
    frmNetwork_->OnGetUpdateInterval = [this] { return ui->EditInterval->text(); };
    frmNetwork_->OnSetUpdateInterval = [this](const QString& interval) { ui->EditInterval->setText(interval); };

    errorLog_ = std::make_unique<TErrorLog>(*logForm_);
    errorLog_->SetLogErrors(ui->menuLogErrors->isChecked());
    errorLog_->SetErrorBeep(ui->menuErrorBeep->isChecked());
    errorLog_->OnStatusText = [this](const QString& text) { SetStatusPanelText(1, text); };
    errorLog_->OnDeviceNotDetected = [this] {
        cameraReturn_->Lost(videoCap1_->DriverIdentity());
        videoCap1_->SetDriverOpen(false);
        videoCap1_->SetDriverIndex(-1);
    };
    cameraReturn_->OnReturned = [this] {
        errorLog_->CaptureReturned(videoCap1_->DriverName());
        RestoreLocalDisplay();
    };
    update_->Attach(*errorLog_);
    update_->Pictures().OnGrabFrame = [this](const QString& bitmapFile) {
        videoCap1_->SetSingleImageFile(bitmapFile);
        videoCap1_->GrabFrameNoStop();
        return videoCap1_->SaveAsDIB();
    };
    update_->Pictures().OnCaptionDrawn = [this](const QImage& caption) {
        ui->Image1->resize(caption.size());
        ui->Image1->setPixmap(QPixmap::fromImage(caption));
    };
    motion_ = std::make_unique<TMotionWatch>(*videoCap1_, files_, *errorLog_, ui->StatusBar1);
    motion_->OnUpload = [this](const QImage& picture) { return update_->UploadMotionPicture(picture); };
}

// ---------------------------------------------------------------------------
// Creation, showing, closing

void TMain::FormCreate()
{
    Q_ASSERT(logForm_ && frmNetwork_);
    resize(kMainWidth, kMainHeight);
    setWindowTitle(QString::fromLatin1(app::kProgramName) + QStringLiteral(" - Remote Surveillance"));

    files_.CreateWorkingFiles();

    // A failing step must not cut the sequence short: the settings, the help
    // file and the auto start still apply. The first failure is shown at the end.
    QString failure;
    auto attempt = [&failure](const std::function<void()>& step) {
        try {
            step();
        } catch (const Exception& e) {
            if (failure.isEmpty())
                failure = e.Message();
        } catch (const std::exception& e) {
            if (failure.isEmpty())
                failure = QString::fromUtf8(e.what());
        }
    };

    attempt([this] {
        driverChoice_.Restore(*videoCap1_);
        if (videoCap1_->DriverName().isEmpty()) {
            platform::Dialogs().MessageBeep();
            platform::Dialogs().MessageDlg(
                QStringLiteral("Could not activate video input device. Select a capture driver first."),
                platform::MsgDlgType::Warning, platform::mbOK);
            // Closing from outside already: nobody is there to choose.
            if (!closingFromOutside_)
                menuVideoDriver1Click();
        }
    });
    attempt([this] { LoadSettings(); });

    attempt([this] { motion_->Apply(programSettings_.ReadMotion()); });

    ui->EditCapPicture->setText(QStringLiteral("Snapshot.bmp"));
    ui->EditVideoFile->setText(videoCap1_->VideoFileName());

    attempt([this] { videoCap1_->SetDriverOpen(true); });
    attempt([this] { RestoreLocalDisplay(); });

    if (QFile::exists(files_.HelpFile()))
        apphelp::SetHelpFile(files_.HelpFile());

    if (autoStart_)
        attempt([this] { BitBtnFrameCapClick(); });
    if (!failure.isEmpty())
        ReportFailure(failure);
}

void TMain::RestoreLocalDisplay()
{
    if (videoCap1_->DriverOpen() && videoCap1_->HasOverlay())
        TickBox(ui->CheckOverl, &TMain::CheckOverlClick);
    else
        TickBox(ui->CheckPrev, &TMain::CheckPrevClick);
    TickBox(ui->CheckProportional, &TMain::CheckProportionalClick);
    TickBox(ui->CheckFitWindow, &TMain::CheckFitWindowClick);
}

void TMain::LoadSettings()
{
    settings::TProgramSettings& s = programSettings_;
    s.Load();  // without a file the built-in values stand

    ui->EditInterval->setText(s.updateInterval);
    videoCap1_->SetFrameRate(s.frameRate);
    videoCap1_->SetCapTimeLimit(s.captureTime);
    videoCap1_->SetCapIndexSize(s.indexSize);
    videoCap1_->SetCapAudio(s.captureAudio);
    ui->menuLogErrors->setChecked(s.logErrors);
    ui->menuErrorBeep->setChecked(s.errorBeep);
    autoStart_ = s.account.autoStart;

    // Last: a buffer file that cannot be made while the driver is open raises.
    videoCap1_->SetBufferFileSize(s.bufferSize);
}

void TMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (event->spontaneous() || shownOnce_)
        return;
    shownOnce_ = true;
    if (screen())
        move(screen()->availableGeometry().center() - rect().center());
    // The wizard opens over the shown window, once the showing is complete.
    QMetaObject::invokeMethod(this, [this] {
        if (programSettings_.firstRun && !update_->Closed())
            update_->ShowWizard();
    }, Qt::QueuedConnection);
}

void TMain::closeEvent(QCloseEvent* event)
{
    if (update_->Closed()) {
        event->accept();
        return;
    }
    // The window stays until the close-time work is done; while the wizard
    // drives the FTP client, the close follows once it has ended.
    event->ignore();
    if (update_->DeferClose())
        return;
    if (!update_->Closing())
        FormClose();
    // Nothing to wait for: closed at once.
    event->setAccepted(update_->Closed());
}

void TMain::FormClose()
{
    update_->Close();  // saves the settings first
}

void TMain::CloseDone()
{
    ui->stWebUpdate->setVisible(false);
    if (logForm_)
        logForm_->hide();
    emit CloseCompleted();
    close();
}

void TMain::SaveSettings()
{
    // The values loaded or accepted, never what a dialog holds half-typed.
    try {
        programSettings_.SaveAtClose(ui->EditInterval->text(), ui->menuLogErrors->isChecked(),
                                     ui->menuErrorBeep->isChecked());
    } catch (const Exception& e) {
        // The rest of the close (stop pictures, clean-up) still runs.
        ReportFailure(e.Message());
    }
}

void TMain::ReportFailure(const QString& message)
{
    if (closingFromOutside_) {
        SetStatusPanelText(1, message);
        errorLog_->Append(errorLog_->Stamp() + QStringLiteral(" :   Error = ") + message);
        return;
    }
    platform::Dialogs().ShowException(message);
}

QString TMain::StatusPanelText(int index) const
{
    return statusPanels_[index]->text();
}

void TMain::SetStatusPanelText(int index, const QString& text)
{
    statusPanels_[index]->setText(text);
}

void TMain::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TMain::FormResize()
{
    int width = std::min(this->width() - ui->Panel3->width(), kVideoPanelMaxWidth);
    width = std::max(width, 0);
    ui->Panel2->resize(width, DivRoundHalfEven(width * 3, 4));
    ui->Panel3->move(this->width() - ui->Panel3->width(), 0);
}

void TMain::InstallHints()
{
    struct Hint {
        QWidget* control;
        const char* text;
    };
    const Hint hints[] = {
        {ui->Edit1, "Frame Rate for manual video recording."},
        {ui->CheckPrev, "Check to use Preview video mode (use Overlay if available)."},
        {ui->CheckOverl, "Check to use Overlay video mode (recommended if available)."},
        {ui->CheckFitWindow, "Check to scale image to window."},
        {ui->CheckProportional, "Check to maintain aspect ratio of image."},
        {ui->EditCapPicture, "Enter File Name for single snapshot recording (BMP file)."},
        {ui->EditVideoFile, "Enter File Name for manual video recording (AVI file)."},
        {ui->btnSnapshot, "Click to take a snapshot of the image window."},
        {ui->BtStartStop, "Click to start manual video recording."},
        {ui->EditInterval, "Interval (in minutes) after which a new image is transmitted to remote host."},
        {ui->BitBtnFrameCap, "Click to start periodic image transmission."},
        {videoCap1_, ""},
        {ui->GroupBox1, ""},
        {ui->GroupBox2, ""},
        {ui->GroupBox3, ""},
    };
    for (const Hint& h : hints) {
        h.control->setProperty("tarvoHint", QString::fromUtf8(h.text));
        h.control->installEventFilter(this);
    }
}

bool TMain::eventFilter(QObject* watched, QEvent* event)
{
    // The hint stays in panel 0 until another control replaces it.
    if (event->type() == QEvent::Enter) {
        const QVariant hint = watched->property("tarvoHint");
        if (hint.isValid())
            SetStatusPanelText(0, hint.toString());
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMain::ConnectControls()
{
    connect(ui->menuExit, &QAction::triggered, this, [this] { menuExitClick(); });
    connect(ui->menuAbout1, &QAction::triggered, this, [this] { menuAbout1Click(); });
    connect(ui->menuNetwork, &QAction::triggered, this, [this] { menuNetworkClick(); });
    connect(ui->menuMotion, &QAction::triggered, this, [this] { menuMotionClick(); });
    connect(ui->menuWizard, &QAction::triggered, this, [this] { menuWizardClick(); });
    connect(ui->GotoWebsite1, &QAction::triggered, this, [this] { GotoWebsite1Click(); });
    connect(ui->menuHelp2, &QAction::triggered, this, [this] { menuHelp2Click(); });
    connect(ui->menuHelpIndex, &QAction::triggered, this, [this] { menuHelpIndexClick(); });
    connect(ui->menuViewErrorLog, &QAction::triggered, this, [this] { menuViewErrorLogClick(); });
    connect(ui->menuLogErrors, &QAction::toggled, this, [this](bool on) {
        if (errorLog_)
            errorLog_->SetLogErrors(on);
    });
    connect(ui->menuErrorBeep, &QAction::toggled, this, [this](bool on) {
        if (errorLog_)
            errorLog_->SetErrorBeep(on);
    });

    // Ticking a box from code runs its handler as a click does.
    connect(ui->CheckPrev, &QCheckBox::toggled, this, [this] { CheckPrevClick(); });
    connect(ui->CheckOverl, &QCheckBox::toggled, this, [this] { CheckOverlClick(); });
    connect(ui->CheckFitWindow, &QCheckBox::toggled, this, [this] { CheckFitWindowClick(); });
    connect(ui->CheckProportional, &QCheckBox::toggled, this, [this] { CheckProportionalClick(); });
    connect(ui->Edit1, &QLineEdit::textChanged, this, [this] { Edit1Change(); });
    connect(ui->btnSnapshot, &QPushButton::clicked, this, [this] { btnSnapshotClick(); });
    connect(ui->menuSnapshot, &QAction::triggered, this, [this] { btnSnapshotClick(); });
    connect(ui->BtStartStop, &QPushButton::clicked, this, [this] { BtStartStopClick(); });
    connect(ui->menuVideo, &QAction::triggered, this, [this] { BtStartStopClick(); });
    connect(ui->menuVideoDriver1, &QAction::triggered, this, [this] { menuVideoDriver1Click(); });
    connect(ui->menuCaptureparameter1, &QAction::triggered, this, [this] { menuCaptureparameter1Click(); });
    connect(ui->menuVideoFormat1, &QAction::triggered, this, [this] { menuVideoFormat1Click(); });
    connect(ui->menuVideoSource1, &QAction::triggered, this, [this] { menuVideoSource1Click(); });
    connect(ui->menuVideoDisplay1, &QAction::triggered, this, [this] { menuVideoDisplay1Click(); });
    connect(ui->menuVideoCompression1, &QAction::triggered, this, [this] { menuVideoCompression1Click(); });

    connect(ui->BitBtnFrameCap, &QPushButton::clicked, this, [this] { BitBtnFrameCapClick(); });
    // "Start" is the window's default button; outside dialogs Qt leaves
    // Return to the field.
    connect(ui->EditInterval, &QLineEdit::returnPressed, this, [this] {
        if (ui->BitBtnFrameCap->isEnabled())
            BitBtnFrameCapClick();
    });
    connect(ui->menuPeriodicUpdate, &QAction::triggered, this, [this] { BitBtnFrameCapClick(); });

    videoCap1_->OnStatus = [this](TVideoCap*) { Video1Status(); };
    videoCap1_->OnStatusCallback = [this](TVideoCap*, int id, const QString& text) { Video1StatusCallback(id, text); };
    videoCap1_->OnError = [this](TVideoCap*, int id, const QString& text) { VideoCap1Error(id, text); };
}

// ---------------------------------------------------------------------------
// Menus of the frame

void TMain::menuExitClick()
{
    close();
}

void TMain::menuAbout1Click()
{
    TAboutDlg::Execute(this);
}

void TMain::menuNetworkClick()
{
    frmNetwork_->exec();
}

void TMain::menuMotionClick()
{
    TfrmMotion dialog(this);
    dialog.setObjectName(QStringLiteral("frmMotion"));
    dialog.SetSettings(motion_->Settings());
    dialog.OnSave = [this](const settings::MotionSettings& chosen) { programSettings_.SaveMotion(chosen); };
    // The mask is drawn on the live picture; without preview or overlay one
    // frame is grabbed to show.
    motion_->SetPictureWatcher([&dialog](const QImage& frame) { dialog.ShowPicture(frame); });
    if (!videoCap1_->VideoPreview() && !videoCap1_->VideoOverlay())
        videoCap1_->GrabFrameNoStop();
    const bool accepted = dialog.exec() == QDialog::Accepted;
    motion_->SetPictureWatcher(nullptr);
    if (accepted)
        motion_->Apply(dialog.Settings());
}

void TMain::menuWizardClick()
{
    update_->HandOverToWizard();
}

void TMain::GotoWebsite1Click()
{
    kelnaURL_->Execute();
}

void TMain::menuHelp2Click()
{
    apphelp::HelpCommand(HELP_CONTENTS, 0);
}

void TMain::menuHelpIndexClick()
{
    apphelp::HelpCommand(HELP_KEY, 0);
}

// ---------------------------------------------------------------------------
// Error reporting

void TMain::menuViewErrorLogClick()
{
    if (QFile::exists(logForm_->LogFileName()))
        logForm_->ReloadFromFile();
    logForm_->show();
    logForm_->raise();
    logForm_->activateWindow();
}

// The menu items flip their own tick when chosen; the error log follows the
// tick (see ConnectControls).
void TMain::menuLogErrorsClick()
{
    ui->menuLogErrors->toggle();
}

void TMain::menuErrorBeepClick()
{
    ui->menuErrorBeep->toggle();
}

void TMain::VideoCap1Error(int errorId, const QString& text)
{
    errorLog_->CaptureError(errorId, text);
}

// ---------------------------------------------------------------------------
// Local capture controls

void TMain::TickBox(QCheckBox* box, void (TMain::*handler)())
{
    if (box->isChecked())
        (this->*handler)();
    else
        box->setChecked(true);  // runs the handler through toggled
}

void TMain::CheckPrevClick()
{
    videoCap1_->SetVideoPreview(ui->CheckPrev->isChecked());
}

void TMain::CheckOverlClick()
{
    videoCap1_->SetVideoOverlay(ui->CheckOverl->isChecked());
}

void TMain::CheckFitWindowClick()
{
    videoCap1_->SetPreviewScaleToWindow(ui->CheckFitWindow->isChecked());
}

void TMain::CheckProportionalClick()
{
    videoCap1_->SetPreviewScaleProportional(ui->CheckProportional->isChecked());
}

void TMain::Edit1Change()
{
    if (ui->Edit1->text().isEmpty()) {
        ui->Edit1->setText(QStringLiteral("15"));  // runs this rule again
        return;
    }
    bool ok = false;
    const int rate = ui->Edit1->text().toInt(&ok);
    videoCap1_->SetPreviewRate(ok && rate >= 1 && rate <= 30 ? static_cast<std::uint16_t>(rate) : 15);
}

void TMain::btnSnapshotClick()
{
    videoCap1_->SetSingleImageFile(files_.SnapshotsFolder() + ui->EditCapPicture->text());
    videoCap1_->GrabFrameNoStop();
    if (!videoCap1_->SaveAsDIB()) {
        platform::Dialogs().MessageBeep();
        platform::Dialogs().MessageDlg(QStringLiteral("Could not save picture. See Error Log"),
                                       platform::MsgDlgType::Error, platform::mbOK);
    }
}

void TMain::EnableRecordingLocks(bool enabled)
{
    ui->btnSnapshot->setEnabled(enabled);
    ui->GroupBox1->setEnabled(enabled);
    ui->GroupBox3->setEnabled(enabled);
    ui->menuSnapshot->setEnabled(enabled);
    ui->menuPeriodicUpdate->setEnabled(enabled);
    ui->menuWizard->setEnabled(enabled);
}

void TMain::BtStartStopClick()
{
    if (videoCap1_->CapturingNow()) {
        videoCap1_->StopCapture();
        EnableRecordingLocks(true);
        return;
    }
    videoCap1_->SetVideoFileName(files_.VideosFolder() + ui->EditVideoFile->text());
    EnableRecordingLocks(false);
    // A capture that does not start gives the controls back at once.
    if (!videoCap1_->StartCapture())
        EnableRecordingLocks(true);
}

void TMain::SetRecordingLook(bool recording)
{
    ui->BtStartStop->setText(recording ? QStringLiteral("Stop Video") : QStringLiteral("Start Video"));
    ui->BtStartStop->setStyleSheet(recording ? kRed : kGreen);
    ui->menuVideo->setText(recording ? QStringLiteral("Stop Video Recording") : QStringLiteral("Start Video Recording"));
}

void TMain::Video1StatusCallback(int id, const QString& text)
{
    if (id == platform::IDS_CAP_STAT_VIDEOCURRENT)
        return;
    SetStatusPanelText(1, text);
    if (id == platform::IDS_CAP_END) {
        SetRecordingLook(false);
        // A capture ended by its time limit or the stop key gives the controls
        // back too; a motion recording during the update took none.
        if (update_->State() == TWebsiteUpdate::UpdateState::Idle)
            EnableRecordingLocks(true);
        if (videoCap1_->BufferFileSize() != 0)
            videoCap1_->SaveCapture();
        motion_->CaptureEnded();
    } else if (id == platform::IDS_CAP_BEGIN) {
        SetRecordingLook(true);
    }
}

void TMain::Video1Status()
{
    const bool driver = videoCap1_->DriverIndex() != -1;
    ui->CheckPrev->setEnabled(driver);
    // While the website update runs, compression stays locked.
    ui->menuVideoCompression1->setEnabled(driver && update_->State() == TWebsiteUpdate::UpdateState::Idle);
    ui->Edit1->setText(QString::number(videoCap1_->PreviewRate()));
    ui->CheckOverl->setEnabled(videoCap1_->HasOverlay());
    ui->CheckPrev->setChecked(videoCap1_->VideoPreview());
    ui->CheckOverl->setChecked(videoCap1_->VideoOverlay());
    ui->menuVideoFormat1->setEnabled(videoCap1_->HasDlgFormat());
    ui->menuVideoDisplay1->setEnabled(videoCap1_->HasDlgDisplay());
    ui->menuVideoSource1->setEnabled(videoCap1_->HasDlgSource());
    TickBox(ui->CheckFitWindow, &TMain::CheckFitWindowClick);
}

void TMain::menuVideoDriver1Click()
{
    // Closes the driver, lets the user choose and reopens it whatever the
    // answer; without a driver the reopening raises. Only this choice
    // changes the driver that is kept for the next run.
    try {
        TDlgCapDriver::SelectDriver(*videoCap1_, this);
    } catch (...) {
        driverChoice_.Remember(*videoCap1_);
        throw;
    }
    driverChoice_.Remember(*videoCap1_);
}

void TMain::menuCaptureparameter1Click()
{
    TDlgCapParam dialog(videoCap1_, this);
    dialog.SetSettingsFileName(files_.SettingsFile());
    dialog.exec();
}

void TMain::menuVideoFormat1Click()
{
    videoCap1_->DlgVideoFormat();
}

void TMain::menuVideoSource1Click()
{
    videoCap1_->DlgVideoSource();
}

void TMain::menuVideoDisplay1Click()
{
    videoCap1_->DlgVideoDisplay();
}

void TMain::menuVideoCompression1Click()
{
    videoCap1_->DlgVideoCompression();
}

// ---------------------------------------------------------------------------
// Website update

namespace {
const QString kStopping = QStringLiteral("Stopping the website update...");
}  // namespace

void TMain::BitBtnFrameCapClick()
{
    update_->StartStop(ui->EditInterval->text());
}

void TMain::Timer1Timer()
{
    update_->Tick();
}

void TMain::ShowUpdateState(TWebsiteUpdate::UpdateState state)
{
    switch (state) {
    case TWebsiteUpdate::UpdateState::Active:
        SetActiveLook(true);
        LockForUpdate(true);
        break;
    case TWebsiteUpdate::UpdateState::Stopping:
        SetActiveLook(false);
        LockForUpdate(false);
        // Shows at once that the stop is under way; a second press does nothing.
        ui->BitBtnFrameCap->setEnabled(false);
        ui->menuPeriodicUpdate->setEnabled(false);
        SetStatusPanelText(1, kStopping);
        break;
    case TWebsiteUpdate::UpdateState::Idle:
        ui->stWebUpdate->setVisible(false);
        ui->BitBtnFrameCap->setEnabled(true);
        ui->menuPeriodicUpdate->setEnabled(true);
        if (StatusPanelText(1) == kStopping)
            SetStatusPanelText(1, QString());
        break;
    }
}

void TMain::SetActiveLook(bool active)
{
    ui->BitBtnFrameCap->setStyleSheet(active ? kRed : kGreen);
    ui->BitBtnFrameCap->setText(active ? QStringLiteral("Stop") : QStringLiteral("Start"));
    SetLamp(active);
    if (active)
        ui->stWebUpdate->setVisible(true);
    ui->menuPeriodicUpdate->setText(active ? QStringLiteral("Stop Web Update") : QStringLiteral("Start Web Update"));
}

void TMain::LockForUpdate(bool locked)
{
    const bool enabled = !locked;
    ui->GroupBox1->setEnabled(enabled);
    ui->GroupBox2->setEnabled(enabled);
    ui->EditInterval->setEnabled(enabled);
    ui->menuVideoDriver1->setEnabled(enabled);
    ui->menuCaptureparameter1->setEnabled(enabled);
    ui->menuVideoCompression1->setEnabled(enabled && videoCap1_->DriverIndex() != -1);
    ui->menuNetwork->setEnabled(enabled);
    ui->menuSnapshot->setEnabled(enabled);
    ui->menuVideo->setEnabled(enabled);
    ui->menuWizard->setEnabled(enabled);
}

void TMain::SetLamp(bool uploading)
{
    QPalette palette = ui->lblColor->palette();
    palette.setColor(QPalette::Window,
                     uploading ? QColor(255, 0, 0) : ui->lblColor->style()->standardPalette().color(QPalette::Button));
    ui->lblColor->setPalette(palette);
}
