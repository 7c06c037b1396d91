#include "app/WebsiteUpdate.h"

#include "app/CameraChoice.h"
#include "app/ErrorLog.h"
#include "app/UpdatePictures.h"
#include "platform/dialogs.h"
#include "upload/SftpSequence.h"
#include "upload/UploadSequence.h"

#include <algorithm>

namespace {

constexpr int kMinutesMs = 60000;
// A close waits for each upload (the running one, then the stop pictures) no
// longer than this, whatever the FTP time limit: a silent server must not
// hold the end of the program.
constexpr int kCloseWaitMs = 15000;

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

TWebsiteUpdate::TWebsiteUpdate(const app::ProgramFiles& files, settings::TProgramSettings& settings,
                               app::TCameraReturn& camera)
    : files_(files), settings_(settings), camera_(camera)
{
    // The FTP client's design values; the account comes with each job.
    ftpClient_.setObjectName(QStringLiteral("FtpClient"));
    ftpClient_.SetMultiThreaded(false);
    ftpClient_.SetLocalAddr(QStringLiteral("0.0.0.0"));
    ftpClient_.SetDisplayFileFlag(false);
    ftpClient_.SetBinary(true);
    ftpClient_.SetShareMode(ftpShareDenyNone);
    ftpClient_.SetOptions(TFtpOptions{ftpAcceptLF});
    ftpClient_.SetConnectionType(ftpDirect);
    ftpClient_.OnRequestDone = [this](TCustomFtpCli*, TFtpRequest, std::uint16_t error) { RequestDone(error); };
    ftpClient_.OnCommand = [](TCustomFtpCli*, QString&) {
        platform::Dialogs().SetCursor(platform::Cursor::HourGlass);
    };

    upload_ = std::make_unique<TUploadSequence>(ftpClient_);
    sftp_ = std::make_unique<TSftpSequence>();
    current_ = upload_.get();
    Wire(*upload_);
    Wire(*sftp_);
    closeDeadline_.setSingleShot(true);
    connect(&closeDeadline_, &QTimer::timeout, this, [this] { current_->Abandon(TUploadGiveUp::Closing); });

    timer1_.setObjectName(QStringLiteral("Timer1"));
    timer1_.setTimerType(Qt::CoarseTimer);
    connect(&timer1_, &QTimer::timeout, this, [this] { Tick(); });
}

TWebsiteUpdate::~TWebsiteUpdate()
{
    timer1_.stop();
    closeDeadline_.stop();
    ftpClient_.OnRequestDone = nullptr;
    ftpClient_.OnCommand = nullptr;
    upload_.reset();
    sftp_.reset();
}

void TWebsiteUpdate::Wire(TUploadTransport& transport)
{
    transport.OnFailure = [this](const QString& message) {
        uploadError_ = message;
        errorLog_->FtpError(message);
        platform::Dialogs().SetCursor(platform::Cursor::Default);
    };
    transport.OnFinished = [this] { UploadFinished(); };
    transport.OnNote = [this](const QString& text) { errorLog_->Note(text); };
}

void TWebsiteUpdate::Attach(TErrorLog& errorLog)
{
    errorLog_ = &errorLog;
    pictures_ = std::make_unique<TUpdatePictures>(files_, errorLog);
}

bool TWebsiteUpdate::Running() const
{
    return upload_->Running() || sftp_->Running();
}

bool TWebsiteUpdate::LastUploadOk() const
{
    return current_->Result().ok;
}

// ---------------------------------------------------------------------------
// Start, stop, tick

void TWebsiteUpdate::StartStop(const QString& intervalText)
{
    if (closing_)
        return;
    switch (state_) {
    case UpdateState::Idle:
        StartUpdate(intervalText);
        break;
    case UpdateState::Active:
        StopUpdate();
        break;
    case UpdateState::Stopping:
        break;  // already under way
    }
}

void TWebsiteUpdate::StartUpdate(const QString& intervalText)
{
    stopUploaded_ = false;
    upload_->NewRun();
    sftp_->NewRun();
    SetState(UpdateState::Active);
    if (OnUpdateStarted)
        OnUpdateStarted();
    bool clamped = false;
    const int minutes = ClampedInterval(intervalText, clamped);
    if (clamped && OnIntervalCorrected)
        OnIntervalCorrected(QString::number(minutes));
    timer1_.setInterval(minutes * kMinutesMs);
    // The first tick follows one interval after the start's upload has ended.
    if (Running()) {
        timer1_.start();
    } else if (!UploadPictures(true)) {
        timer1_.start();
        ReportUpload(false);
    }
}

void TWebsiteUpdate::StopUpdate()
{
    timer1_.stop();
    stopUploaded_ = false;
    SetState(UpdateState::Stopping);  // "Active" stays until the stop pictures are up
    if (OnUpdateStopped)
        OnUpdateStopped();
    if (!Running())
        UploadStopPictures();
}

void TWebsiteUpdate::SetState(UpdateState state)
{
    state_ = state;
    if (OnStateChanged)
        OnStateChanged(state);
}

void TWebsiteUpdate::Lamp(bool uploading)
{
    if (OnLamp)
        OnLamp(uploading);
}

void TWebsiteUpdate::UploadStopPictures()
{
    stopUploaded_ = true;
    if (!StartUpload(Upload::StopPictures,
                     PicturesJob(TUploadPurpose::StopPictures, files_.StopCapJpg(), files_.StopTimeBmp())))
        StopFinished();
}

void TWebsiteUpdate::StopFinished()
{
    SetState(UpdateState::Idle);
}

void TWebsiteUpdate::Tick()
{
    // A tick while an upload runs is skipped: the next one renews the pictures.
    if (state_ == UpdateState::Stopping || Running() || wizardShowing_ || closing_)
        return;
    camera_.TryNow();
    if (!UploadPictures(false))
        ReportUpload(false);
}

// ---------------------------------------------------------------------------
// Uploads

TUploadJob TWebsiteUpdate::PicturesJob(TUploadPurpose asked, const QString& picture, const QString& caption) const
{
    // The page shows whatever went up under these two names.
    TUploadJob job;
    job.purpose = asked;
    job.account = settings_.account;
    job.files = {{picture, QStringLiteral("Capture.jpg")}, {caption, QStringLiteral("datetime.bmp")}};
    job.safe = settings_.account.safeUpload;
    return job;
}

bool TWebsiteUpdate::StartUpload(Upload purpose, const TUploadJob& job)
{
    TUploadTransport* transport = job.account.Sftp() ? static_cast<TUploadTransport*>(sftp_.get()) : upload_.get();
    if (Running() || !transport->Start(job))
        return false;
    current_ = transport;
    jobTimeoutSeconds_ = job.account.TimeoutSeconds();
    uploadPurpose_ = purpose;
    if (purpose == Upload::Pictures)
        Lamp(true);
    return true;
}

bool TWebsiteUpdate::StartQuit()
{
    if (Running() || !upload_->StartQuit())
        return false;
    current_ = upload_.get();
    uploadPurpose_ = Upload::Quit;
    return true;
}

bool TWebsiteUpdate::UploadPictures(bool atStart)
{
    bool fresh = false;
    try {
        fresh = pictures_->Produce(atStart ? TUpdatePictures::Moment::Start : TUpdatePictures::Moment::Tick);
    } catch (const Exception& e) {
        // Unattended: a box would wait for nobody. Report like any failure,
        // logged once while it repeats; the next tick tries again.
        if (OnStatusText)
            OnStatusText(e.Message());
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

bool TWebsiteUpdate::UploadMotionPicture(const QImage& picture)
{
    // Never beside another upload: the files it sends would change under it.
    if (state_ != UpdateState::Active || Running() || wizardShowing_ || closing_)
        return false;
    try {
        pictures_->ProduceFrom(picture);
    } catch (const Exception& e) {
        errorLog_->Error(e.Message());
        return false;
    }
    uploadError_.clear();
    return StartUpload(Upload::Pictures,
                       PicturesJob(TUploadPurpose::Motion, files_.CaptureJpg(), files_.DateTimeBmp()));
}

void TWebsiteUpdate::RequestDone(std::uint16_t error)
{
    // The sequence reports failures itself; not every end is its request's
    // (one given up after its time-out, a refusal it answers).
    if (upload_->RequestDone(error))
        platform::Dialogs().SetCursor(platform::Cursor::Default);
}

void TWebsiteUpdate::UploadFinished()
{
    const Upload finished = uploadPurpose_;
    uploadPurpose_ = Upload::None;
    if (OnSequenceFinished)
        OnSequenceFinished();
    closeDeadline_.stop();
    if (finished == Upload::Pictures)
        Lamp(false);
    if (closing_) {
        ContinueClose();
        return;
    }
    if (finished == Upload::StopPictures) {
        StopFinished();
        // The page now shows that the camera is off. Short enough for the
        // part of panel 1 that the window shows.
        if (LastUploadOk())
            ReportUploadedAt(QStringLiteral("Stop pictures sent at "));
    }
    if (state_ == UpdateState::Active && !timer1_.isActive())
        timer1_.start();
    if (finished == Upload::Pictures) {
        // While a stop waits for this upload, panel 1 keeps saying so.
        if (state_ != UpdateState::Stopping && PicturesUploaded(true))
            ReportUploadedAt(QStringLiteral("Pictures uploaded at "));
        ReportUpload(true);
    }
    if (state_ == UpdateState::Stopping && !stopUploaded_) {
        UploadStopPictures();
        return;
    }
    RunDeferred();
}

bool TWebsiteUpdate::PicturesUploaded(bool picturesMade) const
{
    return picturesMade && LastUploadOk() && uploadError_.isEmpty();
}

void TWebsiteUpdate::ReportUploadedAt(const QString& what)
{
    if (OnStatusText)
        OnStatusText(what + QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
}

void TWebsiteUpdate::ReportUpload(bool picturesMade)
{
    if (!OnUploadDone)
        return;
    const bool ok = PicturesUploaded(picturesMade);
    const QDateTime nextDue =
        timer1_.isActive() ? QDateTime::currentDateTime().addMSecs(timer1_.remainingTime()) : QDateTime();
    OnUploadDone(ok, ok ? QString() : uploadError_, nextDue);
}

// ---------------------------------------------------------------------------
// The wizard and the close

void TWebsiteUpdate::HandOverToWizard()
{
    if (Running() || StartQuit()) {
        // The wizard opens once the sequence or the session has ended.
        pendingWizard_ = true;
        return;
    }
    ShowWizard();
}

void TWebsiteUpdate::ShowWizard()
{
    if (!OnShowWizard || wizardShowing_)
        return;
    wizardShowing_ = true;
    OnShowWizard();
    wizardShowing_ = false;
    RunDeferred();
}

void TWebsiteUpdate::RunDeferred()
{
    if (Running() || wizardShowing_)
        return;
    if (pendingClose_) {
        pendingClose_ = false;
        pendingWizard_ = false;
        // Queued: the close must not run inside the handler that ended the wizard.
        QMetaObject::invokeMethod(this, [this] {
            if (OnCloseAgain)
                OnCloseAgain();
        }, Qt::QueuedConnection);
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

bool TWebsiteUpdate::DeferClose()
{
    if (wizardShowing_)
        pendingClose_ = true;
    return wizardShowing_;
}

void TWebsiteUpdate::Close()
{
    closing_ = true;
    if (OnClosing)
        OnClosing();
    if (Running()) {
        // The running upload gets its time to end, then the stop pictures follow.
        BoundCloseWait();
        return;
    }
    ContinueClose();
}

void TWebsiteUpdate::ContinueClose()
{
    if (state_ != UpdateState::Idle && !stopUploaded_) {
        timer1_.stop();
        if (state_ == UpdateState::Active && OnUpdateStopped)
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
        if (StartQuit()) {
            BoundCloseWait();
            return;
        }
    }
    files_.DeleteWorkingPictures();
    closed_ = true;
    if (OnClosed)
        OnClosed();
}

void TWebsiteUpdate::BoundCloseWait()
{
    closeDeadline_.start(std::min(TUploadTransport::TimeoutMs(jobTimeoutSeconds_), kCloseWaitMs));
}
