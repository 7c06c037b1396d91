#include "upload/UploadRunner.h"

#include <utility>

TUploadRunner::TUploadRunner(QObject* parent) : QObject(parent)
{
    client_.SetShareMode(ftpShareDenyNone);
    client_.OnRequestDone = [this](TCustomFtpCli*, TFtpRequest, std::uint16_t error) { sequence_.RequestDone(error); };
    for (TUploadTransport* transport : {static_cast<TUploadTransport*>(&sequence_), static_cast<TUploadTransport*>(&sftp_)}) {
        transport->OnFileDone = [this](std::size_t file, bool ok) {
            if (fileDone_)
                fileDone_(file, ok);
        };
        transport->OnStep = [this](const TUploadStep& step) {
            if (step_)
                step_(step);
        };
        transport->OnFinished = [this] { Finished(); };
    }
}

TUploadRunner::~TUploadRunner()
{
    client_.OnRequestDone = nullptr;
}

bool TUploadRunner::Start(const TUploadJob& job, std::function<void(const TUploadResult&)> finished,
                          std::function<void(std::size_t file, bool ok)> fileDone,
                          std::function<void(const TUploadStep& step)> step)
{
    if (Running())
        return false;
    asked_ = job.purpose;
    cancelled_ = false;
    finished_ = std::move(finished);
    fileDone_ = std::move(fileDone);
    step_ = std::move(step);
    running_ = job.account.Sftp() ? static_cast<TUploadTransport*>(&sftp_) : &sequence_;
    return running_->Start(job);
}

void TUploadRunner::Cancel()
{
    if (!Running() || cancelled_)
        return;
    cancelled_ = true;
    running_->Abandon(TUploadGiveUp::Cancel);
}

void TUploadRunner::Finished()
{
    TUploadResult result = running_->Result();
    result.cancelled = cancelled_;
    // A login refused or a step failed: the session is of no further use.
    if (!result.ok && client_.IsConnected())
        client_.ForceClose();
    auto finished = std::exchange(finished_, {});
    fileDone_ = {};
    step_ = {};
    if (!result.ok && !result.cancelled && OnFailure)
        OnFailure(asked_, result.text);
    if (finished)
        finished(result);
}
