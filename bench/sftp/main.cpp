// Upload speed of the SFTP transport against curl, both talking to the same
// loopback server in the same run, rounds alternating: one website update's
// upload (a 70 KB and an 8 KB picture, login to disconnect) with the host key
// pinned, against curl uploading both files in one invocation with the same
// key pinned (--hostpubsha256). Ours stores directly, as curl does; a second
// figure gives our safe publishing (temporary name, then rename) for
// reference. Prints the medians and the ratio ours / curl's.
//
// tarvo_sftp_bench --port N --host-key SHA256:... --user U --password P --root SERVER_ROOT --work DIR

#include "upload/SftpSequence.h"

#include "bench/common/bench_files.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Setup {
    QString port, hostKey, user, password, root, work;
};

// Our transport, as the website update runs it.
double RunOurs(TSftpSequence& sftp, const Setup& s, const QStringList& files, bool safe)
{
    TUploadJob job;
    job.account.host = QStringLiteral("127.0.0.1");
    job.account.port = s.port;
    job.account.timeout = QStringLiteral("60");
    job.account.userId = s.user;
    job.account.password = s.password;
    job.account.ssh.protocol = settings::Protocol::Sftp;
    job.account.ssh.hostKey = s.hostKey;
    job.safe = safe;
    for (const QString& f : files)
        job.files.push_back({f, QFileInfo(f).fileName()});
    QEventLoop loop;
    sftp.OnFinished = [&] { loop.quit(); };
    QElapsedTimer t;
    t.start();
    if (!sftp.Start(job))
        return -1;
    loop.exec();
    const double ms = t.nsecsElapsed() / 1e6;
    if (!sftp.Result().ok) {
        std::fprintf(stderr, "our upload failed: %s\n", qPrintable(sftp.Result().text));
        return -1;
    }
    return ms;
}

double RunCurl(const Setup& s, const QStringList& files)
{
    QString pin = s.hostKey;
    pin.remove(QStringLiteral("SHA256:"));
    const QString set = QLatin1Char('{') + files.join(QLatin1Char(',')) + QLatin1Char('}');
    QProcess curl;
    QElapsedTimer t;
    t.start();
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-S"), QStringLiteral("--user"),
                                        s.user + QLatin1Char(':') + s.password, QStringLiteral("--hostpubsha256"),
                                        pin, QStringLiteral("-T"), set,
                                        QStringLiteral("sftp://127.0.0.1:%1/").arg(s.port)});
    if (!curl.waitForFinished(120000) || curl.exitStatus() != QProcess::NormalExit || curl.exitCode() != 0) {
        std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
        return -1;
    }
    return t.nsecsElapsed() / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.addOptions({{"port", "server port", "n"},
                  {"host-key", "the server's host key fingerprint", "SHA256:..."},
                  {"user", "user name", "name"},
                  {"password", "password", "text"},
                  {"root", "the server's root folder", "dir"},
                  {"work", "folder for the local files", "dir"},
                  {"rounds", "rounds", "n", "15"}});
    p.process(app);
    const Setup s{p.value("port"), p.value("host-key"), p.value("user"),
                  p.value("password"), p.value("root"), p.value("work")};
    const int rounds = std::max(1, p.value("rounds").toInt());
    if (s.port.isEmpty() || s.hostKey.isEmpty() || s.root.isEmpty() || s.work.isEmpty()) {
        std::fprintf(stderr, "usage: tarvo_sftp_bench --port N --host-key K --user U --password P --root DIR --work DIR\n");
        return 2;
    }
    QDir().mkpath(s.work);
    const QStringList files{QDir(s.work).filePath("Capture.jpg"), QDir(s.work).filePath("datetime.bmp")};
    if (!bench::MakeFile(files[0], 70 * 1024) || !bench::MakeFile(files[1], 8 * 1024)) {
        std::fprintf(stderr, "cannot write the local files in %s\n", qPrintable(s.work));
        return 1;
    }

    TSftpSequence sftp;
    std::vector<double> ours, safe, theirs;
    for (int i = -1; i < rounds; ++i) {  // one warm-up round each
        const double x = RunOurs(sftp, s, files, false);
        if (x < 0 || !bench::SameSizes(s.root, files))
            return 1;
        const double y = RunCurl(s, files);
        if (y < 0 || !bench::SameSizes(s.root, files))
            return 1;
        const double z = RunOurs(sftp, s, files, true);
        if (z < 0 || !bench::SameSizes(s.root, files))
            return 1;
        if (i >= 0) {
            ours.push_back(x);
            theirs.push_back(y);
            safe.push_back(z);
        }
    }
    const double a = bench::Median(ours), b = bench::Median(theirs), c = bench::Median(safe);
    std::printf("update upload over SFTP (70 KB + 8 KB, login to disconnect): ours %.2f ms, curl %.2f ms, "
                "ours published safely %.2f ms (medians)\n",
                a, b, c);
    std::printf("BENCH sftp_update_sequence %.2fms %.2fms %.2f <=1.0\n", a, b, a / b);
    std::printf("BENCH sftp_update_sequence_safe %.2fms %.2fms %.2f -\n", c, b, c / b);
    return 0;
}
