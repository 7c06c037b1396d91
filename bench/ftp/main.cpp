// Upload speed of the FTP client against curl, both talking to the same
// loopback server in the same run, rounds alternating:
//   (a) one website update sequence: Login, SetBinaryType, Store of a 70 KB
//       and of an 8 KB file, Quit -- against curl uploading both files in
//       one invocation;
//   (b) a 50 MB Store (with its login and quit) -- against curl -T;
//   (c) with --tls-port: (a) over explicit TLS against curl --ssl-reqd, both
//       checking the server's certificate against the same CA file;
//   (d) (b) over explicit TLS;
//   (e) one store of a 400 KB file (a 1920 x 1080 picture's size) over
//       explicit TLS, with its login and quit.
// Prints the medians and the ratios ours / curl's.
//
// tarvo_ftp_bench --port N --user U --password P --root SERVER_ROOT --work DIR
//                 [--tls-port N --tls-root DIR --tls-ca FILE]

#include "ftp/FtpCli.h"

#include "bench/common/bench_files.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Setup {
    QString port, user, password, root, work;
    bool tls = false;
    QString ca;  // the CA file both clients check the server's certificate with
};

// Our client: the blocking calls the program makes on each update.
double RunOurs(const Setup& s, const QStringList& files)
{
    TFtpClient ftp;
    ftp.SetHostName(QStringLiteral("127.0.0.1"));
    ftp.SetPort(s.port);
    ftp.SetUserName(s.user);
    ftp.SetPassWord(s.password);
    ftp.SetPassiveMode(true);
    ftp.SetTimeout(60);
    if (s.tls)
        ftp.SetSecurity(ftpExplicitTls);  // the CA store is SSL_CERT_FILE, set by main
    QElapsedTimer t;
    t.start();
    bool ok = ftp.Login() && ftp.SetBinaryType();
    for (const QString& f : files) {
        if (!ok)
            break;
        ftp.SetLocalFileName(f);
        ftp.SetHostFileName(QFileInfo(f).fileName());
        ok = ftp.Store();
    }
    ok = ok && ftp.Quit();
    const double ms = t.nsecsElapsed() / 1e6;
    if (!ok) {
        std::fprintf(stderr, "our upload failed: %s\n", qPrintable(ftp.ErrorMessage()));
        return -1;
    }
    return ms;
}

// curl uploading the same files in one invocation (passive, binary).
double RunCurl(const Setup& s, const QStringList& files)
{
    QStringList names;
    for (const QString& f : files)
        names << f;
    const QString set = files.size() == 1 ? files[0] : QLatin1Char('{') + names.join(QLatin1Char(',')) + QLatin1Char('}');
    QProcess curl;
    QElapsedTimer t;
    t.start();
    QStringList args{QStringLiteral("-s"), QStringLiteral("-S"), QStringLiteral("--user"),
                     s.user + QLatin1Char(':') + s.password, QStringLiteral("-T"), set,
                     QStringLiteral("ftp://127.0.0.1:%1/").arg(s.port)};
    if (s.tls)
        args << QStringLiteral("--ssl-reqd") << QStringLiteral("--cacert") << s.ca;
    curl.start(QStringLiteral("curl"), args);
    if (!curl.waitForFinished(120000) || curl.exitStatus() != QProcess::NormalExit || curl.exitCode() != 0) {
        std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
        return -1;
    }
    return t.nsecsElapsed() / 1e6;
}

// Alternating rounds after one warm-up each; false on any failure.
bool Measure(const Setup& s, const QStringList& files, int rounds, double& ours, double& theirs)
{
    std::vector<double> a, b;
    for (int i = -1; i < rounds; ++i) {
        const double x = RunOurs(s, files);
        if (x < 0 || !bench::SameSizes(s.root, files))
            return false;
        const double y = RunCurl(s, files);
        if (y < 0 || !bench::SameSizes(s.root, files))
            return false;
        if (i >= 0) {
            a.push_back(x);
            b.push_back(y);
        }
    }
    ours = bench::Median(a);
    theirs = bench::Median(b);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.addOptions({{"port", "server port", "n"},
                  {"user", "user name", "name"},
                  {"password", "password", "text"},
                  {"root", "the server's root folder", "dir"},
                  {"work", "folder for the local files", "dir"},
                  {"rounds", "rounds of the update sequence", "n", "20"},
                  {"large-rounds", "rounds of the large upload", "n", "7"},
                  {"tls-port", "port of a server that requires explicit TLS", "n"},
                  {"tls-root", "that server's root folder", "dir"},
                  {"tls-ca", "the CA file that issued its certificate", "file"}});
    p.process(app);
    Setup s;
    s.port = p.value("port");
    s.user = p.value("user");
    s.password = p.value("password");
    s.root = p.value("root");
    s.work = p.value("work");
    const int rounds = std::max(1, p.value("rounds").toInt());
    const int largeRounds = std::max(1, p.value("large-rounds").toInt());
    if (s.port.isEmpty() || s.root.isEmpty() || s.work.isEmpty()) {
        std::fprintf(stderr, "usage: tarvo_ftp_bench --port N --user U --password P --root DIR --work DIR\n");
        return 2;
    }
    QDir().mkpath(s.work);
    const QString capture = QDir(s.work).filePath("Capture.jpg");
    const QString stamp = QDir(s.work).filePath("datetime.bmp");
    const QString large = QDir(s.work).filePath("large.bin");
    const QString hd = QDir(s.work).filePath("hd.jpg");
    if (!bench::MakeFile(capture, 70 * 1024) || !bench::MakeFile(stamp, 8 * 1024) ||
        !bench::MakeFile(large, 50LL * 1024 * 1024) || !bench::MakeFile(hd, 400 * 1024)) {
        std::fprintf(stderr, "cannot write the local files in %s\n", qPrintable(s.work));
        return 1;
    }

    double oursA = 0, curlA = 0, oursB = 0, curlB = 0;
    if (!Measure(s, {capture, stamp}, rounds, oursA, curlA))
        return 1;
    if (!Measure(s, {large}, largeRounds, oursB, curlB))
        return 1;

    double oursC = 0, curlC = 0, oursD = 0, curlD = 0, oursE = 0, curlE = 0;
    const bool tls = p.isSet("tls-port");
    if (tls) {
        Setup t = s;
        t.port = p.value("tls-port");
        t.root = p.value("tls-root");
        t.tls = true;
        t.ca = p.value("tls-ca");
        // Our client loads the CA store from here, as OpenSSL does.
        qputenv("SSL_CERT_FILE", t.ca.toLocal8Bit());
        if (!Measure(t, {capture, stamp}, rounds, oursC, curlC) || !Measure(t, {large}, largeRounds, oursD, curlD) ||
            !Measure(t, {hd}, rounds, oursE, curlE))
            return 1;
    }

    std::printf("(a) update sequence (login, type, 70 KB + 8 KB store, quit): ours %.2f ms, curl %.2f ms (medians)\n",
                oursA, curlA);
    std::printf("(b) 50 MB store: ours %.1f ms, curl %.1f ms (medians)\n", oursB, curlB);
    std::printf("ratio (a) = %.2f   (aim <= 1.0)\n", oursA / curlA);
    std::printf("ratio (b) = %.2f   (aim <= 1.0)\n", oursB / curlB);
    // One line each for scripts/bench: BENCH name ours peer ratio aim.
    std::printf("BENCH ftp_update_sequence %.2fms %.2fms %.2f <=1.0\n", oursA, curlA, oursA / curlA);
    std::printf("BENCH ftp_store_50MB %.1fms %.1fms %.2f <=1.0\n", oursB, curlB, oursB / curlB);
    if (tls) {
        std::printf("(c) update sequence over explicit TLS: ours %.2f ms, curl --ssl-reqd %.2f ms (medians)\n", oursC,
                    curlC);
        std::printf("ratio (c) = %.2f   (aim <= 1.0)\n", oursC / curlC);
        std::printf("BENCH ftp_update_sequence_tls %.2fms %.2fms %.2f <=1.0\n", oursC, curlC, oursC / curlC);
        std::printf("(d) 50 MB store over explicit TLS: ours %.1f ms, curl --ssl-reqd %.1f ms (medians)\n", oursD, curlD);
        std::printf("(e) 400 KB store over explicit TLS: ours %.2f ms, curl --ssl-reqd %.2f ms (medians)\n", oursE,
                    curlE);
        std::printf("BENCH ftp_store_50MB_tls %.1fms %.1fms %.2f <=1.0\n", oursD, curlD, oursD / curlD);
        std::printf("BENCH ftp_store_400KB_tls %.2fms %.2fms %.2f <=1.0\n", oursE, curlE, oursE / curlE);
    }
    return 0;
}
