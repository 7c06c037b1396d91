// The capture component on the real capture service with the built-in
// test-pattern camera: pictures, bitmap files, AVI recordings, dialogs.
#include "capture/videocap.h"
#include "capture/engine/CaptureDevice.h"
#include "capture/engine/CaptureWindow.h"
#include "tests/support/capture_files.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

using namespace platform;
using testsupport::AnswerDialog;
using testsupport::ReadAvi;
using testsupport::ReadBmpHeader;
using testsupport::WaitUntil;

namespace {

struct StatusRecord {
    int id;
    QString text;
    bool onGuiThread;
};

class TestPattern : public ::testing::Test
{
protected:
    TestPattern()
    {
        cap.setObjectName(QStringLiteral("VideoCap1"));
        cap.resize(392, 292);
        cap.OnStatusCallback = [this](TVideoCap*, int id, const QString& text) {
            statuses.push_back({id, text, QThread::currentThread() == qApp->thread()});
        };
        cap.OnError = [this](TVideoCap*, int id, const QString& text) { errors.push_back({id, text, true}); };
        cap.SetDriverName(capture::TestPatternName());
    }

    QString Path(const QString& name) const { return dir.filePath(name); }

    bool Ended() const
    {
        return std::any_of(statuses.begin(), statuses.end(), [](const StatusRecord& s) { return s.id == 301; });
    }

    bool HasError(int id) const
    {
        return std::any_of(errors.begin(), errors.end(), [id](const StatusRecord& s) { return s.id == id; });
    }

    QTemporaryDir dir;
    TVideoCap cap;
    std::vector<StatusRecord> statuses;
    std::vector<StatusRecord> errors;
};

TEST_F(TestPattern, IsTheLastDriverAndAlwaysPresent)
{
    const std::unique_ptr<QStringList> list = GetDriverList();
    ASSERT_FALSE(list->isEmpty());
    EXPECT_EQ(list->last(), QStringLiteral("Test Pattern Camera Version: 1.0"));
    EXPECT_EQ(cap.DriverIndex(), list->size() - 1);
    EXPECT_TRUE(cap.HasOverlay());
    EXPECT_TRUE(cap.HasDlgFormat());
    EXPECT_TRUE(cap.HasDlgSource());
    EXPECT_TRUE(cap.HasDlgDisplay());
}

TEST_F(TestPattern, GrabAndSaveWriteA24BitBitmapOfEachNewFrame)
{
    cap.SetSingleImageFile(Path(QStringLiteral("closed.bmp")));
    EXPECT_FALSE(cap.SaveAsDIB());
    EXPECT_FALSE(QFileInfo::exists(cap.SingleImageFile())) << "a closed driver writes nothing";
    EXPECT_TRUE(cap.GrabbedFrame().isNull());

    cap.SetDriverOpen(true);
    EXPECT_EQ(cap.ImageWidth(), 320);
    EXPECT_EQ(cap.ImageHeight(), 240);
    cap.SetSingleImageFile(Path(QStringLiteral("a.bmp")));
    ASSERT_TRUE(cap.GrabFrameNoStop());
    ASSERT_TRUE(cap.SaveAsDIB());
    cap.SetSingleImageFile(Path(QStringLiteral("b.bmp")));
    ASSERT_TRUE(cap.GrabFrameNoStop());
    ASSERT_TRUE(cap.SaveAsDIB());

    const testsupport::BmpInfo bmp = ReadBmpHeader(Path(QStringLiteral("a.bmp")));
    EXPECT_TRUE(bmp.valid);
    EXPECT_EQ(bmp.width, 320);
    EXPECT_EQ(bmp.height, 240);
    EXPECT_EQ(bmp.bitsPerPixel, 24);
    const QImage a(Path(QStringLiteral("a.bmp")));
    const QImage b(Path(QStringLiteral("b.bmp")));
    ASSERT_EQ(a.size(), QSize(320, 240));
    EXPECT_EQ(cap.GrabbedFrame(), b.convertToFormat(QImage::Format_RGB888)) << "in memory, what the file holds";
    EXPECT_NE(a.convertToFormat(QImage::Format_RGB888), b.convertToFormat(QImage::Format_RGB888))
        << "two grabs show different frames";
    // The leftmost bar starts white (unless it has moved): rows are not upside down or colour-swapped.
    const QColor bottomBand = a.pixelColor(160, 235);
    EXPECT_EQ(bottomBand, QColor(Qt::black)) << "the counter band sits at the bottom";

    // Frames are read into reused buffers: one still held is never written over.
    const QImage held = cap.GrabbedFrame();
    const QImage heldPixels = held.copy();
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(cap.GrabFrameNoStop());
    EXPECT_EQ(held, heldPixels);
    EXPECT_NE(capture::TestPatternFrameNumber(cap.GrabbedFrame()), capture::TestPatternFrameNumber(held));

    // A file that cannot be written answers false.
    cap.SetSingleImageFile(Path(QStringLiteral("missing/dir/c.bmp")));
    EXPECT_FALSE(cap.SaveAsDIB());
}

// The bitmap holds the picture exactly, whatever padding its rows need and
// whichever format it comes in (camera frames, captions, pictures read back).
TEST(Bmp24, EveryWidthAndFormatReadsBackPixelForPixel)
{
    QTemporaryDir dir;
    for (const int width : {1, 2, 3, 5, 641}) {
        QImage picture(width, 3, QImage::Format_RGB888);
        for (int y = 0; y < picture.height(); ++y)
            for (int i = 0; i < width * 3; ++i)
                picture.scanLine(y)[i] = uchar(y * 101 + i * 7 + 1);
        for (const QImage::Format format : {QImage::Format_RGB888, QImage::Format_RGB32, QImage::Format_ARGB32}) {
            SCOPED_TRACE(std::to_string(width) + " wide, format " + std::to_string(int(format)));
            const QString path = dir.filePath(QStringLiteral("w.bmp"));
            ASSERT_TRUE(capture::WriteBmp24(picture.convertToFormat(format), path));
            EXPECT_EQ(QFileInfo(path).size(), 54 + ((width * 3 + 3) & ~3) * 3);
            EXPECT_EQ(QImage(path).convertToFormat(QImage::Format_RGB888), picture);
        }
    }
}

// Every picture that leaves the camera is clean at its edges: whole bars, and
// the counter band black to the eye (its machine stamp sits in the lowest bit).
TEST(TestPatternPicture, ItsBordersHoldOnlyWholeBarsAndTheBlackBand)
{
    const QList<QRgb> barColours = {0xFFFFFFFF, 0xFFFFFF00, 0xFF00FFFF, 0xFF00FF00,
                                    0xFFFF00FF, 0xFFFF0000, 0xFF0000FF, 0xFF000000};
    auto nearBlack = [](QRgb p) { return qRed(p) <= 1 && qGreen(p) <= 1 && qBlue(p) <= 1; };
    for (const QSize size : {QSize(320, 240), QSize(640, 480), QSize(1280, 720), QSize(1920, 1080)}) {
        SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
        const std::unique_ptr<capture::CaptureDevice> camera = capture::CreateTestPatternDevice();
        ASSERT_TRUE(camera->SetFrameSize(size, nullptr));
        ASSERT_TRUE(camera->SetControl(2, 2));  // fast: the bars turn within a few frames
        const int w = size.width();
        const int h = size.height();
        const int bandTop = h - h / 8;
        for (int n = 0; n < 12; ++n) {
            QImage frame;
            ASSERT_EQ(camera->ReadFrame(frame, 2000, nullptr), capture::CaptureDevice::ReadResult::Frame);
            ASSERT_EQ(frame.size(), size);
            for (int i = 0; i < 8; ++i) {
                const QRgb bar = frame.pixel(i * w / 8, 0);
                EXPECT_TRUE(barColours.contains(bar)) << "bar " << i << ": " << std::hex << bar;
                for (int x = i * w / 8; x < (i + 1) * w / 8; ++x)
                    ASSERT_EQ(frame.pixel(x, 0), bar) << "top row, x " << x;
            }
            for (int x : {0, w - 1}) {
                for (int y = 0; y < h; ++y) {
                    if (y < bandTop)
                        ASSERT_EQ(frame.pixel(x, y), frame.pixel(x, 0)) << x << "," << y;
                    else
                        ASSERT_TRUE(nearBlack(frame.pixel(x, y))) << x << "," << y;
                }
            }
            for (int x = 0; x < w; ++x)
                ASSERT_TRUE(nearBlack(frame.pixel(x, h - 1))) << "bottom row, x " << x;
        }
    }
}

TEST_F(TestPattern, ASnapshotWithPreviewAndOverlayOffShowsAFrameTakenAfterTheClick)
{
    cap.SetDriverOpen(true);
    ASSERT_FALSE(cap.VideoPreview() || cap.VideoOverlay());
    auto snapshot = [&] {
        cap.SetSingleImageFile(Path(QStringLiteral("snap.bmp")));
        EXPECT_TRUE(cap.GrabFrameNoStop() && cap.SaveAsDIB());
        return capture::TestPatternFrameNumber(QImage(cap.SingleImageFile()).convertToFormat(QImage::Format_RGB888));
    };
    const std::uint32_t first = snapshot();
    // The user waits a second before the next click; the camera runs on.
    QElapsedTimer idle;
    idle.start();
    WaitUntil([&] { return idle.elapsed() >= 1000; });
    const std::uint32_t second = snapshot();
    EXPECT_GE(second, first + 25) << "a frame of the click, not one queued a second before";
}

TEST_F(TestPattern, PreviewPaintsMovingFramesAndCallsBackOnTheGuiThread)
{
    int frames = 0;
    bool guiThread = true;
    cap.OnFrameCallback = [&](TVideoCap*, VIDEOHDR* h) {
        ++frames;
        guiThread = guiThread && QThread::currentThread() == qApp->thread();
        EXPECT_EQ(h->dwBytesUsed, 320u * 240u * 3u);
    };
    cap.show();
    cap.SetPreviewRate(15);
    cap.SetVideoPreview(true);
    ASSERT_TRUE(cap.VideoPreview());
    ASSERT_TRUE(WaitUntil([&] { return frames >= 2; }));
    const QImage first = cap.grab().toImage();
    const int seen = frames;
    ASSERT_TRUE(WaitUntil([&] { return frames >= seen + 2; }));
    const QImage second = cap.grab().toImage();
    EXPECT_NE(first, second) << "the bars move";
    EXPECT_TRUE(guiThread);

    // Stretching fills the control.
    cap.SetPreviewScaleToWindow(true);
    EXPECT_EQ(WindowWidget(cap.CaptureWindow())->geometry(), QRect(0, 0, 392, 292));

    cap.GrabFrame();  // ends the preview
    EXPECT_FALSE(cap.VideoPreview());
    cap.SetVideoOverlay(true);
    EXPECT_TRUE(cap.VideoOverlay());
    EXPECT_FALSE(cap.VideoPreview());
}

// A preview scaled into a small panel reads frames about the panel's size;
// the frame handler gets the size it asked for; a grab takes the very frame
// shown, whole.
TEST_F(TestPattern, AScaledPreviewReadsSmallFramesAndAGrabTakesTheFrameShownWhole)
{
    QSize delivered;
    std::uint32_t number = 0;
    cap.OnFrameCallback = [&](TVideoCap*, VIDEOHDR* h) {
        delivered = QSize(int(h->dwWidth), int(h->dwHeight));
        number = capture::TestPatternFrameNumber(
            QImage(h->lpData, delivered.width(), delivered.height(), delivered.width() * 3, QImage::Format_RGB888));
    };
    cap.SetFrameCallbackSize(QSize(160, 120));
    cap.resize(160, 120);
    cap.SetPreviewScaleToWindow(true);
    cap.show();
    cap.SetPreviewRate(15);
    cap.SetVideoPreview(true);
    ASSERT_TRUE(WaitUntil([&] { return number > 1; }));
    EXPECT_EQ(delivered, QSize(160, 120)) << "half of 320 x 240 serves both";
    const QImage whole = cap.GrabbedFrame();
    EXPECT_EQ(whole.size(), QSize(320, 240));
    EXPECT_EQ(capture::TestPatternFrameNumber(whole), number) << "the frame shown, not the next";

    cap.SetFrameCallbackSize(QSize(80, 60));
    delivered = QSize();
    ASSERT_TRUE(WaitUntil([&] { return delivered.isValid(); }));
    EXPECT_EQ(delivered, QSize(80, 60));
}

TEST_F(TestPattern, MouseOverTheCaptureWindowReachesTheControl)
{
    std::vector<QPoint> downs;
    int clicks = 0;
    cap.OnMouseDown = [&](TVideoCap*, Qt::MouseButton, Qt::KeyboardModifiers, int x, int y) { downs.emplace_back(x, y); };
    cap.OnClick = [&](TVideoCap*) { ++clicks; };
    cap.show();
    cap.SetDriverOpen(true);
    QWidget* window = WindowWidget(cap.CaptureWindow());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->parentWidget(), &cap);
    QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(30, 40));
    ASSERT_EQ(downs.size(), 1u);
    EXPECT_EQ(downs[0], QPoint(30, 40));
    EXPECT_EQ(clicks, 1);
}

TEST_F(TestPattern, TwoSecondCaptureWithATimeLimitGivesAPlayableAvi)
{
    int streamed = 0;
    cap.OnVideoStream = [&](TVideoCap*, VIDEOHDR*) { ++streamed; };
    cap.SetVideoFileName(Path(QStringLiteral("two seconds.avi")));
    cap.SetFrameRate(15);
    cap.SetCapTimeLimit(2);
    cap.SetDriverOpen(true);
    ASSERT_TRUE(cap.StartCapture());
    EXPECT_TRUE(cap.CapturingNow());
    ASSERT_TRUE(WaitUntil([&] { return Ended(); }, 15000));
    EXPECT_FALSE(cap.CapturingNow());
    EXPECT_TRUE(errors.empty()) << errors.front().text.toStdString();

    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses.front().id, 300);
    EXPECT_EQ(statuses.back().id, 301);
    EXPECT_TRUE(std::any_of(statuses.begin(), statuses.end(), [](const StatusRecord& s) { return s.id == 510; }));
    EXPECT_TRUE(std::all_of(statuses.begin(), statuses.end(), [](const StatusRecord& s) { return s.onGuiThread; }));
    EXPECT_FALSE(statuses.front().text.isEmpty());

    const testsupport::AviInfo avi = ReadAvi(cap.VideoFileName());
    ASSERT_TRUE(avi.opened) << avi.error.toStdString();
    EXPECT_EQ(avi.width, 320);
    EXPECT_EQ(avi.height, 240);
    EXPECT_EQ(avi.videoCodec, QStringLiteral("mjpeg"));
    EXPECT_TRUE(avi.firstFrameDecodes);
    // 30 frames asked for; a loaded machine may drop a few, and the
    // timeline keeps their places.
    EXPECT_GE(avi.videoPackets, 20);
    EXPECT_LE(avi.videoPackets, 31);
    EXPECT_NEAR(avi.durationSec, 2.0, 0.3);
    EXPECT_EQ(streamed, avi.videoPackets) << "one stream callback per written frame";
}

TEST_F(TestPattern, AnUnwritableCaptureFileFailsTheStartAndSaysWhy)
{
    cap.SetVideoFileName(Path(QStringLiteral("no such folder/video.avi")));
    cap.SetDriverOpen(true);
    EXPECT_FALSE(cap.StartCapture());
    EXPECT_FALSE(cap.CapturingNow());
    ASSERT_TRUE(WaitUntil([&] { return HasError(IDS_CAP_CANTOPEN); }));
    EXPECT_TRUE(errors.front().text.contains(QStringLiteral("video.avi")));
    EXPECT_FALSE(Ended());
}

TEST_F(TestPattern, BufferFileTakesTheCaptureUntilSaveCapture)
{
    cap.SetVideoFileName(Path(QStringLiteral("saved.avi")));
    cap.SetBufferFileSize(1);
    cap.SetDriverOpen(true);
    const QString buffer = cap.BufferFileName();
    ASSERT_FALSE(buffer.isEmpty());
    EXPECT_EQ(QFileInfo(buffer).size(), 1048576) << "pre-allocated";

    ASSERT_TRUE(cap.StartCapture());
    ASSERT_TRUE(WaitUntil([&] {
        return std::count_if(statuses.begin(), statuses.end(), [](const StatusRecord& s) { return s.id == 510; }) >= 2;
    }));
    EXPECT_TRUE(cap.StopCapture());
    EXPECT_FALSE(cap.CapturingNow()) << "stopping finishes the file at once";
    ASSERT_TRUE(WaitUntil([&] { return Ended(); }));
    EXPECT_FALSE(QFileInfo::exists(cap.VideoFileName()));
    EXPECT_TRUE(ReadAvi(buffer).opened);

    ASSERT_TRUE(cap.SaveCapture());
    const testsupport::AviInfo avi = ReadAvi(cap.VideoFileName());
    ASSERT_TRUE(avi.opened);
    EXPECT_GE(avi.videoPackets, 2);

    cap.SetDriverOpen(false);
    EXPECT_FALSE(QFileInfo::exists(buffer));
    EXPECT_TRUE(QFileInfo::exists(cap.VideoFileName()));
}

TEST_F(TestPattern, ClosingTheDriverDuringABufferFileCaptureKeepsTheRecording)
{
    int streamed = 0;
    cap.OnVideoStream = [&](TVideoCap*, VIDEOHDR*) { ++streamed; };
    cap.SetVideoFileName(Path(QStringLiteral("kept.avi")));
    cap.SetBufferFileSize(1);
    cap.SetDriverOpen(true);
    ASSERT_TRUE(cap.StartCapture());
    ASSERT_TRUE(WaitUntil([&] { return streamed >= 3; }));
    cap.SetDriverOpen(false);
    const testsupport::AviInfo avi = ReadAvi(cap.VideoFileName());
    ASSERT_TRUE(avi.opened) << qPrintable(avi.error);
    EXPECT_GE(avi.videoPackets, 3);
}

// The child half of the next test: records into the file it is given until
// it is killed, printing how many frames it has captured.
TEST_F(TestPattern, RecordsUntilKilled)
{
    const QString file = qEnvironmentVariable("TARVO_RECORD_UNTIL_KILLED");
    if (file.isEmpty())
        GTEST_SKIP() << "run by ARecordingKilledMidwayStillPlays";
    cap.OnVideoStream = [](TVideoCap*, VIDEOHDR*) {
        static int frames = 0;
        std::printf("frames %d\n", ++frames);
        std::fflush(stdout);
    };
    cap.SetVideoFileName(file);
    cap.SetDriverOpen(true);
    ASSERT_TRUE(cap.StartCapture());
    WaitUntil([] { return false; }, 600000);
}

TEST_F(TestPattern, ARecordingKilledMidwayStillPlays)
{
    const QString file = Path(QStringLiteral("killed.avi"));
    const qint64 oldSize = 8 * 1024 * 1024;
    {
        QFile old(file);  // a longer recording of the same name
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        ASSERT_TRUE(old.write(QByteArray(oldSize, 'x')) == oldSize);
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TARVO_RECORD_UNTIL_KILLED"), file);
    env.insert(QStringLiteral("TMPDIR"), Path(QString()));  // the killed child's own folder goes with ours
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=TestPattern.RecordsUntilKilled")});
    int frames = 0;
    QByteArray out;
    ASSERT_TRUE(WaitUntil([&] {
        out += child.readAllStandardOutput();
        const int at = out.lastIndexOf("frames ");
        if (at >= 0)
            frames = out.mid(at + 7).split('\n').front().toInt();
        return frames >= 45 || child.state() == QProcess::NotRunning;
    }, 30000));
    ASSERT_EQ(child.state(), QProcess::Running) << out.constData();
    ::kill(pid_t(child.processId()), SIGKILL);
    ASSERT_TRUE(child.waitForFinished(10000));

    EXPECT_LT(QFileInfo(file).size(), oldSize) << "the old recording's tail is gone";
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_packets"),
                                            QStringLiteral("-select_streams"), QStringLiteral("v:0"),
                                            QStringLiteral("-show_entries"), QStringLiteral("stream=nb_read_packets"),
                                            QStringLiteral("-of"), QStringLiteral("csv=p=0"), file});
    ASSERT_TRUE(probe.waitForFinished(30000));
    const QByteArray err = probe.readAllStandardError();
    EXPECT_EQ(probe.exitCode(), 0) << err.constData();
    const int packets = probe.readAllStandardOutput().trimmed().toInt();
    EXPECT_GE(packets, frames - 15) << "all but the last second or so; " << err.constData();
    const testsupport::AviInfo avi = ReadAvi(file);
    EXPECT_TRUE(avi.firstFrameDecodes);
    EXPECT_GE(avi.durationSec, (frames - 15) / 15.0) << "the header tells the length";
}

TEST_F(TestPattern, EscapeAbortsTheCapture)
{
    int streamed = 0;
    cap.OnVideoStream = [&](TVideoCap*, VIDEOHDR*) { ++streamed; };
    cap.SetVideoFileName(Path(QStringLiteral("escaped.avi")));
    cap.show();
    cap.SetDriverOpen(true);
    ASSERT_TRUE(cap.StartCapture());
    ASSERT_TRUE(WaitUntil([&] { return streamed >= 3; }));
    QTest::mouseClick(&cap, Qt::LeftButton);  // the left button does not abort
    testsupport::DrainEvents();
    EXPECT_TRUE(cap.CapturingNow());
    QTest::keyClick(&cap, Qt::Key_Escape);
    ASSERT_TRUE(WaitUntil([&] { return Ended(); }));
    EXPECT_FALSE(cap.CapturingNow());
    EXPECT_GE(ReadAvi(cap.VideoFileName()).videoPackets, 3);
}

TEST_F(TestPattern, FullDiskEndsTheCaptureWithAPlayableFile)
{
    // Uncompressed frames reach the file size limit within a second.
    cap.SetDriverOpen(true);
    AnswerDialog(QStringLiteral("CaptureCompressionDialog"), [](QDialog* d) {
        auto* combo = d->findChild<QComboBox*>(QStringLiteral("CodecCombo"));
        ASSERT_NE(combo, nullptr);
        const int raw = combo->findData(QStringLiteral("rawvideo"));
        ASSERT_GE(raw, 0);
        combo->setCurrentIndex(raw);
    }, true);
    ASSERT_TRUE(cap.DlgVideoCompression());

    cap.SetVideoFileName(Path(QStringLiteral("full.avi")));
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const rlim_t limit = 6 * 1024 * 1024;
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool started = cap.StartCapture();
    const bool ended = started && WaitUntil([&] { return Ended(); }, 20000);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previousHandler);
    ASSERT_TRUE(started);
    ASSERT_TRUE(ended) << "the capture ends by itself";
    EXPECT_TRUE(HasError(IDS_CAP_WRITEERROR));

    EXPECT_LE(QFileInfo(cap.VideoFileName()).size(), qint64(limit));
    const testsupport::AviInfo avi = ReadAvi(cap.VideoFileName());
    ASSERT_TRUE(avi.opened) << avi.error.toStdString();
    EXPECT_EQ(avi.videoCodec, QStringLiteral("rawvideo"));
    EXPECT_GE(avi.videoPackets, 3);
    EXPECT_TRUE(avi.firstFrameDecodes);
}

TEST_F(TestPattern, FormatDialogChangesThePictureSize)
{
    AnswerDialog(QStringLiteral("CaptureFormatDialog"), [](QDialog* d) { d->findChild<QComboBox*>()->setCurrentIndex(2); },
                 false);
    EXPECT_FALSE(cap.DlgVideoFormat());
    EXPECT_FALSE(cap.DriverOpen());

    AnswerDialog(QStringLiteral("CaptureFormatDialog"), [](QDialog* d) {
        auto* combo = d->findChild<QComboBox*>(QStringLiteral("FrameSizeCombo"));
        ASSERT_EQ(combo->count(), 5);
        EXPECT_EQ(combo->currentText(), QStringLiteral("320 x 240")) << "the default size";
        combo->setCurrentIndex(2);
    }, true);
    cap.SetDriverOpen(true);
    ASSERT_TRUE(cap.DlgVideoFormat());
    EXPECT_EQ(cap.ImageWidth(), 640);
    EXPECT_EQ(cap.ImageHeight(), 480);
    cap.SetSingleImageFile(Path(QStringLiteral("big.bmp")));
    ASSERT_TRUE(cap.GrabFrameNoStop());
    ASSERT_TRUE(cap.SaveAsDIB());
    EXPECT_EQ(QImage(cap.SingleImageFile()).size(), QSize(640, 480));
}

TEST_F(TestPattern, SourceDialogAppliesLiveAndCancelPutsValuesBack)
{
    auto whiteLevel = [&] {
        cap.SetSingleImageFile(Path(QStringLiteral("level.bmp")));
        cap.GrabFrameNoStop();
        cap.SaveAsDIB();
        // The brightest bar, wherever it has moved to.
        const QImage img(cap.SingleImageFile());
        int best = 0;
        for (int x = 0; x < img.width(); ++x)
            best = std::max(best, qRed(img.pixel(x, 10)));
        return best;
    };
    cap.SetDriverOpen(true);
    EXPECT_EQ(whiteLevel(), 255);

    AnswerDialog(QStringLiteral("CaptureSourceDialog"), [](QDialog* d) {
        d->findChild<QSlider*>(QStringLiteral("Control1"))->setValue(64);
    }, true);
    ASSERT_TRUE(cap.DlgVideoSource());
    EXPECT_EQ(whiteLevel(), 127);

    int levelWhileOpen = -1;
    AnswerDialog(QStringLiteral("CaptureSourceDialog"), [&](QDialog* d) {
        d->findChild<QSlider*>(QStringLiteral("Control1"))->setValue(255);
        levelWhileOpen = whiteLevel();
    }, false);
    EXPECT_FALSE(cap.DlgVideoSource());
    EXPECT_EQ(levelWhileOpen, 255) << "applied while the dialog is open";
    EXPECT_EQ(whiteLevel(), 127);
}

TEST_F(TestPattern, AudioWithoutAnInputRecordsVideoAndSaysSo)
{
    cap.SetVideoFileName(Path(QStringLiteral("audio.avi")));
    cap.SetCapAudio(true);
    cap.SetCapTimeLimit(1);
    cap.SetDriverOpen(true);
    ASSERT_TRUE(cap.StartCapture());
    ASSERT_TRUE(WaitUntil([&] { return Ended(); }, 15000));
    const testsupport::AviInfo avi = ReadAvi(cap.VideoFileName());
    ASSERT_TRUE(avi.opened);
    EXPECT_GE(avi.videoPackets, 5);
    // Machines with a sound input record it; the others are told and get video only.
    EXPECT_TRUE(avi.hasAudio || HasError(IDS_CAP_NO_AUDIO_CAP));
}

TEST_F(TestPattern, DestroyingTheControlDuringCaptureFinishesTheFile)
{
    const QString file = Path(QStringLiteral("cut.avi"));
    {
        TVideoCap local;
        int streamed = 0;
        local.OnVideoStream = [&](TVideoCap*, VIDEOHDR*) { ++streamed; };
        local.SetDriverName(capture::TestPatternName());
        local.SetVideoFileName(file);
        local.SetDriverOpen(true);
        ASSERT_TRUE(local.StartCapture());
        ASSERT_TRUE(WaitUntil([&] { return streamed >= 3; }));
    }
    testsupport::DrainEvents();
    const testsupport::AviInfo avi = ReadAvi(file);
    ASSERT_TRUE(avi.opened);
    EXPECT_GE(avi.videoPackets, 1);
}

}  // namespace
