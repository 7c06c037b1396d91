// Resident memory of the running program with the live preview on: the real
// main window (test-pattern camera at the size given, preview ticked, shown
// offscreen) runs 1,000 website update ticks, called directly, against a
// loopback pyftpdlib server. Prints the resident size after 100 and after
// 1,000 ticks (no growth between the two; under 60 MB at 640 x 480) and what
// the resident set is made of, from /proc/self/smaps: libraries, the heap,
// other anonymous memory (frame buffers, thread stacks, large allocations).
//
// tarvo_memory_bench [TICKS] [WIDTHxHEIGHT]

#include "app/Forms.h"
#include "app/Main.h"
#include "capture/videocap.h"
#include "platform/application.h"
#include "tests/support/fake_dialogs.h"
#include "tests/support/ftp_real_server.h"
#include "tests/soak/soak_engine.h"
#include "tests/support/wait.h"
#include "bench/common/camera_format.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The resident set by kind of mapping, in kB.
struct Breakdown {
    long libraries = 0;  // shared objects and the program
    long heap = 0;       // [heap]: the main arena
    long anonymous = 0;  // other anonymous mappings: frame buffers, arenas, stacks
    long other = 0;      // other files, the stack, vdso
};

Breakdown ResidentBreakdown()
{
    Breakdown b;
    QFile f(QStringLiteral("/proc/self/smaps"));
    if (!f.open(QIODevice::ReadOnly))
        return b;
    long* target = &b.other;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() >= 5 && words[0].contains('-') && !words[0].endsWith(':')) {
            const QByteArray name = words.size() >= 6 ? words[5] : QByteArray();
            target = name.isEmpty()                                      ? &b.anonymous
                     : name == "[heap]"                                  ? &b.heap
                     : name.contains(".so") || name.endsWith("tarvo_memory_bench") ? &b.libraries
                                                                         : &b.other;
        } else if (words.size() >= 2 && words[0] == "Rss:") {
            *target += words[1].toLong();
        }
    }
    return b;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    platform::Application app(argc, argv);
    app.setApplicationName(QStringLiteral("Tarvo Lite"));
    const int ticks = argc > 1 ? std::max(100, std::atoi(argv[1])) : 1000;
    const QString size = argc > 2 ? QString::fromLatin1(argv[2]) : QStringLiteral("640x480");
    const QStringList wh = size.split(QLatin1Char('x'));

    testsupport::ScopedFakeDialogs dialogs;
    testsupport::FtpRealServer server(QStringLiteral("bench"), QStringLiteral("bench"));
    if (!server.Start()) {
        std::fprintf(stderr, "the FTP server did not start: %s\n", server.Error().toLocal8Bit().constData());
        return 1;
    }
    QTemporaryDir dir;
    auto path = [&dir](const char* name) { return dir.path() + QLatin1Char('/') + QString::fromLatin1(name); };
    QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/stopcap.jpg"), path("stopcap.jpg"));
    QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/stoptime.bmp"), path("stoptime.bmp"));
    const int camera = static_cast<int>(GetDriverList()->size()) - 1;  // the test pattern
    WriteFile(path("vcap.sif"), "[Driver]\nindex=" + QByteArray::number(camera) + "\n");
    WriteFile(path("Tarvo Lite.sif"), "[FTP Settings]\nFTP_Host=127.0.0.1\nFTP_Port=" + server.PortText().toLatin1() +
                                          "\nUser_ID=bench\nPassword=bench\nUpdate_Interval=999\n"
                                          "[Other Settings]\nFirstRun=0\nLogErrors=1\n");

    int exitCode = 0;
    {
        TForms forms(dir.path());
        TMain& main = *forms.Main();
        main.show();
        testsupport::WaitUntil([&main] { return main.isVisible(); }, 5000);
        auto* preview = main.findChild<QCheckBox*>(QStringLiteral("CheckPrev"));
        if (preview && !preview->isChecked())
            preview->setChecked(true);
        if (!main.VideoCap1()->VideoPreview()) {
            std::fprintf(stderr, "the preview is not on\n");
            return 1;
        }
        bench::ChooseFormat(wh.join(QStringLiteral(" x ")));
        main.findChild<QAction*>(QStringLiteral("menuVideoFormat1"))->trigger();
        if (wh.size() != 2 || main.VideoCap1()->ImageWidth() != wh[0].toInt()) {
            std::fprintf(stderr, "the camera did not take %s\n", qPrintable(size));
            return 1;
        }

        long after100 = 0;
        for (int i = 1; i <= ticks; ++i) {
            main.Timer1Timer();
            testsupport::WaitUntil([&main] { return !main.SequenceRunning(); }, 60000);
            testsupport::DrainEvents();  // preview frames between ticks too
            if (i == 100)
                after100 = testsupport::ResidentKb();
            if (i % 100 == 0) {
                std::printf("%d ticks: %ld kB resident, %d descriptors\n", i, testsupport::ResidentKb(),
                            testsupport::OpenDescriptorCount());
                std::fflush(stdout);
            }
        }
        const long afterAll = testsupport::ResidentKb();
        const QByteArray log = [&] {
            QFile f(path("Error.log"));
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        if (!log.isEmpty()) {
            std::fprintf(stderr, "uploads failed during the run:\n%s\n", log.constData());
            exitCode = 1;
        }
        QFile uploaded(server.Root() + QStringLiteral("/Capture.jpg"));
        if (!uploaded.exists()) {
            std::fprintf(stderr, "nothing arrived on the server\n");
            exitCode = 1;
        }

        const double mb100 = after100 / 1024.0;
        const double mbAll = afterAll / 1024.0;
        const Breakdown parts = ResidentBreakdown();
        std::printf("resident memory at %s with preview on: %.1f MB after 100 ticks, %.1f MB after %d ticks; "
                    "libraries %.1f MB, heap %.1f MB, other anonymous (frames, arenas, stacks) %.1f MB, "
                    "other %.1f MB\n",
                    qPrintable(size), mb100, mbAll, ticks, parts.libraries / 1024.0, parts.heap / 1024.0,
                    parts.anonymous / 1024.0, parts.other / 1024.0);
        // The size itself against its aim (at 640 x 480), then the growth from 100 to the last tick.
        const QByteArray nameText = size.toLatin1();
        const char* name = nameText.constData();
        if (size == QLatin1String("640x480"))
            std::printf("BENCH memory-%s-%d-ticks %.1fMB %.1fMB - <=60MB\n", name, ticks, mbAll, mb100);
        else
            std::printf("BENCH memory-%s-%d-ticks %.1fMB %.1fMB - -\n", name, ticks, mbAll, mb100);
        std::printf("BENCH memory-%s-growth-100-%d %.1fMB %.1fMB %.3f <=1.05\n", name, ticks, mbAll, mb100,
                    mbAll / mb100);
        std::printf("BENCH memory-%s-libraries %.1fMB - - -\n", name, parts.libraries / 1024.0);
        std::printf("BENCH memory-%s-heap+anonymous %.1fMB - - -\n", name, (parts.heap + parts.anonymous) / 1024.0);
        main.close();
        testsupport::WaitUntil([&main] { return main.Closed(); }, 30000);
    }
    return exitCode;
}
