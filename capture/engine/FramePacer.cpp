#include "capture/engine/FramePacer.h"

#include <algorithm>
#include <cmath>

namespace platform::capture {

FramePacer::FramePacer(std::uint32_t usPerFrame, std::int64_t limitMs) : usPerFrame_(usPerFrame), limitMs_(limitMs)
{
}

std::int64_t FramePacer::WaitUs(std::int64_t nowUs) const
{
    return nextIndex_ * usPerFrame_ - nowUs;
}

FramePacer::Slot FramePacer::Arrived(std::int64_t nowUs)
{
    lastFrameMs_ = nowUs / 1000;
    Slot slot;
    slot.index = std::max<std::int64_t>(std::llround(double(nowUs) / double(usPerFrame_)), nextIndex_);
    slot.dropped = std::uint32_t(slot.index - nextIndex_);
    return slot;
}

bool FramePacer::StatusDue(std::int64_t timeMs)
{
    if (timeMs - lastStatusMs_ < kStatusEveryMs)
        return false;
    lastStatusMs_ = timeMs;
    return true;
}

}  // namespace platform::capture
