// Capture benchmark on the test-pattern camera at 640 x 480:
//  1. grab + SaveAsDIB: frames per second and processor time per frame, and
//     the bitmap writer against Qt's own BMP writer on the same frame;
//  2. preview at 15 frames per second for 10 seconds: share of one core, at
//     640 x 480 and at 1920 x 1080.
#include "bench/capture/common.h"

#include "capture/videocap.h"
#include "platform/application.h"
#include "capture/engine/CaptureWindow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    platform::Application app(argc, argv);
    const int previewSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
    QTemporaryDir dir;

    TVideoCap cap;
    cap.resize(640, 480);
    if (!OpenTestPattern640(cap)) {
        std::fprintf(stderr, "cannot open the test pattern at 640 x 480\n");
        return 1;
    }

    // 1. Grab + save for three seconds.
    cap.SetSingleImageFile(dir.filePath(QStringLiteral("bench.bmp")));
    int frames = 0;
    QElapsedTimer wall;
    const double cpu0 = ProcessCpuSeconds();
    wall.start();
    while (wall.elapsed() < 3000) {
        if (!cap.GrabFrameNoStop() || !cap.SaveAsDIB()) {
            std::fprintf(stderr, "grab or save failed\n");
            return 1;
        }
        ++frames;
    }
    const double grabSeconds = wall.elapsed() / 1000.0;
    const double grabCpu = ProcessCpuSeconds() - cpu0;
    std::printf("grab + SaveAsDIB at 640x480: %.1f frames/s (camera paces 30), %.2f ms processor time per frame\n",
                frames / grabSeconds, 1000.0 * grabCpu / frames);

    // The bitmap writer against Qt's BMP writer, same frame, same folder.
    const QImage frame(cap.SingleImageFile());
    // Alternating, so that a change of load hits both alike; medians.
    const int rounds = 200;
    std::vector<double> oursMs, peerMs;
    QElapsedTimer t;
    for (int i = 0; i < rounds; ++i) {
        t.start();
        platform::capture::WriteBmp24(frame, dir.filePath(QStringLiteral("ours.bmp")));
        oursMs.push_back(t.nsecsElapsed() / 1e6);
        t.start();
        frame.save(dir.filePath(QStringLiteral("qt.bmp")), "BMP");
        peerMs.push_back(t.nsecsElapsed() / 1e6);
    }
    const double ours = Median(oursMs);
    const double peer = Median(peerMs);
    std::printf("bitmap write 640x480: ours %.3f ms, Qt's writer %.3f ms, ratio %.2f\n", ours, peer, ours / peer);
    // Lines for scripts/bench: BENCH name ours peer ratio aim ("-" where none).
    std::printf("BENCH grab_save_640x480 %.1ffps - - -\n", frames / grabSeconds);
    std::printf("BENCH bmp_write_640x480 %.3fms %.3fms %.2f <=1.0\n", ours, peer, ours / peer);

    // 2. Preview at 15 frames per second, at 640 x 480, 1280 x 720 and 1920 x 1080.
    int shown = 0;
    cap.OnFrameCallback = [&](TVideoCap*, platform::VIDEOHDR*) { ++shown; };
    cap.show();
    const struct {
        QSize size;
        const char* aim;  // share of one core
    } previews[] = {{QSize(640, 480), "<=2%core"}, {QSize(1280, 720), "<=6%core"}, {QSize(1920, 1080), "<=12%core"}};
    for (const auto& [size, aim] : previews) {
        if (!OpenTestPattern(cap, size.width(), size.height())) {
            std::fprintf(stderr, "cannot switch the test pattern to %d x %d\n", size.width(), size.height());
            return 1;
        }
        cap.SetPreviewRate(15);
        cap.SetVideoPreview(true);
        Pump(500);  // settle
        shown = 0;
        const double pc0 = ProcessCpuSeconds();
        wall.restart();
        Pump(previewSeconds * 1000);
        const double seconds = wall.elapsed() / 1000.0;
        const double cpu = ProcessCpuSeconds() - pc0;
        std::printf("preview %dx%d at 15 fps for %.0f s: %.1f frames/s shown, %.2f%% of one core\n", size.width(),
                    size.height(), seconds, shown / seconds, 100.0 * cpu / seconds);
        std::printf("BENCH preview_%dx%d_15fps %.2f%%core - - %s\n", size.width(), size.height(), 100.0 * cpu / seconds,
                    aim);
        cap.SetVideoPreview(false);
    }
    return 0;
}
