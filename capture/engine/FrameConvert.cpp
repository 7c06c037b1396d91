#include "capture/engine/FrameConvert.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>

namespace platform::capture {
namespace {

inline std::uint8_t Clip(int v)
{
    return std::uint8_t(std::clamp(v, 0, 255));
}

}  // namespace

void YuyvToRgb(const std::uint8_t* src, int bytesPerLine, QSize size, QImage& out)
{
    if (out.size() != size || out.format() != QImage::Format_RGB888)
        out = QImage(size, QImage::Format_RGB888);
    for (int y = 0; y < size.height(); ++y) {
        const std::uint8_t* in = src + std::size_t(y) * bytesPerLine;
        std::uint8_t* o = out.scanLine(y);
        for (int x = 0; x + 1 < size.width(); x += 2, in += 4, o += 6) {
            const int d = in[1] - 128;
            const int e = in[3] - 128;
            const int rv = 409 * e + 128;
            const int gv = -100 * d - 208 * e + 128;
            const int bv = 516 * d + 128;
            const int c0 = 298 * (in[0] - 16);
            const int c1 = 298 * (in[2] - 16);
            o[0] = Clip((c0 + rv) >> 8);
            o[1] = Clip((c0 + gv) >> 8);
            o[2] = Clip((c0 + bv) >> 8);
            o[3] = Clip((c1 + rv) >> 8);
            o[4] = Clip((c1 + gv) >> 8);
            o[5] = Clip((c1 + bv) >> 8);
        }
    }
}

struct FrameConverter::Decoder {
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* sws = nullptr;

    ~Decoder()
    {
        sws_freeContext(sws);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&ctx);
    }
};

FrameConverter::FrameConverter() = default;
FrameConverter::~FrameConverter() = default;

bool FrameConverter::Supports(std::uint32_t pixelFormat)
{
    return pixelFormat == V4L2_PIX_FMT_RGB24 || pixelFormat == V4L2_PIX_FMT_BGR24 || pixelFormat == V4L2_PIX_FMT_YUYV
           || pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG;
}

bool FrameConverter::Convert(std::uint32_t pixelFormat, const std::uint8_t* data, std::size_t bytesUsed, QSize size,
                             int bytesPerLine, QImage& out)
{
    if (!data || size.isEmpty())
        return false;
    switch (pixelFormat) {
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24: {
        const int stride = std::max(bytesPerLine, size.width() * 3);
        if (bytesUsed < std::size_t(stride) * (size.height() - 1) + std::size_t(size.width()) * 3)
            return false;
        if (out.size() != size || out.format() != QImage::Format_RGB888)
            out = QImage(size, QImage::Format_RGB888);
        for (int y = 0; y < size.height(); ++y)
            std::memcpy(out.scanLine(y), data + std::size_t(y) * stride, std::size_t(size.width()) * 3);
        if (pixelFormat == V4L2_PIX_FMT_BGR24)
            out.rgbSwap();
        return true;
    }
    case V4L2_PIX_FMT_YUYV: {
        const int stride = std::max(bytesPerLine, size.width() * 2);
        if (bytesUsed < std::size_t(stride) * (size.height() - 1) + std::size_t(size.width()) * 2)
            return false;
        YuyvToRgb(data, stride, size, out);
        return true;
    }
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: return DecodeJpeg(data, bytesUsed, size, out);
    default: return false;
    }
}

bool FrameConverter::DecodeJpeg(const std::uint8_t* data, std::size_t bytes, QSize size, QImage& out)
{
    // libavcodec's decoder copes with the Huffman-table-less frames many
    // webcams send.
    if (!decoder_) {
        auto d = std::make_unique<Decoder>();
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        if (!codec || !(d->ctx = avcodec_alloc_context3(codec)))
            return false;
        d->ctx->thread_count = 1;
        if (avcodec_open2(d->ctx, codec, nullptr) < 0)
            return false;
        d->frame = av_frame_alloc();
        d->packet = av_packet_alloc();
        decoder_ = std::move(d);
    }
    Decoder& d = *decoder_;
    if (av_new_packet(d.packet, int(bytes)) < 0)
        return false;
    std::memcpy(d.packet->data, data, bytes);
    int rc = avcodec_send_packet(d.ctx, d.packet);
    av_packet_unref(d.packet);
    if (rc < 0)
        return false;
    rc = avcodec_receive_frame(d.ctx, d.frame);
    if (rc < 0)
        return false;
    bool ok = false;
    if (d.frame->width == size.width() && d.frame->height == size.height()) {
        d.sws = sws_getCachedContext(d.sws, d.frame->width, d.frame->height, AVPixelFormat(d.frame->format),
                                     size.width(), size.height(), AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr,
                                     nullptr);
        if (d.sws) {
            if (out.size() != size || out.format() != QImage::Format_RGB888)
                out = QImage(size, QImage::Format_RGB888);
            std::uint8_t* dst[1] = {out.bits()};
            const int dstStride[1] = {int(out.bytesPerLine())};
            sws_scale(d.sws, d.frame->data, d.frame->linesize, 0, d.frame->height, dst, dstStride);
            ok = true;
        }
    }
    av_frame_unref(d.frame);
    return ok;
}

}  // namespace platform::capture
