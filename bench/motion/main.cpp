// Motion benchmark at 640 x 480:
//  1. the detector alone on frames of the test-pattern camera's room with
//     its visitor: processor time per frame, and the share of one core that
//     makes at 15 frames per second;
//  2. the live preview at 15 frames per second, without and with detection
//     on the frames it delivers: the share of one core of each.
#include "bench/capture/common.h"

#include "capture/videocap.h"
#include "motion/Detector.h"
#include "platform/application.h"
#include "capture/engine/CaptureDevice.h"

#include <QElapsedTimer>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using platform::capture::TestScene;

// The preview's processor share over seconds, after half a second to settle.
double PreviewShare(int seconds)
{
    Pump(500);
    const double cpu0 = ProcessCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    Pump(seconds * 1000);
    return 100.0 * (ProcessCpuSeconds() - cpu0) / (wall.elapsed() / 1000.0);
}

}  // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    platform::Application app(argc, argv);
    const int previewSeconds = argc > 1 ? std::atoi(argv[1]) : 5;

    // 1. The detector alone, on the frames around the visitor's visit.
    std::vector<QImage> frames(60);
    for (std::size_t i = 0; i < frames.size(); ++i)
        platform::capture::RenderTestScene(TestScene::Visitor, platform::capture::kVisitorFirstFrame - 10 + i,
                                           QSize(640, 480), QTime(12, 0).addMSecs(int(i) * 66), frames[i]);
    motion::Options options;
    const QRect clock = platform::capture::TestPatternClockArea();
    options.mask.push_back({clock.x(), clock.y(), clock.width(), clock.height()});
    motion::Detector detector(options);
    int fed = 0;
    int motionFrames = 0;
    const double cpu0 = ProcessCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < 3000) {
        const QImage& f = frames[std::size_t(fed) % frames.size()];
        motionFrames += detector.Feed(f.constBits(), f.width(), f.height(), std::size_t(f.bytesPerLine())).motion;
        ++fed;
    }
    const double perFrameMs = 1000.0 * (ProcessCpuSeconds() - cpu0) / fed;
    const double share = perFrameMs * 15 / 1000.0 * 100.0;
    std::printf("detection at 640x480: %d frames (%d with motion), %.3f ms processor time per frame, "
                "%.2f%% of one core at 15 fps\n",
                fed, motionFrames, perFrameMs, share);
    std::printf("BENCH motion_detect_640x480 %.3fms - - <1ms\n", perFrameMs);
    std::printf("BENCH motion_share_15fps %.2f%%core - - <3%%core\n", share);

    // 2. The preview of the room, without and with detection, at each size.
    platform::capture::SetTestPatternScene(TestScene::Visitor);
    TVideoCap cap;
    cap.resize(640, 480);
    cap.show();
    // Unscaled (the panel shows the picture's top left, pixel for pixel),
    // then scaled into the panel as the main window shows it.
    const struct {
        QSize size;
        bool scaled;
    } runs[] = {{QSize(640, 480), false}, {QSize(1280, 720), false}, {QSize(1920, 1080), false},
                {QSize(640, 480), true},  {QSize(1920, 1080), true}};
    for (const auto& [size, scaled] : runs) {
        cap.SetPreviewScaleToWindow(scaled);
        if (!OpenTestPattern(cap, size.width(), size.height())) {
            std::fprintf(stderr, "cannot open the test pattern at %d x %d\n", size.width(), size.height());
            return 1;
        }
        cap.OnFrameCallback = nullptr;
        cap.SetPreviewRate(15);
        cap.SetVideoPreview(true);
        const double alone = PreviewShare(previewSeconds);
        motion::Detector live(options);
        int seen = 0;
        cap.SetFrameCallbackSize(QSize(motion::kWorkWidth, motion::kWorkHeight));
        cap.OnFrameCallback = [&](TVideoCap*, platform::VIDEOHDR* h) {
            const int w = int(h->dwWidth);
            const int ht = int(h->dwHeight);
            if (h->dwBytesUsed == std::uint32_t(w * ht * 3))
                live.Feed(h->lpData, w, ht, std::size_t(w) * 3);
            ++seen;
        };
        const double with = PreviewShare(previewSeconds);
        cap.OnFrameCallback = nullptr;
        const char* how = scaled ? "_scaled" : "";
        std::printf("preview%s %dx%d at 15 fps: %.2f%% of one core alone, %.2f%% with detection (%d frames)\n", how,
                    size.width(), size.height(), alone, with, seen);
        std::printf("BENCH preview_motion%s_%dx%d_15fps %.2f%%core %.2f%%core %.2f <=1.2\n", how, size.width(),
                    size.height(), with, alone, with / alone);
        if (scaled)
            std::printf("BENCH preview_motion_scaled_%dx%d_share %.2f%%core - - <=%d%%core\n", size.width(),
                        size.height(), with, size.width() > 640 ? 8 : 4);
        cap.SetVideoPreview(false);
    }
    return 0;
}
