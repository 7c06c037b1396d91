#include "platform/version.h"
#include "tests/support/elf_samples.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace platform;
using testsupport::FileVersion;

namespace {

const QString kProgram = QStringLiteral(TARVO_BIN_DIR "/tarvo-lite");

void ExpectVersion(const VS_FIXEDFILEINFO& info, FileVersion v)
{
    EXPECT_EQ(info.dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(info.dwFileVersionMS, (std::uint32_t(v.major) << 16) | v.minor);
    EXPECT_EQ(info.dwFileVersionLS, (std::uint32_t(v.release) << 16) | v.build);
}

bool WriteFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

TEST(VersionRecord, BuiltProgramCarriesTheProjectVersionAlsoWhenStripped)
{
    ASSERT_TRUE(QFile::exists(kProgram)) << "build the tarvo-lite target first";
    FileVersion expected{};
    ASSERT_TRUE(testsupport::ProjectVersion(expected));

    VS_FIXEDFILEINFO info{};
    ASSERT_TRUE(ReadFixedFileInfo(kProgram, info));
    ExpectVersion(info, expected);
    EXPECT_EQ(info.dwProductVersionMS, info.dwFileVersionMS);
    EXPECT_EQ(info.dwFileType, VFT_APP);
    EXPECT_EQ(GetFileVersionInfoSize(kProgram), sizeof(VS_FIXEDFILEINFO));

    const QString strip = QStandardPaths::findExecutable(QStringLiteral("strip"));
    ASSERT_FALSE(strip.isEmpty()) << "binutils' strip is needed";
    QTemporaryDir dir;
    const QString stripped = dir.filePath(QStringLiteral("tarvo-lite"));
    QProcess p;
    p.start(strip, {QStringLiteral("--strip-all"), QStringLiteral("-o"), stripped, kProgram});
    ASSERT_TRUE(p.waitForFinished(60000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    VS_FIXEDFILEINFO strippedInfo{};
    ASSERT_TRUE(ReadFixedFileInfo(stripped, strippedInfo));
    ExpectVersion(strippedInfo, expected);
}

TEST(VersionRecord, EveryWidthByteOrderAndHeaderKind)
{
    QTemporaryDir dir;
    const FileVersion v{1, 4, 0, 7};
    int n = 0;
    for (bool is64 : {true, false})
        for (bool big : {false, true})
            for (bool sections : {true, false}) {
                const QString path = dir.filePath(QString::number(n++));
                testsupport::ElfOptions o;
                o.is64 = is64;
                o.bigEndian = big;
                o.sectionHeaders = sections;
                ASSERT_TRUE(WriteFile(path, testsupport::MinimalElf(o, v)));
                VS_FIXEDFILEINFO info{};
                ASSERT_TRUE(ReadFixedFileInfo(path, info)) << "64-bit " << is64 << " big " << big << " sections " << sections;
                ExpectVersion(info, v);
            }
}

TEST(VersionRecord, FilesWithoutARecordFailCleanly)
{
    QTemporaryDir dir;
    VS_FIXEDFILEINFO info{};

    const QString text = dir.filePath(QStringLiteral("readme.txt"));
    ASSERT_TRUE(WriteFile(text, "Just some text, not a program.\n"));
    EXPECT_EQ(GetFileVersionInfoSize(text), 0u);
    EXPECT_FALSE(ReadFixedFileInfo(text, info));

    EXPECT_FALSE(ReadFixedFileInfo(dir.filePath(QStringLiteral("missing")), info));
    EXPECT_FALSE(ReadFixedFileInfo(dir.path(), info)) << "a folder";

    const QString empty = dir.filePath(QStringLiteral("empty"));
    ASSERT_TRUE(WriteFile(empty, {}));
    EXPECT_FALSE(ReadFixedFileInfo(empty, info));

    // An ELF file with a note of another owner.
    testsupport::ElfOptions foreign;
    foreign.withNote = false;
    const QString other = dir.filePath(QStringLiteral("other"));
    ASSERT_TRUE(WriteFile(other, testsupport::MinimalElf(foreign, {1, 2, 3, 4})));
    EXPECT_FALSE(ReadFixedFileInfo(other, info));

    // Cut short anywhere: headers pointing past the end are refused, never read.
    const QByteArray whole = testsupport::MinimalElf({}, {1, 2, 3, 4});
    for (qsizetype cut : {qsizetype(4), qsizetype(20), qsizetype(64), qsizetype(80), whole.size() - 1}) {
        const QString path = dir.filePath(QStringLiteral("cut%1").arg(cut));
        ASSERT_TRUE(WriteFile(path, whole.left(cut)));
        EXPECT_FALSE(ReadFixedFileInfo(path, info)) << cut;
    }

    // A damaged record (wrong signature) is refused by the query.
    QByteArray bad = whole;
    bad[64 + 20] = 0;
    const QString damaged = dir.filePath(QStringLiteral("damaged"));
    ASSERT_TRUE(WriteFile(damaged, bad));
    EXPECT_FALSE(ReadFixedFileInfo(damaged, info));
}

}  // namespace
