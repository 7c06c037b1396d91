// The V4L2 driver on a scripted camera (recorded YUYV and MJPEG buffers, or
// libv4l2's RGB24; a queue that fills, stalls, a busy device, unplug and
// re-plug), through the driver list, the capture window and the component.
#include "capture/videocap.h"
#include "capture/engine/FrameConvert.h"
#include "capture/engine/V4l2Device.h"
#include "tests/support/capture_files.h"
#include "tests/support/fake_v4l2.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QImage>
#include <QSlider>
#include <QTemporaryDir>

#include <linux/videodev2.h>

using namespace platform;
using namespace platform::capture;
using testsupport::AnswerDialog;
using testsupport::FakeV4l2;
using testsupport::RecordedYuyv;
using testsupport::WaitUntil;

namespace {

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
    EXPECT_EQ(offered, QStringList({QStringLiteral("320 x 240"), QStringLiteral("640 x 480"),
                                    QStringLiteral("1280 x 720"), QStringLiteral("1920 x 1080")}));
    EXPECT_EQ(device->setFormats.back(), QSize(640, 480)) << "the stream restarts at the new size";

    // The size belongs to the connection: a new one starts at the default again.
    cap.SetDriverOpen(true);
    EXPECT_EQ(cap.ImageWidth(), 320);
}

TEST_F(V4l2Driver, HdFramesArriveWholeInEitherNativeFormat)
{
    const struct {
        std::uint32_t format;
        int left[3], right[3];
    } formats[] = {{V4L2_PIX_FMT_YUYV, {255, 0, 0}, {0, 0, 255}}, {V4L2_PIX_FMT_MJPEG, {0, 255, 0}, {255, 255, 255}}};
    for (const auto& [format, left, right] : formats) {
        device->formats = {format};
        cap.SetDriverOpen(false);
        cap.SetDriverIndex(0);
        cap.SetDriverOpen(true);
        for (const QSize size : {QSize(1280, 720), QSize(1920, 1080)}) {
            const QString text = QStringLiteral("%1 x %2").arg(size.width()).arg(size.height());
            SCOPED_TRACE(text.toStdString() + (format == V4L2_PIX_FMT_YUYV ? " YUYV" : " MJPEG"));
            AnswerDialog(QStringLiteral("CaptureFormatDialog"), [&](QDialog* d) {
                auto* combo = d->findChild<QComboBox*>(QStringLiteral("FrameSizeCombo"));
                combo->setCurrentIndex(combo->findText(text));
            }, true);
            ASSERT_TRUE(cap.DlgVideoFormat());
            const QImage img = GrabbedImage();
            ASSERT_EQ(img.size(), size);
            EXPECT_TRUE(Near(img.pixelColor(10, 10), left[0], left[1], left[2]));
            const QColor last = img.pixelColor(size.width() - 10, size.height() - 10);
            EXPECT_TRUE(Near(last, right[0], right[1], right[2])) << last.name().toStdString();
        }
    }
    EXPECT_TRUE(errors.isEmpty());
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
    device->Unplug();
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
    device->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return !statusIds.empty() && statusIds.back() == 301; }));
    EXPECT_EQ(errors, QStringList{QStringLiteral("Capture device was not detected.")});
    EXPECT_FALSE(cap.CapturingNow());
    const testsupport::AviInfo avi = testsupport::ReadAvi(cap.VideoFileName());
    ASSERT_TRUE(avi.opened);
    EXPECT_GE(avi.videoPackets, 3);
    EXPECT_TRUE(avi.firstFrameDecodes);
}

// libv4l2 hands YUYV and MJPEG cameras over as RGB24, whose frames here carry
// their sequence number.
TEST_F(V4l2Driver, AGrabShowsAFrameCapturedAfterItWasAsked)
{
    device->emulateRgb = true;
    cap.SetDriverIndex(0);
    cap.SetDriverOpen(true);
    ASSERT_FALSE(GrabbedImage().isNull());
    // Nobody dequeues between grabs: the four buffers fill and stay full.
    device->Produce(10);
    const std::uint32_t asked = device->Sequence();
    const QImage img = GrabbedImage();
    ASSERT_FALSE(img.isNull());
    EXPECT_GT(FakeV4l2::SequenceOf(img), asked) << "not one of the frames queued long before";
}

// The update's grab may take the newest waiting frame, but only one the
// camera took within a frame interval; older ones are never passed off as new.
TEST_F(V4l2Driver, ARecentGrabTakesAWaitingFrameOnlyWhileItIsNew)
{
    device->emulateRgb = true;
    cap.SetDriverIndex(0);
    cap.SetDriverOpen(true);
    ASSERT_FALSE(GrabbedImage().isNull());
    const struct {
        int takenMsAgo;
        bool taken;
    } rows[] = {{0, true}, {1000, false}};
    for (const auto& row : rows) {
        device->Produce(3, row.takenMsAgo);
        const std::uint32_t newest = device->Sequence();
        ASSERT_TRUE(cap.GrabRecentFrame());
        const std::uint32_t got = FakeV4l2::SequenceOf(cap.GrabbedFrame());
        if (row.taken)
            EXPECT_EQ(got, newest);
        else
            EXPECT_GT(got, newest) << "a frame taken " << row.takenMsAgo << " ms ago";
    }
}

TEST_F(V4l2Driver, AFailedGrabSavesNothingAndAStalledCameraCountsAsLost)
{
    cap.SetDriverIndex(0);
    cap.SetDriverOpen(true);
    ASSERT_FALSE(GrabbedImage().isNull());
    const QString file = dir.filePath(QStringLiteral("after.bmp"));
    cap.SetSingleImageFile(file);

    // Frozen: frames stop, the device stays.
    device->stalled = true;
    EXPECT_FALSE(cap.GrabFrameNoStop());
    EXPECT_FALSE(cap.SaveAsDIB()) << "the previous frame is no picture of now";
    EXPECT_FALSE(QFileInfo::exists(file));
    ASSERT_TRUE(WaitUntil([&] { return !errors.isEmpty(); }, 15000)) << "silence while open is a loss";
    EXPECT_EQ(errors, QStringList{QStringLiteral("Capture device was not detected.")});

    // Gone: the same.
    device->stalled = false;
    device->Unplug();
    EXPECT_FALSE(cap.GrabFrameNoStop());
    EXPECT_FALSE(cap.SaveAsDIB());
    EXPECT_FALSE(QFileInfo::exists(file));
}

TEST_F(V4l2Driver, ACameraInUseByAnotherProgramSaysSoWhenTheConnectFails)
{
    cap.SetDriverIndex(0);
    device->busy = true;
    QString message;
    try {
        cap.SetDriverOpen(true);
    } catch (const ENotConnectException& e) {
        message = e.Message();
    }
    EXPECT_TRUE(message.startsWith(QStringLiteral("Can not connect capture driver with capture window"))) << qPrintable(message);
    EXPECT_TRUE(message.contains(QStringLiteral("another program"))) << qPrintable(message);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors.front().contains(QStringLiteral("another program"))) << qPrintable(errors.front());
    EXPECT_FALSE(cap.DriverOpen());
}

// The main window closes a lost driver from its error handler: the dialogs
// still showing must not reach the device it freed.
TEST_F(V4l2Driver, AnUnplugDuringTheDriverDialogsAppliesNothingToTheLostDevice)
{
    cap.OnError = [this](TVideoCap*, int, const QString& text) {
        errors << text;
        cap.SetDriverOpen(false);
    };
    auto unplug = [this] {
        device->Unplug();
        ASSERT_TRUE(WaitUntil([&] { return !cap.DriverOpen(); }));
        testsupport::DrainEvents();
        device->Replug();
    };
    cap.SetDriverIndex(0);
    cap.SetPreviewRate(30);

    cap.SetVideoPreview(true);
    AnswerDialog(QStringLiteral("CaptureSourceDialog"), [&](QDialog* d) {
        unplug();
        d->findChild<QSlider*>(QStringLiteral("Control%1").arg(V4L2_CID_BRIGHTNESS))->setValue(10);
    }, false);
    EXPECT_FALSE(cap.DlgVideoSource());

    cap.SetVideoPreview(true);
    AnswerDialog(QStringLiteral("CaptureFormatDialog"), [&](QDialog* d) {
        unplug();
        d->findChild<QComboBox*>(QStringLiteral("FrameSizeCombo"))->setCurrentIndex(1);
    }, true);
    EXPECT_FALSE(cap.DlgVideoFormat());

    EXPECT_TRUE(device->setControls.empty()) << "nothing moved, nothing restored";
    EXPECT_EQ(std::count(device->setFormats.begin(), device->setFormats.end(), QSize(640, 480)), 0) << "no new size";
    EXPECT_EQ(device->openFds, 0);
}

TEST_F(V4l2Driver, DescribingTheDriversOpensEachNodeOncePerBurst)
{
    const int before = device->opens;
    EXPECT_EQ(GetDriverList()->size(), 2);
    cap.SetDriverName(QStringLiteral("Fake Cam"));
    EXPECT_EQ(cap.DriverIndex(), 0);
    EXPECT_EQ(device->opens - before, 2) << "the list and the name lookup share one scan of both nodes";

    // A camera that comes and goes is seen by the next burst.
    device->Unplug();
    testsupport::DrainEvents();
    EXPECT_EQ(GetDriverList()->size(), 1);
    device->Replug();
    testsupport::DrainEvents();
    EXPECT_EQ(GetDriverList()->size(), 2);
}

TEST_F(V4l2Driver, TheCameraDeliversAtThePreviewRateOrTheCaptureRate)
{
    cap.SetVideoFileName(dir.filePath(QStringLiteral("rate.avi")));
    cap.SetDriverIndex(0);
    cap.SetPreviewRate(15);
    cap.SetDriverOpen(true);
    ASSERT_FALSE(device->setPeriodsUs.empty());
    EXPECT_EQ(device->setPeriodsUs.back(), 66666u) << "1/15 s";
    cap.SetFrameRate(10);
    ASSERT_TRUE(cap.StartCapture());
    EXPECT_EQ(device->setPeriodsUs.back(), 100000u);
    ASSERT_TRUE(cap.StopCapture());
    EXPECT_EQ(device->setPeriodsUs.back(), 66666u) << "back to the preview rate";
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

    // A frame cut short on the way is shown as far as it goes, the rest concealed.
    const QByteArray mjpeg = testsupport::RecordedMjpeg(QSize(64, 48));
    ASSERT_TRUE(converter.Convert(V4L2_PIX_FMT_MJPEG, reinterpret_cast<const std::uint8_t*>(mjpeg.constData()),
                                  mjpeg.size() * 3 / 4, QSize(64, 48), 0, out));
    EXPECT_TRUE(Near(out.pixelColor(2, 2), 0, 255, 0)) << out.pixelColor(2, 2).name().toStdString();

    // BGR rows come out as RGB.
    const std::uint8_t bgr[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(converter.Convert(V4L2_PIX_FMT_BGR24, bgr, 6, QSize(2, 1), 6, out));
    EXPECT_EQ(out.pixelColor(0, 0), QColor(3, 2, 1));
}

// A frame made small on the way in (DCT scaling, YUYV subsampled, RGB
// shrunk) looks as the whole frame scaled down does, in each format; a frame
// the device delivered small is there again whole.
TEST(FrameConverter, SmallerPicturesKeepTheirColoursAndTheWholeFrameStaysAtHand)
{
    EXPECT_EQ(FrameDivisor(QSize(1920, 1080), QSize(160, 120)), 8);
    EXPECT_EQ(FrameDivisor(QSize(1920, 1080), QSize(600, 450)), 2);
    EXPECT_EQ(FrameDivisor(QSize(640, 480), QSize()), 1);
    EXPECT_EQ(FrameDivisor(QSize(320, 240), QSize(400, 300)), 1);
    EXPECT_EQ(ShrunkSize(QSize(1920, 1080), 8), QSize(240, 135));

    const QSize size(640, 360);
    const QByteArray yuyv = RecordedYuyv(size);
    FrameConverter converter;
    QImage picture;
    ASSERT_TRUE(converter.Convert(V4L2_PIX_FMT_YUYV, reinterpret_cast<const std::uint8_t*>(yuyv.constData()),
                                  yuyv.size(), size, size.width() * 2, picture));
    const QByteArray mjpeg = testsupport::WebcamMjpeg(picture, 90);
    const QByteArray rgb(reinterpret_cast<const char*>(picture.constBits()), picture.sizeInBytes());
    const struct {
        std::uint32_t format;
        const QByteArray& data;
        int bytesPerLine;
    } formats[] = {{V4L2_PIX_FMT_YUYV, yuyv, size.width() * 2},
                   {V4L2_PIX_FMT_MJPEG, mjpeg, 0},
                   {V4L2_PIX_FMT_RGB24, rgb, int(picture.bytesPerLine())}};
    for (const auto& f : formats) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(f.data.constData());
        QImage whole;
        ASSERT_TRUE(converter.Convert(f.format, data, f.data.size(), size, f.bytesPerLine, whole));
        for (int divisor : kFrameDivisors) {
            QImage small;
            ASSERT_TRUE(converter.Convert(f.format, data, f.data.size(), size, f.bytesPerLine, small, divisor));
            ASSERT_EQ(small.size(), ShrunkSize(size, divisor));
            const QImage expected = whole.scaled(small.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                        .convertToFormat(QImage::Format_RGB888);
            double sum = 0;
            for (int y = 0; y < small.height(); ++y)
                for (int i = 0; i < small.width() * 3; ++i)
                    sum += std::abs(small.constScanLine(y)[i] - expected.constScanLine(y)[i]);
            const double mean = sum / (small.width() * small.height() * 3.0);
            EXPECT_LT(mean, 4.0) << "format " << f.format << " at 1/" << divisor;
        }
    }

    // The device keeps the frame it delivered small for a whole reread.
    auto camera = std::make_shared<FakeV4l2>();
    camera->formats = {V4L2_PIX_FMT_MJPEG};
    QString error;
    auto device = OpenV4l2Device(camera, QStringLiteral("/dev/video0"), &error);
    ASSERT_TRUE(device) << error.toStdString();
    QImage small, whole;
    EXPECT_FALSE(device->RereadFull(whole)) << "nothing read yet";
    ASSERT_EQ(device->ReadFrame(small, 2000, &error, QSize(80, 60)), CaptureDevice::ReadResult::Frame);
    EXPECT_EQ(small.size(), ShrunkSize(device->FrameSize(), FrameDivisor(device->FrameSize(), QSize(80, 60))));
    ASSERT_TRUE(device->RereadFull(whole));
    EXPECT_EQ(whole.size(), device->FrameSize());
}

}  // namespace
