#include "app/Main.h"

#include "app/CameraChoice.h"
#include "app/CameraShare.h"
#include "app/CaptureControls.h"
#include "app/ErrorLog.h"
#include "app/MotionWatch.h"
#include "app/PrivacyMasks.h"
#include "app/ProfileMenu.h"
#include "app/Profiles.h"
#include "app/UpdatePictures.h"
#include "capture/videocap.h"
#include "platform/application.h"
#include "platform/dialogs.h"
#include "ui/AboutDlg.h"
#include "ui/Caption.h"
#include "ui/DigitFilter.h"
#include "ui/ErrorLook.h"
#include "ui/HtmlHelpBridge.h"
#include "ui/LogForm.h"
#include "ui/Network.h"
#include "ui/StatusHints.h"
#include "ui/URL.h"
#include "ui_Main.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QShowEvent>
#include <QStatusBar>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kMainWidth = 561;
constexpr int kMainHeight = 372;
constexpr int kVideoPanelMaxWidth = 603;

// The hints of the two start/stop buttons, as a click would act.
const char* const kStartUpdateHint = "Click to start periodic image transmission.";
const char* const kStopUpdateHint = "Click to stop periodic image transmission.";
const char* const kStartVideoHint = "Click to start manual video recording.";
const char* const kStopVideoHint = "Click to stop manual video recording.";

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
    : TMain(programFolder.isEmpty() ? app::ProgramFiles::OfExecutable() : app::ProgramFiles(programFolder), parent)
{
}

TMain::TMain(const app::ProgramFiles& files, QWidget* parent)
    : QMainWindow(parent),
      files_(files),
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
    cameraClaim_ = std::make_unique<app::TCameraClaim>(app::CameraClaimsFolder(files_), files_.Profile());
    videoCap1_->OnClaim = [this](const QString& identity) { return cameraClaim_->Take(identity); };
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

    capture_ = std::make_unique<app::TCaptureControls>(*ui, *videoCap1_, files_, driverChoice_, this);
    capture_->UpdateIdle = [this] { return update_->State() == TWebsiteUpdate::UpdateState::Idle; };
    capture_->OnStatusText = [this](const QString& text) { SetStatusPanelText(1, text); };
    capture_->OnCaptureEnded = [this] { motion_->CaptureEnded(); };
    app::SetButtonColour(ui->BitBtnFrameCap, false);
    InstallDigitFilter(ui->Edit1);
    InstallDigitFilter(ui->EditInterval);
    InstallHints();
    ConnectControls();

    SetCaption();
    // Single fixed border: the user cannot drag the size.
    setFixedSize(kMainWidth, kMainHeight);
    FormResize();
}

TMain::~TMain()
{
    driverChoice_.Save();
    privacy_.reset();
    motion_.reset();
    update_.reset();
    capture_.reset();
    videoCap1_->OnError = nullptr;
    videoCap1_->OnClaim = nullptr;
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
        capture_->RestoreLocalDisplay();
    };
    update_->Attach(*errorLog_);
    cameraShare_ = std::make_unique<app::TCameraShare>(*videoCap1_);
    cameraShare_->CanRelease = [this] {
        // Hidden counts once the window was shown or started in the tray; before its
        // first showing the window is merely not up yet.
        const bool outOfSight = isMinimized() || (!isVisible() && (shownOnce_ || startedHidden_));
        return outOfSight && UpdateActive() && !videoCap1_->CapturingNow() &&
               !(motion_ && motion_->Settings().enabled);
    };
    cameraShare_->MsUntilTick = [this] { return Timer1().isActive() ? Timer1().remainingTime() : -1; };
    cameraShare_->OnBusy = [this](const QString& reason) {
        errorLog_->Error(QStringLiteral("The camera could not be opened for the update: ") + reason);
    };
    update_->Pictures().OnGrabFrame = [this] { return cameraShare_->Grab(); };
    update_->Pictures().OnCaptionDrawn = [this](const QImage& caption) {
        ui->Image1->resize(caption.size());
        ui->Image1->setPixmap(QPixmap::fromImage(caption));
    };
    motion_ = std::make_unique<TMotionWatch>(*videoCap1_, files_, *errorLog_, ui->StatusBar1);
    motion_->OnUpload = [this](const QImage& picture) { return update_->UploadMotionPicture(picture); };
    privacy_ = std::make_unique<TPrivacyMasks>(*videoCap1_, *motion_, *errorLog_);
}

// ---------------------------------------------------------------------------
// Creation, showing, closing

void TMain::FormCreate()
{
    Q_ASSERT(logForm_ && frmNetwork_);
    resize(kMainWidth, kMainHeight);
    SetCaption();

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

    // Before anything opens the camera: no frame may leave it unmasked.
    attempt([this] { privacy_->Load(programSettings_); });

    attempt([this] {
        driverChoice_.Restore(*videoCap1_);
        if (videoCap1_->DriverName().isEmpty()) {
            platform::Dialogs().MessageBeep();
            platform::Dialogs().MessageDlg(
                QStringLiteral("Could not activate video input device. Select a capture driver first."),
                platform::MsgDlgType::Warning, platform::mbOK);
            // Closing from outside already: nobody is there to choose.
            if (!closingFromOutside_)
                capture_->SelectDriver();
        }
    });
    attempt([this] { LoadSettings(); });

    attempt([this] { motion_->Apply(programSettings_.ReadMotion()); });
    attempt([this] { update_->Pictures().SetPictureCaption(programSettings_.ReadCaption()); });

    ui->EditCapPicture->setText(QStringLiteral("Snapshot.bmp"));
    ui->EditVideoFile->setText(videoCap1_->VideoFileName());

    attempt([this] { videoCap1_->SetDriverOpen(true); });
    attempt([this] { capture_->RestoreLocalDisplay(); });

    if (QFile::exists(files_.HelpFile()))
        apphelp::SetHelpFile(files_.HelpFile());

    if (autoStart_)
        attempt([this] { BitBtnFrameCapClick(); });
    if (!failure.isEmpty())
        ReportFailure(failure);
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
    findChild<QAction*>(QStringLiteral("menuReleaseCamera"))->setChecked(s.releaseCamera);
    autoStart_ = s.account.autoStart;

    // Last: a buffer file that cannot be made while the driver is open raises.
    videoCap1_->SetBufferFileSize(s.bufferSize);
}

void TMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    FollowCameraShare();
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

void TMain::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        FollowCameraShare();
}

void TMain::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    FollowCameraShare();
}

void TMain::FollowCameraShare()
{
    if (!cameraShare_ || Closed())
        return;
    // The live picture is back in sight: the camera is the window's again.
    if (cameraShare_->Released() && !cameraShare_->CanRelease()) {
        if (cameraShare_->Reclaim())
            capture_->RestoreLocalDisplay();
        return;
    }
    cameraShare_->ReleaseIfIdle();
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
    // The window shows about half of panel 1: a long error reads in full here.
    if (index == 1)
        statusPanels_[index]->setToolTip(text);
}

void TMain::ShowUploadFailing(bool failing)
{
    if (failing == uploadFailing_)
        return;
    uploadFailing_ = failing;
    SetErrorLook(statusPanels_[1], failing);
    SetCaption();
}

void TMain::SetCaption()
{
    setWindowTitle(app::ProgramTitle(files_.Profile()) + QStringLiteral(" - Remote Surveillance") +
                   (uploadFailing_ ? QStringLiteral(" \u2014 upload failing") : QString()));
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
        {ui->BtStartStop, kStartVideoHint},
        {ui->EditInterval, "Interval (in minutes) after which a new image is transmitted to remote host."},
        {ui->BitBtnFrameCap, kStartUpdateHint},
        {videoCap1_, ""},
        {ui->GroupBox1, ""},
        {ui->GroupBox2, ""},
        {ui->GroupBox3, ""},
    };
    hints_ = new TStatusHints([this](const QString& hint) { SetStatusPanelText(0, hint); }, this);
    for (const Hint& h : hints)
        hints_->Add(h.control, QString::fromUtf8(h.text));
    capture_->OnRecordingLook = [this](bool recording) {
        hints_->Change(ui->BtStartStop, QString::fromUtf8(recording ? kStopVideoHint : kStartVideoHint));
    };
}

void TMain::ConnectControls()
{
    connect(ui->menuExit, &QAction::triggered, this, [this] { menuExitClick(); });
    connect(ui->menuAbout1, &QAction::triggered, this, [this] { menuAbout1Click(); });
    connect(ui->menuNetwork, &QAction::triggered, this, [this] { menuNetworkClick(); });
    connect(ui->menuMotion, &QAction::triggered, this, [this] { menuMotionClick(); });
    connect(ui->menuPrivacyMasks, &QAction::triggered, this, [this] { menuPrivacyMasksClick(); });
    connect(ui->menuCaption, &QAction::triggered, this, [this] { menuCaptionClick(); });
    // "Release the camera between updates", after "Motion Detection...".
    auto* releaseCamera = new QAction(QStringLiteral("&Release the Camera between Updates"), this);
    releaseCamera->setObjectName(QStringLiteral("menuReleaseCamera"));
    releaseCamera->setCheckable(true);
    releaseCamera->setChecked(true);
    releaseCamera->setStatusTip(QStringLiteral("While the window is minimised, let other programs use the camera between updates"));
    const QList<QAction*> settingsItems = ui->menuSettings->actions();
    const qsizetype motionAt = settingsItems.indexOf(ui->menuMotion);
    ui->menuSettings->insertAction(motionAt + 1 < settingsItems.size() ? settingsItems[motionAt + 1] : nullptr, releaseCamera);
    connect(releaseCamera, &QAction::toggled, this, [this](bool on) {
        programSettings_.releaseCamera = on;  // saved at close
        cameraShare_->SetEnabled(on);
        if (!on && cameraShare_->Released() && cameraShare_->Reclaim())
            capture_->RestoreLocalDisplay();
        FollowCameraShare();
    });
    connect(ui->menuWizard, &QAction::triggered, this, [this] { menuWizardClick(); });
    profileMenu_ = new app::TProfileMenu(*ui->menuFile, ui->menuViewErrorLog, files_, *this);
    connect(ui->GotoWebsite1, &QAction::triggered, this, [this] { GotoWebsite1Click(); });
    connect(ui->menuHelp2, &QAction::triggered, this, [this] { menuHelp2Click(); });
    connect(ui->menuHelpIndex, &QAction::triggered, this, [this] { menuHelpIndexClick(); });
    connect(ui->menuViewErrorLog, &QAction::triggered, this, [this] { menuViewErrorLogClick(); });
    // The two log options flip their own tick when chosen; the error log follows it.
    connect(ui->menuLogErrors, &QAction::toggled, this, [this](bool on) {
        if (errorLog_)
            errorLog_->SetLogErrors(on);
    });
    connect(ui->menuErrorBeep, &QAction::toggled, this, [this](bool on) {
        if (errorLog_)
            errorLog_->SetErrorBeep(on);
    });

    connect(ui->BitBtnFrameCap, &QPushButton::clicked, this, [this] { BitBtnFrameCapClick(); });
    // "Start" is the window's default button; outside dialogs Qt leaves
    // Return to the field.
    connect(ui->EditInterval, &QLineEdit::returnPressed, this, [this] {
        if (ui->BitBtnFrameCap->isEnabled())
            BitBtnFrameCapClick();
    });
    connect(ui->menuPeriodicUpdate, &QAction::triggered, this, [this] { BitBtnFrameCapClick(); });

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
    TAboutDlg::Execute(this, QDir::toNativeSeparators(files_.Folder()), app::ProgramTitle(files_.Profile()));
}

void TMain::BringToFront()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void TMain::menuNetworkClick()
{
    frmNetwork_->exec();
}

void TMain::menuMotionClick()
{
    motion_->EditSettings(this, [this](const settings::MotionSettings& chosen) { programSettings_.SaveMotion(chosen); });
}

void TMain::menuPrivacyMasksClick()
{
    privacy_->Edit(this, [this](const settings::PrivacyMaskSettings& chosen) { programSettings_.SavePrivacyMasks(chosen); });
}

void TMain::menuCaptionClick()
{
    TfrmCaption dialog(this);
    dialog.setObjectName(QStringLiteral("frmCaption"));
    dialog.SetSettings(update_->Pictures().PictureCaption());
    dialog.OnSave = [this](const settings::CaptionSettings& chosen) { programSettings_.SaveCaption(chosen); };
    if (dialog.exec() == QDialog::Accepted)
        update_->Pictures().SetPictureCaption(dialog.Settings());
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

void TMain::VideoCap1Error(int errorId, const QString& text)
{
    if (cameraShare_ && cameraShare_->Reopening())
        return;  // the share says it once
    errorLog_->CaptureError(errorId, text);
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
    app::SetButtonColour(ui->BitBtnFrameCap, active);
    ui->BitBtnFrameCap->setText(active ? QStringLiteral("Stop") : QStringLiteral("Start"));
    hints_->Change(ui->BitBtnFrameCap, QString::fromUtf8(active ? kStopUpdateHint : kStartUpdateHint));
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
