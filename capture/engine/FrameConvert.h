#pragma once
// Conversion of camera buffers to RGB888 images, for devices whose frames
// libv4l2 does not hand over as RGB24 already.

#include <QImage>
#include <QSize>

#include <cstdint>
#include <memory>

namespace platform::capture {

class FrameConverter
{
public:
    FrameConverter();
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Whether this V4L2 pixel format can be converted.
    static bool Supports(std::uint32_t pixelFormat);

    // Converts one buffer of bytesUsed bytes holding a picture of size, at
    // that size divided by divisor (1, 2, 4 or 8; see ShrunkSize); false for
    // a short or corrupt buffer (the frame is then skipped).
    bool Convert(std::uint32_t pixelFormat, const std::uint8_t* data, std::size_t bytesUsed, QSize size,
                 int bytesPerLine, QImage& out, int divisor = 1);

private:
    bool DecodeJpeg(const std::uint8_t* data, std::size_t bytes, QSize size, QImage& out, int divisor);

    struct Decoder;
    std::unique_ptr<Decoder> decoder_;
};

// The divisors a frame can be made smaller by as cheaply as it is read:
// JPEG's DCT scaling, YUYV subsampled while converting.
inline constexpr int kFrameDivisors[] = {8, 4, 2};

// A picture of size divided by divisor, rounded up as the JPEG decoder does.
QSize ShrunkSize(QSize size, int divisor);
// The largest of kFrameDivisors (or 1) that leaves a picture of full size at
// least as large as atLeast; 1 when atLeast is empty (full size wanted).
int FrameDivisor(QSize full, QSize atLeast);

// BT.601 studio-range YUYV 4:2:2 to RGB888, divided by divisor: each pixel
// the mean of a 2 x 2 square of its cell, which keeps edges smooth at a
// quarter of the reads of a full mean.
void YuyvToRgb(const std::uint8_t* src, int bytesPerLine, QSize size, QImage& out, int divisor = 1);
// RGB888 made divisor times smaller, each pixel the mean of a 2 x 2 square
// of its cell, as YuyvToRgb does.
void ShrinkRgb(const QImage& in, int divisor, QImage& out);

}  // namespace platform::capture
