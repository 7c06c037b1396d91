#include "history/Timelapse.h"

#include "history/HistoryStore.h"
#include "platform/threads.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <array>
#include <cstring>

namespace history {
namespace {

constexpr int kMaxWidth = 1920;

QString AvError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

// A picture cut short lacks the end-of-image marker; the decoder would still
// hand out a half-grey frame. Some cameras pad after the marker.
bool LooksLikeWholeJpeg(const QByteArray& bytes)
{
    if (bytes.size() < 4 || !bytes.startsWith("\xFF\xD8\xFF"))
        return false;
    constexpr qsizetype kPadding = 64;
    const qsizetype from = qMax<qsizetype>(0, bytes.size() - kPadding);
    return bytes.indexOf("\xFF\xD9", from) >= 0;
}

// Digits and colon, 5 x 7, one row a byte (bit 4 is the left column): the
// label needs no font engine, so it works on any thread and without a display.
constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
using Glyph = std::array<std::uint8_t, kGlyphHeight>;
constexpr Glyph kDigits[10] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};
constexpr Glyph kColon = {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00};

// Draws text (digits and ':') white on a dark box in the bottom-left corner
// of a yuv420p frame, at a size that follows the frame's height.
void DrawTimeLabel(AVFrame* frame, const QString& text)
{
    const int scale = qMax(1, frame->height / 120);
    const int advance = (kGlyphWidth + 1) * scale;
    const int pad = 2 * scale;
    // Even edges keep the box whole in the half-size chroma planes.
    const int boxWidth = qMin(frame->width, (int(text.size()) * advance + 2 * pad + 1) & ~1);
    const int boxHeight = qMin(frame->height, (kGlyphHeight * scale + 2 * pad + 1) & ~1);
    const int left = qMin(pad & ~1, frame->width - boxWidth) & ~1;
    const int top = (frame->height - boxHeight - (pad & ~1)) & ~1;
    if (top < 0)
        return;
    constexpr std::uint8_t kBoxLuma = 16, kTextLuma = 235, kNeutralChroma = 128;
    for (int y = 0; y < boxHeight; ++y)
        std::memset(frame->data[0] + (top + y) * frame->linesize[0] + left, kBoxLuma, boxWidth);
    for (int plane = 1; plane <= 2; ++plane) {
        for (int y = 0; y < boxHeight / 2; ++y)
            std::memset(frame->data[plane] + (top / 2 + y) * frame->linesize[plane] + left / 2, kNeutralChroma, boxWidth / 2);
    }
    int x0 = left + pad;
    for (const QChar c : text) {
        const Glyph* glyph = c == QLatin1Char(':') ? &kColon : c.isDigit() ? &kDigits[c.digitValue()] : nullptr;
        for (int row = 0; glyph && row < kGlyphHeight; ++row) {
            for (int col = 0; col < kGlyphWidth; ++col) {
                if (!((*glyph)[row] & (0x10 >> col)))
                    continue;
                for (int dy = 0; dy < scale; ++dy) {
                    std::uint8_t* line = frame->data[0] + (top + pad + row * scale + dy) * frame->linesize[0];
                    std::memset(line + x0 + col * scale, kTextLuma, scale);
                }
            }
        }
        x0 += advance;
        if (x0 + advance > left + boxWidth)
            break;
    }
}

// "10-15-00.jpg" -> "10:15:00"
QString TimeOfPicture(const QString& path)
{
    return QFileInfo(path).completeBaseName().replace(QLatin1Char('-'), QLatin1Char(':'));
}

// One video being written: decoder, scaler, encoder and muxer, opened when
// the first good picture gives the size.
class Encoder
{
public:
    ~Encoder()
    {
        sws_freeContext(scaler_);
        av_frame_free(&picture_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&decoder_);
        avcodec_free_context(&encoder_);
        if (muxer_) {
            if (muxer_->pb)
                avio_closep(&muxer_->pb);
            avformat_free_context(muxer_);
        }
    }

    bool OpenDecoder(QString* error)
    {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        decoder_ = codec ? avcodec_alloc_context3(codec) : nullptr;
        picture_ = av_frame_alloc();
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!decoder_ || !picture_ || !frame_ || !packet_ || avcodec_open2(decoder_, codec, nullptr) < 0) {
            *error = QStringLiteral("the JPEG decoder is not available");
            return false;
        }
        return true;
    }

    // Decodes one picture into picture_; a refusal is a note, not a failure.
    bool Decode(const QByteArray& bytes, QString* why)
    {
        if (bytes.isEmpty()) {
            *why = QStringLiteral("empty file");
            return false;
        }
        if (!LooksLikeWholeJpeg(bytes)) {
            *why = QStringLiteral("not a whole JPEG picture");
            return false;
        }
        av_packet_unref(packet_);
        if (av_new_packet(packet_, int(bytes.size())) < 0) {
            *why = QStringLiteral("out of memory");
            return false;
        }
        std::memcpy(packet_->data, bytes.constData(), bytes.size());
        int rc = avcodec_send_packet(decoder_, packet_);
        if (rc >= 0)
            rc = avcodec_receive_frame(decoder_, picture_);
        if (rc < 0) {
            avcodec_flush_buffers(decoder_);
            *why = QStringLiteral("cannot be decoded (%1)").arg(AvError(rc));
            return false;
        }
        return true;
    }

    bool OpenOutput(const QString& path, int framesPerSecond, QString* error)
    {
        width_ = picture_->width > kMaxWidth ? picture_->width / 2 : picture_->width;
        height_ = picture_->width > kMaxWidth ? picture_->height / 2 : picture_->height;
        width_ &= ~1;  // 4:2:0 needs even sides
        height_ &= ~1;
        if (width_ < 2 || height_ < 2) {
            *error = QStringLiteral("the pictures are too small for a video");
            return false;
        }
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (!codec) {
            *error = QStringLiteral("the H.264 encoder (libx264) is not available");
            return false;
        }
        const QByteArray file = QFile::encodeName(path);
        int rc = avformat_alloc_output_context2(&muxer_, nullptr, "mp4", file.constData());
        if (rc < 0 || !muxer_)
            return Fail(error, QStringLiteral("cannot make an MP4 file"), rc);
        encoder_ = avcodec_alloc_context3(codec);
        encoder_->width = width_;
        encoder_->height = height_;
        encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
        encoder_->time_base = AVRational{1, framesPerSecond};
        encoder_->framerate = AVRational{framesPerSecond, 1};
        encoder_->sample_aspect_ratio = AVRational{1, 1};
        if (muxer_->oformat->flags & AVFMT_GLOBALHEADER)
            encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary* encoderOptions = nullptr;
        av_dict_set(&encoderOptions, "preset", "veryfast", 0);
        av_dict_set(&encoderOptions, "crf", "23", 0);
        rc = avcodec_open2(encoder_, codec, &encoderOptions);
        av_dict_free(&encoderOptions);
        if (rc < 0)
            return Fail(error, QStringLiteral("cannot start the H.264 encoder"), rc);
        stream_ = avformat_new_stream(muxer_, nullptr);
        if (!stream_)
            return Fail(error, QStringLiteral("cannot make an MP4 file"), AVERROR(ENOMEM));
        stream_->time_base = encoder_->time_base;
        avcodec_parameters_from_context(stream_->codecpar, encoder_);
        rc = avio_open(&muxer_->pb, file.constData(), AVIO_FLAG_WRITE);
        if (rc < 0)
            return Fail(error, QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(path)), rc);
        AVDictionary* muxerOptions = nullptr;
        av_dict_set(&muxerOptions, "movflags", "+faststart", 0);
        rc = avformat_write_header(muxer_, &muxerOptions);
        av_dict_free(&muxerOptions);
        if (rc < 0)
            return Fail(error, QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(path)), rc);
        frame_->format = AV_PIX_FMT_YUV420P;
        frame_->width = width_;
        frame_->height = height_;
        rc = av_frame_get_buffer(frame_, 0);
        if (rc < 0)
            return Fail(error, QStringLiteral("out of memory"), rc);
        return true;
    }

    bool IsOpen() const { return encoder_ != nullptr; }
    int Width() const { return width_; }
    int Height() const { return height_; }

    // The decoded picture, scaled into the video's size and labelled, to the encoder.
    bool EncodePicture(const QString& label, QString* error)
    {
        int rc = av_frame_make_writable(frame_);
        if (rc < 0)
            return Fail(error, QStringLiteral("out of memory"), rc);
        // A camera that changed its size midway is scaled to the first one.
        scaler_ = sws_getCachedContext(scaler_, picture_->width, picture_->height, AVPixelFormat(picture_->format),
                                       width_, height_, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!scaler_)
            return Fail(error, QStringLiteral("cannot convert the pictures"), AVERROR(EINVAL));
        sws_scale(scaler_, picture_->data, picture_->linesize, 0, picture_->height, frame_->data, frame_->linesize);
        av_frame_unref(picture_);
        DrawTimeLabel(frame_, label);
        frame_->pts = nextPts_++;
        return Send(frame_, error);
    }

    // Drains the encoder and completes the file.
    bool Finish(QString* error)
    {
        if (!Send(nullptr, error))
            return false;
        const int rc = av_write_trailer(muxer_);
        if (rc < 0)
            return Fail(error, QStringLiteral("cannot complete the video"), rc);
        if (avio_closep(&muxer_->pb) < 0)
            return Fail(error, QStringLiteral("cannot complete the video"), AVERROR(EIO));
        return true;
    }

private:
    bool Fail(QString* error, const QString& what, int code)
    {
        *error = what + QStringLiteral(": ") + AvError(code);
        return false;
    }

    bool Send(AVFrame* frame, QString* error)
    {
        int rc = avcodec_send_frame(encoder_, frame);
        if (rc < 0)
            return Fail(error, QStringLiteral("the H.264 encoder failed"), rc);
        while ((rc = avcodec_receive_packet(encoder_, packet_)) >= 0) {
            // Without a duration the MP4's edit list cuts the last frame off.
            if (packet_->duration <= 0)
                packet_->duration = 1;
            av_packet_rescale_ts(packet_, encoder_->time_base, stream_->time_base);
            packet_->stream_index = stream_->index;
            rc = av_interleaved_write_frame(muxer_, packet_);
            if (rc < 0)
                return Fail(error, QStringLiteral("cannot write the video"), rc);
        }
        return rc == AVERROR(EAGAIN) || rc == AVERROR_EOF ? true : Fail(error, QStringLiteral("the H.264 encoder failed"), rc);
    }

    AVCodecContext* decoder_ = nullptr;
    AVCodecContext* encoder_ = nullptr;
    AVFormatContext* muxer_ = nullptr;
    AVStream* stream_ = nullptr;
    SwsContext* scaler_ = nullptr;
    AVFrame* picture_ = nullptr;  // decoded
    AVFrame* frame_ = nullptr;    // to encode
    AVPacket* packet_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    std::int64_t nextPts_ = 0;
};

}  // namespace

TimelapseResult TimelapseMaker::Make(const QString& dayFolder, const QString& outputPath, const TimelapseOptions& options)
{
    TimelapseResult result;
    if (options.lowPriority)
        platform::LowerCurrentThreadPriority();
    // Bad pictures are our notes; the library's warnings would only repeat them.
    av_log_set_level(AV_LOG_ERROR);

    const QStringList pictures = HistoryStore::PicturesIn(dayFolder);
    const QString partial = outputPath + QStringLiteral(".part");
    auto fail = [&](TimelapseStatus status, const QString& error) {
        QFile::remove(partial);
        result.status = status;
        result.error = error;
        return result;
    };
    QString error;
    int lastPercent = -1;
    {
        Encoder encoder;
        if (!encoder.OpenDecoder(&error))
            return fail(TimelapseStatus::Failed, error);
        for (qsizetype i = 0; i < pictures.size(); ++i) {
            if (cancelled_)
                return fail(TimelapseStatus::Cancelled, QString());
            QFile file(pictures[i]);
            QString why;
            const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            if (file.error() != QFileDevice::NoError)
                why = file.errorString();
            if (!why.isEmpty() || !encoder.Decode(bytes, &why)) {
                ++result.skipped;
                if (OnNote)
                    OnNote(QStringLiteral("%1 skipped: %2").arg(QFileInfo(pictures[i]).fileName(), why));
            } else {
                if (!encoder.IsOpen()) {
                    if (!encoder.OpenOutput(partial, qBound(1, options.framesPerSecond, 120), &error))
                        return fail(TimelapseStatus::Failed, error);
                    result.width = encoder.Width();
                    result.height = encoder.Height();
                }
                if (!encoder.EncodePicture(TimeOfPicture(pictures[i]), &error))
                    return fail(TimelapseStatus::Failed, error);
                ++result.frames;
            }
            const int percent = int((i + 1) * 100 / pictures.size());
            if (percent != lastPercent && OnProgress)
                OnProgress(percent);
            lastPercent = percent;
        }
        if (!encoder.IsOpen())
            return fail(TimelapseStatus::NoPictures,
                        QStringLiteral("no pictures in %1").arg(QDir::toNativeSeparators(dayFolder)));
        if (cancelled_)
            return fail(TimelapseStatus::Cancelled, QString());
        if (!encoder.Finish(&error))
            return fail(TimelapseStatus::Failed, error);
    }
    QFile::remove(outputPath);
    if (!QFile::rename(partial, outputPath))
        return fail(TimelapseStatus::Failed, QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(outputPath)));
    result.status = TimelapseStatus::Made;
    return result;
}

}  // namespace history
