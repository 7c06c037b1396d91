// The SFTP soak: COUNT upload jobs through the SFTP transport (as the
// dialogs' runner drives it) against two asyncssh servers on loopback, one
// that answers and one that falls silent at the first write. Each job takes a
// fault from a seeded plan, given to it as data: a wrong password, another
// host key pinned, a folder the server refuses, a port nothing listens on,
// the silent server (the time limit gives up), a cancel after a random step;
// the rest upload two files of random sizes. Every job must end as its fault
// says and leave no connection to either server and no session on it; one
// not given up must have said goodbye with a disconnect message. At the end:
// descriptors, threads and resident memory against their level after the
// first third. Prints BENCH rows; exits 1 on any violation.
//
// tarvo_sftp_soak [COUNT] [SEED]

#include "bench/common/bench_files.h"
#include "tests/support/process_usage.h"
#include "tests/support/sftp_server.h"
#include "tests/support/wait.h"
#include "upload/UploadRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>

namespace {

using testsupport::SftpServer;

enum class Fault { None, Password, HostKey, Folder, Closed, Silent, Cancel };

// Shares in percent; silence stays small, as each costs a whole time limit.
const struct {
    Fault fault;
    int percent;
    const char* name;
    TUploadFault expected;
} kPlan[] = {
    {Fault::None, 50, "none", TUploadFault::None},
    {Fault::Password, 10, "wrong password", TUploadFault::LoginRefused},
    {Fault::HostKey, 10, "other host key", TUploadFault::HostKeyChanged},
    {Fault::Folder, 10, "folder refused", TUploadFault::FolderNotWritable},
    {Fault::Closed, 8, "nothing listening", TUploadFault::NothingListening},
    {Fault::Cancel, 10, "cancel", TUploadFault::None},
    {Fault::Silent, 2, "silent server", TUploadFault::NoAnswer},
};

void Print(const QString& line)
{
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    const auto seed = static_cast<std::uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1);
    const int baselineAfter = std::max(1, count / 3);
    constexpr long kRssToleranceKb = 8 * 1024;

    SftpServer server;
    server.SetReadOnly(QStringLiteral("locked"));
    SftpServer silent;
    silent.StallAfterWrites(0);
    if (!server.Start() || !silent.Start()) {
        Print(QStringLiteral("the SFTP servers did not start: ") + server.Error() + silent.Error());
        return 1;
    }
    QDir(server.Root()).mkdir(QStringLiteral("locked"));
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const QString closedPort = QString::number(probe.serverPort());
    probe.close();
    QTemporaryDir local;
    const QStringList names{QStringLiteral("Capture.jpg"), QStringLiteral("datetime.bmp")};

    std::mt19937 random(seed);
    const auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    Print(QStringLiteral("sftp soak: %1 jobs, seed %2").arg(count).arg(seed));

    TUploadRunner runner;
    QStringList violations;
    std::map<QString, int> byFault;
    int uploads = 0, lateCancels = 0;
    bool baseline = false;
    int fdBase = 0, threadBase = 0;
    long rssBase = 0, rssPeak = 0;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        int r = pick(100);
        auto row = std::begin(kPlan);
        while (r >= row->percent) {
            r -= row->percent;
            ++row;
        }
        ++byFault[QString::fromLatin1(row->name)];

        TUploadJob job;
        job.account.host = QStringLiteral("127.0.0.1");
        job.account.port = row->fault == Fault::Silent ? silent.PortText()
                           : row->fault == Fault::Closed ? closedPort
                                                         : server.PortText();
        job.account.timeout = QStringLiteral("1");
        job.account.userId = server.User();
        job.account.password = row->fault == Fault::Password ? QStringLiteral("nope") : server.Password();
        job.account.ssh.protocol = settings::Protocol::Sftp;
        job.account.ssh.hostKey = row->fault == Fault::HostKey ? QStringLiteral("SHA256:") + QString(43, QLatin1Char('A'))
                                  : row->fault == Fault::Silent ? silent.HostKey()
                                                                : server.HostKey();
        job.account.remoteFolder = row->fault == Fault::Folder ? QStringLiteral("locked/cam") : QStringLiteral("cam");
        job.safe = pick(2) == 0;
        for (const QString& name : names) {
            const QString path = local.filePath(name);
            bench::MakeFile(path, 1 + pick(150 * 1024));
            job.files.push_back({path, name});
        }

        const int lostBefore = server.SessionsEndedWithoutDisconnect();
        int finished = 0, steps = 0;
        const int cancelAfter = row->fault == Fault::Cancel ? pick(5) : -1;
        TUploadResult result;
        const auto cancelLater = [&runner] { QTimer::singleShot(0, &runner, [&runner] { runner.Cancel(); }); };
        const bool started = runner.Start(
            job,
            [&](const TUploadResult& res) {
                ++finished;
                result = res;
            },
            {},
            [&](const TUploadStep&) {
                if (++steps == cancelAfter)
                    cancelLater();
            });
        if (started && cancelAfter == 0)
            cancelLater();
        const QString what = QStringLiteral("job %1 (%2)").arg(i).arg(QString::fromLatin1(row->name));
        if (!started || !testsupport::WaitUntil([&] { return finished > 0; }, 30000)) {
            violations << what + QStringLiteral(": did not end");
            break;
        }
        testsupport::DrainEvents();

        if (row->fault == Fault::Cancel) {
            // A cancel that came after the last step finds the job ended.
            if (!result.cancelled && result.ok)
                ++lateCancels;
            else if (!result.cancelled)
                violations << what + QStringLiteral(": not cancelled: ") + result.text;
        } else if (row->fault == Fault::None) {
            bool arrived = result.ok;
            for (const TUploadFile& f : job.files)
                arrived = arrived && ReadAll(server.Root() + QStringLiteral("/cam/") + f.remoteName) == ReadAll(f.localPath);
            if (arrived)
                ++uploads;
            else
                violations << what + QStringLiteral(": the files did not arrive: ") + result.text;
        } else if (result.ok || result.fault != row->expected) {
            violations << what + QStringLiteral(": ended with ") + result.text;
        }
        for (const SftpServer* s : {&server, &silent}) {
            if (const int n = testsupport::ConnectionsToPort(s->Port()))
                violations << what + QStringLiteral(": %1 connections left open").arg(n);
            if (!testsupport::WaitUntil([s] { return s->OpenSessions() == 0; }, 5000))
                violations << what + QStringLiteral(": the server holds %1 sessions").arg(s->OpenSessions());
        }
        // A job given up cuts its connection under libssh: no goodbye.
        const bool givenUp = row->fault == Fault::Cancel || row->fault == Fault::Silent;
        if (!givenUp && server.SessionsEndedWithoutDisconnect() != lostBefore)
            violations << what + QStringLiteral(": the session ended without a disconnect message");

        rssPeak = std::max(rssPeak, testsupport::ResidentKb());
        if (i + 1 == baselineAfter) {
            baseline = true;
            fdBase = testsupport::OpenDescriptorCount();
            threadBase = testsupport::ThreadCount();
            rssBase = testsupport::ResidentKb();
        }
        if ((i + 1) % 50 == 0)
            Print(QStringLiteral("%1 jobs: %2 kB resident, %3 descriptors, %4 threads")
                      .arg(i + 1)
                      .arg(testsupport::ResidentKb())
                      .arg(testsupport::OpenDescriptorCount())
                      .arg(testsupport::ThreadCount()));
        if (violations.size() > 20)
            break;
    }
    const int fdEnd = testsupport::OpenDescriptorCount();
    const int threadEnd = testsupport::ThreadCount();
    const long rssEnd = testsupport::ResidentKb();

    if (!baseline)
        violations << QStringLiteral("the run ended before its baseline");
    else if (fdEnd > fdBase)
        violations << QStringLiteral("descriptors grew from %1 to %2").arg(fdBase).arg(fdEnd);
    if (baseline && threadEnd > threadBase)
        violations << QStringLiteral("threads grew from %1 to %2").arg(threadBase).arg(threadEnd);
    if (baseline && rssEnd - rssBase > kRssToleranceKb)
        violations << QStringLiteral("resident memory grew from %1 kB to %2 kB").arg(rssBase).arg(rssEnd);

    QStringList faults;
    for (const auto& [name, n] : byFault)
        faults << QStringLiteral("%1 %2").arg(name).arg(n);
    Print(QStringLiteral("faults: ") + faults.join(QStringLiteral(", ")));
    Print(QStringLiteral("%1 clean uploads, %2 cancels after the last step, %3 s")
              .arg(uploads)
              .arg(lateCancels)
              .arg(clock.elapsed() / 1000.0, 0, 'f', 1));
    Print(QStringLiteral("descriptors %1 -> %2, threads %3 -> %4, resident %5 kB -> %6 kB (peak %7 kB)")
              .arg(fdBase)
              .arg(fdEnd)
              .arg(threadBase)
              .arg(threadEnd)
              .arg(rssBase)
              .arg(rssEnd)
              .arg(rssPeak));
    for (const QString& v : violations)
        Print(QStringLiteral("violation: ") + v);

    const double endMb = rssEnd / 1024.0, baseMb = rssBase / 1024.0;
    std::printf("BENCH sftp-soak-resident-memory %.1fMB %.1fMB %.3f -\n", endMb, baseMb, baseMb > 0 ? endMb / baseMb : 0.0);
    std::printf("BENCH sftp-soak-resident-growth %.1fMB - - <=%.0fMB\n", std::max(0.0, endMb - baseMb),
                kRssToleranceKb / 1024.0);
    std::printf("BENCH sftp-soak-open-descriptors %dfd %dfd %.3f <=1.0\n", fdEnd, fdBase,
                fdBase > 0 ? double(fdEnd) / fdBase : 0.0);
    std::printf("BENCH sftp-soak-threads %d %d %.3f <=1.0\n", threadEnd, threadBase,
                threadBase > 0 ? double(threadEnd) / threadBase : 0.0);
    std::printf("BENCH sftp-soak-violations %d - - <=0\n", static_cast<int>(violations.size()));
    Print(violations.isEmpty() ? QStringLiteral("sftp soak: PASSED") : QStringLiteral("sftp soak: FAILED"));
    return violations.isEmpty() ? 0 : 1;
}
