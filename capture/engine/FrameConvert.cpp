#include "capture/engine/FrameConvert.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <turbojpeg.h>

#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>

namespace platform::capture {
namespace {

// Studio-range BT.601 in 8.8 fixed point, each term looked up rather than
// multiplied and each result clipped through a table: about twice as fast as
// the arithmetic at 1920 x 1080, with the same result.
struct YuvTables {
    int y[256], rv[256], gu[256], gv[256], bu[256];
    std::uint8_t clip[1024];  // index + 384 -> 0..255; sums stay within -384..639

    YuvTables()
    {
        for (int i = 0; i < 256; ++i) {
            y[i] = 298 * (i - 16);
            rv[i] = 409 * (i - 128) + 128;
            gu[i] = -100 * (i - 128);
            gv[i] = -208 * (i - 128) + 128;
            bu[i] = 516 * (i - 128) + 128;
        }
        for (int i = 0; i < 1024; ++i)
            clip[i] = std::uint8_t(std::clamp(i - 384, 0, 255));
    }
};

const YuvTables g_yuv;

}  // namespace

QSize ShrunkSize(QSize size, int divisor)
{
    divisor = std::max(1, divisor);
    return QSize((size.width() + divisor - 1) / divisor, (size.height() + divisor - 1) / divisor);
}

int FrameDivisor(QSize full, QSize atLeast)
{
    if (atLeast.isEmpty())
        return 1;
    for (int divisor : kFrameDivisors) {
        const QSize shrunk = ShrunkSize(full, divisor);
        if (shrunk.width() >= atLeast.width() && shrunk.height() >= atLeast.height())
            return divisor;
    }
    return 1;
}

namespace {

void FullYuyvToRgb(const std::uint8_t* src, int bytesPerLine, QSize size, QImage& out)
{
    const YuvTables& t = g_yuv;
    const std::uint8_t* clip = t.clip + 384;
    for (int y = 0; y < size.height(); ++y) {
        const std::uint8_t* in = src + std::size_t(y) * bytesPerLine;
        std::uint8_t* o = out.scanLine(y);
        for (int x = 0; x + 1 < size.width(); x += 2, in += 4, o += 6) {
            const int rv = t.rv[in[3]];
            const int gv = t.gu[in[1]] + t.gv[in[3]];
            const int bv = t.bu[in[1]];
            const int c0 = t.y[in[0]];
            const int c1 = t.y[in[2]];
            o[0] = clip[(c0 + rv) >> 8];
            o[1] = clip[(c0 + gv) >> 8];
            o[2] = clip[(c0 + bv) >> 8];
            o[3] = clip[(c1 + rv) >> 8];
            o[4] = clip[(c1 + gv) >> 8];
            o[5] = clip[(c1 + bv) >> 8];
        }
    }
}

}  // namespace

void YuyvToRgb(const std::uint8_t* src, int bytesPerLine, QSize size, QImage& out, int divisor)
{
    const QSize outSize = ShrunkSize(size, divisor);
    if (out.size() != outSize || out.format() != QImage::Format_RGB888)
        out = QImage(outSize, QImage::Format_RGB888);
    if (divisor <= 1) {
        FullYuyvToRgb(src, bytesPerLine, size, out);
        return;
    }
    const YuvTables& t = g_yuv;
    const std::uint8_t* clip = t.clip + 384;
    const std::size_t step = std::size_t(divisor) * 2;  // bytes from one cell to the next (even divisor)
    for (int y = 0; y < outSize.height(); ++y) {
        const int top = y * divisor;
        const std::uint8_t* a = src + std::size_t(top) * bytesPerLine;
        const std::uint8_t* b = src + std::size_t(std::min(top + 1, size.height() - 1)) * bytesPerLine;
        std::uint8_t* o = out.scanLine(y);
        // Each cell starts on a pixel pair: Y0 U Y1 V of two rows.
        for (int x = 0; x < outSize.width(); ++x, a += step, b += step, o += 3) {
            const int luma = (a[0] + a[2] + b[0] + b[2] + 2) >> 2;
            const int u = (a[1] + b[1] + 1) >> 1;
            const int v = (a[3] + b[3] + 1) >> 1;
            const int c = t.y[luma];
            o[0] = clip[(c + t.rv[v]) >> 8];
            o[1] = clip[(c + t.gu[u] + t.gv[v]) >> 8];
            o[2] = clip[(c + t.bu[u]) >> 8];
        }
    }
}

void ShrinkRgb(const QImage& in, int divisor, QImage& out)
{
    const QSize outSize = ShrunkSize(in.size(), divisor);
    if (out.size() != outSize || out.format() != QImage::Format_RGB888)
        out = QImage(outSize, QImage::Format_RGB888);
    const int w = in.width();
    const int h = in.height();
    for (int oy = 0; oy < outSize.height(); ++oy) {
        const int top = oy * divisor;
        const std::uint8_t* a = in.constScanLine(top);
        const std::uint8_t* b = in.constScanLine(std::min(top + 1, h - 1));
        std::uint8_t* o = out.scanLine(oy);
        for (int ox = 0; ox < outSize.width(); ++ox, o += 3) {
            const std::size_t left = std::size_t(ox) * divisor * 3;
            const std::size_t right = std::size_t(std::min(ox * divisor + 1, w - 1)) * 3;
            for (std::size_t k = 0; k < 3; ++k)
                o[k] = std::uint8_t((a[left + k] + a[right + k] + b[left + k] + b[right + k] + 2) >> 2);
        }
    }
}

struct FrameConverter::Decoder {
    tjhandle tj = nullptr;
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* sws = nullptr;

    ~Decoder()
    {
        if (tj)
            tjDestroy(tj);
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
                             int bytesPerLine, QImage& out, int divisor)
{
    if (!data || size.isEmpty())
        return false;
    divisor = std::max(1, divisor);
    switch (pixelFormat) {
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24: {
        const int stride = std::max(bytesPerLine, size.width() * 3);
        if (bytesUsed < std::size_t(stride) * (size.height() - 1) + std::size_t(size.width()) * 3)
            return false;
        const QImage rows(data, size.width(), size.height(), stride, QImage::Format_RGB888);
        if (divisor > 1) {
            ShrinkRgb(rows, divisor, out);
        } else {
            if (out.size() != size || out.format() != QImage::Format_RGB888)
                out = QImage(size, QImage::Format_RGB888);
            for (int y = 0; y < size.height(); ++y)
                std::memcpy(out.scanLine(y), rows.constScanLine(y), std::size_t(size.width()) * 3);
        }
        if (pixelFormat == V4L2_PIX_FMT_BGR24)
            out.rgbSwap();
        return true;
    }
    case V4L2_PIX_FMT_YUYV: {
        const int stride = std::max(bytesPerLine, size.width() * 2);
        if (bytesUsed < std::size_t(stride) * (size.height() - 1) + std::size_t(size.width()) * 2)
            return false;
        YuyvToRgb(data, stride, size, out, divisor);
        return true;
    }
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: return DecodeJpeg(data, bytesUsed, size, out, divisor);
    default: return false;
    }
}

bool FrameConverter::DecodeJpeg(const std::uint8_t* data, std::size_t bytes, QSize size, QImage& out, int divisor)
{
    const QSize outSize = ShrunkSize(size, divisor);
    if (!decoder_) {
        decoder_ = std::make_unique<Decoder>();
        decoder_->tj = tjInitDecompress();
    }
    Decoder& d = *decoder_;
    // libjpeg-turbo decodes straight to RGB, a sixth faster than libavcodec
    // and a conversion, and takes the standard Huffman tables for frames that
    // leave them out as most webcams' do. Frames it finds damaged go to
    // libavcodec, which conceals what it can. A smaller picture comes from
    // the DCT scaling: the decoder skips most of the work, not a shrink after.
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (d.tj && tjDecompressHeader3(d.tj, data, static_cast<unsigned long>(bytes), &width, &height, &subsampling,
                                    &colorspace) == 0
        && width == size.width() && height == size.height()) {
        if (out.size() != outSize || out.format() != QImage::Format_RGB888)
            out = QImage(outSize, QImage::Format_RGB888);
        if (tjDecompress2(d.tj, data, static_cast<unsigned long>(bytes), out.bits(), outSize.width(),
                          int(out.bytesPerLine()), outSize.height(), TJPF_RGB, TJFLAG_STOPONWARNING) == 0)
            return true;
    }
    // libavcodec's decoder copes with damaged frames too.
    if (!d.ctx) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        if (!codec || !(d.ctx = avcodec_alloc_context3(codec)))
            return false;
        d.ctx->thread_count = 1;
        if (avcodec_open2(d.ctx, codec, nullptr) < 0) {
            avcodec_free_context(&d.ctx);
            return false;
        }
        d.frame = av_frame_alloc();
        d.packet = av_packet_alloc();
    }
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
                                     outSize.width(), outSize.height(), AV_PIX_FMT_RGB24,
                                     divisor > 1 ? SWS_AREA : SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (d.sws) {
            if (out.size() != outSize || out.format() != QImage::Format_RGB888)
                out = QImage(outSize, QImage::Format_RGB888);
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
