#include "tests/support/fake_v4l2.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QPainter>
#include <QThread>

#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace testsupport {
namespace {

int Fail(int err)
{
    errno = err;
    return -1;
}

bool Emulated(std::uint32_t format)
{
    return format == V4L2_PIX_FMT_RGB24 || format == V4L2_PIX_FMT_BGR24 || format == V4L2_PIX_FMT_YUV420
           || format == V4L2_PIX_FMT_YVU420;
}

}  // namespace

QByteArray RecordedYuyv(QSize size)
{
    QByteArray b(size.width() * size.height() * 2, '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(b.data());
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); x += 2, p += 4) {
            const bool left = x < size.width() / 2;
            p[0] = p[2] = left ? 81 : 41;
            p[1] = left ? 90 : 240;
            p[3] = left ? 240 : 110;
        }
    return b;
}

QByteArray RecordedMjpeg(QSize size)
{
    QImage img(size, QImage::Format_RGB888);
    QPainter p(&img);
    p.fillRect(0, 0, size.width() / 2, size.height(), Qt::green);
    p.fillRect(size.width() / 2, 0, size.width() - size.width() / 2, size.height(), Qt::white);
    p.end();
    return WebcamMjpeg(img, 95);
}

QByteArray WebcamMjpeg(const QImage& picture, int quality)
{
    QByteArray jpeg;
    QBuffer buf(&jpeg);
    buf.open(QIODevice::WriteOnly);
    picture.save(&buf, "JPG", quality);
    QByteArray stripped;
    int i = 0;
    while (i + 3 < jpeg.size()) {
        if (uchar(jpeg[i]) == 0xFF && uchar(jpeg[i + 1]) == 0xC4) {
            const int len = (uchar(jpeg[i + 2]) << 8) | uchar(jpeg[i + 3]);
            i += 2 + len;
            continue;
        }
        if (uchar(jpeg[i]) == 0xFF && uchar(jpeg[i + 1]) == 0xDA) {
            stripped += jpeg.mid(i);
            break;
        }
        stripped += jpeg[i];
        ++i;
    }
    return stripped;
}

FakeV4l2::FakeV4l2()
    : formats{V4L2_PIX_FMT_YUYV},
      values{{V4L2_CID_BRIGHTNESS, 128}, {V4L2_CID_AUTO_WHITE_BALANCE, 1}, {V4L2_CID_POWER_LINE_FREQUENCY, 1}}
{
}

void FakeV4l2::Produce(int n, int takenMsAgo)
{
    QMutexLocker lock(&mutex_);
    ProduceLocked(n, takenMsAgo);
}

std::uint32_t FakeV4l2::Sequence()
{
    QMutexLocker lock(&mutex_);
    return sequence_;
}

std::uint32_t FakeV4l2::SequenceOf(const QImage& frame)
{
    const QRgb p = frame.pixel(0, 0);
    return (std::uint32_t(qRed(p)) << 16) | (std::uint32_t(qGreen(p)) << 8) | std::uint32_t(qBlue(p));
}

void FakeV4l2::ProduceLocked(int n, int takenMsAgo)
{
    const std::int64_t takenUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch()).count() -
                                 std::int64_t(takenMsAgo) * 1000;
    if (!streaming_)
        return;
    for (int i = 0; i < n; ++i) {
        ++sequence_;
        if (queued_.empty())
            continue;  // every buffer is full: the frame is dropped
        const std::uint32_t index = queued_.front();
        queued_.pop_front();
        const QByteArray& frame = PictureLocked();
        QByteArray& buffer = buffers_[index];
        // A buffer that holds this picture already keeps it: the copy would be
        // the camera's work, not the program's.
        if (filledWith_[index] != pictureCount_) {
            std::memcpy(buffer.data(), frame.constData(), std::min(frame.size(), buffer.size()));
            filledWith_[index] = pictureCount_;
        }
        if (format_ != V4L2_PIX_FMT_YUYV && format_ != V4L2_PIX_FMT_MJPEG) {
            buffer[0] = char(sequence_ >> 16);
            buffer[1] = char(sequence_ >> 8);
            buffer[2] = char(sequence_);
        }
        bytesUsed_[index] = std::uint32_t(frame.size());
        takenUs_[index] = takenUs;
        done_.push_back(index);
    }
}

const QByteArray& FakeV4l2::PictureLocked()
{
    if (format_ != pictureFormat_ || size_ != pictureSize_ || picture_.isEmpty()) {
        pictureFormat_ = format_;
        pictureSize_ = size_;
        ++pictureCount_;
        if (picture && (format_ == V4L2_PIX_FMT_YUYV || format_ == V4L2_PIX_FMT_MJPEG))
            picture_ = picture(format_, size_);
        else if (format_ == V4L2_PIX_FMT_YUYV)
            picture_ = RecordedYuyv(size_);
        else if (format_ == V4L2_PIX_FMT_MJPEG)
            picture_ = RecordedMjpeg(size_);
        else
            picture_ = QByteArray(size_.width() * size_.height() * 3, char(0x80));
    }
    return picture_;
}

QStringList FakeV4l2::Nodes()
{
    if (unplugged)
        return {};
    return {QStringLiteral("/dev/video0"), QStringLiteral("/dev/video1")};
}

int FakeV4l2::Open(const QString& path)
{
    QMutexLocker lock(&mutex_);
    if (unplugged)
        return Fail(ENOENT);
    if (busy)
        return Fail(EBUSY);
    ++opens;
    ++openFds;
    const int fd = nextFd_;
    nextFd_ += 2;
    nodeOf_[fd] = path.endsWith(QLatin1Char('0')) ? 0 : 1;
    return fd;
}

int FakeV4l2::Close(int fd)
{
    QMutexLocker lock(&mutex_);
    if (nodeOf_.erase(fd) == 0)
        return Fail(EBADF);
    --openFds;
    dead_.erase(fd);
    return 0;
}

void FakeV4l2::Unplug()
{
    QMutexLocker lock(&mutex_);
    unplugged = true;
    for (const auto& [fd, node] : nodeOf_)
        dead_.insert(fd);
}

void FakeV4l2::Replug()
{
    QMutexLocker lock(&mutex_);
    // A new device: nothing of the old one's stream is left.
    unplugged = false;
    streaming_ = false;
    queued_.clear();
    done_.clear();
}

int FakeV4l2::Ioctl(int fd, unsigned long request, void* arg)
{
    QMutexLocker lock(&mutex_);
    if (unplugged || dead_.count(fd))
        return Fail(ENODEV);
    if (!nodeOf_.count(fd))
        return Fail(EBADF);
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(arg);
        *cap = {};
        std::strncpy(reinterpret_cast<char*>(cap->card), card.constData(), sizeof cap->card - 1);
        std::strncpy(reinterpret_cast<char*>(cap->bus_info), bus.constData(), sizeof cap->bus_info - 1);
        cap->version = (5u << 16) | (10u << 8);
        cap->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
        // The second node is the camera's metadata node.
        cap->device_caps = nodeOf_[fd] == 0 ? V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING
                                            : V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto* d = static_cast<v4l2_fmtdesc*>(arg);
        std::vector<std::uint32_t> all = formats;
        if (emulateRgb)
            all.insert(all.end(), {V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_BGR24, V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_YVU420});
        if (d->index >= all.size())
            return Fail(EINVAL);
        d->pixelformat = all[d->index];
        d->flags = Emulated(d->pixelformat) ? V4L2_FMT_FLAG_EMULATED : 0;
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto* f = static_cast<v4l2_frmsizeenum*>(arg);
        if (f->index >= sizes.size())
            return Fail(EINVAL);
        f->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        f->discrete.width = std::uint32_t(sizes[f->index].width());
        f->discrete.height = std::uint32_t(sizes[f->index].height());
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        if (request == VIDIOC_S_FMT) {
            if (streaming_)
                return Fail(EBUSY);
            size_ = QSize(int(f->fmt.pix.width), int(f->fmt.pix.height));
            format_ = f->fmt.pix.pixelformat;
            setFormats.push_back(size_);
        }
        if (!format_)
            format_ = formats.front();
        f->fmt.pix.width = std::uint32_t(size_.width());
        f->fmt.pix.height = std::uint32_t(size_.height());
        f->fmt.pix.pixelformat = format_;
        f->fmt.pix.bytesperline = format_ == V4L2_PIX_FMT_YUYV  ? std::uint32_t(size_.width() * 2)
                                  : format_ == V4L2_PIX_FMT_RGB24 ? std::uint32_t(size_.width() * 3)
                                                                  : 0;
        return 0;
    }
    case VIDIOC_S_PARM:
    case VIDIOC_G_PARM: {
        auto* p = static_cast<v4l2_streamparm*>(arg);
        if (request == VIDIOC_S_PARM && streaming_)
            return Fail(EBUSY);
        if (request == VIDIOC_S_PARM && p->parm.capture.timeperframe.denominator) {
            periodUs_ = std::uint32_t(1000000ull * p->parm.capture.timeperframe.numerator
                                      / p->parm.capture.timeperframe.denominator);
            setPeriodsUs.push_back(periodUs_);
        }
        p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        p->parm.capture.timeperframe.numerator = periodUs_;
        p->parm.capture.timeperframe.denominator = 1000000;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto* r = static_cast<v4l2_requestbuffers*>(arg);
        if (streaming_)
            return Fail(EBUSY);
        r->count = std::min<std::uint32_t>(r->count, 4);
        buffers_.assign(r->count, QByteArray(size_.width() * size_.height() * 3, '\0'));
        filledWith_.clear();
        queued_.clear();
        done_.clear();
        return 0;
    }
    case VIDIOC_QUERYBUF: {
        auto* b = static_cast<v4l2_buffer*>(arg);
        if (b->index >= buffers_.size())
            return Fail(EINVAL);
        b->length = std::uint32_t(buffers_[b->index].size());
        b->m.offset = b->index * 0x100000u;
        return 0;
    }
    case VIDIOC_QBUF: queued_.push_back(static_cast<v4l2_buffer*>(arg)->index); return 0;
    case VIDIOC_DQBUF: {
        if (done_.empty())
            return Fail(EAGAIN);
        auto* b = static_cast<v4l2_buffer*>(arg);
        b->index = done_.front();
        done_.pop_front();
        b->bytesused = bytesUsed_[b->index];
        b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        b->timestamp.tv_sec = takenUs_[b->index] / 1000000;
        b->timestamp.tv_usec = takenUs_[b->index] % 1000000;
        return 0;
    }
    case VIDIOC_STREAMON:
        streaming_ = true;
        streamClock_.start();
        pacedFrames_ = 0;
        return 0;
    case VIDIOC_STREAMOFF:
        streaming_ = false;
        done_.clear();
        return 0;
    case VIDIOC_QUERYCTRL: {
        auto* q = static_cast<v4l2_queryctrl*>(arg);
        const std::uint32_t after = q->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
        auto it = values.upper_bound((q->id & V4L2_CTRL_FLAG_NEXT_CTRL) ? after : after - 1);
        if (it == values.end())
            return Fail(EINVAL);
        *q = {};
        q->id = it->first;
        switch (it->first) {
        case V4L2_CID_BRIGHTNESS:
            std::strcpy(reinterpret_cast<char*>(q->name), "Brightness");
            q->type = V4L2_CTRL_TYPE_INTEGER;
            q->maximum = 255;
            q->step = 1;
            q->default_value = 128;
            break;
        case V4L2_CID_AUTO_WHITE_BALANCE:
            std::strcpy(reinterpret_cast<char*>(q->name), "White Balance, Automatic");
            q->type = V4L2_CTRL_TYPE_BOOLEAN;
            q->maximum = 1;
            break;
        default:
            std::strcpy(reinterpret_cast<char*>(q->name), "Power Line Frequency");
            q->type = V4L2_CTRL_TYPE_MENU;
            q->maximum = 2;
            break;
        }
        return 0;
    }
    case VIDIOC_QUERYMENU: {
        auto* m = static_cast<v4l2_querymenu*>(arg);
        static const char* names[] = {"Disabled", "50 Hz", "60 Hz"};
        std::strcpy(reinterpret_cast<char*>(m->name), names[m->index]);
        return 0;
    }
    case VIDIOC_G_CTRL: {
        auto* c = static_cast<v4l2_control*>(arg);
        c->value = values.at(c->id);
        return 0;
    }
    case VIDIOC_S_CTRL: {
        auto* c = static_cast<v4l2_control*>(arg);
        values[c->id] = c->value;
        setControls.emplace_back(c->id, c->value);
        return 0;
    }
    default: return Fail(ENOTTY);
    }
}

void* FakeV4l2::Mmap(std::size_t, int, std::int64_t offset)
{
    QMutexLocker lock(&mutex_);
    const std::size_t index = std::size_t(offset / 0x100000);
    return index < buffers_.size() ? buffers_[index].data() : MAP_FAILED;
}

int FakeV4l2::Munmap(void*, std::size_t)
{
    return 0;
}

int FakeV4l2::Poll(int fd, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        qint64 waitUs = 10000;
        {
            QMutexLocker lock(&mutex_);
            if (unplugged || dead_.count(fd))
                return Fail(ENODEV);
            if (!done_.empty())
                return 1;
            if (live && !stalled && paced && streaming_) {
                // One frame per interval since the stream started, the first at once.
                const std::int64_t period = std::max<std::uint32_t>(periodUs_, 1);
                const std::int64_t due = streamClock_.nsecsElapsed() / 1000 / period + 1;
                if (due > pacedFrames_) {
                    ProduceLocked(int(std::min<std::int64_t>(due - pacedFrames_, 8)));
                    pacedFrames_ = due;
                }
                waitUs = due * period - streamClock_.nsecsElapsed() / 1000;
            } else if (live && !stalled) {
                ProduceLocked(1);
            }
            if (!done_.empty())
                return 1;
        }
        const qint64 leftUs = qint64(timeoutMs) * 1000 - clock.nsecsElapsed() / 1000;
        if (leftUs <= 0)
            return 0;
        // A camera with nothing to deliver keeps the caller waiting.
        QThread::usleep(std::uint64_t(std::clamp<qint64>(std::min(waitUs, leftUs), 1, 10000)));
    }
}

ScopedFakeCamera::ScopedFakeCamera()
{
    platform::capture::SetV4l2IoFactory([d = device_] { return d; });
}

ScopedFakeCamera::~ScopedFakeCamera()
{
    platform::capture::SetV4l2IoFactory(nullptr);
}

}  // namespace testsupport
