// The recorder's pace on a stepped clock: when frames are due, which number
// each frame gets, what counts as dropped, the time limit, a silent camera
// and the progress reports.
#include "capture/engine/FramePacer.h"

#include <gtest/gtest.h>

using platform::capture::FramePacer;

namespace {

TEST(FramePacer, NumbersFramesByTheClockAtTenFramesPerSecond)
{
    enum Step { Wait, Frame, Silence };
    struct Case {
        std::int64_t nowUs;
        Step step;
        std::int64_t expected;  // Wait: microseconds left; Frame: frame number
        std::uint32_t dropped;  // Frame only
        bool statusDue;         // Frame only
        bool limitReached;
        bool silent;  // Silence only
        const char* why;
    };
    const Case cases[] = {
        {0, Frame, 0, 0, true, false, false, "the first frame is due at once"},
        {40000, Wait, 60000, 0, false, false, false, "the next one is due after a period"},
        {120000, Frame, 1, 0, false, false, false, "a slightly late frame keeps its number"},
        {140000, Frame, 2, 0, false, false, false, "a frame early for its period takes the next free number"},
        {280000, Wait, 20000, 0, false, false, false, "frame 3 is due at 300 ms"},
        {590000, Frame, 6, 3, true, false, false, "a stall drops the numbers passed over"},
        {640000, Frame, 7, 0, false, false, false, "no number is used twice"},
        {700000, Wait, 100000, 0, false, false, false, "ahead of the clock: wait a whole period"},
        {5640000, Silence, 0, 0, false, false, false, "five seconds without a frame is still a camera"},
        {5641000, Silence, 0, 0, false, false, true, "more than five seconds silent: gone"},
        {5800000, Frame, 58, 50, true, false, false, "a frame after the silence: the gap is dropped"},
        {10000000, Frame, 0, 0, false, true, false, "the time limit ends the recording"},
    };
    FramePacer pacer(100000, 10000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(pacer.LimitReached(c.nowUs), c.limitReached);
        switch (c.step) {
        case Wait:
            EXPECT_EQ(pacer.WaitUs(c.nowUs), c.expected);
            break;
        case Silence:
            EXPECT_EQ(pacer.Silent(c.nowUs), c.silent);
            break;
        case Frame: {
            const FramePacer::Slot slot = pacer.Arrived(c.nowUs);
            if (c.limitReached)
                break;
            EXPECT_EQ(slot.index, c.expected);
            EXPECT_EQ(slot.dropped, c.dropped);
            pacer.Written(slot);
            EXPECT_EQ(pacer.StatusDue(c.nowUs / 1000), c.statusDue);
            EXPECT_FALSE(pacer.Silent(c.nowUs)) << "a frame shows the camera is alive";
            break;
        }
        }
    }
    EXPECT_FALSE(FramePacer(100000, 0).LimitReached(std::int64_t(1) << 40)) << "no limit set";
}

}  // namespace
