// A day of pictures (one a minute) to a time-lapse MP4: our maker against the
// ffmpeg command line at the same preset and quality, on the same JPEG files
// (made by ffmpeg's moving test picture). Each side runs in a process of its
// own, so that its wall time and peak resident memory are its own.
//
// tarvo_timelapse_bench [PICTURES] [WIDTHxHEIGHT]     (default 1440 640x480)

#include "history/Timelapse.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTime>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Run {
    bool ok = false;
    double seconds = 0;
    double peakMb = 0;
};

Run Measure(const std::function<pid_t()>& start)
{
    Run run;
    const auto began = std::chrono::steady_clock::now();
    const pid_t pid = start();
    if (pid <= 0)
        return run;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    run.peakMb = usage.ru_maxrss / 1024.0;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

pid_t Spawn(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    return posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    const int pictures = argc > 1 ? std::atoi(argv[1]) : 1440;
    const std::string size = argc > 2 ? argv[2] : "640x480";
    QTemporaryDir dir;
    const QString numbered = dir.filePath(QStringLiteral("numbered"));
    const QString day = dir.filePath(QStringLiteral("History/2026-12-07"));
    QDir().mkpath(numbered);
    QDir().mkpath(day);

    // The pictures, numbered for ffmpeg and linked under their time for us.
    const Run made = Measure([&] {
        return Spawn({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=25", "-frames:v",
                      std::to_string(pictures), "-q:v", "3", (numbered + QStringLiteral("/%05d.jpg")).toStdString()});
    });
    if (!made.ok) {
        std::fprintf(stderr, "could not make the pictures with ffmpeg\n");
        return 1;
    }
    for (int i = 0; i < pictures; ++i) {
        const QString source = numbered + QStringLiteral("/%1.jpg").arg(i + 1, 5, 10, QLatin1Char('0'));
        const QString name = QTime(0, 0).addSecs(i * 60).toString(QStringLiteral("HH-mm-ss")) + QStringLiteral(".jpg");
        if (::link(QFile::encodeName(source).constData(), QFile::encodeName(day + QLatin1Char('/') + name).constData()) != 0) {
            std::fprintf(stderr, "could not link %s\n", qPrintable(name));
            return 1;
        }
    }

    const QString ourVideo = dir.filePath(QStringLiteral("History/2026-12-07.mp4"));
    const QString peerVideo = dir.filePath(QStringLiteral("peer.mp4"));
    const Run ours = Measure([&] {
        const pid_t pid = fork();
        if (pid == 0) {
            history::TimelapseMaker maker;
            const history::TimelapseResult result = maker.Make(day, ourVideo);
            _exit(result.status == history::TimelapseStatus::Made && result.frames == pictures ? 0 : 1);
        }
        return pid;
    });
    const Run peer = Measure([&] {
        return Spawn({"ffmpeg", "-v", "error", "-y", "-framerate", "25", "-i",
                      (numbered + QStringLiteral("/%05d.jpg")).toStdString(), "-c:v", "libx264", "-preset", "veryfast",
                      "-crf", "23", "-pix_fmt", "yuv420p", "-movflags", "+faststart", peerVideo.toStdString()});
    });
    if (!ours.ok || !peer.ok) {
        std::fprintf(stderr, "a side failed: ours %d, ffmpeg %d\n", ours.ok, peer.ok);
        return 1;
    }
    std::printf("%d pictures at %s: ours %.2f s, %.1f MB peak, %lld bytes; ffmpeg %.2f s, %.1f MB peak, %lld bytes\n",
                pictures, size.c_str(), ours.seconds, ours.peakMb, QFileInfo(ourVideo).size(), peer.seconds, peer.peakMb,
                QFileInfo(peerVideo).size());
    const std::string name = "timelapse-" + std::to_string(pictures) + "@" + size;
    std::printf("BENCH %s-wall %.2fs %.2fs %.2f <=1.0\n", name.c_str(), ours.seconds, peer.seconds,
                ours.seconds / peer.seconds);
    std::printf("BENCH %s-peak-rss %.1fMB %.1fMB - <=150MB\n", name.c_str(), ours.peakMb, peer.peakMb);
    return 0;
}
