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
#include "upload/UploadSequence.h"

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
constexpr int kMinutesMs = 60000;
// A close waits for each upload (the running one, then the stop pictures) no
// longer than this, whatever the FTP time limit: a silent server must not
// hold the end of the program.
constexpr int kCloseWaitMs = 15000;

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

// The update interval in minutes from the field's text: 1 to 999. Anything
// that is not a number (an emptied field) counts as 1.
int ClampedInterval(const QString& text, bool& clamped)
{
    bool digits = !text.isEmpty();
    for (QChar c : text)
        digits = digits && c.isDigit() && c.unicode() < 128;
    clamped = true;
    if (!digits)
        return 1;
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok || value > 999)
        return 999;
    if (value < 1)
        return 1;
    clamped = false;
    return static_cast<int>(value);
}

}  // namespace

TMain::TMain(const QString& programFolder, QWidget* parent)
    : QMainWindow(parent),
      files_(programFolder.isEmpty() ? platform::Application::ProgramFolder() : programFolder),
      ui(std::make_unique<Ui::TMain>()),
      programSettings_(files_.SettingsFile())
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

    // The FTP client's design values.
    ftpClient_.setObjectName(QStringLiteral("FtpClient"));
    ftpClient_.SetTimeout(15);
    ftpClient_.SetMultiThreaded(false);
    ftpClient_.SetPort(QStringLiteral("ftp"));
    ftpClient_.SetLocalAddr(QStringLiteral("0.0.0.0"));
    ftpClient_.SetDisplayFileFlag(false);
    ftpClient_.SetBinary(true);
    ftpClient_.SetShareMode(ftpShareDenyNone);
    ftpClient_.SetOptions(TFtpOptions{ftpAcceptLF});
    ftpClient_.SetConnectionType(ftpDirect);
    // Passive, as the account's built-in choice, until a stored one applies.
    ftpClient_.SetPassiveMode(settings::FtpAccount().passiveMode);
    ftpClient_.OnRequestDone = [this](TCustomFtpCli*, TFtpRequest rq, std::uint16_t error) {
        FtpClientRequestDone(rq, error);
    };
    ftpClient_.OnCommand = [this](TCustomFtpCli*, QString& cmd) { FtpClientCommand(cmd); };

    upload_ = std::make_unique<TUploadSequence>(ftpClient_);
    upload_->OnFailure = [this](const QString& message) {
        ftpClient_.SetTag(0);
        uploadError_ = message;
        errorLog_->FtpError(message);
        platform::Dialogs().SetCursor(platform::Cursor::Default);
    };
    upload_->OnFinished = [this] { UploadFinished(); };
    upload_->OnNote = [this](const QString& text) { errorLog_->Note(text); };
    closeDeadline_.setSingleShot(true);
    connect(&closeDeadline_, &QTimer::timeout, this, [this] { upload_->Abandon(); });

    timer1_.setObjectName(QStringLiteral("Timer1"));
    timer1_.setTimerType(Qt::CoarseTimer);
    connect(&timer1_, &QTimer::timeout, this, [this] { Timer1Timer(); });

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
    // The driver the user chose survives to the next run, also when its
    // device was lost during this one.
    try {
        settings::WriteDriverChoice(files_.DriverSettingsFile(), chosenDriverIndex_, chosenDriverIdentity_);
    } catch (const std::exception&) {
        // Nothing can be reported any more: the program is ending.
    }
    timer1_.stop();
    closeDeadline_.stop();
    ftpClient_.OnRequestDone = nullptr;
    ftpClient_.OnCommand = nullptr;
    motion_.reset();
    upload_.reset();
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
    frmNetwork_->OnApplyFtpSettings = [this](const settings::FtpAccount&) { ApplyAccount(); };
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
    updatePictures_ = std::make_unique<TUpdatePictures>(files_, *errorLog_);
    updatePictures_->OnGrabFrame = [this](const QString& bitmapFile) {
        videoCap1_->SetSingleImageFile(bitmapFile);
        videoCap1_->GrabFrameNoStop();
        return videoCap1_->SaveAsDIB();
    };
    updatePictures_->OnCaptionDrawn = [this](const QImage& caption) {
        ui->Image1->resize(caption.size());
        ui->Image1->setPixmap(QPixmap::fromImage(caption));
    };
    motion_ = std::make_unique<TMotionWatch>(*videoCap1_, files_, *errorLog_, ui->StatusBar1);
    motion_->OnUpload = [this](const QImage& picture) { return UploadMotionPicture(picture); };
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
        const QString file = files_.DriverSettingsFile();
        const int index = app::StoredDriverIndex(file);
        // A camera absent at start is still the one chosen.
        chosenDriverIndex_ = index >= 0 ? index : settings::ReadDriverIndex(file);
        chosenDriverIdentity_ = settings::ReadDriverIdentity(file);
        videoCap1_->SetDriverIndex(index);
        // Older files name no device: the one opened is the one chosen.
        if (chosenDriverIdentity_.isEmpty())
            chosenDriverIdentity_ = videoCap1_->DriverIdentity();
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
    // Without a file the client keeps its design values.
    if (s.Load())
        ApplyFtpAccount(ftpClient_, s.account);

    ui->EditInterval->setText(s.updateInterval);
    videoCap1_->SetFrameRate(s.frameRate);
    videoCap1_->SetCapTimeLimit(s.captureTime);
    videoCap1_->SetCapIndexSize(s.indexSize);
    videoCap1_->SetCapAudio(s.captureAudio);
    ui->menuLogErrors->setChecked(s.logErrors);
    ui->menuErrorBeep->setChecked(s.errorBeep);
    firstRun_ = s.firstRun;
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
        if (firstRun_ && !closed_)
            ShowWizard();
    }, Qt::QueuedConnection);
}

void TMain::closeEvent(QCloseEvent* event)
{
    if (closed_) {
        event->accept();
        return;
    }
    // The window stays until the close-time work is done.
    event->ignore();
    if (wizardShowing_) {
        // The wizard drives the same FTP client: the close follows once it has ended.
        pendingClose_ = true;
        return;
    }
    if (!closing_)
        FormClose();
    // Nothing to wait for: closed at once.
    event->setAccepted(closed_);
}

void TMain::FormClose()
{
    closing_ = true;
    SaveSettings();
    if (SequenceRunning()) {
        // The running upload gets its time to end, then the stop pictures follow.
        BoundCloseWait();
        return;
    }
    ContinueClose();
}

void TMain::ContinueClose()
{
    if (update_ != Update::Idle && !stopUploaded_) {
        timer1_.stop();
        if (update_ == Update::Active && OnUpdateStopped)
            OnUpdateStopped();
        stopUploaded_ = true;
        if (StartUpload(Upload::StopPictures,
                        PicturesJob(TUploadPurpose::StopPictures, files_.StopCapJpg(), files_.StopTimeBmp()))) {
            BoundCloseWait();
            return;
        }
    }
    if (!closeQuitSent_) {
        closeQuitSent_ = true;
        if (upload_->StartQuit()) {
            uploadPurpose_ = Upload::Quit;
            BoundCloseWait();
            return;
        }
    }
    if (stopUploaded_)
        ui->stWebUpdate->setVisible(false);
    files_.DeleteWorkingPictures();
    if (logForm_)
        logForm_->hide();
    closed_ = true;
    emit CloseCompleted();
    close();
}

void TMain::BoundCloseWait()
{
    closeDeadline_.start(std::min(TUploadSequence::TimeoutMs(ftpClient_.Timeout()), kCloseWaitMs));
}

void TMain::SaveSettings()
{
    // The values loaded or accepted, never what a dialog holds half-typed.
    try {
        programSettings_.SaveAtClose(ui->EditInterval->text(), ui->menuLogErrors->isChecked(),
                                     ui->menuErrorBeep->isChecked(), firstRun_);
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
    WizardHandOver();
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
        if (update_ == Update::Idle)
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
    ui->menuVideoCompression1->setEnabled(driver && update_ == Update::Idle);
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
        RememberChosenDriver();
        throw;
    }
    RememberChosenDriver();
}

void TMain::RememberChosenDriver()
{
    chosenDriverIndex_ = videoCap1_->DriverIndex();
    chosenDriverIdentity_ = videoCap1_->DriverIdentity();
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

bool TMain::SequenceRunning() const
{
    return upload_->Running();
}

void TMain::BitBtnFrameCapClick()
{
    if (closing_)
        return;
    switch (update_) {
    case Update::Idle:
        StartUpdate();
        break;
    case Update::Active:
        StopUpdate();
        break;
    case Update::Stopping:
        break;  // already under way
    }
}

void TMain::StartUpdate()
{
    update_ = Update::Active;
    stopUploaded_ = false;
    upload_->NewRun();
    SetActiveLook(true);
    LockForUpdate(true);
    if (OnUpdateStarted)
        OnUpdateStarted();
    bool clamped = false;
    const int minutes = ClampedInterval(ui->EditInterval->text(), clamped);
    if (clamped)
        ui->EditInterval->setText(QString::number(minutes));
    timer1_.setInterval(minutes * kMinutesMs);
    // The first tick follows one interval after the start's upload has ended.
    if (SequenceRunning()) {
        timer1_.start();
    } else if (!UploadPictures(true)) {
        timer1_.start();
        ReportUpload(false);
    }
}

void TMain::StopUpdate()
{
    timer1_.stop();
    update_ = Update::Stopping;
    stopUploaded_ = false;
    SetActiveLook(false);  // "Active" stays until the stop pictures are up
    LockForUpdate(false);
    if (OnUpdateStopped)
        OnUpdateStopped();
    // Shows at once that the stop is under way; a second press does nothing.
    ui->BitBtnFrameCap->setEnabled(false);
    ui->menuPeriodicUpdate->setEnabled(false);
    SetStatusPanelText(1, kStopping);
    if (!SequenceRunning())
        UploadStopPictures();
}

void TMain::UploadStopPictures()
{
    stopUploaded_ = true;
    if (!StartUpload(Upload::StopPictures,
                     PicturesJob(TUploadPurpose::StopPictures, files_.StopCapJpg(), files_.StopTimeBmp())))
        StopFinished();
}

void TMain::StopFinished()
{
    ui->stWebUpdate->setVisible(false);
    update_ = Update::Idle;
    ui->BitBtnFrameCap->setEnabled(true);
    ui->menuPeriodicUpdate->setEnabled(true);
    if (StatusPanelText(1) == kStopping)
        SetStatusPanelText(1, QString());
}

void TMain::Timer1Timer()
{
    // A tick while an upload runs is skipped: the next one renews the pictures.
    if (update_ == Update::Stopping || SequenceRunning() || wizardShowing_ || closing_)
        return;
    cameraReturn_->TryNow();
    if (!UploadPictures(false))
        ReportUpload(false);
}

TUploadJob TMain::PicturesJob(TUploadPurpose asked, const QString& picture, const QString& caption) const
{
    // The page shows whatever went up under these two names.
    TUploadJob job;
    job.purpose = asked;
    job.account = programSettings_.account;
    job.files = {{picture, QStringLiteral("Capture.jpg")}, {caption, QStringLiteral("datetime.bmp")}};
    job.safe = programSettings_.account.safeUpload;
    return job;
}

bool TMain::StartUpload(Upload purpose, const TUploadJob& job)
{
    if (!upload_->Start(job))
        return false;
    uploadPurpose_ = purpose;
    if (purpose == Upload::Pictures)
        SetLamp(true);
    return true;
}

void TMain::ApplyAccount()
{
    // A running sequence keeps the account it started with.
    accountPending_ = SequenceRunning();
    if (!accountPending_)
        ApplyFtpAccount(ftpClient_, programSettings_.account);
}

void TMain::UploadFinished()
{
    if (accountPending_)
        ApplyAccount();
    const Upload finished = uploadPurpose_;
    uploadPurpose_ = Upload::None;
    emit SequenceFinished();
    closeDeadline_.stop();
    if (finished == Upload::Pictures)
        SetLamp(false);
    if (closing_) {
        ContinueClose();
        return;
    }
    if (finished == Upload::StopPictures)
        StopFinished();
    if (update_ == Update::Active && !timer1_.isActive())
        timer1_.start();
    if (finished == Upload::Pictures)
        ReportUpload(true);
    if (update_ == Update::Stopping && !stopUploaded_) {
        UploadStopPictures();
        return;
    }
    RunDeferred();
}

void TMain::WizardHandOver()
{
    if (SequenceRunning()) {
        pendingWizard_ = true;
        return;
    }
    if (upload_->StartQuit()) {
        // The wizard opens once the session has ended.
        uploadPurpose_ = Upload::Quit;
        pendingWizard_ = true;
        return;
    }
    ShowWizard();
}

void TMain::ShowWizard()
{
    if (!OnShowWizard || wizardShowing_)
        return;
    wizardShowing_ = true;
    OnShowWizard();
    wizardShowing_ = false;
    RunDeferred();
}

void TMain::RunDeferred()
{
    if (SequenceRunning() || wizardShowing_)
        return;
    if (pendingClose_) {
        pendingClose_ = false;
        pendingWizard_ = false;
        // Queued: the close must not run inside the handler that ended the wizard.
        QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
        return;
    }
    if (pendingWizard_) {
        pendingWizard_ = false;
        // Every sequence that ended well ended its session: nothing to hand over.
        QMetaObject::invokeMethod(this, [this] {
            if (!closing_)
                ShowWizard();
        }, Qt::QueuedConnection);
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

bool TMain::UploadPictures(bool atStart)
{
    bool fresh = false;
    try {
        fresh = updatePictures_->Produce(atStart ? TUpdatePictures::Moment::Start : TUpdatePictures::Moment::Tick);
    } catch (const Exception& e) {
        // Unattended: a box would wait for nobody. Report like any failure,
        // logged once while it repeats; the next tick tries again.
        SetStatusPanelText(1, e.Message());
        uploadError_ = e.Message();
        if (e.Message() != pictureFailure_)
            errorLog_->Append(errorLog_->Stamp() + QStringLiteral(" :   Error = ") + e.Message());
        pictureFailure_ = e.Message();
        return false;
    }
    pictureFailure_.clear();
    uploadError_ = fresh ? QString() : TErrorLog::FrameNotSaved();
    // Without a fresh frame the page shows that the camera is off.
    if (fresh)
        return StartUpload(Upload::Pictures,
                           PicturesJob(TUploadPurpose::Update, files_.CaptureJpg(), files_.DateTimeBmp()));
    return StartUpload(Upload::Pictures,
                       PicturesJob(TUploadPurpose::Update, files_.StopCapJpg(), files_.StopTimeBmp()));
}

bool TMain::UploadMotionPicture(const QImage& picture)
{
    // Never beside another upload: the files it sends would change under it.
    if (update_ != Update::Active || SequenceRunning() || wizardShowing_ || closing_)
        return false;
    try {
        updatePictures_->ProduceFrom(picture);
    } catch (const Exception& e) {
        errorLog_->Error(e.Message());
        return false;
    }
    uploadError_.clear();
    return StartUpload(Upload::Pictures,
                       PicturesJob(TUploadPurpose::Motion, files_.CaptureJpg(), files_.DateTimeBmp()));
}

void TMain::FtpClientRequestDone(TFtpRequest /*rqType*/, std::uint16_t error)
{
    // The end of a request the sequence gave up after its time-out, which
    // was reported then, or a refused rename that the sequence answers.
    if (!upload_->RequestDone(error))
        return;
    // Only 0 is success: a reply the client did not accept, whatever its
    // code, means the request did not do what was asked.
    if (error == 0) {
        ftpClient_.SetTag(1);
    } else {
        QString message = ftpClient_.ErrorMessage();
        if (message.isEmpty())
            message = QStringLiteral("Error %1").arg(error);
        uploadError_ = message;
        errorLog_->FtpError(message);
        ftpClient_.SetTag(0);
    }
    platform::Dialogs().SetCursor(platform::Cursor::Default);
}

void TMain::ReportUpload(bool picturesMade)
{
    if (!OnUploadDone)
        return;
    const bool ok = picturesMade && ftpClient_.Tag() == 1 && uploadError_.isEmpty();
    const QDateTime nextDue =
        timer1_.isActive() ? QDateTime::currentDateTime().addMSecs(timer1_.remainingTime()) : QDateTime();
    OnUploadDone(ok, ok ? QString() : uploadError_, nextDue);
}

void TMain::FtpClientCommand(QString& /*command*/)
{
    platform::Dialogs().SetCursor(platform::Cursor::HourGlass);
}
