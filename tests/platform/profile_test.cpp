#include "platform/profile.h"
#include "tests/support/unwritable_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using platform::GetPrivateProfileString;
using platform::WritePrivateProfileString;

namespace {

// Owner, group and other bits, without Qt's "current user" duplicates.
QFileDevice::Permissions Mode(const QString& path)
{
    return QFile::permissions(path) & QFileDevice::Permissions(0x7077);
}

class Profile : public ::testing::Test
{
protected:
    QString Path(const QString& name = QStringLiteral("test.sif")) const { return dir_.filePath(name); }

    void WriteRaw(const QByteArray& bytes, const QString& name = QStringLiteral("test.sif"))
    {
        QFile f(Path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    QByteArray ReadRaw(const QString& name = QStringLiteral("test.sif")) const
    {
        QFile f(Path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QString Read(const QString& section, const QString& key, const QString& def = QStringLiteral("<default>"))
    {
        return GetPrivateProfileString(section, key, def, Path());
    }

    QTemporaryDir dir_;
};

TEST_F(Profile, MissingFileSectionOrKeyGivesTheDefault)
{
    EXPECT_EQ(Read(QStringLiteral("A"), QStringLiteral("k")), QStringLiteral("<default>"));
    WriteRaw("[A]\r\nk=1\r\n");
    EXPECT_EQ(Read(QStringLiteral("B"), QStringLiteral("k")), QStringLiteral("<default>"));
    EXPECT_EQ(Read(QStringLiteral("A"), QStringLiteral("other")), QStringLiteral("<default>"));
    // An empty value is a value, not a missing key.
    WriteRaw("[A]\r\nk=\r\n");
    EXPECT_EQ(Read(QStringLiteral("A"), QStringLiteral("k")), QString());
}

TEST_F(Profile, NamesCompareWithoutCaseAndTheFirstOccurrenceWins)
{
    WriteRaw("[ftp settings]\nfTP_hOST = first.example\nFTP_Host=second\n"
             "[Other]\nFTP_Host=other-section\n[FTP SETTINGS]\nFTP_Host=later-duplicate\n");
    EXPECT_EQ(Read(QStringLiteral("FTP Settings"), QStringLiteral("FTP_Host")), QStringLiteral("first.example"));
    EXPECT_EQ(Read(QStringLiteral("other"), QStringLiteral("ftp_host")), QStringLiteral("other-section"));
}

TEST_F(Profile, ReadsTrimBlanksAndStripOnePairOfQuotes)
{
    WriteRaw("[S]\r\n  a  =   spaced value  \r\nb=\"quoted\"\r\nc='single'\r\nd=\"half\r\ne=x=y\r\n");
    EXPECT_EQ(Read(QStringLiteral("S"), QStringLiteral("a")), QStringLiteral("spaced value"));
    EXPECT_EQ(Read(QStringLiteral("S"), QStringLiteral("b")), QStringLiteral("quoted"));
    EXPECT_EQ(Read(QStringLiteral("S"), QStringLiteral("c")), QStringLiteral("single"));
    EXPECT_EQ(Read(QStringLiteral("S"), QStringLiteral("d")), QStringLiteral("\"half"));
    EXPECT_EQ(Read(QStringLiteral("S"), QStringLiteral("e")), QStringLiteral("x=y"));
}

TEST_F(Profile, ReadsAreCutAt2047Characters)
{
    const QString longValue(5000, QLatin1Char('x'));
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), longValue, Path()));
    EXPECT_EQ(Read(QStringLiteral("S"), QStringLiteral("k")).size(), 2047);
    EXPECT_EQ(GetPrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), {}, Path(), 11).size(), 10);
    // The file keeps the whole value.
    EXPECT_TRUE(ReadRaw().contains(QByteArray(5000, 'x')));
    // The default is cut the same way.
    EXPECT_EQ(GetPrivateProfileString(QStringLiteral("S"), QStringLiteral("none"), longValue, Path()).size(), 2047);
}

TEST_F(Profile, AWriteCreatesTheFileAndTheSection)
{
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("Driver"), QStringLiteral("index"), QStringLiteral("2"), Path()));
    EXPECT_EQ(ReadRaw(), QByteArray("[Driver]\r\nindex=2\r\n"));
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("Other"), QStringLiteral("k"), QStringLiteral("v"), Path()));
    EXPECT_EQ(ReadRaw(), QByteArray("[Driver]\r\nindex=2\r\n\r\n[Other]\r\nk=v\r\n"));
}

TEST_F(Profile, AWriteKeepsEveryOtherLineAsItWas)
{
    // Comments, odd spacing, a Latin-1 byte and Unix line ends all survive.
    const QByteArray before = "; settings\n[FTP Settings]\n  FTP_Host =  old.example \nUser_ID=caf\xe9\n\n"
                              "[Other Settings]\nLogErrors = 1\n";
    WriteRaw(before);
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("ftp settings"), QStringLiteral("ftp_host"),
                                          QStringLiteral("new.example"), Path()));
    EXPECT_EQ(ReadRaw(), QByteArray("; settings\n[FTP Settings]\nFTP_Host=new.example\nUser_ID=caf\xe9\n\n"
                                    "[Other Settings]\nLogErrors = 1\n"));
    EXPECT_EQ(Read(QStringLiteral("FTP Settings"), QStringLiteral("User_ID")), QStringLiteral("caf\u00e9"));

    // A new key joins the end of its own section, before the blank line.
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("FTP Settings"), QStringLiteral("Password"),
                                          QStringLiteral("pw"), Path()));
    EXPECT_EQ(ReadRaw(), QByteArray("; settings\n[FTP Settings]\nFTP_Host=new.example\nUser_ID=caf\xe9\nPassword=pw\n\n"
                                    "[Other Settings]\nLogErrors = 1\n"));
}

TEST_F(Profile, AWriteKeepsTheByteOrderMark)
{
    // Dropping the mark would also turn a second one into the start of the
    // first line, which then reads as a section header that hides ours.
    WriteRaw("\xEF\xBB\xBF\xEF\xBB\xBF[Sec]\nother=1\n");
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("sec"), QStringLiteral("key"), QStringLiteral("v"), Path()));
    EXPECT_EQ(ReadRaw(), QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF[Sec]\nother=1\n\n[sec]\nkey=v\n"));
    EXPECT_EQ(Read(QStringLiteral("sec"), QStringLiteral("key")), QStringLiteral("v"));

    WriteRaw("\xEF\xBB\xBF[A]\r\nk=1\r\n");
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("A"), QStringLiteral("k"), QStringLiteral("2"), Path()));
    EXPECT_EQ(ReadRaw(), QByteArray("\xEF\xBB\xBF[A]\r\nk=2\r\n"));
}

TEST_F(Profile, ALeadingZeroWidthNoBreakSpaceIsPartOfTheNameOrValue)
{
    const QString bom = QString(QChar(0xFEFF));
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("S"), bom + QStringLiteral("[k]"), bom + QStringLiteral("v"), Path()));
    EXPECT_EQ(Read(QStringLiteral("S"), bom + QStringLiteral("[k]")), bom + QStringLiteral("v"));
    EXPECT_EQ(Read(QStringLiteral("S"), QStringLiteral("[k]")), QStringLiteral("<default>"));
    ASSERT_TRUE(WritePrivateProfileString(bom + QStringLiteral("T"), QStringLiteral("k"), QStringLiteral("w"), Path()));
    EXPECT_EQ(Read(bom + QStringLiteral("T"), QStringLiteral("k")), QStringLiteral("w"));
    EXPECT_EQ(Read(QStringLiteral("T"), QStringLiteral("k")), QStringLiteral("<default>"));
}

TEST_F(Profile, AnyPrintableValueRoundTripsUnchanged)
{
    const QStringList values = {
        QStringLiteral("p@ss w0rd!;#[x]=\"y\"'"), QStringLiteral("  leading and trailing  "),
        QStringLiteral("\"quoted\""), QStringLiteral("'single'"), QStringLiteral("\""), QStringLiteral("\t"),
        QStringLiteral("\u00fcnic\u00f6de \u20ac"), QString(),
    };
    for (const QString& value : values) {
        ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("FTP Settings"), QStringLiteral("Password"), value, Path()));
        EXPECT_EQ(Read(QStringLiteral("FTP Settings"), QStringLiteral("Password")), value) << value.toStdString();
    }
}

TEST_F(Profile, LineBreaksAndStructureCharactersAreRefusedAndLeaveTheFileAlone)
{
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("v"), Path()));
    const QByteArray before = ReadRaw();
    EXPECT_FALSE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("a\r\n[Evil]"), Path()));
    EXPECT_FALSE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("a=b"), QStringLiteral("v"), Path()));
    EXPECT_FALSE(WritePrivateProfileString(QStringLiteral("S]x"), QStringLiteral("k"), QStringLiteral("v"), Path()));
    EXPECT_FALSE(WritePrivateProfileString(QString(), QStringLiteral("k"), QStringLiteral("v"), Path()));
    EXPECT_EQ(ReadRaw(), before);
}

TEST_F(Profile, AWriteThatCannotBeDoneFailsAndChangesNothing)
{
    QTemporaryDir base;
    const QString folder = testsupport::UnwritableFolder(base);
    const QString file = folder + QStringLiteral("/Tarvo Lite.sif");
    EXPECT_FALSE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("v"), file));
    EXPECT_FALSE(QFile::exists(file));

    // A "file" whose folder is a regular file.
    WriteRaw("x", QStringLiteral("plain"));
    EXPECT_FALSE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("v"),
                                           Path(QStringLiteral("plain")) + QStringLiteral("/a.sif")));

    // No temporary file is left behind by a successful write either.
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("v"), Path()));
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

TEST_F(Profile, OwnerOnlyModeAppliesToNewAndRewrittenFiles)
{
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("v"), Path(),
                                          platform::ProfileFileMode::OwnerOnly));
    EXPECT_EQ(Mode(Path()), ownerOnly);

    QFile::setPermissions(Path(), ownerOnly | QFileDevice::ReadOther | QFileDevice::ReadGroup);
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("w"), Path(),
                                          platform::ProfileFileMode::OwnerOnly));
    EXPECT_EQ(Mode(Path()), ownerOnly);

    // The default mode keeps what an existing file has.
    const auto shared = ownerOnly | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    QFile::setPermissions(Path(), shared);
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("x"), Path()));
    EXPECT_EQ(Mode(Path()), shared);
}

TEST_F(Profile, ListingAndDeletingKeysAndSections)
{
    WriteRaw("[A]\r\nk=1\r\nj=2\r\nK=4\r\nnot a key\r\n[B]\r\nk=3\r\n");
    EXPECT_EQ(platform::GetPrivateProfileKeys(QStringLiteral("a"), Path()), QStringList({"k", "j"}));
    EXPECT_EQ(platform::GetPrivateProfileKeys(QStringLiteral("None"), Path()), QStringList());
    WriteRaw("[A]\r\nk=1\r\nj=2\r\n[B]\r\nk=3\r\n");
    ASSERT_TRUE(platform::DeletePrivateProfileKey(QStringLiteral("a"), QStringLiteral("K"), Path()));
    EXPECT_EQ(ReadRaw(), QByteArray("[A]\r\nj=2\r\n[B]\r\nk=3\r\n"));
    ASSERT_TRUE(platform::DeletePrivateProfileSection(QStringLiteral("A"), Path()));
    EXPECT_EQ(ReadRaw(), QByteArray("[B]\r\nk=3\r\n"));
    EXPECT_TRUE(platform::DeletePrivateProfileKey(QStringLiteral("None"), QStringLiteral("k"), Path()));
}

// A save made as one edit must give the file that its writes made one by one
// give, whatever the file held before.
TEST_F(Profile, AnEditWritesTheSameBytesAsItsWritesOneByOne)
{
    const struct {
        const char* what;
        QByteArray before;
    } files[] = {
        {"no file", QByteArray()},
        {"CR LF, other sections", "[FTP Settings]\r\nFTP_Host=old\r\nPassword=pw\r\n\r\n[Notes]\r\nx=1\r\n"},
        {"LF, comments, Latin-1, odd case", "; c\n[ftp SETTINGS]\n  ftp_host = old \nUser_ID=caf\xe9\n\n[other settings]\n"},
        {"byte-order mark, no last line end", "\xEF\xBB\xBF[A]\nk=1"},
        {"LF with CRs kept before line ends", "[A]\nk=1\r\r\n[FTP Settings]\r\nFTP_Host=x\r\n"},
    };
    const struct {
        const char *section, *key, *value;
    } writes[] = {
        {"FTP Settings", "FTP_Host", "new.example"}, {"New Section", "k", "v"}, {"FTP Settings", "Added", " spaced "},
        {"new section", "K", "w"},                   {"Other Settings", "LogErrors", "0"},
    };
    for (const auto& f : files) {
        QFile::remove(Path());
        if (!f.before.isNull())
            WriteRaw(f.before);
        for (const auto& w : writes)
            ASSERT_TRUE(WritePrivateProfileString(QString::fromLatin1(w.section), QString::fromLatin1(w.key),
                                                  QString::fromLatin1(w.value), Path()));
        const QByteArray oneByOne = ReadRaw();

        QFile::remove(Path());
        if (!f.before.isNull())
            WriteRaw(f.before);
        platform::ProfileEdit edit(Path());
        for (const auto& w : writes)
            ASSERT_TRUE(edit.Set(QString::fromLatin1(w.section), QString::fromLatin1(w.key), QString::fromLatin1(w.value)));
        EXPECT_EQ(edit.Get(QStringLiteral("new SECTION"), QStringLiteral("k"), {}), QStringLiteral("w")) << f.what;
        ASSERT_TRUE(edit.Commit());
        EXPECT_EQ(ReadRaw(), oneByOne) << f.what;
    }
}

// A folder that refuses the temporary file gets the file written in place;
// the program hears of it once per file.
TEST_F(Profile, AnInPlaceWriteIsReportedOncePerFile)
{
    QTemporaryDir base;
    const testsupport::ReadOnlyFolder folder(base, {QStringLiteral("a.sif"), QStringLiteral("b.sif")});
    if (!folder.RefusesNewFiles())
        GTEST_SKIP() << "this process may create files in a read-only folder";
    QStringList reported;
    platform::SetInPlaceWriteReport([&](const QString& fileName) { reported << fileName; });
    const QString a = folder.Path() + QStringLiteral("/a.sif");
    const QString b = folder.Path() + QStringLiteral("/b.sif");
    EXPECT_TRUE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("1"), a));
    EXPECT_TRUE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("2"), a));
    EXPECT_TRUE(WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("3"), b));
    platform::SetInPlaceWriteReport(nullptr);
    EXPECT_EQ(GetPrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), {}, a), QStringLiteral("2"));
    EXPECT_EQ(reported, QStringList({a, b}));
}

}  // namespace
