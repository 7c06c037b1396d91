#pragma once
// The one place where privacy masks are filled: a device that wraps the
// driver's own, so that every frame read from it, by the preview, a grab,
// the idle watch or a recording, has the masked areas filled before anyone
// sees it. Internal to the capture service.

#include "capture/engine/CaptureDevice.h"
#include "capture/engine/PrivacyMask.h"

#include <QImage>
#include <QMutex>

#include <memory>

namespace platform::capture {

// The mask of a capture window, shared with the device that fills it: the
// window changes it on the GUI thread while frames are read there or on a
// recording's worker.
class MaskState
{
public:
    void Set(const PrivacyMask& mask);
    PrivacyMask Mask() const;
    // While on, a copy of the last frame as the camera delivered it is kept
    // (for editing the mask); off forgets it.
    void SetKeepUnmasked(bool keep);
    QImage Unmasked() const;

    // Keeps the unmasked copy when asked, then fills the mask into frame.
    void Fill(QImage& frame);

private:
    mutable QMutex mutex_;
    PrivacyMask mask_;
    bool keepUnmasked_ = false;
    QImage unmasked_;
};

// device, with every frame it reads filled through state.
std::unique_ptr<CaptureDevice> MaskedDevice(std::unique_ptr<CaptureDevice> device, std::shared_ptr<MaskState> state);

}  // namespace platform::capture
