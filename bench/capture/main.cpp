// Capture benchmark on the test-pattern camera at 640 x 480:
//  1. grab + SaveAsDIB: frames per second and processor time per frame, and
//     the bitmap writer against Qt's own BMP writer on the same frame;
//  2. preview at 15 frames per second for 10 seconds: share of one core, at
//     640 x 480, 1280 x 720 and 1920 x 1080;
//  3. the same through the V4L2 driver on a scripted camera that sends MJPEG
//     (a photo-like picture, so the decode costs what it does on a webcam) or
//     YUYV at 1280 x 720 and 1920 x 1080, paced at the rate asked for;
//  4. the privacy mask fill of four areas, each a quarter of the picture's
//     width and height, black and blurred, at 640 x 480 and 1920 x 1080,
//     against Qt doing the same (a painter's fill; a smooth shrink to the
//     blur's cells and back);
//  5. the preview's processor share at 15 frames per second with those four
//     areas blurred against without, measured in turns, at 640 x 480 and
//     1920 x 1080.
#include "bench/capture/common.h"
#include "tests/support/fake_v4l2.h"

#include "capture/videocap.h"
#include "platform/application.h"
#include "capture/engine/CaptureWindow.h"
#include "capture/engine/PrivacyMask.h"

#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
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

using platform::capture::MaskFill;
using platform::capture::PrivacyMask;

// Four areas of a sixteenth of the picture each, one near each corner: a
// neighbour's window, a door, a stretch of street.
const QList<QRectF> kFourAreas = {QRectF(0.05, 0.05, 0.25, 0.25), QRectF(0.7, 0.05, 0.25, 0.25),
                                  QRectF(0.05, 0.7, 0.25, 0.25), QRectF(0.7, 0.7, 0.25, 0.25)};

// Qt's way to the same picture: the painter's fill, or each area shrunk
// smoothly to the blur's cells and stretched smoothly back.
void QtMask(QImage& picture, MaskFill fill)
{
    QPainter p(&picture);
    const int cell = platform::capture::BlurCellSize(picture.height());
    for (const QRectF& area : kFourAreas) {
        const QRect r = platform::capture::MaskPixels(area, picture.size());
        if (fill == MaskFill::Black) {
            p.fillRect(r, Qt::black);
            continue;
        }
        const QImage cells = picture.copy(r).scaled(std::max(1, r.width() / cell), std::max(1, r.height() / cell),
                                                    Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        p.drawImage(r.topLeft(), cells.scaled(r.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
}

// 4. The fill of a frame, ours and Qt's in turn, medians of each.
void MaskCost()
{
    const struct {
        MaskFill fill;
        const char* name;
        const char* aim1080;
    } fills[] = {{MaskFill::Black, "black", "<=0.3ms"}, {MaskFill::Blur, "blur", "<=2ms"}};
    for (const QSize size : {QSize(640, 480), QSize(1920, 1080)}) {
        QImage frame;
        platform::capture::RenderTestScene(platform::capture::TestScene::Visitor, 60, size, QTime(12, 0), frame);
        for (const auto& [fill, name, aim1080] : fills) {
            const PrivacyMask mask{fill, kFourAreas};
            // Eight frames in turn, as a camera delivers them: a frame is not
            // in the cache when it is masked.
            std::vector<QImage> oursFrames, peerFrames;
            for (int i = 0; i < 8; ++i) {
                oursFrames.push_back(frame.copy());
                peerFrames.push_back(frame.copy());
            }
            std::vector<double> oursMs, peerMs;
            QElapsedTimer t;
            for (int i = 0; i < 300; ++i) {
                t.start();
                platform::capture::ApplyPrivacyMask(oursFrames[i % 8], mask);
                oursMs.push_back(t.nsecsElapsed() / 1e6);
                t.start();
                QtMask(peerFrames[i % 8], fill);
                peerMs.push_back(t.nsecsElapsed() / 1e6);
            }
            const double o = Median(oursMs);
            const double q = Median(peerMs);
            std::printf("privacy mask, 4 areas, %s at %dx%d: ours %.3f ms, Qt %.3f ms a frame\n", name, size.width(),
                        size.height(), o, q);
            // The aims hold at 1080p and so at once for every smaller picture.
            std::printf("BENCH mask_%s_%dx%d %.3fms %.3fms - %s\n", name, size.width(), size.height(), o, q,
                        size.height() == 1080 ? aim1080 : "-");
        }
    }
}

// 5. The preview with the areas blurred and without, in turns of a quarter
// of the time each, so that a change of load elsewhere hits both alike.
bool PreviewWithMasks(TVideoCap& cap, int seconds)
{
    for (const QSize size : {QSize(640, 480), QSize(1920, 1080)}) {
        if (!OpenTestPattern(cap, size.width(), size.height()))
            return false;
        cap.SetPreviewRate(15);
        cap.SetVideoPreview(true);
        Pump(500);
        double cpu[2] = {0, 0};
        double wall[2] = {0, 0};
        for (int turn = 0; turn < 8; ++turn) {
            const int masked = turn % 2;
            cap.SetPrivacyMask(masked ? PrivacyMask{MaskFill::Blur, kFourAreas} : PrivacyMask{});
            Pump(100);
            const double cpu0 = ProcessCpuSeconds();
            QElapsedTimer t;
            t.start();
            Pump(seconds * 1000 / 4);
            cpu[masked] += ProcessCpuSeconds() - cpu0;
            wall[masked] += t.elapsed() / 1000.0;
        }
        cap.SetPrivacyMask({});
        cap.SetVideoPreview(false);
        const double without = 100.0 * cpu[0] / wall[0];
        const double with = 100.0 * cpu[1] / wall[1];
        std::printf("preview %dx%d at 15 fps: %.2f%% of one core with four areas blurred, %.2f%% without\n",
                    size.width(), size.height(), with, without);
        std::printf("BENCH preview_masked_%dx%d_15fps %.2f%%core %.2f%%core %.2f <=1.1\n", size.width(), size.height(),
                    with, without, with / without);
    }
    return true;
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
    if (!PreviewWithMasks(cap, previewSeconds)) {
        std::fprintf(stderr, "cannot switch the test pattern's size for the masked preview\n");
        return 1;
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

    MaskCost();
    return 0;
}
