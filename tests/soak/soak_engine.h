#pragma once
// A long run of the website update: the real main window (test-pattern
// camera, a temporary program folder, scripted dialogs) runs one update
// sequence per call of Timer1Timer against SoakFtpServer, which injects a
// seeded random fault into about half of them. After every sequence the run
// checks that a fault that must fail left exactly one matching line in
// "Error.log", and that a sequence without such a fault uploaded both fresh
// pictures. At the end it compares open descriptors and resident memory with
// their level after the first sequences. A watchdog ends the process when one
// sequence takes longer than its deadline (a hang).
//
// Needs tarvo_app linked into the program that calls it.

#include "tests/soak/soak_ftp_server.h"
#include "tests/support/process_usage.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <random>

namespace testsupport {

struct SoakOptions {
    int sequences = 2000;
    std::uint32_t seed = 1;
    // The FTP client's Timeout in seconds: how long a silent server is waited for.
    int timeoutSeconds = 2;
    // The descriptor and memory baseline is taken after this many sequences.
    int baselineAfter = 100;
    int watchdogSeconds = 60;
    // Off where memory cannot settle (sanitizer quarantines).
    bool checkMemory = true;
    long rssToleranceKb = 8 * 1024;
    int fdTolerance = 0;
    // Receives progress lines (every 100 sequences, and violations).
    std::function<void(const QString&)> print;
};

struct SoakReport {
    int sequences = 0;
    int faulted = 0;            // sequences with an injected fault
    int expectedFailures = 0;   // faults that must produce a failure
    int logLines = 0;           // FTP error lines the run added to "Error.log"
    int matchedLines = 0;       // of them, matched to their fault
    int uploads = 0;            // sequences that uploaded both pictures
    int recoveries = 0;         // clean sequences right after a failed one, all uploaded
    std::map<QString, int> faultsByKind;
    int splitSequences = 0;
    int fdBaseline = 0;
    int fdEnd = 0;
    long rssBaselineKb = 0;
    long rssEndKb = 0;
    long rssPeakKb = 0;
    double seconds = 0;
    QStringList violations;

    bool Passed() const { return violations.isEmpty(); }
    // Human-readable lines with every figure.
    QStringList Summary() const;
};

// The fault of one sequence, from the run's random source. Reproducible: the
// same seed gives the same plan.
SoakFault ChooseSoakFault(std::mt19937& random, int sequence, quint16 refusedPort);

SoakReport RunSoak(const SoakOptions& options);

}  // namespace testsupport
