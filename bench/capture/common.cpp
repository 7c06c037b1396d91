#include "bench/capture/common.h"

#include "capture/videocap.h"
#include "capture/engine/CaptureDevice.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>

void Pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool OpenTestPattern640(TVideoCap& cap) { return OpenTestPattern(cap, 640, 480); }

bool OpenTestPattern(TVideoCap& cap, int width, int height)
{
    if (!cap.DriverOpen()) {
        cap.SetDriverName(platform::capture::TestPatternName());
        if (cap.DriverIndex() < 0)
            return false;
        cap.SetDriverOpen(true);
    }
    return OpenCamera(cap, cap.DriverName(), width, height);
}

bool OpenCamera(TVideoCap& cap, const QString& driver, int width, int height)
{
    if (!cap.DriverOpen() || cap.DriverName() != driver) {
        cap.SetDriverOpen(false);
        cap.SetDriverName(driver);
        if (cap.DriverIndex() < 0)
            return false;
        cap.SetDriverOpen(true);
    }
    const QString size = QStringLiteral("%1 x %2").arg(width).arg(height);
    QTimer answer;
    answer.setInterval(5);
    QObject::connect(&answer, &QTimer::timeout, [&answer, size] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || dialog->objectName() != QLatin1String("CaptureFormatDialog"))
            return;
        answer.stop();
        auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("FrameSizeCombo"));
        combo->setCurrentIndex(combo->findText(size));
        dialog->accept();
    });
    answer.start();
    return cap.DlgVideoFormat() && cap.ImageWidth() == width && cap.ImageHeight() == height;
}

double ProcessCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
