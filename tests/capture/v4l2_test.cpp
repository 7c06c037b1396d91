// The V4L2 driver on a scripted device that serves recorded YUYV and MJPEG
// buffers, through the driver list, the capture window and the component.
#include "capture/videocap.h"
#include "platform/capture_convert.h"
#include "platform/capture_v4l2.h"
#include "tests/capture/capture_files.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QMutex>
#include <QPainter>
#include <QSlider>
#include <QTemporaryDir>

#include <linux/videodev2.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

using namespace platform;
using namespace platform::capture;
using testsupport::AnswerDialog;
using testsupport::WaitUntil;

namespace {

// Left half red, right half blue, in studio-range YUYV.
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

// A webcam MJPEG frame: green left, white right, without Huffman tables.
QByteArray RecordedMjpeg(QSize size)
{
    QImage img(size, QImage::Format_RGB888);
    QPainter p(&img);
    p.fillRect(0, 0, size.width() / 2, size.height(), Qt::green);
    p.fillRect(size.width() / 2, 0, size.width() - size.width() / 2, size.height(), Qt::white);
    p.end();
    QByteArray jpeg;
    QBuffer buf(&jpeg);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPG", 95);
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

class FakeV4l2 final : public V4l2Io
{
public:
    std::vector<std::uint32_t> formats{V4L2_PIX_FMT_YUYV};
    std::vector<QSize> sizes{{320, 240}, {640, 480}};
    std::atomic<bool> unplugged{false};
    std::vector<QSize> setFormats;  // sizes asked for with S_FMT
    std::map<std::uint32_t, int> values{{V4L2_CID_BRIGHTNESS, 128}, {V4L2_CID_AUTO_WHITE_BALANCE, 1},
                                        {V4L2_CID_POWER_LINE_FREQUENCY, 1}};
    std::vector<std::pair<std::uint32_t, int>> setControls;

    QStringList Nodes() override { return {QStringLiteral("/dev/video0"), QStringLiteral("/dev/video1")}; }

    int Open(const QString& path) override
    {
        if (unplugged) {
            errno = ENOENT;
            return -1;
        }
        return path.endsWith(QLatin1Char('0')) ? 10 : 11;
    }
    int Close(int) override { return 0; }

    int Ioctl(int fd, unsigned long request, void* arg) override
    {
        QMutexLocker lock(&mutex_);
        if (unplugged)
            return Fail(ENODEV);
        switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(arg);
            *cap = {};
            std::strcpy(reinterpret_cast<char*>(cap->card), "Fake Cam");
            cap->version = (5u << 16) | (10u << 8);
            cap->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
            // The second node is the camera's metadata node.
            cap->device_caps = fd == 10 ? V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING
                                        : V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* d = static_cast<v4l2_fmtdesc*>(arg);
            if (d->index >= formats.size())
                return Fail(EINVAL);
            d->pixelformat = formats[d->index];
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
                size_ = QSize(int(f->fmt.pix.width), int(f->fmt.pix.height));
                format_ = f->fmt.pix.pixelformat;
                setFormats.push_back(size_);
            }
            f->fmt.pix.width = std::uint32_t(size_.width());
            f->fmt.pix.height = std::uint32_t(size_.height());
            f->fmt.pix.pixelformat = format_;
            f->fmt.pix.bytesperline = format_ == V4L2_PIX_FMT_YUYV ? std::uint32_t(size_.width() * 2) : 0;
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* r = static_cast<v4l2_requestbuffers*>(arg);
            r->count = std::min<std::uint32_t>(r->count, 4);
            buffers_.assign(r->count, QByteArray(size_.width() * size_.height() * 3, '\0'));
            queued_.clear();
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
            if (!ready_ || queued_.empty())
                return Fail(EAGAIN);
            ready_ = false;
            auto* b = static_cast<v4l2_buffer*>(arg);
            b->index = queued_.front();
            queued_.pop_front();
            const QByteArray frame = format_ == V4L2_PIX_FMT_YUYV ? RecordedYuyv(size_) : RecordedMjpeg(size_);
            std::memcpy(buffers_[b->index].data(), frame.constData(), std::min(frame.size(), buffers_[b->index].size()));
            b->bytesused = std::uint32_t(frame.size());
            b->flags = 0;
            return 0;
        }
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF: return 0;
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

    void* Mmap(std::size_t, int, std::int64_t offset) override
    {
        QMutexLocker lock(&mutex_);
        const std::size_t index = std::size_t(offset / 0x100000);
        return index < buffers_.size() ? buffers_[index].data() : MAP_FAILED;
    }
    int Munmap(void*, std::size_t) override { return 0; }

    // Each wait delivers one new frame.
    int Poll(int, int) override
    {
        QMutexLocker lock(&mutex_);
        if (unplugged) {
            errno = ENODEV;
            return -1;
        }
        ready_ = true;
        return 1;
    }

private:
    int Fail(int err)
    {
        errno = err;
        return -1;
    }

    QMutex mutex_;
    QSize size_{640, 480};
    std::uint32_t format_ = V4L2_PIX_FMT_YUYV;
    std::vector<QByteArray> buffers_;
    std::deque<std::uint32_t> queued_;
    bool ready_ = false;
};

class V4l2Driver : public ::testing::Test
{
protected:
    V4l2Driver() : device(std::make_shared<FakeV4l2>())
    {
        SetV4l2IoFactory([d = device] { return d; });
        cap.OnError = [this](TVideoCap*, int, const QString& text) { errors << text; };
    }
    ~V4l2Driver() override { SetV4l2IoFactory(nullptr); }

    QImage GrabbedImage()
    {
        cap.SetSingleImageFile(dir.filePath(QStringLiteral("frame.bmp")));
        if (!cap.GrabFrameNoStop() || !cap.SaveAsDIB())
            return {};
        return QImage(cap.SingleImageFile());
    }

    std::shared_ptr<FakeV4l2> device;
    QTemporaryDir dir;
    TVideoCap cap;
    QStringList errors;
};

bool Near(QColor c, int r, int g, int b)
{
    return std::abs(c.red() - r) <= 6 && std::abs(c.green() - g) <= 6 && std::abs(c.blue() - b) <= 6;
}

TEST_F(V4l2Driver, CaptureNodesComeFirstAndTheTestPatternLast)
{
    const std::unique_ptr<QStringList> list = GetDriverList();
    EXPECT_EQ(*list, QStringList({QStringLiteral("Fake Cam Version: 5.10.0"),
                                  QStringLiteral("Test Pattern Camera Version: 1.0")}))
        << "the metadata node is no driver";
    cap.SetDriverIndex(0);
    EXPECT_EQ(cap.DriverName(), QStringLiteral("Fake Cam"));
    EXPECT_FALSE(cap.HasOverlay());
    EXPECT_FALSE(cap.HasDlgDisplay());
    EXPECT_TRUE(cap.HasDlgSource());
    EXPECT_TRUE(cap.HasDlgFormat());
}

TEST_F(V4l2Driver, YuyvFramesBecomeRgbBitmaps)
{
    cap.SetDriverIndex(0);
    cap.SetDriverOpen(true);
    EXPECT_EQ(cap.ImageWidth(), 320) << "320 x 240 is preferred when offered";
    EXPECT_EQ(device->setFormats.front(), QSize(320, 240));
    const QImage img = GrabbedImage();
    ASSERT_EQ(img.size(), QSize(320, 240));
    EXPECT_TRUE(Near(img.pixelColor(10, 10), 255, 0, 0)) << img.pixelColor(10, 10).name().toStdString();
    EXPECT_TRUE(Near(img.pixelColor(310, 230), 0, 0, 255)) << img.pixelColor(310, 230).name().toStdString();
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(V4l2Driver, MjpegFramesWithoutHuffmanTablesDecode)
{
    device->formats = {V4L2_PIX_FMT_MJPEG};
    cap.SetDriverIndex(0);
    cap.SetDriverOpen(true);
    const QImage img = GrabbedImage();
    ASSERT_EQ(img.size(), QSize(320, 240));
    EXPECT_TRUE(Near(img.pixelColor(10, 10), 0, 255, 0)) << img.pixelColor(10, 10).name().toStdString();
    EXPECT_TRUE(Near(img.pixelColor(300, 200), 255, 255, 255));
}

TEST_F(V4l2Driver, FormatDialogListsTheDevicesSizes)
{
    cap.SetDriverIndex(0);
    QStringList offered;
    AnswerDialog(QStringLiteral("CaptureFormatDialog"), [&](QDialog* d) {
        auto* combo = d->findChild<QComboBox*>(QStringLiteral("FrameSizeCombo"));
        for (int i = 0; i < combo->count(); ++i)
            offered << combo->itemText(i);
        combo->setCurrentIndex(1);
    }, true);
    ASSERT_TRUE(cap.DlgVideoFormat());
    EXPECT_EQ(offered, QStringList({QStringLiteral("320 x 240"), QStringLiteral("640 x 480")}));
    EXPECT_EQ(device->setFormats.back(), QSize(640, 480)) << "the stream restarts at the new size";

    // The size belongs to the connection: a new one starts at the default again.
    cap.SetDriverOpen(true);
    EXPECT_EQ(cap.ImageWidth(), 320);
}

TEST_F(V4l2Driver, SourceDialogShowsTheDevicesControlsAndAppliesThemLive)
{
    cap.SetDriverIndex(0);
    cap.SetDriverOpen(true);
    std::vector<std::pair<std::uint32_t, int>> whileOpen;
    AnswerDialog(QStringLiteral("CaptureSourceDialog"), [&](QDialog* d) {
        d->findChild<QSlider*>(QStringLiteral("Control%1").arg(V4L2_CID_BRIGHTNESS))->setValue(200);
        d->findChild<QCheckBox*>(QStringLiteral("Control%1").arg(V4L2_CID_AUTO_WHITE_BALANCE))->setChecked(false);
        auto* menu = d->findChild<QComboBox*>(QStringLiteral("Control%1").arg(V4L2_CID_POWER_LINE_FREQUENCY));
        EXPECT_EQ(menu->currentText(), QStringLiteral("50 Hz"));
        menu->setCurrentIndex(2);
        whileOpen = device->setControls;
    }, false);
    EXPECT_FALSE(cap.DlgVideoSource());
    EXPECT_EQ(whileOpen, (std::vector<std::pair<std::uint32_t, int>>{{V4L2_CID_BRIGHTNESS, 200},
                                                                       {V4L2_CID_AUTO_WHITE_BALANCE, 0},
                                                                       {V4L2_CID_POWER_LINE_FREQUENCY, 2}}));
    EXPECT_EQ(device->values[V4L2_CID_BRIGHTNESS], 128) << "cancel puts the values back";
    EXPECT_EQ(device->values[V4L2_CID_AUTO_WHITE_BALANCE], 1);
    EXPECT_EQ(device->values[V4L2_CID_POWER_LINE_FREQUENCY], 1);
}

TEST_F(V4l2Driver, AnUnpluggedCameraIsReportedAsNotDetected)
{
    cap.SetDriverIndex(0);
    cap.SetPreviewRate(30);
    cap.SetVideoPreview(true);
    ASSERT_TRUE(cap.VideoPreview());
    device->unplugged = true;
    ASSERT_TRUE(WaitUntil([&] { return !errors.isEmpty(); }));
    EXPECT_EQ(errors, QStringList{QStringLiteral("Capture device was not detected.")});
    EXPECT_FALSE(cap.GrabFrame());
    testsupport::DrainEvents();
    EXPECT_EQ(errors.size(), 1) << "reported once";

    // The list moves up: the index now names the test pattern.
    EXPECT_EQ(*GetDriverList(), QStringList{QStringLiteral("Test Pattern Camera Version: 1.0")});
}

TEST_F(V4l2Driver, AnUnpluggedCameraEndsTheCaptureWithAPlayableFile)
{
    std::vector<int> statusIds;
    int streamed = 0;
    cap.OnStatusCallback = [&](TVideoCap*, int id, const QString&) { statusIds.push_back(id); };
    cap.OnVideoStream = [&](TVideoCap*, VIDEOHDR*) { ++streamed; };
    cap.SetVideoFileName(dir.filePath(QStringLiteral("unplugged.avi")));
    cap.SetDriverIndex(0);
    cap.SetDriverOpen(true);
    ASSERT_TRUE(cap.StartCapture());
    ASSERT_TRUE(WaitUntil([&] { return streamed >= 3; }));
    device->unplugged = true;
    ASSERT_TRUE(WaitUntil([&] { return !statusIds.empty() && statusIds.back() == 301; }));
    EXPECT_EQ(errors, QStringList{QStringLiteral("Capture device was not detected.")});
    EXPECT_FALSE(cap.CapturingNow());
    const testsupport::AviInfo avi = testsupport::ReadAvi(cap.VideoFileName());
    ASSERT_TRUE(avi.opened);
    EXPECT_GE(avi.videoPackets, 3);
    EXPECT_TRUE(avi.firstFrameDecodes);
}

TEST(FrameConverter, RefusesShortAndCorruptBuffers)
{
    FrameConverter converter;
    QImage out;
    const QByteArray yuyv = RecordedYuyv(QSize(64, 48));
    const auto* data = reinterpret_cast<const std::uint8_t*>(yuyv.constData());
    EXPECT_TRUE(converter.Convert(V4L2_PIX_FMT_YUYV, data, yuyv.size(), QSize(64, 48), 128, out));
    EXPECT_FALSE(converter.Convert(V4L2_PIX_FMT_YUYV, data, yuyv.size() - 1, QSize(64, 48), 128, out));
    const QByteArray garbage(5000, 'x');
    EXPECT_FALSE(converter.Convert(V4L2_PIX_FMT_MJPEG, reinterpret_cast<const std::uint8_t*>(garbage.constData()),
                                   garbage.size(), QSize(64, 48), 0, out));
    EXPECT_FALSE(FrameConverter::Supports(V4L2_PIX_FMT_NV12));

    // BGR rows come out as RGB.
    const std::uint8_t bgr[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(converter.Convert(V4L2_PIX_FMT_BGR24, bgr, 6, QSize(2, 1), 6, out));
    EXPECT_EQ(out.pixelColor(0, 0), QColor(3, 2, 1));
}

}  // namespace
