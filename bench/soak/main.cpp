// The long soak run: COUNT website update sequences of the real main window
// through seeded random FTP faults. Prints progress, the figures and BENCH
// rows for descriptors and resident memory (end against the level after the
// first 100 sequences); exits 1 on any violation. A hang ends the process
// with exit code 3 from the watchdog.
//
// tarvo_soak [COUNT] [SEED]

#include "platform/application.h"
#include "tests/soak/soak_engine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    platform::Application app(argc, argv);
    app.setApplicationName(QStringLiteral("Tarvo Lite"));

    testsupport::SoakOptions options;
    if (argc > 1)
        options.sequences = std::max(1, std::atoi(argv[1]));
    if (argc > 2)
        options.seed = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    options.baselineAfter = std::min(100, std::max(1, options.sequences / 3));
    options.print = [](const QString& line) {
        std::printf("%s\n", line.toLocal8Bit().constData());
        std::fflush(stdout);
    };
    std::printf("soak: %d sequences, seed %u, client time-out %d s\n", options.sequences, options.seed,
                options.timeoutSeconds);

    const testsupport::SoakReport report = testsupport::RunSoak(options);
    for (const QString& line : report.Summary())
        std::printf("%s\n", line.toLocal8Bit().constData());
    for (const QString& v : report.violations)
        std::printf("violation: %s\n", v.toLocal8Bit().constData());

    const double endMb = report.rssEndKb / 1024.0;
    const double baseMb = report.rssBaselineKb / 1024.0;
    // The growth is judged against the run's own tolerance; the sizes are shown beside it.
    std::printf("BENCH soak-resident-memory %.1fMB %.1fMB %.3f -\n", endMb, baseMb, baseMb > 0 ? endMb / baseMb : 0.0);
    std::printf("BENCH soak-resident-growth %.1fMB - - <=%.0fMB\n", std::max(0.0, endMb - baseMb),
                options.rssToleranceKb / 1024.0);
    std::printf("BENCH soak-open-descriptors %dfd %dfd %.3f <=1.0\n", report.fdEnd, report.fdBaseline,
                report.fdBaseline > 0 ? double(report.fdEnd) / report.fdBaseline : 0.0);
    std::printf("BENCH soak-failures-logged %d %d %.3f <=1.0\n", report.logLines, report.expectedFailures,
                report.expectedFailures > 0 ? double(report.logLines) / report.expectedFailures : 0.0);
    std::printf("%s\n", report.Passed() ? "soak: PASSED" : "soak: FAILED");
    return report.Passed() ? 0 : 1;
}
