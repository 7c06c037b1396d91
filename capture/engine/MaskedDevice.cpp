#include "capture/engine/MaskedDevice.h"

#include <utility>

namespace platform::capture {
namespace {

class Masked final : public CaptureDevice
{
public:
    Masked(std::unique_ptr<CaptureDevice> device, std::shared_ptr<MaskState> state)
        : device_(std::move(device)), state_(std::move(state))
    {
    }

    // The areas are parts of the picture, so a frame decoded small is filled
    // as surely as a whole one.
    ReadResult ReadFrame(QImage& image, int timeoutMs, QString* error, QSize atLeast) override
    {
        const ReadResult result = device_->ReadFrame(image, timeoutMs, error, atLeast);
        if (result == ReadResult::Frame)
            state_->Fill(image);
        return result;
    }
    // Decoded again from the camera's buffer: unfilled until filled here.
    bool RereadFull(QImage& image) override
    {
        if (!device_->RereadFull(image))
            return false;
        state_->Fill(image);
        return true;
    }

    bool Start(QString* error) override { return device_->Start(error); }
    void Stop() override { device_->Stop(); }
    QSize FrameSize() const override { return device_->FrameSize(); }
    QList<QSize> FrameSizes() const override { return device_->FrameSizes(); }
    bool SetFrameSize(QSize size, QString* error) override { return device_->SetFrameSize(size, error); }
    int NominalRate() const override { return device_->NominalRate(); }
    bool SetFrameInterval(std::uint32_t microSecPerFrame) override { return device_->SetFrameInterval(microSecPerFrame); }
    void Drain() override { device_->Drain(); }
    int LastFrameAgeMs() const override { return device_->LastFrameAgeMs(); }
    bool HasOverlay() const override { return device_->HasOverlay(); }
    bool HasDisplayOptions() const override { return device_->HasDisplayOptions(); }
    QList<DeviceControl> Controls() override { return device_->Controls(); }
    bool SetControl(std::uint32_t id, int value) override { return device_->SetControl(id, value); }
    bool ShowInfo() const override { return device_->ShowInfo(); }
    void SetShowInfo(bool show) override { device_->SetShowInfo(show); }

private:
    std::unique_ptr<CaptureDevice> device_;
    std::shared_ptr<MaskState> state_;
};

}  // namespace

void MaskState::Set(const PrivacyMask& mask)
{
    QMutexLocker lock(&mutex_);
    mask_ = mask;
}

PrivacyMask MaskState::Mask() const
{
    QMutexLocker lock(&mutex_);
    return mask_;
}

void MaskState::SetKeepUnmasked(bool keep)
{
    QMutexLocker lock(&mutex_);
    keepUnmasked_ = keep;
    if (!keep)
        unmasked_ = QImage();
}

QImage MaskState::Unmasked() const
{
    QMutexLocker lock(&mutex_);
    return unmasked_;
}

void MaskState::Fill(QImage& frame)
{
    PrivacyMask mask;
    bool keep = false;
    {
        QMutexLocker lock(&mutex_);
        mask = mask_;
        keep = keepUnmasked_;
    }
    if (keep) {
        // A new picture each time: one handed out earlier is never written over.
        QImage copy = frame.copy();
        QMutexLocker lock(&mutex_);
        if (keepUnmasked_)
            unmasked_ = std::move(copy);
    }
    ApplyPrivacyMask(frame, mask);
}

std::unique_ptr<CaptureDevice> MaskedDevice(std::unique_ptr<CaptureDevice> device, std::shared_ptr<MaskState> state)
{
    return std::make_unique<Masked>(std::move(device), std::move(state));
}

}  // namespace platform::capture
