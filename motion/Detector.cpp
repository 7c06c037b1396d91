#include "motion/Detector.h"

#include <algorithm>
#include <cstdlib>

namespace motion {
namespace {

constexpr int kPixels = kWorkWidth * kWorkHeight;
// A frame wider or taller than this many samples is read at every n-th
// pixel and row, which bounds the cost of a frame whatever its size.
constexpr int kMaxSamplesX = 320;
constexpr int kMaxSamplesY = 240;
// A block counts as changed when this share of its unmasked pixels changed
// (in quarters), and only when at least a quarter of it is unmasked.
constexpr int kBlockQuarters = 1;
constexpr int kMinOpenPixels = kBlockSize * kBlockSize / 4;
// More than this share of the unmasked picture changed at once (per cent) is
// taken for a change of light: the background starts again.
constexpr int kLightingPercent = 50;
// Background adaptation per frame, as shifts: quicker where nothing
// changed, so that slow light drifts are followed, slower under a change,
// so that a moving object is not taken in at once.
constexpr int kAdaptShift = 4;
constexpr int kAdaptChangedShift = 5;
// The light of the whole picture may change by this factor between the
// background and a frame and still be compensated.
constexpr std::int64_t kMinGainQ16 = 65536 / 4;
constexpr std::int64_t kMaxGainQ16 = 65536 * 4;

int BlockOf(int x, int y)
{
    return (y / kBlockSize) * kBlocksX + x / kBlockSize;
}

// The per-pixel difference that counts as a change: at sensitivity 100 a
// grey difference of 5, at 1 one of 50.
int PixelThreshold(int sensitivity)
{
    return 5 + (100 - sensitivity) * 45 / 99;
}

}  // namespace

Detector::Detector(const Options& options)
{
    SetOptions(options);
}

void Detector::SetOptions(const Options& options)
{
    options_ = options;
    options_.sensitivity = std::clamp(options_.sensitivity, 1, 100);
    options_.minAreaPercent = std::clamp(options_.minAreaPercent, 1, 50);
    threshold_ = PixelThreshold(options_.sensitivity);
    BuildMask();
    hitBefore_ = false;
}

void Detector::Reset()
{
    haveBackground_ = false;
    hitBefore_ = false;
    result_ = Result{};
}

void Detector::BuildMask()
{
    masked_.fill(0);
    for (const Area& a : options_.mask) {
        if (a.width <= 0 || a.height <= 0)
            continue;
        // Every work pixel the rectangle touches is masked.
        const int x0 = std::clamp(a.left * kWorkWidth / 1000, 0, kWorkWidth);
        const int y0 = std::clamp(a.top * kWorkHeight / 1000, 0, kWorkHeight);
        const int x1 = std::clamp(((a.left + a.width) * kWorkWidth + 999) / 1000, 0, kWorkWidth);
        const int y1 = std::clamp(((a.top + a.height) * kWorkHeight + 999) / 1000, 0, kWorkHeight);
        for (int y = y0; y < y1; ++y)
            std::fill(masked_.begin() + y * kWorkWidth + x0, masked_.begin() + y * kWorkWidth + x1, 1);
    }
    open_.fill(0);
    openPixels_ = 0;
    for (int y = 0; y < kWorkHeight; ++y) {
        for (int x = 0; x < kWorkWidth; ++x) {
            if (!masked_[std::size_t(y * kWorkWidth + x)]) {
                ++open_[std::size_t(BlockOf(x, y))];
                ++openPixels_;
            }
        }
    }
}

void Detector::Prepare(int width, int height)
{
    width_ = width;
    height_ = height;
    const int stepX = std::max(1, width / kMaxSamplesX);
    const int stepY = std::max(1, height / kMaxSamplesY);
    sampleOffsets_.clear();
    sampleColumns_.clear();
    for (int x = 0; x < width; x += stepX) {
        sampleOffsets_.push_back(std::uint32_t(x) * 3);
        sampleColumns_.push_back(std::uint16_t(std::int64_t(x) * kWorkWidth / width));
    }
    sampleRows_.clear();
    rowTargets_.clear();
    for (int y = 0; y < height; y += stepY) {
        sampleRows_.push_back(std::uint16_t(y));
        rowTargets_.push_back(std::uint16_t(std::int64_t(y) * kWorkHeight / height));
    }
    weight_.fill(0);
    for (std::uint16_t row : rowTargets_)
        for (std::uint16_t column : sampleColumns_)
            ++weight_[std::size_t(row * kWorkWidth + column)];
    // A frame smaller than the work picture leaves work pixels without
    // samples; they count as masked-out black.
    for (std::uint32_t& w : weight_)
        w = std::max<std::uint32_t>(w, 1);
}

void Detector::Shrink(const std::uint8_t* rgb, std::size_t stride)
{
    sums_.fill(0);
    const std::size_t columns = sampleOffsets_.size();
    const std::uint32_t* offsets = sampleOffsets_.data();
    const std::uint16_t* targets = sampleColumns_.data();
    for (std::size_t r = 0; r < sampleRows_.size(); ++r) {
        const std::uint8_t* row = rgb + std::size_t(sampleRows_[r]) * stride;
        std::uint32_t* sums = sums_.data() + std::size_t(rowTargets_[r]) * kWorkWidth;
        for (std::size_t i = 0; i < columns; ++i) {
            const std::uint8_t* p = row + offsets[i];
            // Grey as (R + 2G + B) / 4.
            sums[targets[i]] += std::uint32_t(p[0]) + 2u * p[1] + p[2];
        }
    }
    for (int i = 0; i < kPixels; ++i)
        work_[std::size_t(i)] = std::uint8_t(sums_[std::size_t(i)] / (4 * weight_[std::size_t(i)]));
}

void Detector::Compare()
{
    // The light of the whole picture against the background's: a cloud or a
    // lamp changes every pixel by about the same factor.
    std::int64_t sumWork = 0;
    std::int64_t sumBackground = 0;
    for (int i = 0; i < kPixels; ++i) {
        if (masked_[std::size_t(i)])
            continue;
        sumWork += work_[std::size_t(i)];
        sumBackground += background_[std::size_t(i)];
    }
    std::int64_t gainQ16 = 65536;
    if (sumBackground > 0)
        gainQ16 = std::clamp(sumWork * 65536 * 256 / sumBackground, kMinGainQ16, kMaxGainQ16);

    std::array<std::uint16_t, kBlocks> changedPixels{};
    int changedTotal = 0;
    for (int y = 0; y < kWorkHeight; ++y) {
        for (int x = 0; x < kWorkWidth; ++x) {
            const std::size_t i = std::size_t(y * kWorkWidth + x);
            if (masked_[i])
                continue;
            const int expected = int((std::int64_t(background_[i]) * gainQ16) >> 24);
            if (std::abs(int(work_[i]) - expected) > threshold_) {
                ++changedPixels[std::size_t(BlockOf(x, y))];
                ++changedTotal;
            }
        }
    }

    Result& r = result_;
    r.changed.fill(false);
    r.changedBlocks = 0;
    r.left = kBlocksX;
    r.top = kBlocksY;
    r.right = 0;
    r.bottom = 0;
    r.lighting = openPixels_ > 0 && changedTotal * 100 > openPixels_ * kLightingPercent;
    int changedArea = 0;
    for (int b = 0; b < kBlocks && !r.lighting; ++b) {
        const int open = open_[std::size_t(b)];
        if (open < kMinOpenPixels || changedPixels[std::size_t(b)] * 4 < open * kBlockQuarters)
            continue;
        r.changed[std::size_t(b)] = true;
        ++r.changedBlocks;
        changedArea += open;
        const int bx = b % kBlocksX;
        const int by = b / kBlocksX;
        r.left = std::min(r.left, bx);
        r.top = std::min(r.top, by);
        r.right = std::max(r.right, bx + 1);
        r.bottom = std::max(r.bottom, by + 1);
    }
    if (r.changedBlocks == 0)
        r.left = r.top = 0;
    r.areaPercent = 100.0 * changedArea / kPixels;
    const bool hit = r.changedBlocks > 0 && r.areaPercent >= options_.minAreaPercent;
    r.motion = hit && hitBefore_;
    hitBefore_ = hit;
}

void Detector::TakeBackground()
{
    for (int i = 0; i < kPixels; ++i)
        background_[std::size_t(i)] = std::int32_t(work_[std::size_t(i)]) << 8;
    hitBefore_ = false;
}

void Detector::Adapt()
{
    for (int y = 0; y < kWorkHeight; ++y) {
        for (int x = 0; x < kWorkWidth; ++x) {
            const std::size_t i = std::size_t(y * kWorkWidth + x);
            const std::int32_t target = std::int32_t(work_[i]) << 8;
            const int shift = result_.changed[std::size_t(BlockOf(x, y))] ? kAdaptChangedShift : kAdaptShift;
            background_[i] += (target - background_[i]) >> shift;
        }
    }
}

const Result& Detector::Feed(const std::uint8_t* rgb, int width, int height, std::size_t stride)
{
    if (!rgb || width <= 0 || height <= 0 || stride < std::size_t(width) * 3) {
        result_ = Result{};
        return result_;
    }
    if (width != width_ || height != height_) {
        Prepare(width, height);
        haveBackground_ = false;
    }
    Shrink(rgb, stride);
    if (!haveBackground_) {
        TakeBackground();
        haveBackground_ = true;
        result_ = Result{};
        return result_;
    }
    Compare();
    if (result_.lighting) {
        // Light, not motion: the new picture is the background from now on.
        TakeBackground();
        return result_;
    }
    Adapt();
    return result_;
}

bool EventGate::Feed(bool motion, std::int64_t nowMs)
{
    if (!motion)
        return false;
    if (haveEvent_ && nowMs >= lastEventMs_ && nowMs - lastEventMs_ < quietMs_)
        return false;
    haveEvent_ = true;
    lastEventMs_ = nowMs;
    return true;
}

}  // namespace motion
