// A process killed with SIGKILL at a random moment while it rewrites a file
// leaves the file as it was before that write or as it is after it: never
// empty, never cut, never a mix of two generations.

#include "app/ProgramFiles.h"
#include "tests/crash/crash_content.h"
#include "platform/profile.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <random>

namespace {

using testsupport::WaitUntil;

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// The last generation the writer reported as complete.
int LastReported(const QByteArray& output)
{
    const QList<QByteArray> lines = output.split('\n');
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        bool ok = false;
        const int k = lines[i].trimmed().toInt(&ok);
        if (ok)
            return k;
    }
    return 0;
}

// Busy-waits a few hundred microseconds at most, so that the kill lands at
// a random point of a write rather than right after a report.
void Jitter(std::mt19937& rng)
{
    const auto until = std::chrono::steady_clock::now()
                       + std::chrono::microseconds(std::uniform_int_distribution<int>(0, 800)(rng));
    while (std::chrono::steady_clock::now() < until) {
    }
}

class CrashSafety : public ::testing::Test
{
protected:
    // Starts the writer, kills it after a random number of completed writes
    // plus a random delay, and returns the generation it last reported (-1
    // when it did not run).
    int KillWriterOnce(const char* mode, std::mt19937& rng, QByteArray* output)
    {
        QProcess writer;
        writer.setProcessChannelMode(QProcess::SeparateChannels);
        writer.start(QStringLiteral(TARVO_CRASH_WRITER), {QString::fromLatin1(mode), dir_.path()});
        if (!writer.waitForStarted(10000))
            return -1;
        const int target = std::uniform_int_distribution<int>(1, 12)(rng);
        QByteArray out;
        const bool reached = WaitUntil(
            [&] {
                out += writer.readAllStandardOutput();
                return LastReported(out) >= target || writer.state() == QProcess::NotRunning;
            },
            30000);
        Jitter(rng);
        writer.kill();
        writer.waitForFinished(10000);
        out += writer.readAllStandardOutput();
        *output = out;
        if (!reached || writer.exitStatus() != QProcess::CrashExit)
            return -1;
        return LastReported(out);
    }

    QTemporaryDir dir_;
    app::ProgramFiles files_{dir_.path()};
};

TEST_F(CrashSafety, SettingsFileIsTheOldOrTheNewGenerationAfterEveryKill)
{
    // The expected file of each generation, made by the same write in a
    // folder of its own.
    QTemporaryDir refDir;
    const app::ProgramFiles ref(refDir.path());
    auto expected = [&](int k) {
        EXPECT_TRUE(WriteAll(ref.SettingsFile(), crashtest::InitialSettings()));
        if (k > 0) {
            EXPECT_TRUE(platform::WritePrivateProfileString(crashtest::kSection, crashtest::kKey,
                                                            crashtest::SettingsValue(k), ref.SettingsFile()));
        }
        return ReadAll(ref.SettingsFile());
    };

    std::mt19937 rng(20261207);
    int mixedOrEmpty = 0;
    for (int round = 0; round < 25; ++round) {
        ASSERT_TRUE(WriteAll(files_.SettingsFile(), crashtest::InitialSettings()));
        QByteArray output;
        const int k = KillWriterOnce("sif", rng, &output);
        ASSERT_GE(k, 1) << "the writer did not run: " << output.constData();
        const QByteArray found = ReadAll(files_.SettingsFile());
        if (found != expected(k) && found != expected(k + 1)) {
            ++mixedOrEmpty;
            ADD_FAILURE() << "round " << round << ": after generation " << k << " the file holds "
                          << found.size() << " bytes that match neither it nor the next";
        }
    }
    EXPECT_EQ(mixedOrEmpty, 0);
}

TEST_F(CrashSafety, ErrorLogIsTheOldOrTheNewGenerationAfterEveryKill)
{
    const QString log = files_.ErrorLog();
    std::mt19937 rng(7122026);
    int mixedOrEmpty = 0;
    for (int round = 0; round < 25; ++round) {
        QByteArray initial;
        for (const QString& line : crashtest::InitialLogLines())
            initial += line.toUtf8() + "\r\n";
        ASSERT_TRUE(WriteAll(log, initial));
        ASSERT_EQ(crashtest::LogAfter(0), initial);
        QByteArray output;
        const int k = KillWriterOnce("log", rng, &output);
        ASSERT_GE(k, 1) << "the writer did not run: " << output.constData();
        const QByteArray found = ReadAll(log);
        if (found != crashtest::LogAfter(k) && found != crashtest::LogAfter(k + 1)) {
            ++mixedOrEmpty;
            ADD_FAILURE() << "round " << round << ": after entry " << k << " the log holds " << found.size()
                          << " bytes that match neither it nor the next";
        }
    }
    EXPECT_EQ(mixedOrEmpty, 0);
}

}  // namespace
