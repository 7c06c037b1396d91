// The detector and the event gate on frames of the test-pattern camera's
// room, rendered frame by frame at 15 frames per second (no waiting).
#include "motion/Detector.h"
#include "capture/engine/CaptureDevice.h"
#include "capture/engine/FrameConvert.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>
#include <functional>

using platform::capture::kVisitorFirstFrame;
using platform::capture::TestScene;

namespace {

constexpr std::uint64_t kMinute = 15 * 60;

motion::Area ClockArea()
{
    const QRect r = platform::capture::TestPatternClockArea();
    return {r.x(), r.y(), r.width(), r.height()};
}

struct SceneCase {
    const char* what;
    TestScene scene;
    bool maskClock;
    int sensitivity;
    int minAreaPercent;
    std::uint64_t frames;
    // Changes a frame before it reaches the detector; may be empty.
    std::function<void(QImage&, std::uint64_t)> alter;
    // The first frame with motion must lie in [first, last]; -1: none at all.
    int first;
    int last;
};

void PrintTo(const SceneCase& c, std::ostream* os)
{
    *os << c.what;
}

// The light of the whole frame times a factor of the frame number.
std::function<void(QImage&, std::uint64_t)> Light(std::function<double(std::uint64_t)> factor)
{
    return [=](QImage& image, std::uint64_t frame) {
        const double f = factor(frame);
        for (int y = 0; y < image.height(); ++y) {
            uchar* p = image.scanLine(y);
            for (int i = 0; i < image.width() * 3; ++i)
                p[i] = uchar(std::min(255.0, p[i] * f));
        }
    };
}

// The light times factor from frame 100 on.
std::function<void(QImage&, std::uint64_t)> Switch(double factor)
{
    return Light([=](std::uint64_t n) { return n < 100 ? 1.0 : factor; });
}

// A square a sixth of the height wide, lighter by `contrast`, drifting right,
// in the frames from..to.
std::function<void(QImage&, std::uint64_t)> Square(int contrast, std::uint64_t from, std::uint64_t to)
{
    return [=](QImage& image, std::uint64_t frame) {
        if (frame < from || frame > to)
            return;
        const int side = image.height() / 6;
        const int x0 = int(image.width() / 4 + 2 * (frame - from));
        for (int y = image.height() / 3; y < image.height() / 3 + side; ++y) {
            uchar* p = image.scanLine(y) + x0 * 3;
            for (int i = 0; i < side * 3; ++i)
                p[i] = uchar(std::min(255, p[i] + contrast));
        }
    };
}

// A bright sky over the top third, dimmed by a tenth from frame 100 on.
std::function<void(QImage&, std::uint64_t)> Cloud()
{
    const auto dim = Switch(0.9);
    return [=](QImage& image, std::uint64_t frame) {
        for (int y = 0; y < image.height() / 3; ++y)
            std::memset(image.scanLine(y), 220, std::size_t(image.width()) * 3);
        dim(image, frame);
    };
}

class Scenes : public ::testing::TestWithParam<SceneCase>
{
};

TEST_P(Scenes, MotionIsSeenExactlyWhereTheSceneMoves)
{
    const SceneCase& c = GetParam();
    motion::Options options;
    options.sensitivity = c.sensitivity;
    options.minAreaPercent = c.minAreaPercent;
    if (c.maskClock)
        options.mask.push_back(ClockArea());
    motion::Detector detector(options);
    QImage frame;
    int firstMotion = -1;
    for (std::uint64_t n = 0; n < c.frames && firstMotion < 0; ++n) {
        platform::capture::RenderTestScene(c.scene, n, QSize(320, 240), QTime(0, 0).addMSecs(int(n * 1000 / 15)),
                                           frame);
        if (c.alter)
            c.alter(frame, n);
        if (detector.Feed(frame.constBits(), frame.width(), frame.height(), std::size_t(frame.bytesPerLine())).motion)
            firstMotion = int(n);
    }
    if (c.first < 0) {
        EXPECT_EQ(firstMotion, -1) << c.what;
    } else {
        EXPECT_GE(firstMotion, c.first) << c.what;
        EXPECT_LE(firstMotion, c.last) << c.what;
    }
}

const int kVisitor = int(kVisitorFirstFrame);

INSTANTIATE_TEST_SUITE_P(
    Detector, Scenes,
    ::testing::Values(
        SceneCase{"the visitor, within 3 frames of stepping in", TestScene::Visitor, true, 60, 2, 120, {}, kVisitor,
                  kVisitor + 2},
        SceneCase{"drifting light and a masked clock, a minute, most sensitive", TestScene::Room, true, 100, 1, kMinute,
                  {}, -1, -1},
        SceneCase{"the same minute with the clock unmasked", TestScene::Room, false, 60, 1, kMinute, {}, 1,
                  int(kMinute)},
        SceneCase{"a lamp switched on", TestScene::Room, true, 80, 1, 200, Switch(1.25), -1, -1},
        SceneCase{"a lamp switched off", TestScene::Room, true, 80, 1, 200, Switch(0.5), -1, -1},
        SceneCase{"a cloud before a bright sky", TestScene::Room, true, 80, 1, 200, Cloud(), -1, -1},
        SceneCase{"the visitor, smaller than the area asked for", TestScene::Visitor, true, 60, 20, 120, {}, -1, -1},
        SceneCase{"a faint change at the highest sensitivity", TestScene::Room, true, 100, 1, 120, Square(20, 50, 80),
                  50, 52},
        SceneCase{"a faint change at the lowest sensitivity", TestScene::Room, true, 1, 1, 120, Square(20, 50, 80), -1,
                  -1},
        SceneCase{"a change in one frame only", TestScene::Room, true, 60, 1, 120, Square(120, 60, 60), -1, -1}),
    [](const ::testing::TestParamInfo<SceneCase>& info) { return "Case" + std::to_string(info.index); });

TEST(Detector, TheChangedBlocksCoverTheVisitorAndTheFirstFrameOfASizeOnlyStartsTheBackground)
{
    motion::Options options;
    options.mask.push_back(ClockArea());
    motion::Detector detector(options);
    QImage frame;
    auto feed = [&](std::uint64_t n, QSize size) -> const motion::Result& {
        platform::capture::RenderTestScene(TestScene::Visitor, n, size, QTime(0, 0), frame);
        return detector.Feed(frame.constBits(), frame.width(), frame.height(), std::size_t(frame.bytesPerLine()));
    };
    for (std::uint64_t n = 0; n < kVisitorFirstFrame + 1; ++n)
        feed(n, QSize(640, 480));
    const motion::Result& r = feed(kVisitorFirstFrame + 1, QSize(640, 480));
    ASSERT_TRUE(r.motion);
    // The visitor stands a tenth of the width from the left, his feet at four
    // fifths of the height, over half of it tall.
    EXPECT_LE(r.left, motion::kBlocksX / 10);
    EXPECT_LE(r.right, motion::kBlocksX / 4);
    EXPECT_GE(r.bottom, motion::kBlocksY * 7 / 10);
    EXPECT_LE(r.bottom, motion::kBlocksY * 9 / 10);
    EXPECT_GT(r.areaPercent, 2.0);

    EXPECT_FALSE(feed(kVisitorFirstFrame + 2, QSize(160, 120)).motion) << "a new size starts afresh";
    EXPECT_EQ(detector.Last().changedBlocks, 0);
}

TEST(EventGate, AnEventNeedsTheQuietTimeSinceTheLastOne)
{
    struct Step {
        bool motion;
        std::int64_t nowMs;
        bool event;
    };
    const Step steps[] = {
        {false, 0, false},     {true, 1000, true},    {true, 1066, false}, {true, 10999, false},
        {true, 11000, true},   {false, 30000, false}, {true, 30000, true}, {true, 20000, true},  // the clock went back
        {true, 20001, false},
    };
    motion::EventGate gate;
    gate.SetQuietMs(10000);
    for (const Step& s : steps)
        EXPECT_EQ(gate.Feed(s.motion, s.nowMs), s.event) << "at " << s.nowMs;
}

}  // namespace

namespace {

// Frames of the visitor's room as the camera delivers them for the detector:
// whole, or as small as the capture engine makes them for it (drawn small,
// as a JPEG camera's frames are decoded small). Events start on the same
// frames either way.
TEST(Detector, FindsTheSameEventsInFramesMadeSmallForIt)
{
    const std::uint64_t frames = platform::capture::kSceneCycleFrames + kVisitorFirstFrame
                                 + platform::capture::kVisitorFrames + 10;
    auto events = [&](QSize size) {
        motion::Options options;
        options.mask.push_back(ClockArea());
        motion::Detector detector(options);
        motion::EventGate gate;
        gate.SetQuietMs(5000);
        std::vector<std::uint64_t> starts;
        QImage frame;
        for (std::uint64_t n = 0; n < frames; ++n) {
            const QTime clock = QTime(0, 0).addMSecs(int(n * 1000 / 15));
            platform::capture::RenderTestScene(TestScene::Visitor, n, size, clock, frame);
            const bool motion =
                detector.Feed(frame.constBits(), frame.width(), frame.height(), std::size_t(frame.bytesPerLine()))
                    .motion;
            if (gate.Feed(motion, std::int64_t(n) * 1000 / 15))
                starts.push_back(n);
        }
        return starts;
    };
    const QSize work(motion::kWorkWidth, motion::kWorkHeight);
    for (const QSize full : {QSize(640, 480), QSize(1280, 720)}) {
        const int divisor = platform::capture::FrameDivisor(full, work);
        const QSize small = platform::capture::ShrunkSize(full, divisor);
        const std::vector<std::uint64_t> whole = events(full);
        const std::vector<std::uint64_t> reduced = events(small);
        std::printf("%dx%d: events at", full.width(), full.height());
        for (std::uint64_t n : whole)
            std::printf(" %llu", static_cast<unsigned long long>(n));
        std::printf("; at %dx%d (1/%d):", small.width(), small.height(), divisor);
        for (std::uint64_t n : reduced)
            std::printf(" %llu", static_cast<unsigned long long>(n));
        std::printf("\n");
        ASSERT_EQ(whole.size(), 2u) << "one event per visit";
        ASSERT_EQ(reduced.size(), whole.size());
        for (std::size_t i = 0; i < whole.size(); ++i)
            EXPECT_LE(std::max(whole[i], reduced[i]) - std::min(whole[i], reduced[i]), 1u) << "visit " << i;
    }
}

}  // namespace
