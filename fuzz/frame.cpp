// A camera's frame as the V4L2 device hands it to the converter: MJPEG (often
// without Huffman tables, sometimes cut short or damaged in transit) or YUYV,
// at a size the camera announced. A frame either converts to an RGB888 image
// of exactly that size (or of it made smaller by the divisor asked for) or is
// refused; the converter and the image are reused from frame to frame, as
// the capture window reuses its buffers.

#include "fuzz/fuzz_support.h"
#include "capture/engine/FrameConvert.h"

#include <linux/videodev2.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static platform::capture::FrameConverter converter;
    static QImage image;
    static const QSize sizes[] = {{16, 16}, {32, 24}, {64, 48}, {160, 120}};
    fuzz::Input in(data, size);
    const bool mjpeg = in.Bool();
    const QSize frameSize = sizes[in.Range(0, 3)];
    const int bytesPerLine = frameSize.width() * 2 + in.Range(0, 3) * 4;
    // Frames are also decoded small for the preview and the motion detector.
    static const int divisors[] = {1, 2, 4, 8};
    const int divisor = divisors[in.Range(0, 3)];
    const QByteArray frame = in.Rest();
    if (!converter.Convert(mjpeg ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV,
                           reinterpret_cast<const std::uint8_t*>(frame.constData()), std::size_t(frame.size()),
                           frameSize, bytesPerLine, image, divisor))
        return 0;
    FUZZ_CHECK(image.size() == platform::capture::ShrunkSize(frameSize, divisor));
    FUZZ_CHECK(image.format() == QImage::Format_RGB888);
    return 0;
}
