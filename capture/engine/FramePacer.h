#pragma once
// The pace of a recording at a fixed frame period, as arithmetic on the time
// since the recording began. A frame takes the number of the period it was
// read in, never one already used; numbers passed over are dropped frames,
// which the AVI writer fills by repeating the frame before. Numbering by the
// clock rather than by count keeps the video in step with the audio, which is
// written as it is recorded. No clock of its own: callers pass the time in.

#include <cstdint>

namespace platform::capture {

class FramePacer
{
public:
    static constexpr std::int64_t kStatusEveryMs = 250;
    static constexpr std::int64_t kNoFrameLostMs = 5000;  // a device silent this long counts as gone

    // limitMs 0: no time limit.
    FramePacer(std::uint32_t usPerFrame, std::int64_t limitMs);

    bool LimitReached(std::int64_t nowUs) const { return limitMs_ > 0 && nowUs >= limitMs_ * 1000; }
    // How long until the next frame is due; 0 or less: read one now.
    std::int64_t WaitUs(std::int64_t nowUs) const;
    // Whether a camera that delivered nothing up to nowUs counts as gone.
    bool Silent(std::int64_t nowUs) const { return nowUs / 1000 - lastFrameMs_ > kNoFrameLostMs; }

    struct Slot {
        std::int64_t index = 0;     // the frame's number in the file
        std::uint32_t dropped = 0;  // numbers passed over before it
    };
    // A frame arrived at nowUs: the camera is alive, and the frame's place.
    Slot Arrived(std::int64_t nowUs);
    // The frame of slot was written: the next one goes after it.
    void Written(const Slot& slot) { nextIndex_ = slot.index + 1; }
    // Whether a progress report is due at timeMs; if so, it counts as made.
    bool StatusDue(std::int64_t timeMs);

private:
    std::int64_t usPerFrame_;
    std::int64_t limitMs_;
    std::int64_t nextIndex_ = 0;
    std::int64_t lastStatusMs_ = -kStatusEveryMs;
    std::int64_t lastFrameMs_ = 0;
};

}  // namespace platform::capture
