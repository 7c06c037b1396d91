// A window with the live test-pattern preview, for looking at it by eye or
// for a screenshot: tarvo_capture_preview [seconds] [screenshot.png]
// Without seconds it runs until closed; with a file name it saves the
// screen just before it ends.
#include "bench/capture/common.h"

#include "capture/videocap.h"
#include "platform/application.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QPixmap>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    platform::Application app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Tarvo Lite - capture preview"));
    auto* cap = new TVideoCap(&window);
    cap->setObjectName(QStringLiteral("VideoCap1"));
    window.setCentralWidget(cap);
    window.resize(660, 520);
    auto* status = new QLabel(&window);
    window.statusBar()->addWidget(status);
    cap->OnStatus = [status](TVideoCap* c) {
        status->setText(QStringLiteral("%1  %2 x %3").arg(c->DriverName()).arg(c->ImageWidth()).arg(c->ImageHeight()));
    };
    window.show();
    if (!OpenTestPattern640(*cap)) {
        std::fprintf(stderr, "cannot open the test pattern\n");
        return 1;
    }
    cap->SetPreviewScaleToWindow(true);
    cap->SetPreviewScaleProportional(true);
    cap->SetPreviewRate(15);
    cap->SetVideoPreview(true);

    if (argc > 1) {
        const int seconds = std::atoi(argv[1]);
        const QString shot = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
        QTimer::singleShot(seconds * 1000, &app, [&app, &window, shot] {
            if (!shot.isEmpty()) {
                QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
                if (screen.isNull())  // platforms without a screen to read: the window itself
                    screen = window.grab();
                if (!screen.save(shot))
                    std::fprintf(stderr, "cannot save %s\n", qPrintable(shot));
            }
            app.quit();
        });
    }
    return app.exec();
}
