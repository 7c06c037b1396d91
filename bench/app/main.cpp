// One whole website update tick of the real main window at 640 x 480 and at
// 1920 x 1080 (grab, "Capture.jpg", "datetime.bmp", login, type, two stores,
// each under a temporary name and renamed, quit) against a shell pipeline
// doing the same work with peers on a bitmap of the same frame and the same
// loopback server: cjpeg -quality 90, then curl uploading both files in one
// invocation, renaming each after its store. With --plain both store under
// the real names. Rounds alternate; prints the medians and the ratio ours /
// peers', and the processor time of one tick of ours (all the program's
// threads, the test-pattern camera's drawing included) beside the peers'.
//
// tarvo_app_bench --port N --user U --password P --root SERVER_ROOT --work DIR [--rounds 20] [--plain]

#include "app/Forms.h"
#include "app/Main.h"
#include "capture/engine/CaptureWindow.h"
#include "capture/videocap.h"
#include "platform/application.h"

#include "bench/common/bench_files.h"
#include "bench/common/camera_format.h"

#include <QAction>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include <sys/resource.h>

namespace {

struct Setup {
    QString port, user, password, root, work;
};

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

double ProcessCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Processor time of the waited-for children and theirs (the peers).
double ChildrenCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

double RunPeers(const Setup& s, const QString& peerFolder, const QString& bitmap, bool plain)
{
    const QString script = QStringLiteral("cjpeg -quality 90 -outfile Capture.jpg \"$1\" && ") +
                           (plain ? QStringLiteral("curl -s -S --user \"$2\" -T '{Capture.jpg,datetime.bmp}' \"ftp://127.0.0.1:$3/\"")
                                  : QStringLiteral("curl -s -S --user \"$2\" -T Capture.jpg \"ftp://127.0.0.1:$3/Capture.tmp.jpg\" "
                                                   "-Q '-RNFR Capture.tmp.jpg' -Q '-RNTO Capture.jpg' --next "
                                                   "--user \"$2\" -T datetime.bmp \"ftp://127.0.0.1:$3/datetime.tmp.bmp\" "
                                                   "-Q '-RNFR datetime.tmp.bmp' -Q '-RNTO datetime.bmp'"));
    QProcess shell;
    shell.setWorkingDirectory(peerFolder);
    QElapsedTimer t;
    t.start();
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script, QStringLiteral("sh"), bitmap,
                                            s.user + QLatin1Char(':') + s.password, s.port});
    if (!shell.waitForFinished(120000) || shell.exitStatus() != QProcess::NormalExit || shell.exitCode() != 0) {
        std::fprintf(stderr, "peer pipeline failed: %s\n", shell.readAllStandardError().constData());
        return -1;
    }
    return t.nsecsElapsed() / 1e6;
}

bool Uploaded(const Setup& s, const QString& localFolder, QSize size)
{
    for (const char* name : {"Capture.jpg", "datetime.bmp"}) {
        const QFileInfo there(QDir(s.root).filePath(QString::fromLatin1(name)));
        const QFileInfo here(QDir(localFolder).filePath(QString::fromLatin1(name)));
        if (!there.exists() || there.size() != here.size())
            return false;
    }
    return QImage(QDir(s.root).filePath(QStringLiteral("Capture.jpg"))).size() == size;
}

struct Figures {
    double wallMs = 0, peerWallMs = 0, cpuMs = 0, peerCpuMs = 0;
};

// Alternating rounds of our tick and the peers' pipeline at one camera size.
bool MeasureTicks(const Setup& s, TMain* main, QSize size, const QString& program, const QString& peers, bool plain,
                  int rounds, Figures* out)
{
    bench::ChooseFormat(QStringLiteral("%1 x %2").arg(size.width()).arg(size.height()));
    main->findChild<QAction*>(QStringLiteral("menuVideoFormat1"))->trigger();
    if (main->VideoCap1()->ImageWidth() != size.width()) {
        std::fprintf(stderr, "the camera did not take %d x %d\n", size.width(), size.height());
        return false;
    }
    // A tick takes a frame the camera took within one frame interval and
    // waits for the next one only when there is none; the peers start from a
    // bitmap on disk. At the camera's top rate that interval is the least.
    main->VideoCap1()->SetPreviewRate(30);
    const QString bitmap = QDir(peers).filePath(QStringLiteral("Capture.bmp"));
    std::vector<double> ours, theirs, oursCpu, theirsCpu;
    for (int i = -1; i < rounds; ++i) {
        // A tick comes from its own timer, at no fixed point of the camera's
        // frame clock: the rounds start at offsets spread over one frame
        // interval, or they lock to one phase of it.
        QElapsedTimer settle;
        settle.start();
        const int offsetMs = ((i + 1) * 13) % 33;
        while (settle.elapsed() < offsetMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QElapsedTimer t;
        const double cpu0 = ProcessCpuMs();
        t.start();
        main->Timer1Timer();
        while (main->SequenceRunning())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        const double x = t.nsecsElapsed() / 1e6;
        const double xCpu = ProcessCpuMs() - cpu0;
        if (!Uploaded(s, program, size) || !main->LastUploadOk()) {
            std::fprintf(stderr, "our tick did not upload both pictures\n");
            return false;
        }
        // The peers start from the same frame, as a bitmap, and caption.
        if (!platform::capture::WriteBmp24(main->VideoCap1()->GrabbedFrame(), bitmap)) {
            std::fprintf(stderr, "cannot write the peers' bitmap\n");
            return false;
        }
        QFile::remove(QDir(peers).filePath(QStringLiteral("datetime.bmp")));
        QFile::copy(QDir(program).filePath(QStringLiteral("datetime.bmp")), QDir(peers).filePath(QStringLiteral("datetime.bmp")));
        const double peerCpu0 = ChildrenCpuMs();
        const double y = RunPeers(s, peers, bitmap, plain);
        const double yCpu = ChildrenCpuMs() - peerCpu0;
        if (y < 0 || !Uploaded(s, peers, size))
            return false;
        if (i >= 0) {
            ours.push_back(x);
            theirs.push_back(y);
            oursCpu.push_back(xCpu);
            theirsCpu.push_back(yCpu);
        }
    }
    *out = {bench::Median(ours), bench::Median(theirs), bench::Median(oursCpu), bench::Median(theirsCpu)};
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    platform::Application app(argc, argv);
    QCommandLineParser parser;
    for (const char* name : {"port", "user", "password", "root", "work", "rounds"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    parser.addOption(QCommandLineOption(QStringLiteral("plain")));
    parser.process(app);
    const bool plain = parser.isSet(QStringLiteral("plain"));
    Setup s{parser.value(QStringLiteral("port")), parser.value(QStringLiteral("user")),
            parser.value(QStringLiteral("password")), parser.value(QStringLiteral("root")),
            parser.value(QStringLiteral("work"))};
    const int rounds = parser.isSet(QStringLiteral("rounds")) ? parser.value(QStringLiteral("rounds")).toInt() : 20;

    // The program folder: the test-pattern camera, the account, no wizard.
    const QString program = QDir(s.work).filePath(QStringLiteral("program"));
    const QString peers = QDir(s.work).filePath(QStringLiteral("peers"));
    QDir().mkpath(program);
    QDir().mkpath(peers);
    const int camera = static_cast<int>(GetDriverList()->size()) - 1;
    if (!WriteFile(QDir(program).filePath(QStringLiteral("vcap.sif")), "[Driver]\nindex=" + QByteArray::number(camera) + "\n") ||
        !WriteFile(QDir(program).filePath(QStringLiteral("Tarvo Lite.sif")),
                   "[FTP Settings]\nFTP_Host=127.0.0.1\nFTP_Port=" + s.port.toUtf8() + "\nUser_ID=" + s.user.toUtf8() +
                       "\nPassword=" + s.password.toUtf8() + (plain ? "\nSafe_Upload=0" : "") +
                       "\n[Other Settings]\nFirstRun=0\n")) {
        std::fprintf(stderr, "cannot prepare the program folder\n");
        return 1;
    }

    TForms forms(program);
    TMain* main = forms.Main();
    const struct {
        QSize size;
        double cpuAimMs;
    } sizes[] = {{QSize(640, 480), 5}, {QSize(1920, 1080), 15}};
    for (const auto& row : sizes) {
        Figures f;
        if (!MeasureTicks(s, main, row.size, program, peers, plain, rounds, &f))
            return 1;
        const QString name = QStringLiteral("%1x%2%3").arg(row.size.width()).arg(row.size.height()).arg(plain ? "_plain" : "");
        std::printf("one update tick at %d x %d (grab, JPEG, caption, login, type, two stores%s, quit)\n",
                    row.size.width(), row.size.height(), plain ? "" : " renamed");
        std::printf("ours %.2f ms, cjpeg + curl %.2f ms (medians of %d); processor time ours %.2f ms, peers' %.2f ms\n",
                    f.wallMs, f.peerWallMs, rounds, f.cpuMs, f.peerCpuMs);
        // For scripts/bench: the wall time against the peers', and our
        // processor time against its own aim (the peers' beside it).
        std::printf("BENCH update_tick_%s %.2fms %.2fms %.2f <=1.0\n", qPrintable(name), f.wallMs, f.peerWallMs,
                    f.wallMs / f.peerWallMs);
        std::printf("BENCH update_tick_cpu_%s %.2fms %.2fms - <=%gms\n", qPrintable(name), f.cpuMs, f.peerCpuMs,
                    row.cpuAimMs);
    }
    main->close();
    return 0;
}
