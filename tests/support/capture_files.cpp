#include "tests/support/capture_files.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <QFile>
#include "tests/support/wait.h"
#include <QtEndian>

namespace testsupport {

BmpInfo ReadBmpHeader(const QString& path)
{
    BmpInfo info;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return info;
    const QByteArray h = f.read(54);
    info.fileSize = f.size();
    if (h.size() < 54 || h[0] != 'B' || h[1] != 'M')
        return info;
    const auto* p = reinterpret_cast<const uchar*>(h.constData());
    info.width = qFromLittleEndian<qint32>(p + 18);
    info.height = qFromLittleEndian<qint32>(p + 22);
    info.bitsPerPixel = qFromLittleEndian<quint16>(p + 28);
    const quint32 declared = qFromLittleEndian<quint32>(p + 2);
    const quint32 offset = qFromLittleEndian<quint32>(p + 10);
    const int rowSize = (info.width * 3 + 3) & ~3;
    info.valid = declared == info.fileSize && offset == 54 && qFromLittleEndian<quint32>(p + 14) == 40
                 && info.fileSize == 54 + std::int64_t(rowSize) * std::abs(info.height);
    return info;
}

namespace {

QImage Rgb888(const AVFrame* frame)
{
    QImage picture(frame->width, frame->height, QImage::Format_RGB888);
    SwsContext* sws = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                     frame->height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr);
    if (!sws)
        return {};
    uint8_t* planes[1] = {picture.bits()};
    const int strides[1] = {int(picture.bytesPerLine())};
    sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
    sws_freeContext(sws);
    return picture;
}

}  // namespace

AviInfo ReadAvi(const QString& path, QImage* firstFrame)
{
    AviInfo info;
    AVFormatContext* fmt = nullptr;
    const QByteArray name = QFile::encodeName(path);
    if (avformat_open_input(&fmt, name.constData(), nullptr, nullptr) < 0) {
        info.error = QStringLiteral("cannot open");
        return info;
    }
    if (avformat_find_stream_info(fmt, nullptr) < 0 || QString::fromLatin1(fmt->iformat->name) != QLatin1String("avi")) {
        info.error = QStringLiteral("not an AVI");
        avformat_close_input(&fmt);
        return info;
    }
    info.opened = true;
    const int video = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    info.hasAudio = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) >= 0;
    if (fmt->duration != AV_NOPTS_VALUE)
        info.durationSec = double(fmt->duration) / AV_TIME_BASE;
    if (video < 0) {
        avformat_close_input(&fmt);
        return info;
    }
    const AVCodecParameters* par = fmt->streams[video]->codecpar;
    info.width = par->width;
    info.height = par->height;
    info.videoCodec = QString::fromLatin1(avcodec_get_name(par->codec_id));

    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    AVCodecContext* dec = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (dec && (avcodec_parameters_to_context(dec, par) < 0 || avcodec_open2(dec, codec, nullptr) < 0))
        avcodec_free_context(&dec);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == video && pkt->size > 0) {
            ++info.videoPackets;
            if (dec && !info.firstFrameDecodes && avcodec_send_packet(dec, pkt) >= 0
                && avcodec_receive_frame(dec, frame) >= 0) {
                info.firstFrameDecodes = frame->width == par->width && frame->height == par->height;
                if (firstFrame)
                    *firstFrame = Rgb888(frame);
            }
        }
        av_packet_unref(pkt);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    return info;
}

void AnswerDialog(const QString& objectName, std::function<void(QDialog*)> act, bool accept)
{
    WhenModal(objectName, [act = std::move(act), accept](QDialog* dialog) {
        if (act)
            act(dialog);
        if (accept)
            dialog->accept();
        else
            dialog->reject();
    });
}

}  // namespace testsupport
