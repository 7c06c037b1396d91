#include "upload/FtpTransport.h"

#include <utility>

TFtpTransport::TFtpTransport(QObject* parent) : QObject(parent)
{
    client_.SetShareMode(ftpShareDenyNone);
    client_.OnRequestDone = [this](TCustomFtpCli*, TFtpRequest, std::uint16_t error) { sequence_.RequestDone(error); };
    sequence_.OnFileDone = [this](std::size_t file, bool ok) {
        if (fileDone_)
            fileDone_(file, ok);
    };
    sequence_.OnStep = [this](const TUploadStep& step) {
        if (step_)
            step_(step);
    };
    sequence_.OnFinished = [this] { Finished(); };
}

TFtpTransport::~TFtpTransport()
{
    client_.OnRequestDone = nullptr;
}

bool TFtpTransport::Start(const TUploadJob& job, std::function<void(const TUploadResult&)> finished,
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
    return sequence_.Start(job);
}

void TFtpTransport::Cancel()
{
    if (!Running() || cancelled_)
        return;
    cancelled_ = true;
    sequence_.Abandon();
}

void TFtpTransport::Finished()
{
    TUploadResult result = sequence_.Result();
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
