// The short form of the soak run: the real main window through seeded random
// FTP faults (the same engine as bench/soak, with fewer sequences).
#include "ftp/FtpReply.h"
#include "tests/soak/soak_engine.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>

using testsupport::ChooseSoakFault;
using testsupport::RunSoak;
using testsupport::SoakFault;
using testsupport::SoakOptions;
using testsupport::SoakReport;
using testsupport::SoakStep;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

std::string Report(const SoakReport& r)
{
    return (r.Summary() + r.violations).join(QLatin1Char('\n')).toStdString();
}

TEST(Soak, SixtySequencesThroughInjectedFaultsLogEachFailureOnceAndRecover)
{
    SoakOptions o;
    o.sequences = 60;
    o.seed = 6;
    o.baselineAfter = 20;
    // Room for a loaded machine; this seed has one silent sequence.
    o.timeoutSeconds = 3;
    // The sanitizer's quarantine keeps freed memory resident.
    o.checkMemory = !kSanitized;
    const SoakReport r = RunSoak(o);
    EXPECT_TRUE(r.Passed()) << Report(r);
    EXPECT_EQ(r.sequences, 60);
    EXPECT_EQ(r.logLines, r.expectedFailures) << Report(r);
    EXPECT_EQ(r.matchedLines, r.expectedFailures) << Report(r);
    EXPECT_GE(r.recoveries, 5) << Report(r);
    // This seed reaches every kind of fault within the short run.
    EXPECT_EQ(r.faultsByKind.size(), 8u) << Report(r);
    EXPECT_GT(r.splitSequences, 0);
}

TEST(Soak, ThePlanIsReproducibleAndReachesEveryStepWithErrorRepliesSilenceAndDrops)
{
    std::mt19937 a(1), b(1), c(2);
    std::set<std::pair<int, int>> reached;  // (kind, step)
    bool differs = false;
    int silent = 0;
    for (int i = 1; i <= 2000; ++i) {
        const SoakFault f = ChooseSoakFault(a, i, 4242);
        EXPECT_EQ(f.Describe(), ChooseSoakFault(b, i, 4242).Describe()) << i;
        differs = differs || f.Describe() != ChooseSoakFault(c, i, 4242).Describe();
        reached.insert({static_cast<int>(f.kind), static_cast<int>(f.step)});
        silent += f.kind == SoakFault::Kind::Silence ? 1 : 0;
    }
    EXPECT_TRUE(differs) << "another seed, another plan";
    for (SoakFault::Kind kind : {SoakFault::Kind::ErrorReply, SoakFault::Kind::Silence, SoakFault::Kind::DropClean,
                                 SoakFault::Kind::DropReset})
        for (int step = 0; step < static_cast<int>(SoakStep::Count); ++step)
            EXPECT_TRUE(reached.count({static_cast<int>(kind), step}))
                << testsupport::SoakFaultKindName(kind) << " at " << testsupport::SoakStepName(SoakStep(step));
    for (SoakStep step : {SoakStep::Final1, SoakStep::Final2}) {
        EXPECT_TRUE(reached.count({static_cast<int>(SoakFault::Kind::DataDropMidTransfer), static_cast<int>(step)}));
        EXPECT_TRUE(reached.count({static_cast<int>(SoakFault::Kind::ControlDropMidTransfer), static_cast<int>(step)}));
    }
    // Each silent sequence costs a whole client time-out: a small share only.
    EXPECT_LT(silent, 2000 * 5 / 100);
}

// The soak expects of a garbled 227 what the client makes of it: a reply
// without six numbers in a row is unusable, one with them sends the client
// to the refused port.
TEST(Soak, EachGarbled227IsUnusableToTheClientOrNamesTheRefusedPort)
{
    std::mt19937 random(1);
    std::set<QByteArray> readable, unusable;
    for (int i = 1; i <= 2000; ++i) {
        const SoakFault f = ChooseSoakFault(random, i, 4242);
        if (f.kind != SoakFault::Kind::GarbagePassive)
            continue;
        QString address;
        int port = 0;
        const bool read = ftp::ParsePassiveReply(QString::fromLatin1(f.garbage), address, port);
        EXPECT_EQ(read, f.garbageReadable) << f.Describe().toStdString();
        if (read) {
            EXPECT_EQ(QStringLiteral("%1:%2").arg(address).arg(port), QStringLiteral("127.0.0.1:4242"));
        }
        (read ? readable : unusable).insert(f.garbage);
    }
    EXPECT_GE(readable.size(), 3u);
    EXPECT_GE(unusable.size(), 10u);
}

}  // namespace
