#include "capture/engine/AviWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <QElapsedTimer>
#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::capture {
namespace {

// Room kept allocated past the write position: the closing index, the I/O
// buffer and the rest of a frame in flight.
constexpr std::int64_t kReserveBase = 256 * 1024;
constexpr std::int64_t kAllocateStep = 512 * 1024;
constexpr int kIoBufferSize = 64 * 1024;
constexpr qint64 kCheckpointEveryMs = 1000;
// The muxer closes the first RIFF itself when it starts an OpenDML
// extension at 1 GiB; until then its sizes are ours to keep current.
constexpr std::int64_t kFirstRiffLimit = 1000LL * 1024 * 1024;

std::uint32_t Le32(const QByteArray& b, std::int64_t at)
{
    return qFromLittleEndian<std::uint32_t>(b.constData() + at);
}

// Where the sizes and counts sit that the muxer fills in only at the end.
struct HeaderFields {
    std::int64_t totalFrames = -1;   // avih dwTotalFrames
    std::vector<std::int64_t> lengths;  // strh dwLength, per stream in order
    std::int64_t moviSize = -1;      // LIST movi size
    bool found = false;
};

void FindFields(const QByteArray& b, std::int64_t from, std::int64_t to, HeaderFields& f)
{
    std::int64_t at = from;
    while (at + 8 <= to && f.moviSize < 0) {
        const std::uint32_t id = Le32(b, at);
        const std::int64_t size = Le32(b, at + 4);
        const std::int64_t data = at + 8;
        if (id == 0x5453494C /* LIST */ && data + 4 <= to) {
            if (Le32(b, data) == 0x69766F6D /* movi */) {
                f.moviSize = at + 4;
                break;
            }
            FindFields(b, data + 4, std::min<std::int64_t>(to, data + size), f);
        } else if (id == 0x68697661 /* avih */ && data + 20 <= to) {
            f.totalFrames = data + 16;
        } else if (id == 0x68727473 /* strh */ && data + 36 <= to) {
            f.lengths.push_back(data + 32);
        }
        at = data + size + (size & 1);
    }
    f.found = f.totalFrames >= 0 && f.moviSize >= 0 && !f.lengths.empty();
}

QString AvErrorText(int err)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return QString::fromLocal8Bit(buf);
}

// The file behind the AVIO context.
struct FileSink {
    int fd = -1;
    std::int64_t pos = 0;
    std::int64_t end = 0;        // written length
    std::int64_t allocated = 0;  // file length we made sure of
    std::int64_t packets = 0;        // told by the writer: each needs an index entry
    std::int64_t largestPacket = 0;
    bool closing = false;        // the trailer may use the reserve
    bool full = false;
    bool canAllocate = true;

    std::int64_t Reserve() const { return kReserveBase + 2 * largestPacket + packets * 32; }

    void EnsureReserve(std::int64_t upTo)
    {
        if (closing || full || !canAllocate)
            return;
        const std::int64_t want = upTo + Reserve();
        if (want <= allocated)
            return;
        // Grow in steps so that this does not run for every packet.
        const std::int64_t target = want + kAllocateStep;
        const int rc = posix_fallocate(fd, 0, target);
        if (rc == 0) {
            allocated = target;
        } else if (rc == EOPNOTSUPP || rc == EINVAL) {
            canAllocate = false;  // the file system cannot reserve: write as it comes
        } else {
            full = true;  // ENOSPC, EFBIG: stop before the reserve is used up
        }
    }

    static int Write(void* opaque, std::uint8_t* buf, int size)
    {
        auto* s = static_cast<FileSink*>(opaque);
        s->EnsureReserve(s->pos + size);
        int done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(s->fd, buf + done, size - done, s->pos + done);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                s->full = s->full || errno == ENOSPC || errno == EFBIG;
                return AVERROR(errno);
            }
            done += int(n);
        }
        s->pos += size;
        s->end = std::max(s->end, s->pos);
        return size;
    }

    static std::int64_t Seek(void* opaque, std::int64_t offset, int whence)
    {
        auto* s = static_cast<FileSink*>(opaque);
        switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE: return s->end;
        case SEEK_SET: s->pos = offset; break;
        case SEEK_CUR: s->pos += offset; break;
        case SEEK_END: s->pos = s->end + offset; break;
        default: return AVERROR(EINVAL);
        }
        return s->pos;
    }
};

AVPixelFormat PickPixelFormat(const AVCodec* codec)
{
    if (!codec->pix_fmts)  // takes any layout: uncompressed AVI frames are BGR
        return AV_PIX_FMT_BGR24;
    // MJPEG players expect 4:2:0 full-range; uncompressed AVI wants BGR.
    const AVPixelFormat preferred[] = {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_BGR24, AV_PIX_FMT_YUV420P};
    for (AVPixelFormat p : preferred)
        for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
            if (*f == p)
                return p;
    for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
        if (sws_isSupportedOutput(*f))
            return *f;
    return AV_PIX_FMT_NONE;
}

AVCodecContext* OpenEncoder(const AVCodec* codec, QSize size, std::uint32_t usPerFrame, bool globalHeader,
                            QString* error)
{
    AVCodecContext* enc = avcodec_alloc_context3(codec);
    if (!enc)
        return nullptr;
    enc->width = size.width();
    enc->height = size.height();
    enc->pix_fmt = PickPixelFormat(codec);
    enc->time_base = AVRational{int(std::max<std::uint32_t>(1, usPerFrame)), 1000000};
    enc->framerate = AVRational{1000000, int(std::max<std::uint32_t>(1, usPerFrame))};
    enc->gop_size = 12;
    enc->thread_count = 1;
    if (codec->id == AV_CODEC_ID_MJPEG) {
        enc->flags |= AV_CODEC_FLAG_QSCALE;
        enc->global_quality = FF_QP2LAMBDA * 3;
        enc->color_range = AVCOL_RANGE_JPEG;
    } else {
        enc->bit_rate = std::int64_t(size.width()) * size.height() * 4;
    }
    if (globalHeader)
        enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (enc->pix_fmt == AV_PIX_FMT_NONE) {
        if (error)
            *error = QStringLiteral("The compressor %1 takes no usable picture format.").arg(codec->name);
        avcodec_free_context(&enc);
        return nullptr;
    }
    // Keep encoder chatter out of the program's output.
    const int rc = avcodec_open2(enc, codec, nullptr);
    if (rc < 0) {
        if (error)
            *error = QStringLiteral("The compressor %1 cannot be used: %2").arg(codec->name, AvErrorText(rc));
        avcodec_free_context(&enc);
        return nullptr;
    }
    return enc;
}

}  // namespace

struct AviWriter::State {
    FileSink sink;
    AVFormatContext* fmt = nullptr;
    AVIOContext* io = nullptr;
    AVCodecContext* enc = nullptr;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    SwsContext* sws = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    Audio audio;
    std::int64_t audioSamples = 0;
    std::int64_t videoFrames = 0;
    std::int64_t lastIndex = -1;
    bool open = false;
    HeaderFields fields;
    QElapsedTimer sinceCheckpoint;

    // The stream of the encoder, and a PCM audio stream when asked for.
    void AddStreams(const Audio* a)
    {
        videoStream = avformat_new_stream(fmt, nullptr);
        avcodec_parameters_from_context(videoStream->codecpar, enc);
        videoStream->time_base = enc->time_base;
        videoStream->avg_frame_rate = enc->framerate;
        if (!a)
            return;
        audio = *a;
        audioStream = avformat_new_stream(fmt, nullptr);
        AVCodecParameters* p = audioStream->codecpar;
        p->codec_type = AVMEDIA_TYPE_AUDIO;
        p->codec_id = a->bitsPerSample == 8 ? AV_CODEC_ID_PCM_U8 : AV_CODEC_ID_PCM_S16LE;
        p->sample_rate = a->sampleRate;
        av_channel_layout_default(&p->ch_layout, a->channels);
        p->bits_per_coded_sample = a->bitsPerSample;
        p->block_align = a->channels * a->bitsPerSample / 8;
        p->bit_rate = std::int64_t(a->sampleRate) * p->block_align * 8;
        audioStream->time_base = AVRational{1, a->sampleRate};
    }

    // The file and the I/O context writing into it; why not, or empty.
    QString OpenSink(const QString& path, bool preAllocated)
    {
        const QByteArray name = QFile::encodeName(path);
        // A tail of an older recording would be read as part of this one.
        sink.fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | (preAllocated ? 0 : O_TRUNC), 0644);
        if (sink.fd < 0)
            return QStringLiteral("Cannot open the capture file %1: %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        struct stat st {};
        if (::fstat(sink.fd, &st) == 0)
            sink.allocated = st.st_size;
        auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
        io = avio_alloc_context(buffer, kIoBufferSize, 1, &sink, nullptr, &FileSink::Write, &FileSink::Seek);
        if (!io) {
            av_free(buffer);
            return QStringLiteral("Out of memory.");
        }
        io->seekable = AVIO_SEEKABLE_NORMAL;
        fmt->pb = io;
        fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
        return QString();
    }

    // The header on disk, and where in it the sizes to keep current sit.
    QString StartFile()
    {
        const int rc = avformat_write_header(fmt, nullptr);
        if (rc < 0)
            return QStringLiteral("Writing the capture file failed: %1").arg(AvErrorText(rc));
        avio_flush(io);
        QByteArray header(int(std::min<std::int64_t>(sink.end, 1 << 20)), '\0');
        if (::pread(sink.fd, header.data(), header.size(), 0) == header.size() && header.size() >= 12)
            FindFields(header, 12, header.size(), fields);
        sinceCheckpoint.start();
        return QString();
    }

    // The encoder's frame and the converter from RGB24 into it.
    QString PrepareFrames(QSize size)
    {
        frame = av_frame_alloc();
        packet = av_packet_alloc();
        frame->format = enc->pix_fmt;
        frame->width = size.width();
        frame->height = size.height();
        if (av_frame_get_buffer(frame, 0) < 0)
            return QStringLiteral("Out of memory.");
        sws = sws_getContext(size.width(), size.height(), AV_PIX_FMT_RGB24, size.width(), size.height(), enc->pix_fmt,
                             SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!sws)
            return QStringLiteral("The picture cannot be converted for the compressor.");
        return QString();
    }

    void PutLe32(std::int64_t at, std::uint32_t value)
    {
        char b[4];
        qToLittleEndian(value, b);
        while (::pwrite(sink.fd, b, 4, at) < 0 && errno == EINTR) {
        }
    }

    // Everything written so far on disk, and the header telling its size, so
    // that a kill from here on loses only what follows.
    void Checkpoint()
    {
        sinceCheckpoint.start();
        avio_flush(io);
        if (!fields.found || sink.end >= kFirstRiffLimit)
            return;
        PutLe32(4, std::uint32_t(sink.end - 8));
        PutLe32(fields.moviSize, std::uint32_t(sink.end - fields.moviSize - 4));
        PutLe32(fields.totalFrames, std::uint32_t(videoFrames));
        PutLe32(fields.lengths[0], std::uint32_t(lastIndex + 1));
        if (audioStream && fields.lengths.size() > 1)
            PutLe32(fields.lengths[1], std::uint32_t(audioSamples));
    }

    bool Drain(QString* error)
    {
        for (;;) {
            int rc = avcodec_receive_packet(enc, packet);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return true;
            if (rc < 0) {
                if (error)
                    *error = QStringLiteral("Compressing a frame failed: %1").arg(AvErrorText(rc));
                return false;
            }
            sink.largestPacket = std::max<std::int64_t>(sink.largestPacket, packet->size);
            ++sink.packets;
            av_packet_rescale_ts(packet, enc->time_base, videoStream->time_base);
            packet->stream_index = videoStream->index;
            rc = av_interleaved_write_frame(fmt, packet);
            if (rc < 0) {
                if (error)
                    *error = QStringLiteral("Writing the capture file failed: %1").arg(AvErrorText(rc));
                return false;
            }
        }
    }

    void Free()
    {
        sws_freeContext(sws);
        sws = nullptr;
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&enc);
        if (fmt) {
            avformat_free_context(fmt);
            fmt = nullptr;
        }
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
        if (sink.fd >= 0) {
            ::close(sink.fd);
            sink.fd = -1;
        }
        open = false;
    }
};

AviWriter::AviWriter() : d(std::make_unique<State>()) {}

AviWriter::~AviWriter()
{
    Close(nullptr);
}

bool AviWriter::IsOpen() const { return d->open; }
bool AviWriter::DiskFull() const { return d->sink.full; }
std::int64_t AviWriter::BytesWritten() const { return d->sink.end; }
std::int64_t AviWriter::VideoFrames() const { return d->videoFrames; }

bool AviWriter::Open(const QString& path, const Video& video, const Audio* audio, QString* error, bool preAllocated)
{
    Close(nullptr);
    // Encoder and converter notes would only clutter the program's output;
    // failures come back as results.
    static const bool quiet = [] {
        av_log_set_level(AV_LOG_ERROR);
        return true;
    }();
    (void)quiet;
    *d = State{};
    auto fail = [&](const QString& text) {
        if (error)
            *error = text;
        d->Free();
        return false;
    };

    const AVCodec* codec = avcodec_find_encoder_by_name(video.codec.toUtf8().constData());
    if (!codec || codec->type != AVMEDIA_TYPE_VIDEO)
        return fail(QStringLiteral("The compressor %1 is not available.").arg(video.codec));
    if (avformat_alloc_output_context2(&d->fmt, nullptr, "avi", nullptr) < 0 || !d->fmt)
        return fail(QStringLiteral("The AVI writer is not available."));

    d->enc = OpenEncoder(codec, video.size, video.microSecPerFrame,
                         (d->fmt->oformat->flags & AVFMT_GLOBALHEADER) != 0, error);
    if (!d->enc) {
        const QString why = error ? *error : QString();
        return fail(why);
    }

    d->AddStreams(audio);
    QString why = d->OpenSink(path, preAllocated);
    if (why.isEmpty())
        why = d->StartFile();
    if (why.isEmpty())
        why = d->PrepareFrames(video.size);
    if (!why.isEmpty())
        return fail(why);
    d->open = true;
    return true;
}

bool AviWriter::WriteVideo(const QImage& image, std::int64_t index, QString* error)
{
    if (!d->open)
        return false;
    if (index <= d->lastIndex)
        return true;
    QImage rgb = image.format() == QImage::Format_RGB888 ? image : image.convertToFormat(QImage::Format_RGB888);
    if (rgb.width() != d->enc->width || rgb.height() != d->enc->height)
        rgb = rgb.scaled(d->enc->width, d->enc->height);
    if (av_frame_make_writable(d->frame) < 0) {
        if (error)
            *error = QStringLiteral("Out of memory.");
        return false;
    }
    const std::uint8_t* src[1] = {rgb.constBits()};
    const int srcStride[1] = {int(rgb.bytesPerLine())};
    sws_scale(d->sws, src, srcStride, 0, rgb.height(), d->frame->data, d->frame->linesize);
    d->frame->pts = index;
    d->lastIndex = index;
    const int rc = avcodec_send_frame(d->enc, d->frame);
    if (rc < 0) {
        if (error)
            *error = QStringLiteral("Compressing a frame failed: %1").arg(AvErrorText(rc));
        return false;
    }
    ++d->videoFrames;
    if (!d->Drain(error))
        return false;
    if (d->sinceCheckpoint.elapsed() >= kCheckpointEveryMs)
        d->Checkpoint();
    return true;
}

bool AviWriter::WriteAudio(const std::uint8_t* data, int bytes, QString* error)
{
    if (!d->open || !d->audioStream || bytes <= 0)
        return d->open;
    const int blockAlign = d->audio.channels * d->audio.bitsPerSample / 8;
    AVPacket* pkt = av_packet_alloc();
    if (!pkt || av_new_packet(pkt, bytes) < 0) {
        av_packet_free(&pkt);
        return false;
    }
    std::memcpy(pkt->data, data, bytes);
    d->sink.largestPacket = std::max<std::int64_t>(d->sink.largestPacket, bytes);
    ++d->sink.packets;
    pkt->pts = pkt->dts = d->audioSamples;
    pkt->duration = bytes / blockAlign;
    pkt->stream_index = d->audioStream->index;
    d->audioSamples += bytes / blockAlign;
    const int rc = av_interleaved_write_frame(d->fmt, pkt);
    av_packet_free(&pkt);
    if (rc < 0) {
        if (error)
            *error = QStringLiteral("Writing the capture file failed: %1").arg(AvErrorText(rc));
        return false;
    }
    return true;
}

bool AviWriter::Close(QString* error)
{
    if (!d->open) {
        d->Free();
        return true;
    }
    bool ok = true;
    QString why;
    // Flush what the encoder still holds, then let the trailer use the reserve.
    if (avcodec_send_frame(d->enc, nullptr) >= 0)
        ok = d->Drain(&why);
    d->sink.closing = true;
    const int rc = av_write_trailer(d->fmt);
    if (rc < 0 && ok) {
        ok = false;
        why = QStringLiteral("Finishing the capture file failed: %1").arg(AvErrorText(rc));
    }
    avio_flush(d->io);
    if (::ftruncate(d->sink.fd, d->sink.end) != 0 && ok) {
        ok = false;
        why = QStringLiteral("Finishing the capture file failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    d->Free();
    if (!ok && error)
        *error = why;
    return ok;
}

QString DefaultAviCodec()
{
    return QStringLiteral("mjpeg");
}

QList<AviCodec> AviVideoCodecs()
{
    // Opening every encoder to try it takes seconds (some initialise whole
    // thread pools), so the list is what AVI can carry and what takes a
    // picture format that can be converted to; an encoder that then refuses
    // the size is reported when the capture starts.
    static const QList<AviCodec> codecs = [] {
        QList<AviCodec> result;
        const AVOutputFormat* avi = av_guess_format("avi", nullptr, nullptr);
        if (!avi)
            return result;
        void* it = nullptr;
        while (const AVCodec* codec = av_codec_iterate(&it)) {
            if (!av_codec_is_encoder(codec) || codec->type != AVMEDIA_TYPE_VIDEO)
                continue;
            if (codec->capabilities & (AV_CODEC_CAP_EXPERIMENTAL | AV_CODEC_CAP_HARDWARE))
                continue;
            if (avformat_query_codec(avi, codec->id, FF_COMPLIANCE_NORMAL) != 1)
                continue;
            if (PickPixelFormat(codec) == AV_PIX_FMT_NONE)
                continue;
            bool duplicate = false;
            for (const AviCodec& c : result)
                duplicate = duplicate || c.name == QLatin1String(codec->name);
            if (duplicate)
                continue;
            AviCodec c;
            c.name = QString::fromLatin1(codec->name);
            c.description = QString::fromUtf8(codec->long_name ? codec->long_name : codec->name);
            if (codec->id == AV_CODEC_ID_RAWVIDEO)
                c.description = QStringLiteral("Uncompressed (full frames)");
            result.append(c);
        }
        return result;
    }();
    return codecs;
}

}  // namespace platform::capture
