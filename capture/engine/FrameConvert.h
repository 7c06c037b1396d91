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

    // Converts one buffer of bytesUsed bytes; false for a short or corrupt
    // buffer (the frame is then skipped).
    bool Convert(std::uint32_t pixelFormat, const std::uint8_t* data, std::size_t bytesUsed, QSize size,
                 int bytesPerLine, QImage& out);

private:
    bool DecodeJpeg(const std::uint8_t* data, std::size_t bytes, QSize size, QImage& out);

    struct Decoder;
    std::unique_ptr<Decoder> decoder_;
};

// BT.601 studio-range YUYV 4:2:2 to RGB888.
void YuyvToRgb(const std::uint8_t* src, int bytesPerLine, QSize size, QImage& out);

}  // namespace platform::capture
