#include "app/UploadSequence.h"

#include <QDir>

namespace {
constexpr int kDefaultTimeoutSeconds = 15;
}  // namespace

TUploadSequence::TUploadSequence(TFtpClient& client, QString folder, QObject* parent)
    : QObject(parent), client_(client), folder_(std::move(folder))
{
    watchdog_.setSingleShot(true);
    connect(&watchdog_, &QTimer::timeout, this, [this] { TimedOut(); });
    // Data moving on the connection is progress: the limit starts again.
    client_.OnProgress = [this](TCustomFtpCli*, qint64, bool&) {
        if (watchdog_.isActive())
            watchdog_.start();
    };
}

TUploadSequence::~TUploadSequence()
{
    client_.OnProgress = nullptr;
}

int TUploadSequence::TimeoutMs(int seconds)
{
    return (seconds > 0 ? seconds : kDefaultTimeoutSeconds) * 1000;
}

bool TUploadSequence::Begin()
{
    if (Running())
        return false;
    // The client takes local file names relative to the current directory.
    QDir::setCurrent(folder_);
    return true;
}

bool TUploadSequence::StartUpload(const QString& picture, const QString& caption)
{
    if (!Begin())
        return false;
    picture_ = picture;
    caption_ = caption;
    quitOnly_ = false;
    if (client_.IsConnected() && client_.Tag() == 0) {
        // Left open by a sequence that failed before its QUIT: start afresh
        // rather than skip every step until the server drops it.
        client_.ForceClose();
    }
    Issue(client_.IsConnected() ? Step::Type : Step::Login);
    return true;
}

bool TUploadSequence::StartQuit()
{
    if (Running() || client_.Tag() != 1 || !client_.IsConnected() || !Begin())
        return false;
    quitOnly_ = true;
    Issue(Step::Quit);
    return true;
}

void TUploadSequence::Issue(Step step)
{
    step_ = step;
    void (TCustomFtpCli::*start)() = nullptr;
    switch (step) {
    case Step::Login:
        start = &TCustomFtpCli::StartLogin;
        break;
    case Step::Type:
        start = &TCustomFtpCli::StartTypeBinary;
        break;
    case Step::StorePicture:
    case Step::StoreCaption:
        client_.SetHostFileName(step == Step::StorePicture ? QStringLiteral("Capture.jpg") : QStringLiteral("datetime.bmp"));
        client_.SetLocalFileName(step == Step::StorePicture ? picture_ : caption_);
        start = &TCustomFtpCli::StartStore;
        break;
    case Step::Quit:
        start = &TCustomFtpCli::StartQuit;
        break;
    case Step::Idle:
    case Step::Abandoning:
        return;
    }
    try {
        (client_.*start)();
    } catch (const Exception& e) {
        // Refused at its start (no host name, a client not ready): no
        // request-done will follow.
        if (OnFailure)
            OnFailure(e.Message());
        FinishLater();
        return;
    }
    watchdog_.start(TimeoutMs(client_.Timeout()));
}

bool TUploadSequence::RequestDone()
{
    if (step_ == Step::Abandoning)
        return false;
    if (Running()) {
        watchdog_.stop();
        QMetaObject::invokeMethod(this, [this] { Advance(); }, Qt::QueuedConnection);
    }
    return true;
}

void TUploadSequence::Advance()
{
    if (step_ == Step::Idle || step_ == Step::Abandoning)
        return;
    if (client_.Tag() != 1 || step_ == Step::Quit) {
        Finish();
        return;
    }
    switch (step_) {
    case Step::Login:
        Issue(Step::Type);
        break;
    case Step::Type:
        Issue(Step::StorePicture);
        break;
    case Step::StorePicture:
        Issue(Step::StoreCaption);
        break;
    default:
        Issue(Step::Quit);
        break;
    }
}

void TUploadSequence::Abandon()
{
    if (step_ != Step::Idle && step_ != Step::Abandoning)
        TimedOut();
}

void TUploadSequence::TimedOut()
{
    watchdog_.stop();
    step_ = Step::Abandoning;
    // Closing both connections ends the request; its own end, posted now,
    // arrives before the report below and is swallowed.
    client_.ForceClose();
    QMetaObject::invokeMethod(this, [this] {
        if (OnFailure)
            OnFailure(QStringLiteral("426 Timeout"));
        Finish();
    }, Qt::QueuedConnection);
}

void TUploadSequence::FinishLater()
{
    watchdog_.stop();
    step_ = Step::Abandoning;
    QMetaObject::invokeMethod(this, [this] { Finish(); }, Qt::QueuedConnection);
}

void TUploadSequence::Finish()
{
    watchdog_.stop();
    step_ = Step::Idle;
    if (OnFinished)
        OnFinished();
}
