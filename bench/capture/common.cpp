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

bool OpenTestPattern640(TVideoCap& cap)
{
    cap.SetDriverName(platform::capture::TestPatternName());
    if (cap.DriverIndex() < 0)
        return false;
    cap.SetDriverOpen(true);
    QTimer answer;
    answer.setInterval(5);
    QObject::connect(&answer, &QTimer::timeout, [&answer] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || dialog->objectName() != QLatin1String("CaptureFormatDialog"))
            return;
        answer.stop();
        auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("FrameSizeCombo"));
        combo->setCurrentIndex(combo->findText(QStringLiteral("640 x 480")));
        dialog->accept();
    });
    answer.start();
    return cap.DlgVideoFormat() && cap.ImageWidth() == 640 && cap.ImageHeight() == 480;
}

double ProcessCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
