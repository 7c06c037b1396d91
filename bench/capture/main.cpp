// Capture benchmark on the test-pattern camera at 640 x 480:
//  1. grab + SaveAsDIB: frames per second and processor time per frame, and
//     the bitmap writer against Qt's own BMP writer on the same frame;
//  2. preview at 15 frames per second for 10 seconds: share of one core, at
//     640 x 480, 1280 x 720 and 1920 x 1080;
//  3. the same through the V4L2 driver on a scripted camera that sends MJPEG
//     (a photo-like picture, so the decode costs what it does on a webcam) or
//     YUYV at 1280 x 720 and 1920 x 1080, paced at the rate asked for.
#include "bench/capture/common.h"
#include "tests/support/fake_v4l2.h"

#include "capture/videocap.h"
#include "platform/application.h"
#include "capture/engine/CaptureWindow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>

#include <linux/videodev2.h>

#include <algorithm>
#include <cmath>
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

// Sky, hills and a few round shapes in soft gradients with fine texture and
// sensor noise: at quality 85 it compresses about as a webcam picture does
// (100-300 KB at 1920 x 1080), unlike flat colours.
QImage PhotoLike(QSize size)
{
    QImage img(size, QImage::Format_RGB888);
    const int w = size.width(), h = size.height();
    std::uint32_t seed = 12345;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* o = img.scanLine(y);
        const double fy = double(y) / h;
        for (int x = 0; x < w; ++x, o += 3) {
            const double fx = double(x) / w;
            const double hill = 0.55 + 0.08 * std::sin(fx * 9.0) + 0.04 * std::sin(fx * 23.0 + 1.0);
            double r, g, b;
            if (fy < hill) {
                r = 90 + 80 * fy;
                g = 140 + 70 * fy;
                b = 230 - 40 * fy;
            } else {
                const double grass = 0.5 + 0.5 * std::sin(x * 0.35 + std::sin(y * 0.21) * 3.0);
                r = 60 + 40 * grass + 30 * fy;
                g = 110 + 60 * grass - 20 * fy;
                b = 40 + 20 * grass;
            }
            for (int k = 0; k < 3; ++k) {
                const double cx = (0.2 + 0.3 * k) * w, cy = (0.35 + 0.15 * k) * h, rad = (0.08 + 0.03 * k) * h;
                const double d = std::hypot(x - cx, y - cy);
                if (d < rad) {
                    const double shade = 1.0 - 0.6 * d / rad;
                    const double stripes = 0.5 + 0.5 * std::sin((x + y) * 0.12 * (k + 1));
                    r = (180 + 60 * stripes) * shade;
                    g = (60 + 120 * k * stripes / 2) * shade;
                    b = (50 + 50 * k) * shade;
                }
            }
            auto noisy = [&seed](double v) {
                seed = seed * 1664525u + 1013904223u;
                return std::uint8_t(std::clamp(v + int(seed >> 29) - 4, 0.0, 255.0));
            };
            o[0] = noisy(r);
            o[1] = noisy(g);
            o[2] = noisy(b);
        }
    }
    return img;
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
    // Counts frames and looks at no pixel: the smallest will do.
    cap.SetFrameCallbackSize(QSize(1, 1));
    cap.OnFrameCallback = [&](TVideoCap*, platform::VIDEOHDR*) { ++shown; };
    cap.show();
    auto preview = [&](const QString& name, QSize size, const char* aim) {
        cap.SetPreviewRate(15);
        cap.SetVideoPreview(true);
        Pump(500);  // settle
        shown = 0;
        const double pc0 = ProcessCpuSeconds();
        wall.restart();
        Pump(previewSeconds * 1000);
        const double seconds = wall.elapsed() / 1000.0;
        const double cpu = ProcessCpuSeconds() - pc0;
        std::printf("%s %dx%d at 15 fps for %.0f s: %.1f frames/s shown, %.2f%% of one core\n", qPrintable(name),
                    size.width(), size.height(), seconds, shown / seconds, 100.0 * cpu / seconds);
        std::printf("BENCH %s_%dx%d_15fps %.2f%%core - - %s\n", qPrintable(name), size.width(), size.height(),
                    100.0 * cpu / seconds, aim);
        cap.SetVideoPreview(false);
    };
    const struct {
        QSize size;
        const char* aim;  // share of one core
    } previews[] = {{QSize(640, 480), "<=2%core"}, {QSize(1280, 720), "<=6%core"}, {QSize(1920, 1080), "<=12%core"}};
    for (const auto& [size, aim] : previews) {
        if (!OpenTestPattern(cap, size.width(), size.height())) {
            std::fprintf(stderr, "cannot switch the test pattern to %d x %d\n", size.width(), size.height());
            return 1;
        }
        preview(QStringLiteral("preview"), size, aim);
    }

    // 3. The same through the V4L2 driver, the camera sending MJPEG or YUYV.
    {
        testsupport::ScopedFakeCamera camera;
        camera->paced = true;
        camera->picture = [](std::uint32_t format, QSize size) {
            return format == V4L2_PIX_FMT_MJPEG ? testsupport::WebcamMjpeg(PhotoLike(size), 85)
                                                : testsupport::RecordedYuyv(size);
        };
        const struct {
            std::uint32_t format;
            const char* name;
        } formats[] = {{V4L2_PIX_FMT_MJPEG, "mjpeg"}, {V4L2_PIX_FMT_YUYV, "yuyv"}};
        for (const auto& [format, name] : formats) {
            cap.SetDriverOpen(false);
            camera->formats = {format};
            for (const auto& [size, aim] : previews) {
                if (size.width() < 1280)
                    continue;
                if (!OpenCamera(cap, QString::fromLatin1(camera->card), size.width(), size.height())) {
                    std::fprintf(stderr, "cannot open the scripted camera at %d x %d\n", size.width(), size.height());
                    return 1;
                }
                if (format == V4L2_PIX_FMT_MJPEG)
                    std::printf("MJPEG frame at %dx%d: %.0f KB\n", size.width(), size.height(),
                                testsupport::WebcamMjpeg(PhotoLike(size), 85).size() / 1024.0);
                preview(QStringLiteral("preview_v4l2_%1").arg(QLatin1String(name)), size, aim);
                // Scaled into the panel, as the main window shows it.
                cap.SetPreviewScaleToWindow(true);
                preview(QStringLiteral("preview_scaled_v4l2_%1").arg(QLatin1String(name)), size,
                        size.width() > 1280 ? "<=3%core" : "<=2%core");
                cap.SetPreviewScaleToWindow(false);
            }
        }
        cap.SetDriverOpen(false);
    }
    return 0;
}
