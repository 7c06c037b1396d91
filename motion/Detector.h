#pragma once
// Motion detection on a small grey copy of each frame: the copy is compared
// with a slowly adapting background, changed blocks outside the mask are
// counted, and motion is a changed area above the threshold on two frames in
// a row. A change of light across the whole picture is not motion.
// Pure computation: frames and the time come from the caller.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace motion {

// A rectangle of the picture in thousandths of its width and height, so that
// it holds whatever size the camera delivers.
struct Area {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

struct Options {
    int sensitivity = 60;     // 1 (strong changes only) to 100 (the faintest)
    int minAreaPercent = 2;   // the smallest changed share of the picture that counts, 1 to 50
    std::vector<Area> mask;   // ignored parts of the picture
};

// The grey copy and its blocks.
inline constexpr int kWorkWidth = 160;
inline constexpr int kWorkHeight = 120;
inline constexpr int kBlockSize = 8;
inline constexpr int kBlocksX = kWorkWidth / kBlockSize;
inline constexpr int kBlocksY = kWorkHeight / kBlockSize;
inline constexpr int kBlocks = kBlocksX * kBlocksY;

struct Result {
    bool motion = false;    // the changed area passed the threshold on this frame and the one before
    bool lighting = false;  // most of the picture changed at once: light, not motion
    int changedBlocks = 0;
    double areaPercent = 0;  // changed share of the picture
    std::array<bool, kBlocks> changed{};  // row by row
    // The changed blocks' bounding box, in blocks (right and bottom
    // exclusive); empty when nothing changed.
    int left = 0, top = 0, right = 0, bottom = 0;

    bool Changed(int bx, int by) const { return changed[std::size_t(by * kBlocksX + bx)]; }
};

class Detector
{
public:
    explicit Detector(const Options& options = {});

    // Values out of range are clamped. The background is kept.
    void SetOptions(const Options& options);
    // Forgets the background: the next frame starts it afresh.
    void Reset();

    // One frame of RGB24 rows, top row first, stride bytes apart. The first
    // frame, and the first after a change of size, only start the background.
    const Result& Feed(const std::uint8_t* rgb, int width, int height, std::size_t stride);
    const Result& Last() const { return result_; }

private:
    void Prepare(int width, int height);
    void BuildMask();
    void Shrink(const std::uint8_t* rgb, std::size_t stride);
    void Compare();
    void Adapt();
    // The current picture becomes the background.
    void TakeBackground();

    Options options_;
    int threshold_ = 0;
    int width_ = 0;
    int height_ = 0;
    bool haveBackground_ = false;
    bool hitBefore_ = false;

    // Sampling of the frame: every step-th pixel and row, each summed into
    // the work pixel it falls in.
    std::vector<std::uint32_t> sampleOffsets_;  // byte offset in a row
    std::vector<std::uint16_t> sampleColumns_;  // work column of each sample
    std::vector<std::uint16_t> sampleRows_;     // frame rows sampled
    std::vector<std::uint16_t> rowTargets_;     // work row of each sampled row
    std::array<std::uint32_t, kWorkWidth * kWorkHeight> weight_{};  // samples per work pixel

    std::array<std::uint32_t, kWorkWidth * kWorkHeight> sums_{};
    std::array<std::uint8_t, kWorkWidth * kWorkHeight> work_{};
    std::array<std::int32_t, kWorkWidth * kWorkHeight> background_{};  // grey x 256
    std::array<std::uint8_t, kWorkWidth * kWorkHeight> masked_{};
    std::array<std::uint16_t, kBlocks> open_{};  // unmasked pixels per block
    int openPixels_ = 0;

    Result result_;
};

// Turns motion frames into events: an event starts when motion is seen and
// the quiet time since the last event has passed.
class EventGate
{
public:
    void SetQuietMs(std::int64_t quietMs) { quietMs_ = quietMs; }
    // True when this frame starts an event. A clock that went back ends the
    // quiet time.
    bool Feed(bool motion, std::int64_t nowMs);
    void Reset() { haveEvent_ = false; }

private:
    std::int64_t quietMs_ = 10000;
    std::int64_t lastEventMs_ = 0;
    bool haveEvent_ = false;
};

}  // namespace motion
