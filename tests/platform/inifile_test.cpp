#include "platform/inifile.h"
#include "tests/support/unwritable_folder.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <climits>

using platform::StrToIntDef;

TEST(StrToIntDef, DecimalAndHexadecimalSpellings)
{
    EXPECT_EQ(StrToIntDef(QStringLiteral("30"), -7), 30);
    EXPECT_EQ(StrToIntDef(QStringLiteral("-5"), -7), -5);
    EXPECT_EQ(StrToIntDef(QStringLiteral("+5"), -7), 5);
    EXPECT_EQ(StrToIntDef(QStringLiteral("0x1E"), -7), 30);
    EXPECT_EQ(StrToIntDef(QStringLiteral("0X1e"), -7), 30);
    EXPECT_EQ(StrToIntDef(QStringLiteral("$1E"), -7), 30);
    EXPECT_EQ(StrToIntDef(QStringLiteral("-$10"), -7), -16);
    EXPECT_EQ(StrToIntDef(QStringLiteral("$FFFFFFFF"), -7), -1);
    EXPECT_EQ(StrToIntDef(QStringLiteral("-2147483648"), -7), INT_MIN);
    EXPECT_EQ(StrToIntDef(QStringLiteral("2147483647"), -7), INT_MAX);
    EXPECT_EQ(StrToIntDef(QStringLiteral("0012"), -7), 12);
}

TEST(StrToIntDef, AnythingElseGivesTheDefault)
{
    for (const char* text : {"", "abc", "12a", "1e3", "0x", "$", "0xG1", "-", " 5", "5 ", "2147483648",
                             "-2147483649", "$100000000", "99999999999999999999999", "1.5", "\xd9\xa3"})
        EXPECT_EQ(StrToIntDef(QString::fromUtf8(text), 15), 15) << text;
}

TEST(IniFile, TypedReadsFallBackToTheirDefaults)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.sif"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[S]\nhex=0x1E\nletters=abc\nempty=\ntwo=2\nzero=0\nyes=yes\n");
    f.close();

    const platform::IniFile ini(path);
    EXPECT_TRUE(ini.Exists());
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("S"), QStringLiteral("hex"), 15), 30);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("S"), QStringLiteral("letters"), 15), 15);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("S"), QStringLiteral("empty"), 15), 15);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("S"), QStringLiteral("missing"), -1), -1);
    EXPECT_TRUE(ini.ReadBool(QStringLiteral("S"), QStringLiteral("two"), false));
    EXPECT_FALSE(ini.ReadBool(QStringLiteral("S"), QStringLiteral("zero"), true));
    EXPECT_TRUE(ini.ReadBool(QStringLiteral("S"), QStringLiteral("yes"), true));
    EXPECT_FALSE(ini.ReadBool(QStringLiteral("S"), QStringLiteral("yes"), false));
    EXPECT_TRUE(ini.ReadBool(QStringLiteral("S"), QStringLiteral("missing"), true));
}

TEST(IniFile, AFailedWriteRaisesUnableToWrite)
{
    QTemporaryDir base;
    const QString path = testsupport::UnwritableFolder(base) + QStringLiteral("/Tarvo Lite.sif");
    platform::IniFile ini(path);
    try {
        ini.WriteBool(QStringLiteral("Other Settings"), QStringLiteral("LogErrors"), true);
        FAIL() << "no exception";
    } catch (const platform::EIniFileException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to write to ") + path);
        EXPECT_STREQ(e.ClassName(), "EIniFileException");
    }
}
