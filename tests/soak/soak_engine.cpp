#include "tests/soak/soak_engine.h"

#include "app/Forms.h"
#include "app/Main.h"
#include "capture/videocap.h"
#include "tests/support/fake_dialogs.h"
#include "tests/support/wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

namespace {

const QString kFtpError = QStringLiteral(" :   FTP Error = ");

// Ends the process when a sequence outlives its deadline: a hang inside the
// sequence would otherwise stop the run without a word.
class Watchdog
{
public:
    explicit Watchdog(int seconds) : seconds_(seconds), thread_([this] { Loop(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void Arm(int sequence, const QString& what)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sequence_ = sequence;
        what_ = what.toStdString();
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds_);
        armed_ = true;
    }
    void Disarm()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        armed_ = false;
    }

private:
    void Loop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            wake_.wait_for(lock, std::chrono::milliseconds(200));
            if (armed_ && std::chrono::steady_clock::now() > deadline_) {
                std::fprintf(stderr, "SOAK VIOLATION: sequence %d (%s) has not ended after %d s: a hang\n", sequence_,
                             what_.c_str(), seconds_);
                std::fflush(stderr);
                std::_Exit(3);
            }
        }
    }

    const int seconds_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool armed_ = false;
    int sequence_ = 0;
    std::string what_;
    std::chrono::steady_clock::time_point deadline_;
    std::thread thread_;
};

// What one sequence must leave behind.
struct Expectation {
    bool fails = false;           // exactly one FTP error line
    QRegularExpression message;   // that line's message
    bool uploads = false;         // both pictures arrived
    bool optional = false;        // the failure may also not happen (no line then)
};

Expectation Expect(const SoakFault& f)
{
    using Kind = SoakFault::Kind;
    Expectation e;
    auto fails = [&e](const QString& pattern) {
        e.fails = true;
        e.message = QRegularExpression(pattern);
    };
    const QString closed = QStringLiteral("^500 Control connection closed\\.");
    switch (f.kind) {
    case Kind::None:
        e.uploads = true;
        break;
    case Kind::Refused:
        fails(QStringLiteral("^500 .*\\(Winsock error #10061\\)$"));
        break;
    case Kind::ErrorReply:
        fails(QStringLiteral("^%1$").arg(QRegularExpression::escape(
            QStringLiteral("%1 Soak fault in sequence %2.").arg(f.code).arg(f.sequence))));
        break;
    case Kind::Silence:
        fails(QStringLiteral("^426 Timeout$"));
        break;
    case Kind::DropClean:
        // A close instead of the reply to QUIT ends the session as asked.
        if (f.step != SoakStep::Quit)
            fails(closed + QStringLiteral("$"));
        break;
    case Kind::DropReset:
        // The reset may be read as a plain close or as a reset, at the
        // connect, a receive or a send.
        fails(QStringLiteral("^500 (Control connection closed\\.|.*\\(Winsock error #10054\\))$"));
        // Instead of the reply to QUIT, a reset read as a close ends the
        // session as asked; read as a reset it is a failure.
        e.optional = f.step == SoakStep::Quit;
        break;
    case Kind::GarbagePassive:
        if (f.garbageReadable)
            fails(QStringLiteral("^Unable to establish data connection, error #10061$"));
        else
            fails(QStringLiteral("^426 Unexpected reply to PASV: "));
        break;
    case Kind::DataDropMidTransfer:
        fails(QStringLiteral("^%1$").arg(QRegularExpression::escape(
            QStringLiteral("426 Soak fault in sequence %1: data connection lost.").arg(f.sequence))));
        break;
    case Kind::ControlDropMidTransfer:
        fails(closed + QStringLiteral("$"));
        break;
    }
    // The pictures are stored before QUIT: a fault there still uploads them.
    if (f.kind != Kind::None && f.kind != Kind::Refused && f.step == SoakStep::Quit)
        e.uploads = true;
    return e;
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QStringList LogLines(const QString& path)
{
    return QString::fromUtf8(ReadAll(path)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
}

}  // namespace

SoakFault ChooseSoakFault(std::mt19937& random, int sequence, quint16 refusedPort)
{
    using Kind = SoakFault::Kind;
    auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    SoakFault f;
    f.sequence = sequence;
    f.splitReplies = pick(100) < 15;
    if (pick(100) < 50)
        return f;

    // Shares of the faults in percent; silence stays small, as each costs a
    // whole time-out.
    const int r = pick(100);
    if (r < 8) {
        f.kind = Kind::Refused;
    } else if (r < 44) {
        f.kind = Kind::ErrorReply;
    } else if (r < 50) {
        f.kind = Kind::Silence;
    } else if (r < 59) {
        f.kind = Kind::DropClean;
    } else if (r < 68) {
        f.kind = Kind::DropReset;
    } else if (r < 78) {
        f.kind = Kind::GarbagePassive;
    } else if (r < 89) {
        f.kind = Kind::DataDropMidTransfer;
    } else {
        f.kind = Kind::ControlDropMidTransfer;
    }

    switch (f.kind) {
    case Kind::GarbagePassive: {
        f.step = pick(2) == 0 ? SoakStep::Pasv1 : SoakStep::Pasv2;
        QByteArray noise;
        const int length = 1 + pick(40);
        for (int i = 0; i < length; ++i) {
            // Printable or high bytes, never a line end, a zero, a parenthesis
            // or a comma: at most one number in a row.
            char c = static_cast<char>(pick(2) == 0 ? 0x20 + pick(0x5F) : 0x80 + pick(0x80));
            if (c == '(' || c == ')' || c == ',')
                c = '#';
            noise += c;
        }
        const auto refused = [refusedPort](const char* form) {
            return QString::fromLatin1(form).arg(refusedPort / 256).arg(refusedPort % 256).toLatin1();
        };
        // The client takes the first six numbers in a row, each 0 to 255,
        // wherever they stand: a form is either unusable by that rule or
        // readable, and then names the port where nothing listens.
        const struct {
            QByteArray reply;
            bool readable;
        } forms[] = {
            {"227 Entering Passive Mode.", false},
            {"227 Entering Passive Mode (127,0,0,1,300,1).", false},
            {"227 Entering Passive Mode (127,0,0,1,12).", false},
            {"227 Entering Passive Mode (127,0,0,1,4,1,7).", false},
            {"227 Entering Passive Mode (a,b,c,d,e,f).", false},
            {"227 Entering Passive Mode (127,0,0,1,-4,1).", false},
            {"227 Entering Passive Mode (1270,0,0,1,4,1).", false},
            {"227 Entering Passive Mode (127,0,0,1,4", false},
            {"227 =127,0,0,1,4", false},
            {"227 " + noise, false},
            {refused("227 Entering Passive Mode to a closed port (127,0,0,1,%1,%2)."), true},
            {refused("227 Entering Passive Mode (127,0,0,1,%1,%2"), true},
            {refused("227 =127,0,0,1,%1,%2"), true},
        };
        const auto& form = forms[pick(static_cast<int>(std::size(forms)))];
        f.garbage = form.reply;
        f.garbageReadable = form.readable;
        break;
    }
    case Kind::DataDropMidTransfer:
    case Kind::ControlDropMidTransfer:
        f.step = pick(2) == 0 ? SoakStep::Final1 : SoakStep::Final2;
        break;
    case Kind::Refused:
        break;
    default:
        f.step = static_cast<SoakStep>(pick(static_cast<int>(SoakStep::Count)));
        break;
    }
    if (f.kind == Kind::ErrorReply) {
        const int codes[] = {421, 425, 426, 450, 451, 452, 500, 501, 502, 504, 530, 532, 550, 551, 552, 553};
        f.code = codes[pick(static_cast<int>(std::size(codes)))];
    }
    return f;
}

QStringList SoakReport::Summary() const
{
    QStringList s;
    s << QStringLiteral("sequences %1 in %2 s; faults injected %3 (%4 with replies byte by byte overall)")
             .arg(sequences)
             .arg(seconds, 0, 'f', 1)
             .arg(faulted)
             .arg(splitSequences);
    QStringList kinds;
    for (const auto& [kind, count] : faultsByKind)
        kinds << QStringLiteral("%1 %2").arg(kind).arg(count);
    s << QStringLiteral("faults by kind: ") + kinds.join(QStringLiteral(", "));
    s << QStringLiteral("failures expected %1, FTP error lines logged %2, matched to their fault %3")
             .arg(expectedFailures)
             .arg(logLines)
             .arg(matchedLines);
    s << QStringLiteral("sequences that uploaded both pictures %1; clean sequences right after a failure %2, all uploaded")
             .arg(uploads)
             .arg(recoveries);
    s << QStringLiteral("open descriptors: %1 at the baseline, %2 at the end").arg(fdBaseline).arg(fdEnd);
    s << QStringLiteral("resident memory: %1 kB at the baseline, %2 kB at the end (%3%4 kB), peak %5 kB")
             .arg(rssBaselineKb)
             .arg(rssEndKb)
             .arg(rssEndKb >= rssBaselineKb ? QStringLiteral("+") : QString())
             .arg(rssEndKb - rssBaselineKb)
             .arg(rssPeakKb);
    s << (violations.isEmpty() ? QStringLiteral("no violations")
                               : QStringLiteral("%1 violations").arg(violations.size()));
    return s;
}

SoakReport RunSoak(const SoakOptions& o)
{
    SoakReport r;
    auto print = [&o](const QString& line) {
        if (o.print)
            o.print(line);
    };
    auto violation = [&](const QString& text) {
        r.violations << text;
        print(QStringLiteral("SOAK VIOLATION: ") + text);
    };

    ScopedFakeDialogs dialogs;
    QTemporaryDir dir;
    SoakFtpServer server;
    if (!dir.isValid() || !server.Listening()) {
        violation(QStringLiteral("no program folder or no fault server"));
        return r;
    }
    auto path = [&dir](const QString& name) { return dir.path() + QLatin1Char('/') + name; };
    const QString log = path(QStringLiteral("Error.log"));
    QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/stopcap.jpg"), path(QStringLiteral("stopcap.jpg")));
    QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/stoptime.bmp"), path(QStringLiteral("stoptime.bmp")));
    const int camera = static_cast<int>(GetDriverList()->size()) - 1;  // the test pattern
    WriteAll(path(QStringLiteral("vcap.sif")), "[Driver]\nindex=" + QByteArray::number(camera) + "\n");
    WriteAll(path(QStringLiteral("Tarvo Lite.sif")),
             "[FTP Settings]\nFTP_Host=127.0.0.1\nFTP_Port=" + QByteArray::number(server.Port()) +
                 "\nFTP_Timeout=" + QByteArray::number(o.timeoutSeconds) +
                 "\nUser_ID=soak\nPassword=soak\nUpdate_Interval=999\nPassive_Mode=1\n"
                 "[Other Settings]\nFirstRun=0\nLogErrors=1\nErrorBeep=0\n");

    auto forms = std::make_unique<TForms>(dir.path());
    TMain& main = *forms->Main();
    main.show();
    WaitUntil([&main] { return main.isVisible(); }, 5000);

    // A quiet moment: every connection of the last sequence is gone on both sides.
    auto settle = [&] {
        WaitUntil([&] { return server.OpenSockets() == 0 && !main.FtpClient().IsConnected(); }, 5000);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        DrainEvents();
    };

    std::mt19937 random(o.seed);
    Watchdog watchdog(o.watchdogSeconds);
    QElapsedTimer clock;
    clock.start();
    const int baselineAfter = std::clamp(o.baselineAfter, 1, std::max(1, o.sequences));
    bool lastFailed = false;
    int logCount = LogLines(log).size();

    for (int i = 0; i < o.sequences; ++i) {
        SoakFault fault = ChooseSoakFault(random, i + 1, server.RefusedPort());
        // The measuring points follow a clean sequence, which leaves no connection open.
        if (i == baselineAfter - 1 || i == o.sequences - 1) {
            SoakFault clean;
            clean.splitReplies = fault.splitReplies;
            clean.sequence = fault.sequence;
            fault = clean;
        }
        const Expectation expect = Expect(fault);
        if (fault.kind != SoakFault::Kind::None) {
            ++r.faulted;
            ++r.faultsByKind[QString::fromLatin1(SoakFaultKindName(fault.kind))];
        }
        r.splitSequences += fault.splitReplies ? 1 : 0;
        r.expectedFailures += expect.fails && !expect.optional ? 1 : 0;

        // The port of the account the next upload takes.
        main.ProgramSettings().account.port =
            QString::number(fault.kind == SoakFault::Kind::Refused ? server.RefusedPort() : server.Port());
        if (fault.kind != SoakFault::Kind::Refused)
            server.SetNextFault(fault);

        watchdog.Arm(fault.sequence, fault.Describe());
        main.Timer1Timer();
        WaitUntil([&main] { return !main.SequenceRunning(); }, o.watchdogSeconds * 1000);
        watchdog.Disarm();
        ++r.sequences;

        const QString what = QStringLiteral("sequence %1 (%2)").arg(fault.sequence).arg(fault.Describe());
        const QStringList lines = LogLines(log);
        const QStringList added = lines.mid(logCount);
        logCount = lines.size();
        r.logLines += added.size();
        if (expect.fails && expect.optional && added.size() == 1)
            ++r.expectedFailures;
        if (expect.fails && !(expect.optional && added.isEmpty())) {
            if (added.size() != 1) {
                violation(QStringLiteral("%1: %2 log lines instead of one: %3")
                              .arg(what)
                              .arg(added.size())
                              .arg(added.join(QStringLiteral(" | "))));
            } else {
                const int at = added[0].indexOf(kFtpError);
                const QString message = at < 0 ? QString() : added[0].mid(at + kFtpError.size());
                if (at > 0 && expect.message.match(message).hasMatch())
                    ++r.matchedLines;
                else
                    violation(QStringLiteral("%1: the log line \"%2\" does not match %3")
                                  .arg(what, added[0], expect.message.pattern()));
            }
        } else if (!added.isEmpty()) {
            violation(QStringLiteral("%1: no failure expected, logged: %2").arg(what, added.join(QStringLiteral(" | "))));
        }

        // Both pictures, as they are now in the program folder, reached the server.
        const std::vector<SoakFtpServer::Upload> fresh = server.TakeUploads();
        const bool uploaded = fresh.size() == 2 && fresh[0].name == QLatin1String("Capture.jpg") &&
                              fresh[1].name == QLatin1String("datetime.bmp") &&
                              fresh[0].bytes == ReadAll(path(QStringLiteral("Capture.jpg"))) &&
                              fresh[1].bytes == ReadAll(path(QStringLiteral("datetime.bmp"))) &&
                              !fresh[0].bytes.isEmpty() && !fresh[1].bytes.isEmpty();
        if (expect.uploads && !uploaded) {
            QStringList names;
            for (const auto& u : fresh)
                names << QStringLiteral("%1 (%2 bytes)").arg(u.name).arg(u.bytes.size());
            violation(QStringLiteral("%1: the pictures did not arrive fresh; received: %2")
                          .arg(what, names.isEmpty() ? QStringLiteral("nothing") : names.join(QStringLiteral(", "))));
        }
        if (!expect.uploads && !fresh.empty() && fresh.size() >= 2)
            violation(QStringLiteral("%1: both pictures arrived despite the fault").arg(what));
        if (uploaded)
            ++r.uploads;
        if (lastFailed && fault.kind == SoakFault::Kind::None && uploaded)
            ++r.recoveries;
        lastFailed = !added.isEmpty();

        if (i == baselineAfter - 1) {
            settle();
            r.fdBaseline = OpenDescriptorCount();
            r.rssBaselineKb = ResidentKb();
        }
        r.rssPeakKb = std::max(r.rssPeakKb, ResidentKb());
        if ((i + 1) % 100 == 0)
            print(QStringLiteral("%1 sequences, %2 faults, %3 log lines, %4 descriptors, %5 kB resident, %6 s")
                      .arg(i + 1)
                      .arg(r.faulted)
                      .arg(r.logLines)
                      .arg(OpenDescriptorCount())
                      .arg(ResidentKb())
                      .arg(clock.elapsed() / 1000.0, 0, 'f', 1));
    }

    settle();
    r.fdEnd = OpenDescriptorCount();
    r.rssEndKb = ResidentKb();
    r.seconds = clock.elapsed() / 1000.0;

    for (const QString& p : server.Problems())
        violation(QStringLiteral("server: ") + p);
    if (r.logLines != r.expectedFailures)
        violation(QStringLiteral("%1 failures expected, %2 log lines").arg(r.expectedFailures).arg(r.logLines));
    if (r.fdEnd > r.fdBaseline + o.fdTolerance)
        violation(QStringLiteral("open descriptors grew from %1 to %2").arg(r.fdBaseline).arg(r.fdEnd));
    if (o.checkMemory && r.rssEndKb > r.rssBaselineKb + o.rssToleranceKb)
        violation(QStringLiteral("resident memory grew from %1 kB to %2 kB (tolerance %3 kB)")
                      .arg(r.rssBaselineKb)
                      .arg(r.rssEndKb)
                      .arg(o.rssToleranceKb));

    main.close();
    if (!WaitUntil([&main] { return main.Closed(); }, 30000))
        violation(QStringLiteral("the window did not close"));
    forms.reset();
    return r;
}

}  // namespace testsupport
