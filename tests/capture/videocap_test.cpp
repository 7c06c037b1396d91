// The capture component against a recording capture engine: the calls it
// makes, their order, and how it reacts to failing answers.
#include "capture/videocap.h"
#include "tests/capture/fake_capture.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QMouseEvent>
#include <QTemporaryDir>

#include <string>
#include <vector>

using namespace platform;
using testsupport::CapCall;
using testsupport::CapOp;
using testsupport::ScopedFakeCapture;

namespace {

class VideoCapFake : public ::testing::Test
{
protected:
    VideoCapFake()
    {
        fake->drivers[0] = {QStringLiteral("Cam A"), QStringLiteral("v1")};
        fake->drivers[1] = {QStringLiteral("Cam B"), QStringLiteral("v2")};
        cap.setObjectName(QStringLiteral("VideoCap1"));
        cap.resize(392, 292);
    }

    // Opens driver 0 and forgets what that sent.
    void OpenFirst()
    {
        cap.SetDriverIndex(0);
        cap.SetDriverOpen(true);
        fake->calls.clear();
    }

    ScopedFakeCapture fake;
    TVideoCap cap;
};

TEST(RoundedQuotient, RoundsHalvesToEven)
{
    EXPECT_EQ(RoundedQuotient(1000, 16), 62u);   // 62.5
    EXPECT_EQ(RoundedQuotient(1000, 15), 67u);
    EXPECT_EQ(RoundedQuotient(1000000, 15), 66667u);
    EXPECT_EQ(RoundedQuotient(1000000, 16000), 62u);  // 62.5
    EXPECT_EQ(RoundedQuotient(1000000, 3200), 312u);  // 312.5
    EXPECT_EQ(RoundedQuotient(1000000, 640), 1562u);  // 1562.5
    EXPECT_EQ(RoundedQuotient(7, 2), 4u);             // 3.5
}

TEST_F(VideoCapFake, DriverListStopsAtTheFirstGapWhileTheNameSetterProbesAllTen)
{
    fake->drivers[3] = {QStringLiteral("Cam D"), QStringLiteral("v4")};
    const std::unique_ptr<QStringList> list = GetDriverList();
    EXPECT_EQ(*list, QStringList({QStringLiteral("Cam A v1"), QStringLiteral("Cam B v2")}));

    fake->descriptionQueries.clear();
    cap.SetDriverName(QStringLiteral("Cam D"));
    EXPECT_EQ(cap.DriverIndex(), 3);
    EXPECT_EQ(cap.DriverName(), QStringLiteral("Cam D"));
    EXPECT_GE(fake->descriptionQueries.size(), 4u);

    cap.SetDriverName(QStringLiteral("cam d"));  // names compare exactly
    EXPECT_EQ(cap.DriverIndex(), -1);
    EXPECT_TRUE(cap.DriverName().isEmpty());
    EXPECT_GE(fake->descriptionQueries.size(), 14u) << "all ten indexes are probed";
}

TEST_F(VideoCapFake, DriverIndexWithoutDriverBecomesNoneAndChangingItClosesTheDriver)
{
    cap.SetDriverIndex(1);
    EXPECT_EQ(cap.DriverName(), QStringLiteral("Cam B"));
    cap.SetDriverIndex(7);
    EXPECT_EQ(cap.DriverIndex(), -1);
    EXPECT_TRUE(cap.DriverName().isEmpty());

    // Below -1: kept as it is, with the old name, and no driver to connect.
    cap.SetDriverIndex(1);
    cap.SetDriverIndex(-2);
    EXPECT_EQ(cap.DriverIndex(), -2);
    EXPECT_EQ(cap.DriverName(), QStringLiteral("Cam B"));
    try {
        cap.SetDriverOpen(true);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Range check error"));
    }
    EXPECT_FALSE(cap.DriverOpen()) << "no window stays behind";
    EXPECT_EQ(fake->created, fake->destroyed);

    OpenFirst();
    ASSERT_TRUE(cap.DriverOpen());
    cap.SetDriverIndex(1);
    EXPECT_FALSE(cap.DriverOpen()) << "the owner reopens the driver";
    EXPECT_EQ(fake->destroyed, 2);
    EXPECT_TRUE(fake->Sent(CapOp::DisconnectDriver));
}

TEST_F(VideoCapFake, OpenFailuresRaiseOnStatusBeforeTheException)
{
    std::vector<std::string> order;
    cap.OnStatus = [&](TVideoCap*) { order.push_back("status"); };
    auto open = [&] {
        try {
            cap.SetDriverOpen(true);
        } catch (const Exception& e) {
            order.push_back(std::string(e.ClassName()) + ": " + e.Message().toStdString());
        }
    };

    open();  // no driver selected
    EXPECT_EQ(order, (std::vector<std::string>{"status", "ENoDriverException: No capture driver selected"}));
    EXPECT_EQ(fake->created, 0);

    order.clear();
    cap.SetDriverIndex(0);
    fake->failCreate = true;
    open();
    EXPECT_EQ(order, (std::vector<std::string>{"status", "ENoCapWindowException: Can not create capture window"}));

    order.clear();
    fake->failCreate = false;
    fake->answers[CapOp::ConnectDriver] = 0;
    open();
    EXPECT_EQ(order, (std::vector<std::string>{
                         "status", "ENotConnectException: Can not connect capture driver with capture window"}));
    EXPECT_FALSE(cap.DriverOpen());
    EXPECT_EQ(fake->destroyed, 1) << "the window is gone before the exception";
    EXPECT_FALSE(fake->Sent(CapOp::SetScale));
}

TEST_F(VideoCapFake, OpenSendsItsStepsInOrder)
{
    cap.OnError = [](TVideoCap*, int, const QString&) {};
    cap.OnStatusCallback = [](TVideoCap*, int, const QString&) {};
    cap.SetPreviewRate(16);
    cap.SetDriverIndex(1);
    cap.SetDriverOpen(true);

    EXPECT_EQ(fake->createName, QStringLiteral("VideoCap1"));
    EXPECT_EQ(fake->createRect, QRect(0, 0, 392, 292));
    EXPECT_EQ(fake->createParent, &cap);
    EXPECT_EQ(fake->Messages(), (std::vector<CapOp>{
                                    CapOp::SetStatusHandler, CapOp::SetErrorHandler,
                                    CapOp::ConnectDriver, CapOp::SetScale, CapOp::SetPreviewRate,
                                    CapOp::GetStatus}));
    EXPECT_EQ(fake->CallsOf(CapOp::ConnectDriver)[0].value, 1u);
    EXPECT_EQ(fake->CallsOf(CapOp::SetPreviewRate)[0].value, 62u);
    EXPECT_EQ(fake->geometry, QRect(0, 0, 320, 240)) << "unscaled: the picture's own size";

    // Opening an open driver does nothing; closing disconnects and destroys.
    fake->calls.clear();
    EXPECT_TRUE(cap.OpenDriver());
    EXPECT_TRUE(fake->calls.empty());
    cap.SetDriverOpen(false);
    EXPECT_EQ(fake->Messages(), std::vector<CapOp>{CapOp::DisconnectDriver});
    EXPECT_EQ(fake->destroyed, 1);
    EXPECT_EQ(cap.CaptureWindow(), 0u);
}

TEST_F(VideoCapFake, PreviewRateIsClampedAndSentOnlyWhileOpen)
{
    cap.SetPreviewRate(0);
    EXPECT_EQ(cap.PreviewRate(), 1);
    cap.SetPreviewRate(45);
    EXPECT_EQ(cap.PreviewRate(), 30);

    cap.SetDriverIndex(0);
    cap.SetPreviewRate(16);  // closed: nothing to send to
    EXPECT_TRUE(fake->calls.empty());
    cap.SetDriverOpen(true);
    EXPECT_EQ(fake->CallsOf(CapOp::SetPreviewRate).at(0).value, 62u);

    fake->calls.clear();
    const std::pair<int, unsigned> cases[] = {{30, 33}, {25, 40}, {15, 67}, {10, 100}, {1, 1000}};
    for (auto [rate, ms] : cases) {
        cap.SetPreviewRate(std::uint16_t(rate));
        EXPECT_EQ(fake->calls.back().value, ms) << rate;
    }
    const std::size_t sent = fake->calls.size();
    cap.SetPreviewRate(1);  // unchanged
    EXPECT_EQ(fake->calls.size(), sent);
}

TEST_F(VideoCapFake, FrameRatePeriodAndIndexSizeRules)
{
    cap.SetFrameRate(15);
    EXPECT_EQ(cap.MicroSecPerFrame(), 66667u);
    cap.SetFrameRate(30);
    EXPECT_EQ(cap.MicroSecPerFrame(), 33333u);
    cap.SetMicroSecPerFrame(20000);
    EXPECT_EQ(cap.MicroSecPerFrame(), 33333u) << "at most 30 frames per second through the period";
    cap.SetFrameRate(60);
    EXPECT_EQ(cap.MicroSecPerFrame(), 16667u) << "the rate setter has no floor";
    EXPECT_EQ(cap.FrameRate(), 60);
    cap.SetFrameRate(0);
    EXPECT_EQ(cap.MicroSecPerFrame(), 16667u);

    cap.SetCapIndexSize(5);
    EXPECT_EQ(cap.CapIndexSize(), 1800u);
    cap.SetCapIndexSize(400000);
    EXPECT_EQ(cap.CapIndexSize(), 324000u);
    cap.SetCapIndexSize(0);
    EXPECT_EQ(cap.CapIndexSize(), 0u);
}

TEST_F(VideoCapFake, ScalingPlacesTheWindowAtTheTopLeft)
{
    cap.show();  // a hidden widget hears of its size only when shown
    OpenFirst();
    cap.resize(400, 200);
    cap.SetPreviewScaleToWindow(true);
    EXPECT_EQ(fake->CallsOf(CapOp::SetScale).at(0).value, 1u);
    EXPECT_EQ(fake->geometry, QRect(0, 0, 400, 200));
    cap.SetPreviewScaleProportional(true);
    EXPECT_EQ(fake->geometry, QRect(0, 0, 267, 200));
    cap.resize(200, 400);  // the size notification follows while stretching
    EXPECT_EQ(fake->geometry, QRect(0, 0, 200, 150));

    // A picture without size cannot keep a ratio: it fills the control.
    fake->status.uiImageWidth = 0;
    cap.UpdateStatus(false);
    cap.SizeCaptureWindow();
    EXPECT_EQ(fake->geometry, QRect(0, 0, 200, 400));

    fake->status.uiImageWidth = 320;
    cap.UpdateStatus(false);
    cap.SetPreviewScaleToWindow(false);
    EXPECT_EQ(fake->geometry, QRect(0, 0, 320, 240));
    cap.resize(300, 300);
    EXPECT_EQ(fake->geometry, QRect(0, 0, 320, 240)) << "unscaled windows ignore the control's size";
}

TEST_F(VideoCapFake, CapabilitiesAreReadOnceAndCachedUntilTheDriverChanges)
{
    fake->caps.fHasOverlay = 1;
    fake->caps.fHasDlgVideoFormat = 1;
    cap.SetDriverIndex(0);
    EXPECT_TRUE(cap.HasOverlay());
    EXPECT_EQ(fake->created, 1);
    EXPECT_EQ(fake->destroyed, 1) << "a closed driver is opened just for the question";
    EXPECT_FALSE(cap.DriverOpen());
    EXPECT_TRUE(cap.HasDlgFormat());
    EXPECT_FALSE(cap.HasDlgSource());
    EXPECT_FALSE(cap.HasDlgDisplay());
    EXPECT_EQ(fake->created, 1);
    EXPECT_EQ(fake->CallsOf(CapOp::GetDriverCaps).size(), 1u);

    cap.SetDriverIndex(1);  // frees the cache
    fake->caps.fHasOverlay = 0;
    EXPECT_FALSE(cap.HasOverlay());
    EXPECT_EQ(fake->created, 2);

    // A failing answer is not cached.
    cap.SetDriverIndex(0);
    fake->answers[CapOp::GetDriverCaps] = 0;
    EXPECT_FALSE(cap.ReadDriverCaps());
    fake->answers.erase(CapOp::GetDriverCaps);
    EXPECT_TRUE(cap.ReadDriverCaps());
    EXPECT_EQ(fake->CallsOf(CapOp::GetDriverCaps).size(), 4u);

    cap.SetDriverIndex(-1);
    EXPECT_FALSE(cap.ReadDriverCaps());
}

TEST_F(VideoCapFake, PreviewAndOverlayFollowTheDriversStatus)
{
    int statusEvents = 0;
    cap.OnStatus = [&](TVideoCap*) { ++statusEvents; };
    cap.SetDriverIndex(0);
    cap.SetVideoPreview(true);  // opens the driver on its own
    EXPECT_TRUE(cap.DriverOpen());
    EXPECT_TRUE(cap.VideoPreview());
    EXPECT_EQ(statusEvents, 2);  // after opening and after the change

    cap.SetDriverOpen(false);
    EXPECT_FALSE(cap.VideoPreview()) << "closed reads false whatever the last status said";

    // No overlay: refused without a status refresh, state unchanged.
    OpenFirst();
    statusEvents = 0;
    try {
        cap.SetVideoOverlay(true);
        ADD_FAILURE() << "no exception";
    } catch (const ENoOverlayException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Driver has no overlay mode"));
    }
    EXPECT_EQ(statusEvents, 0);
    EXPECT_FALSE(cap.VideoOverlay());

    // With overlay the preview ends through a grab before overlay begins.
    cap.SetDriverIndex(1);
    fake->caps.fHasOverlay = 1;
    cap.SetDriverOpen(true);
    cap.SetVideoPreview(true);
    fake->calls.clear();
    cap.SetVideoOverlay(true);
    EXPECT_EQ(fake->Messages(), (std::vector<CapOp>{CapOp::GetDriverCaps, CapOp::GrabFrame,
                                                            CapOp::GetStatus, CapOp::SetOverlay,
                                                            CapOp::GetStatus}));
    EXPECT_TRUE(cap.VideoOverlay());
    EXPECT_FALSE(cap.VideoPreview());
}

TEST_F(VideoCapFake, EventSettersInstallAndRemoveCallbacksWhileOpen)
{
    OpenFirst();
    EXPECT_FALSE(fake->errorHandler) << "unassigned events get no handler";
    cap.OnError = [](TVideoCap*, int, const QString&) {};
    ASSERT_EQ(fake->CallsOf(CapOp::SetErrorHandler).size(), 1u);
    EXPECT_TRUE(fake->errorHandler);
    cap.OnError = nullptr;
    EXPECT_EQ(fake->CallsOf(CapOp::SetErrorHandler).size(), 2u);
    EXPECT_FALSE(fake->errorHandler);

    cap.OnFrameCallback = [](TVideoCap*, VIDEOHDR*) {};
    cap.OnVideoStream = [](TVideoCap*, VIDEOHDR*) {};
    cap.OnAudioStream = [](TVideoCap*, WAVEHDR*) {};
    cap.OnStatusCallback = [](TVideoCap*, int, const QString&) {};
    EXPECT_EQ(fake->Messages(), (std::vector<CapOp>{CapOp::SetErrorHandler, CapOp::SetErrorHandler,
                                                            CapOp::SetFrameHandler, CapOp::SetVideoStreamHandler,
                                                            CapOp::SetWaveStreamHandler,
                                                            CapOp::SetStatusHandler}));

    cap.SetDriverOpen(false);
    const std::size_t sent = fake->calls.size();
    cap.OnError = [](TVideoCap*, int, const QString&) {};  // closed: stored only
    EXPECT_EQ(fake->calls.size(), sent);
}

TEST_F(VideoCapFake, CallbackRoutinesRaiseTheComponentsEvents)
{
    std::vector<std::pair<int, QString>> statuses;
    std::vector<std::pair<int, QString>> errors;
    VIDEOHDR* frame = nullptr;
    cap.OnStatusCallback = [&](TVideoCap* s, int id, const QString& t) {
        EXPECT_EQ(s, &cap);
        statuses.emplace_back(id, t);
    };
    cap.OnError = [&](TVideoCap*, int id, const QString& t) { errors.emplace_back(id, t); };
    cap.OnFrameCallback = [&](TVideoCap*, VIDEOHDR* h) { frame = h; };
    OpenFirst();

    ASSERT_TRUE(fake->statusHandler && fake->errorHandler && fake->frameHandler);
    fake->statusHandler(300, QStringLiteral("Capture Start"));
    fake->statusHandler(301, QString());
    fake->errorHandler(434, QStringLiteral("Capture device was not detected."));
    VIDEOHDR hdr{};
    fake->frameHandler(&hdr);
    EXPECT_EQ(statuses, (std::vector<std::pair<int, QString>>{{300, QStringLiteral("Capture Start")}, {301, QString()}}));
    EXPECT_EQ(errors, (std::vector<std::pair<int, QString>>{{434, QStringLiteral("Capture device was not detected.")}}));
    EXPECT_EQ(frame, &hdr);
}

TEST_F(VideoCapFake, MouseInputOverTheVideoReachesTheControl)
{
    std::vector<std::string> got;
    cap.OnMouseDown = [&](TVideoCap*, Qt::MouseButton b, Qt::KeyboardModifiers, int x, int y) {
        got.push_back("down " + std::to_string(int(b)) + " " + std::to_string(x) + "," + std::to_string(y));
    };
    cap.OnMouseUp = [&](TVideoCap*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) { got.push_back("up"); };
    cap.OnClick = [&](TVideoCap*) { got.push_back("click"); };
    cap.OnMouseMove = [&](TVideoCap*, Qt::MouseButtons, Qt::KeyboardModifiers, int x, int y) {
        got.push_back("move " + std::to_string(x) + "," + std::to_string(y));
    };
    OpenFirst();
    ASSERT_TRUE(fake->mouseHandler);
    auto mouse = [&](QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons, QPointF at) {
        QMouseEvent event(type, at, at, button, buttons, Qt::NoModifier);
        fake->mouseHandler(&event);
    };
    mouse(QEvent::MouseMove, Qt::NoButton, Qt::NoButton, {5, 6});
    mouse(QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, {10, 20});
    mouse(QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, {10, 20});
    mouse(QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, {1, 2});
    EXPECT_TRUE(fake->calls.empty()) << "handed-on input does not reach the driver";
    EXPECT_EQ(got, (std::vector<std::string>{"move 5,6", "down 1 10,20", "up", "click", "down 2 1,2"}));

    // Double clicks of the right and middle buttons stay with the video.
    int doubleClicks = 0;
    cap.OnDblClick = [&](TVideoCap*) { ++doubleClicks; };
    mouse(QEvent::MouseButtonDblClick, Qt::RightButton, Qt::RightButton, {0, 0});
    mouse(QEvent::MouseButtonDblClick, Qt::MiddleButton, Qt::MiddleButton, {0, 0});
    EXPECT_EQ(doubleClicks, 0);
    mouse(QEvent::MouseButtonDblClick, Qt::LeftButton, Qt::LeftButton, {0, 0});
    EXPECT_EQ(doubleClicks, 1);
}

TEST_F(VideoCapFake, OperationsOnAClosedDriverAnswerFalseAndSendNothing)
{
    cap.SetDriverIndex(0);
    EXPECT_FALSE(cap.GrabFrame());
    EXPECT_FALSE(cap.GrabFrameNoStop());
    EXPECT_FALSE(cap.SaveAsDIB());
    EXPECT_FALSE(cap.StartCapture());
    EXPECT_FALSE(cap.StopCapture());
    EXPECT_FALSE(cap.CapturingNow());
    EXPECT_FALSE(cap.SaveCapture());
    EXPECT_TRUE(fake->calls.empty());
    EXPECT_EQ(fake->created, 0);
}

TEST_F(VideoCapFake, GrabAndSaveSendTheirMessagesAndRefreshTheStatus)
{
    int statusEvents = 0;
    cap.OnStatus = [&](TVideoCap*) { ++statusEvents; };
    OpenFirst();
    statusEvents = 0;
    cap.SetSingleImageFile(QStringLiteral("/tmp/snap shot.bmp"));
    EXPECT_TRUE(cap.GrabFrameNoStop());
    EXPECT_TRUE(cap.SaveAsDIB());
    EXPECT_EQ(fake->Messages(), (std::vector<CapOp>{CapOp::GrabFrameNoStop, CapOp::GetStatus,
                                                            CapOp::SaveDib}));
    EXPECT_EQ(fake->calls.back().text, QStringLiteral("/tmp/snap shot.bmp"));
    EXPECT_EQ(statusEvents, 1);

    fake->answers[CapOp::GrabFrame] = 0;
    EXPECT_FALSE(cap.GrabFrame());
    EXPECT_EQ(statusEvents, 1) << "a failed grab refreshes nothing";
}

TEST_F(VideoCapFake, StartCaptureWritesTheSetUpAndAsksForTheIndex)
{
    fake->parms.dwIndexSize = 34952;
    fake->parms.wPercentDropForError = 10;
    fake->parms.fAbortLeftMouse = 1;
    OpenFirst();
    cap.SetFrameRate(15);
    cap.SetCapTimeLimit(60);
    ASSERT_TRUE(cap.StartCapture());
    EXPECT_EQ(fake->Messages(), (std::vector<CapOp>{CapOp::GetSequenceSetup, CapOp::SetCaptureFile,
                                                            CapOp::SetSequenceSetup, CapOp::Sequence,
                                                            CapOp::GetStatus}));
    EXPECT_EQ(fake->CallsOf(CapOp::SetCaptureFile)[0].text, QStringLiteral("Video.avi"));
    EXPECT_EQ(fake->parms.dwRequestMicroSecPerFrame, 66667u);
    EXPECT_TRUE(fake->parms.fLimitEnabled);
    EXPECT_EQ(fake->parms.wTimeLimit, 60u);
    EXPECT_EQ(fake->parms.dwIndexSize, 1800u) << "900 is raised to the minimum";
    EXPECT_TRUE(fake->parms.fYield);
    EXPECT_EQ(fake->parms.vKeyAbort, 27u);
    EXPECT_FALSE(fake->parms.fAbortLeftMouse);
    EXPECT_FALSE(fake->parms.fCaptureAudio);
    EXPECT_EQ(fake->parms.wPercentDropForError, 10u) << "other fields stay as the driver said";
    EXPECT_TRUE(cap.CapturingNow());
    EXPECT_TRUE(cap.StopCapture());
    EXPECT_FALSE(cap.CapturingNow());

    struct Case {
        std::uint16_t rate, limit;
        bool audio;
        std::uint32_t driverIndex, capIndex, expected;
    };
    const Case cases[] = {
        {15, 60, true, 34952, 0, 1800},       // 60 x 20 = 1200
        {30, 600, false, 34952, 0, 18000},
        {30, 60000, false, 34952, 0, 324000},  // clamped
        {15, 0, false, 0, 5000, 100000},      // the driver has no index size
        {15, 0, false, 34952, 5000, 5000},
        {15, 0, false, 34952, 0, 100000},     // unset: a generous index
    };
    for (const Case& c : cases) {
        fake->parms.dwIndexSize = c.driverIndex;
        cap.SetFrameRate(c.rate);
        cap.SetCapTimeLimit(c.limit);
        cap.SetCapAudio(c.audio);
        cap.SetCapIndexSize(c.capIndex);
        cap.StartCapture();
        EXPECT_EQ(fake->parms.dwIndexSize, c.expected) << c.rate << " fps, " << c.limit << " s";
        EXPECT_EQ(bool(fake->parms.fLimitEnabled), c.limit != 0);
        EXPECT_EQ(bool(fake->parms.fCaptureAudio), c.audio);
    }

    fake->calls.clear();
    cap.SetCapToFile(false);
    cap.SetCapAudio(false);
    cap.StartCapture();
    EXPECT_TRUE(fake->Sent(CapOp::SequenceNoFile));
    EXPECT_FALSE(fake->Sent(CapOp::Sequence));
}

TEST_F(VideoCapFake, AudioFormatIsWrittenOverTheDriversRecord)
{
    fake->wave.wFormatTag = WAVE_FORMAT_PCM;
    fake->wave.cbSize = 0;
    OpenFirst();
    cap.SetCapAudio(true);
    cap.StartCapture();
    EXPECT_EQ(fake->Messages(), (std::vector<CapOp>{CapOp::GetSequenceSetup, CapOp::SetCaptureFile,
                                                            CapOp::SetSequenceSetup, CapOp::GetAudioFormat,
                                                            CapOp::SetAudioFormat, CapOp::Sequence,
                                                            CapOp::GetStatus}));
    EXPECT_EQ(fake->wave.nSamplesPerSec, 8000u);
    EXPECT_EQ(fake->wave.nChannels, 1);
    EXPECT_EQ(fake->wave.wBitsPerSample, 8);
    EXPECT_EQ(fake->wave.nBlockAlign, 1);
    EXPECT_EQ(fake->wave.nAvgBytesPerSec, 8000u);

    TAudioFormat stereo;
    stereo.SetChannels(TChannel::Stereo);
    stereo.SetFrequency(TFrequency::f44100Hz);
    stereo.SetResolution(TResolution::r16Bit);
    stereo.SetAudioFormat(cap.CaptureWindow());
    EXPECT_EQ(fake->wave.nBlockAlign, 4);
    EXPECT_EQ(fake->wave.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(fake->wave.wFormatTag, WAVE_FORMAT_PCM);
}

TEST_F(VideoCapFake, BufferFileAttachReleaseAndFailure)
{
    OpenFirst();
    cap.SetBufferFileSize(2);
    const QString buffer = cap.BufferFileName();
    ASSERT_FALSE(buffer.isEmpty());
    EXPECT_TRUE(QFileInfo(buffer).fileName().startsWith(QStringLiteral("cap")));
    EXPECT_TRUE(QFileInfo::exists(buffer));
    EXPECT_EQ(fake->Messages(), (std::vector<CapOp>{CapOp::SetCaptureFile, CapOp::AllocateFile}));
    EXPECT_EQ(fake->calls[0].text, buffer);
    EXPECT_EQ(fake->calls[1].value, 2u * 1048576);

    fake->calls.clear();
    cap.StartCapture();
    EXPECT_FALSE(fake->Sent(CapOp::SetCaptureFile)) << "the capture goes to the buffer file";

    fake->calls.clear();
    cap.SetBufferFileSize(0);
    EXPECT_EQ(fake->Messages(), std::vector<CapOp>{CapOp::SetCaptureFile});
    EXPECT_EQ(fake->calls[0].text, QStringLiteral("Video.avi"));
    EXPECT_FALSE(QFileInfo::exists(buffer));
    EXPECT_TRUE(cap.BufferFileName().isEmpty());

    fake->answers[CapOp::AllocateFile] = 0;
    try {
        cap.SetBufferFileSize(3);
        ADD_FAILURE() << "no exception";
    } catch (const EBufferFileError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Could not create tmp file"));
    }
    EXPECT_FALSE(cap.BufferFileName().isEmpty()) << "the name stays remembered";

    // Closing releases it: a capture still running is stopped and saved
    // first, then back to the video file, the temporary file deleted.
    const QString kept = cap.BufferFileName();
    fake->calls.clear();
    cap.SetDriverOpen(false);
    EXPECT_EQ(fake->Messages(), (std::vector<CapOp>{CapOp::GetStatus, CapOp::Stop, CapOp::GetStatus,
                                                             CapOp::SaveCaptureAs, CapOp::SetCaptureFile,
                                                             CapOp::DisconnectDriver}));
    EXPECT_FALSE(QFileInfo::exists(kept));
}

TEST_F(VideoCapFake, BufferFileFailureOnOpenLeavesTheDriverOpenWithoutTheLaterSteps)
{
    cap.SetBufferFileSize(1);
    cap.SetDriverIndex(0);
    fake->answers[CapOp::AllocateFile] = 0;
    EXPECT_THROW(cap.SetDriverOpen(true), EBufferFileError);
    EXPECT_TRUE(cap.DriverOpen());
    EXPECT_TRUE(fake->Sent(CapOp::ConnectDriver));
    EXPECT_FALSE(fake->Sent(CapOp::SetScale));
    EXPECT_FALSE(fake->Sent(CapOp::GetStatus));
    const QString buffer = cap.BufferFileName();
    cap.SetDriverOpen(false);
    EXPECT_FALSE(QFileInfo::exists(buffer));
}

TEST_F(VideoCapFake, DriverDialogsOpenAClosedDriverForTheirDuration)
{
    int statusEvents = 0;
    cap.OnStatus = [&](TVideoCap*) { ++statusEvents; };
    EXPECT_FALSE(cap.DlgVideoFormat()) << "no driver selected";
    EXPECT_EQ(fake->created, 0);

    cap.SetDriverIndex(0);
    statusEvents = 0;
    EXPECT_TRUE(cap.DlgVideoFormat());
    EXPECT_EQ(fake->created, 1);
    EXPECT_EQ(fake->destroyed, 1);
    EXPECT_FALSE(cap.DriverOpen());
    EXPECT_EQ(statusEvents, 2) << "the open and the accepted dialog";
    const std::vector<CapOp> m = fake->Messages();
    const auto dlg = std::find(m.begin(), m.end(), CapOp::DlgVideoFormat);
    ASSERT_NE(dlg, m.end());
    EXPECT_EQ(*(dlg + 1), CapOp::GetStatus);
    EXPECT_EQ(*(dlg + 2), CapOp::DisconnectDriver);

    // Refused: no status refresh. Compression never refreshes.
    OpenFirst();
    statusEvents = 0;
    fake->answers[CapOp::DlgVideoSource] = 0;
    EXPECT_FALSE(cap.DlgVideoSource());
    EXPECT_TRUE(cap.DlgVideoDisplay());
    EXPECT_EQ(statusEvents, 1);
    fake->calls.clear();
    EXPECT_TRUE(cap.DlgVideoCompression());
    EXPECT_EQ(fake->Messages(), std::vector<CapOp>{CapOp::DlgVideoCompression});
    EXPECT_TRUE(cap.DriverOpen());
}

TEST_F(VideoCapFake, DestroyingTheControlClosesTheDriver)
{
    auto owned = std::make_unique<TVideoCap>();
    owned->SetDriverIndex(1);
    owned->SetDriverOpen(true);
    owned.reset();
    EXPECT_EQ(fake->destroyed, 1);
    EXPECT_TRUE(fake->Sent(CapOp::DisconnectDriver));
}

}  // namespace
