// The update picture's encode, BmpToJpeg at quality 90, against libjpeg-turbo's
// own cjpeg -quality 90 on the same 640 x 480 24-bit bitmap, rounds alternating.
// cjpeg runs as a process: its figure is the median run on the frame minus
// the median run on a 1 x 1 bitmap, so that process start-up is not counted
// against it. Prints the medians, the ratio and one BENCH line.
//
// tarvo_jpeg_bench [rounds]

#include "app/UpdatePictures.h"

#include "bench/common/bench_files.h"

#include <QGuiApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A camera-like frame: gradients, shapes and sensor noise, so that the
// encoder has real detail to work on.
QImage Frame()
{
    QImage img(640, 480, QImage::Format_RGB888);
    quint32 x = 2463534242u;
    for (int y = 0; y < img.height(); ++y) {
        uchar* row = img.scanLine(y);
        for (int i = 0; i < img.width(); ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            const int noise = int(x % 17) - 8;
            row[3 * i] = uchar(std::clamp(i * 255 / 639 + noise, 0, 255));
            row[3 * i + 1] = uchar(std::clamp(y * 255 / 479 + noise, 0, 255));
            row[3 * i + 2] = uchar(std::clamp(128 + noise, 0, 255));
        }
    }
    QPainter p(&img);
    p.setBrush(Qt::darkGreen);
    p.drawEllipse(QPoint(200, 240), 120, 90);
    p.setBrush(Qt::yellow);
    p.drawRect(380, 60, 180, 140);
    return img;
}

// Wall time of one cjpeg run in milliseconds, -1 on failure.
double RunCjpeg(const QString& bmp, const QString& jpeg)
{
    QProcess cjpeg;
    QElapsedTimer t;
    t.start();
    cjpeg.start(QStringLiteral("cjpeg"), {QStringLiteral("-quality"), QStringLiteral("90"), QStringLiteral("-outfile"),
                                          jpeg, bmp});
    if (!cjpeg.waitForFinished(30000) || cjpeg.exitStatus() != QProcess::NormalExit || cjpeg.exitCode() != 0) {
        std::fprintf(stderr, "cjpeg failed: %s\n", cjpeg.readAllStandardError().constData());
        return -1;
    }
    return t.nsecsElapsed() / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const int rounds = std::max(3, argc > 1 ? std::atoi(argv[1]) : 31);
    QTemporaryDir dir;
    const QString bmp = dir.filePath(QStringLiteral("Capture.bmp"));
    const QString tiny = dir.filePath(QStringLiteral("tiny.bmp"));
    const QString ours = dir.filePath(QStringLiteral("Capture.jpg"));
    const QString peer = dir.filePath(QStringLiteral("cjpeg.jpg"));
    if (!Frame().save(bmp, "BMP") || !QImage(1, 1, QImage::Format_RGB888).save(tiny, "BMP")) {
        std::fprintf(stderr, "cannot write the bitmaps in %s\n", qPrintable(dir.path()));
        return 1;
    }

    std::vector<double> a, b, start;
    for (int i = -1; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        try {
            BmpToJpeg(bmp, ours, 90);
        } catch (const Exception& e) {
            std::fprintf(stderr, "BmpToJpeg failed: %s\n", qPrintable(e.Message()));
            return 1;
        }
        const double x = t.nsecsElapsed() / 1e6;
        const double y = RunCjpeg(bmp, peer);
        const double z = RunCjpeg(tiny, peer + QStringLiteral(".tiny"));
        if (y < 0 || z < 0)
            return 1;
        if (i >= 0) {  // the first round warms caches and loads libraries
            a.push_back(x);
            b.push_back(y);
            start.push_back(z);
        }
    }
    const double oursMs = bench::Median(a);
    const double peerMs = std::max(0.001, bench::Median(b) - bench::Median(start));
    std::printf("bitmap to JPEG 640x480 q90: ours %.2f ms, cjpeg %.2f ms (run %.2f ms - start-up %.2f ms), "
                "sizes %lld / %lld bytes (medians of %d)\n",
                oursMs, peerMs, bench::Median(b), bench::Median(start), QFileInfo(ours).size(), QFileInfo(peer).size(),
                rounds);
    std::printf("ratio = %.2f   (aim <= 1.0)\n", oursMs / peerMs);
    std::printf("BENCH jpeg_640x480_q90 %.2fms %.2fms %.2f <=1.0\n", oursMs, peerMs, oursMs / peerMs);
    return 0;
}
