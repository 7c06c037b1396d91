#include "capture/engine/V4l2Device.h"

#include "capture/engine/CaptureService.h"
#include "capture/engine/FrameConvert.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutex>

#include <libv4l2.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <optional>
#include <vector>

namespace platform::capture {
namespace {

class LibV4l2Io final : public V4l2Io
{
public:
    QStringList Nodes() override
    {
        QStringList nodes = QDir(QStringLiteral("/dev"))
                                .entryList({QStringLiteral("video*")}, QDir::System | QDir::Files | QDir::NoDotAndDotDot);
        std::sort(nodes.begin(), nodes.end(), [](const QString& a, const QString& b) {
            return a.mid(5).toInt() < b.mid(5).toInt();
        });
        for (QString& n : nodes)
            n.prepend(QStringLiteral("/dev/"));
        return nodes;
    }
    int Open(const QString& path) override
    {
        return v4l2_open(QFile::encodeName(path).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    int Close(int fd) override { return v4l2_close(fd); }
    int Ioctl(int fd, unsigned long request, void* arg) override
    {
        int rc;
        do {
            rc = v4l2_ioctl(fd, request, arg);
        } while (rc < 0 && errno == EINTR);
        return rc;
    }
    void* Mmap(std::size_t length, int fd, std::int64_t offset) override
    {
        return v4l2_mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    }
    int Munmap(void* address, std::size_t length) override { return v4l2_munmap(address, length); }
    int Poll(int fd, int timeoutMs) override
    {
        pollfd p{fd, POLLIN, 0};
        int rc;
        do {
            rc = ::poll(&p, 1, std::max(0, timeoutMs));
        } while (rc < 0 && errno == EINTR);
        if (rc > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLIN)) {
            errno = ENODEV;
            return -1;
        }
        return rc;
    }
};

QMutex g_factoryMutex;
std::function<std::shared_ptr<V4l2Io>()> g_factory;

std::shared_ptr<V4l2Io> CurrentIo()
{
    QMutexLocker lock(&g_factoryMutex);
    return g_factory ? g_factory() : CreateLibV4l2Io();
}

// One scan serves a burst of queries (a list, a name lookup, a connect):
// opening a node can wake a suspended camera, so each is opened once. The
// scan is forgotten when the event loop next runs, so cameras that come and
// go are seen by the next burst.
struct DriverCache {
    QMutex mutex;
    QList<DriverEntry> drivers;
    bool valid = false;
};

DriverCache& driverCache()
{
    static DriverCache cache;
    return cache;
}

void ForgetDrivers()
{
    DriverCache& cache = driverCache();
    QMutexLocker lock(&cache.mutex);
    cache.valid = false;
    cache.drivers.clear();
}

bool Gone(int err)
{
    return err == ENODEV || err == EIO || err == ENXIO || err == EBADF;
}

QString BusyText()
{
    return QStringLiteral("The camera is in use by another program.");
}

QString Text(const std::uint8_t* bytes, std::size_t size)
{
    return QString::fromUtf8(reinterpret_cast<const char*>(bytes), int(strnlen(reinterpret_cast<const char*>(bytes), size)));
}

// Sizes offered for a device that states only a range.
QList<QSize> StandardSizesWithin(QSize min, QSize max)
{
    static const QSize standard[] = {{160, 120}, {176, 144}, {320, 240}, {352, 288}, {640, 480},
                                     {800, 600}, {1024, 768}, {1280, 720}, {1920, 1080}};
    QList<QSize> result;
    for (QSize s : standard)
        if (s.width() >= min.width() && s.height() >= min.height() && s.width() <= max.width()
            && s.height() <= max.height())
            result.append(s);
    return result;
}

class V4l2Device final : public CaptureDevice
{
public:
    V4l2Device(std::shared_ptr<V4l2Io> io, QString node) : io_(std::move(io)), node_(std::move(node)) {}
    ~V4l2Device() override
    {
        Stop();
        if (fd_ >= 0)
            io_->Close(fd_);
    }

    bool Init(QString* error)
    {
        fd_ = io_->Open(node_);
        if (fd_ < 0)
            return Fail(error, errno == EBUSY ? BusyText() : DeviceNotDetectedText());
        v4l2_capability cap{};
        if (io_->Ioctl(fd_, VIDIOC_QUERYCAP, &cap) < 0)
            return Fail(error, DeviceNotDetectedText());
        const std::uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
        if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING))
            return Fail(error, QStringLiteral("%1 cannot stream video.").arg(node_));

        // RGB24 when libv4l2 offers it (it converts most formats itself),
        // otherwise a format converted here.
        std::vector<std::uint32_t> formats;
        for (std::uint32_t i = 0;; ++i) {
            v4l2_fmtdesc desc{};
            desc.index = i;
            desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (io_->Ioctl(fd_, VIDIOC_ENUM_FMT, &desc) < 0)
                break;
            formats.push_back(desc.pixelformat);
        }
        for (std::uint32_t preferred : {V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_BGR24, V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG,
                                        V4L2_PIX_FMT_JPEG}) {
            if (std::find(formats.begin(), formats.end(), preferred) != formats.end()) {
                pixelFormat_ = preferred;
                break;
            }
        }
        if (!pixelFormat_)
            return Fail(error, QStringLiteral("%1 offers no picture format that can be shown.").arg(node_));

        for (std::uint32_t i = 0;; ++i) {
            v4l2_frmsizeenum fs{};
            fs.index = i;
            fs.pixel_format = pixelFormat_;
            if (io_->Ioctl(fd_, VIDIOC_ENUM_FRAMESIZES, &fs) < 0)
                break;
            if (fs.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                const QSize s(int(fs.discrete.width), int(fs.discrete.height));
                if (!sizes_.contains(s))
                    sizes_.append(s);
            } else {
                sizes_ = StandardSizesWithin(QSize(int(fs.stepwise.min_width), int(fs.stepwise.min_height)),
                                             QSize(int(fs.stepwise.max_width), int(fs.stepwise.max_height)));
                break;
            }
        }
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (io_->Ioctl(fd_, VIDIOC_G_FMT, &fmt) == 0)
            size_ = QSize(int(fmt.fmt.pix.width), int(fmt.fmt.pix.height));
        if (sizes_.isEmpty() && size_.isValid())
            sizes_.append(size_);
        if (sizes_.isEmpty())
            return Fail(error, QStringLiteral("%1 reports no picture size.").arg(node_));
        if (sizes_.contains(QSize(320, 240)))
            size_ = QSize(320, 240);
        else if (!sizes_.contains(size_))
            size_ = sizes_.first();
        return true;
    }

    bool Start(QString* error) override
    {
        if (streaming_)
            return true;
        if (lost_)
            return Fail(error, DeviceNotDetectedText());
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.width = std::uint32_t(size_.width());
        fmt.fmt.pix.height = std::uint32_t(size_.height());
        fmt.fmt.pix.pixelformat = pixelFormat_;
        fmt.fmt.pix.field = V4L2_FIELD_ANY;
        if (io_->Ioctl(fd_, VIDIOC_S_FMT, &fmt) < 0)
            return Failed(error, QStringLiteral("The camera refused the picture format"));
        if (!FrameConverter::Supports(fmt.fmt.pix.pixelformat))
            return Fail(error, QStringLiteral("The camera changed to a picture format that cannot be shown."));
        activeFormat_ = fmt.fmt.pix.pixelformat;
        size_ = QSize(int(fmt.fmt.pix.width), int(fmt.fmt.pix.height));
        bytesPerLine_ = int(fmt.fmt.pix.bytesperline);
        ApplyRate();

        v4l2_requestbuffers req{};
        req.count = 4;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        if (io_->Ioctl(fd_, VIDIOC_REQBUFS, &req) < 0 || req.count < 2)
            return Failed(error, QStringLiteral("The camera has no capture buffers"));
        for (std::uint32_t i = 0; i < req.count; ++i) {
            v4l2_buffer buf{};
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            buf.index = i;
            if (io_->Ioctl(fd_, VIDIOC_QUERYBUF, &buf) < 0) {
                ReleaseBuffers();
                return Failed(error, QStringLiteral("The camera's buffers cannot be used"));
            }
            void* p = io_->Mmap(buf.length, fd_, buf.m.offset);
            if (p == MAP_FAILED) {
                ReleaseBuffers();
                return Failed(error, QStringLiteral("The camera's buffers cannot be mapped"));
            }
            buffers_.push_back({p, buf.length});
            if (io_->Ioctl(fd_, VIDIOC_QBUF, &buf) < 0) {
                ReleaseBuffers();
                return Failed(error, QStringLiteral("The camera's buffers cannot be queued"));
            }
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (io_->Ioctl(fd_, VIDIOC_STREAMON, &type) < 0) {
            ReleaseBuffers();
            return Failed(error, QStringLiteral("The camera does not start"));
        }
        streaming_ = true;
        takenUs_ = -1;
        return true;
    }

    void Stop() override
    {
        if (!streaming_)
            return;
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        io_->Ioctl(fd_, VIDIOC_STREAMOFF, &type);
        streaming_ = false;
        held_ = {};
        ReleaseBuffers();
    }

    QSize FrameSize() const override { return size_; }
    QList<QSize> FrameSizes() const override { return sizes_; }
    int NominalRate() const override { return rate_; }

    bool SetFrameInterval(std::uint32_t microSecPerFrame) override
    {
        const int wanted = std::clamp(int((1000000 + microSecPerFrame / 2) / std::max<std::uint32_t>(1, microSecPerFrame)), 1, 1000);
        if (wanted == wantedRate_)
            return true;
        wantedRate_ = wanted;
        // Cameras take a new interval only while stopped.
        if (!streaming_)
            return true;
        Stop();
        return Start(nullptr);
    }

    void Drain() override
    {
        if (!streaming_)
            return;
        GiveBack();
        for (;;) {
            v4l2_buffer buf{};
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            if (io_->Ioctl(fd_, VIDIOC_DQBUF, &buf) < 0 || io_->Ioctl(fd_, VIDIOC_QBUF, &buf) < 0)
                return;
        }
    }

    bool SetFrameSize(QSize size, QString* error) override
    {
        if (!sizes_.contains(size))
            return Fail(error, QStringLiteral("The camera does not offer %1 x %2.").arg(size.width()).arg(size.height()));
        const bool wasStreaming = streaming_;
        const QSize old = size_;
        Stop();
        size_ = size;
        if (wasStreaming && !Start(error)) {
            size_ = old;
            Start(nullptr);
            return false;
        }
        return true;
    }

    ReadResult ReadFrame(QImage& image, int timeoutMs, QString* error, QSize atLeast) override
    {
        if (lost_)
            return Lost(error);
        if (!streaming_ && !Start(error))
            return lost_ ? ReadResult::Lost : ReadResult::NoFrame;
        const int ready = io_->Poll(fd_, timeoutMs);
        if (ready < 0)
            return Gone(errno) ? Lost(error) : ReadResult::NoFrame;
        if (ready == 0)
            return ReadResult::NoFrame;
        // Take the newest frame; older ones waiting go straight back.
        v4l2_buffer buf{};
        bool have = false;
        for (;;) {
            v4l2_buffer next{};
            next.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            next.memory = V4L2_MEMORY_MMAP;
            if (io_->Ioctl(fd_, VIDIOC_DQBUF, &next) < 0) {
                if (errno == EAGAIN)
                    break;
                const int err = errno;
                if (have)
                    io_->Ioctl(fd_, VIDIOC_QBUF, &buf);
                return Gone(err) ? Lost(error) : ReadResult::NoFrame;
            }
            if (have)
                io_->Ioctl(fd_, VIDIOC_QBUF, &buf);
            buf = next;
            have = true;
        }
        if (!have)
            return ReadResult::NoFrame;
        // The frame before goes back to the camera only now that a newer
        // one has come: until then it could still be wanted whole.
        if (!GiveBack())
            return Lost(error);
        const int divisor = FrameDivisor(size_, atLeast);
        const bool ok = Convert(buf, image, divisor);
        if (ok)
            takenUs_ = TakenUs(buf);
        // A frame delivered smaller is kept, for RereadFull.
        if (ok && divisor > 1) {
            held_ = buf;
            return ReadResult::Frame;
        }
        if (io_->Ioctl(fd_, VIDIOC_QBUF, &buf) < 0 && Gone(errno))
            return Lost(error);
        return ok ? ReadResult::Frame : ReadResult::NoFrame;
    }

    bool RereadFull(QImage& image) override
    {
        return streaming_ && held_ && Convert(*held_, image, 1);
    }

    int LastFrameAgeMs() const override
    {
        if (takenUs_ < 0)
            return -1;
        return int(std::max<std::int64_t>(0, MonotonicUs() - takenUs_) / 1000);
    }

    QList<DeviceControl> Controls() override
    {
        QList<DeviceControl> result;
        v4l2_queryctrl q{};
        q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
        while (io_->Ioctl(fd_, VIDIOC_QUERYCTRL, &q) == 0) {
            const std::uint32_t id = q.id;
            if (!(q.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_INACTIVE))
                && (q.type == V4L2_CTRL_TYPE_INTEGER || q.type == V4L2_CTRL_TYPE_BOOLEAN
                    || q.type == V4L2_CTRL_TYPE_MENU)) {
                DeviceControl c;
                c.id = id;
                c.name = Text(q.name, sizeof q.name);
                c.minimum = q.minimum;
                c.maximum = q.maximum;
                c.step = std::max(1, q.step);
                c.defaultValue = q.default_value;
                c.type = q.type == V4L2_CTRL_TYPE_BOOLEAN ? DeviceControl::Type::Boolean
                         : q.type == V4L2_CTRL_TYPE_MENU  ? DeviceControl::Type::Menu
                                                          : DeviceControl::Type::Integer;
                v4l2_control value{};
                value.id = id;
                c.value = io_->Ioctl(fd_, VIDIOC_G_CTRL, &value) == 0 ? value.value : q.default_value;
                if (c.type == DeviceControl::Type::Menu) {
                    for (int i = q.minimum; i <= q.maximum; ++i) {
                        v4l2_querymenu m{};
                        m.id = id;
                        m.index = std::uint32_t(i);
                        c.menu.append(io_->Ioctl(fd_, VIDIOC_QUERYMENU, &m) == 0 ? Text(m.name, sizeof m.name)
                                                                                  : QString::number(i));
                    }
                }
                result.append(c);
            }
            q = v4l2_queryctrl{};
            q.id = id | V4L2_CTRL_FLAG_NEXT_CTRL;
        }
        return result;
    }

    bool SetControl(std::uint32_t id, int value) override
    {
        v4l2_control c{};
        c.id = id;
        c.value = value;
        return io_->Ioctl(fd_, VIDIOC_S_CTRL, &c) == 0;
    }

private:
    // steady_clock is the monotonic clock drivers stamp frames with.
    static std::int64_t MonotonicUs()
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch()).count();
    }

    // When the camera took the frame; -1 where the driver's stamp is not
    // on the monotonic clock.
    static std::int64_t TakenUs(const v4l2_buffer& buf)
    {
        if ((buf.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) != V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC)
            return -1;
        return std::int64_t(buf.timestamp.tv_sec) * 1000000 + buf.timestamp.tv_usec;
    }

    struct Buffer {
        void* start;
        std::size_t length;
    };

    bool Convert(const v4l2_buffer& buf, QImage& image, int divisor)
    {
        if (buf.index >= buffers_.size() || (buf.flags & V4L2_BUF_FLAG_ERROR))
            return false;
        const std::size_t used = std::min<std::size_t>(buf.bytesused, buffers_[buf.index].length);
        return converter_.Convert(activeFormat_, static_cast<const std::uint8_t*>(buffers_[buf.index].start), used,
                                  size_, bytesPerLine_, image, divisor);
    }

    // Queues the kept buffer again; false when the camera is gone.
    bool GiveBack()
    {
        if (!held_)
            return true;
        v4l2_buffer buf = *held_;
        held_ = {};
        return !(io_->Ioctl(fd_, VIDIOC_QBUF, &buf) < 0 && Gone(errno));
    }

    bool Fail(QString* error, const QString& text)
    {
        if (error)
            *error = text;
        return false;
    }
    bool Failed(QString* error, const QString& what)
    {
        if (Gone(errno)) {
            lost_ = true;
            return Fail(error, DeviceNotDetectedText());
        }
        if (errno == EBUSY)
            return Fail(error, BusyText());
        return Fail(error, QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno))));
    }
    ReadResult Lost(QString* error)
    {
        lost_ = true;
        Fail(error, DeviceNotDetectedText());
        return ReadResult::Lost;
    }
    // The camera takes frames at the wanted rate, or the nearest it offers.
    void ApplyRate()
    {
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (io_->Ioctl(fd_, VIDIOC_G_PARM, &parm) < 0 || !(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
            return;
        parm.parm.capture.timeperframe.numerator = 1;
        parm.parm.capture.timeperframe.denominator = std::uint32_t(wantedRate_);
        if (io_->Ioctl(fd_, VIDIOC_S_PARM, &parm) == 0 && parm.parm.capture.timeperframe.numerator > 0)
            rate_ = std::max(1, int(parm.parm.capture.timeperframe.denominator / parm.parm.capture.timeperframe.numerator));
    }

    void ReleaseBuffers()
    {
        for (const Buffer& b : buffers_)
            io_->Munmap(b.start, b.length);
        buffers_.clear();
        v4l2_requestbuffers req{};
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        req.count = 0;
        io_->Ioctl(fd_, VIDIOC_REQBUFS, &req);
    }

    std::shared_ptr<V4l2Io> io_;
    QString node_;
    int fd_ = -1;
    std::uint32_t pixelFormat_ = 0;
    std::uint32_t activeFormat_ = 0;
    QSize size_;
    int bytesPerLine_ = 0;
    QList<QSize> sizes_;
    std::vector<Buffer> buffers_;
    std::optional<v4l2_buffer> held_;  // the last frame, delivered smaller and kept for RereadFull
    bool streaming_ = false;
    bool lost_ = false;
    std::int64_t takenUs_ = -1;  // when the frame last delivered was taken
    int wantedRate_ = 30;
    int rate_ = 30;
    FrameConverter converter_;
};

}  // namespace

std::shared_ptr<V4l2Io> CreateLibV4l2Io()
{
    return std::make_shared<LibV4l2Io>();
}

void SetV4l2IoFactory(std::function<std::shared_ptr<V4l2Io>()> factory)
{
    {
        QMutexLocker lock(&g_factoryMutex);
        g_factory = std::move(factory);
    }
    ForgetDrivers();
}

QList<V4l2DeviceInfo> ListV4l2Devices(V4l2Io& io)
{
    QList<V4l2DeviceInfo> result;
    for (const QString& node : io.Nodes()) {
        const int fd = io.Open(node);
        if (fd < 0)
            continue;
        v4l2_capability cap{};
        if (io.Ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
            const std::uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
            if ((caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING)) {
                V4l2DeviceInfo info;
                info.node = node;
                info.card = Text(cap.card, sizeof cap.card);
                info.bus = Text(cap.bus_info, sizeof cap.bus_info);
                info.version = QStringLiteral("Version: %1.%2.%3")
                                   .arg((cap.version >> 16) & 0xFF)
                                   .arg((cap.version >> 8) & 0xFF)
                                   .arg(cap.version & 0xFF);
                result.append(info);
            }
        }
        io.Close(fd);
    }
    return result;
}

std::unique_ptr<CaptureDevice> OpenV4l2Device(std::shared_ptr<V4l2Io> io, const QString& node, QString* error)
{
    auto device = std::make_unique<V4l2Device>(std::move(io), node);
    if (!device->Init(error))
        return nullptr;
    return device;
}

namespace {

QList<DriverEntry> ScanDrivers()
{
    QList<DriverEntry> drivers;
    std::shared_ptr<V4l2Io> io = CurrentIo();
    // Index 9 is the last; the test pattern always keeps a place.
    for (const V4l2DeviceInfo& info : ListV4l2Devices(*io)) {
        if (drivers.size() == 9)
            break;
        DriverEntry e;
        e.name = info.card.isEmpty() ? info.node : info.card;
        e.version = info.version;
        e.identity = QStringLiteral("%1 (%2)").arg(e.name, info.bus.isEmpty() ? info.node : info.bus);
        const QString node = info.node;
        e.open = [io, node](QString* error) { return OpenV4l2Device(io, node, error); };
        drivers.append(e);
    }
    DriverEntry pattern;
    pattern.name = TestPatternName();
    pattern.version = TestPatternVersion();
    pattern.identity = TestPatternName();
    pattern.open = [](QString*) { return CreateTestPatternDevice(); };
    drivers.append(pattern);
    return drivers;
}

}  // namespace

QList<DriverEntry> EnumerateDrivers()
{
    DriverCache& cache = driverCache();
    QMutexLocker lock(&cache.mutex);
    if (cache.valid)
        return cache.drivers;
    cache.drivers = ScanDrivers();
    if (QCoreApplication* app = QCoreApplication::instance()) {
        cache.valid = true;
        QMetaObject::invokeMethod(app, &ForgetDrivers, Qt::QueuedConnection);
    }
    return cache.drivers;
}

}  // namespace platform::capture
