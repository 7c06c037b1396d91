#include "ui/AboutDlg.h"
#include "ui/FileVersion.h"
#include "ui/Legacy.h"
#include "ui/URL.h"
#include "platform/shell.h"
#include "tests/support/elf_samples.h"
#include "tests/support/recording_services.h"

#include <QEnterEvent>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const QString kProgram = QStringLiteral(TARVO_BIN_DIR "/tarvo-lite");

TEST(FileVersion, ReadsTheFourNumbersAndClearsOnFailure)
{
    QTemporaryDir dir;
    const QString stamped = dir.filePath(QStringLiteral("program"));
    ASSERT_TRUE(testsupport::CopyWithVersion(kProgram, stamped, {1, 4, 2, 7})) << "build tarvo-lite first";

    TrsFileVersion v;
    EXPECT_TRUE(v.VersionText.isEmpty());
    ASSERT_TRUE(v.GetVersionInfo(stamped));
    EXPECT_EQ(v.Major, 1);
    EXPECT_EQ(v.Minor, 4);
    EXPECT_EQ(v.Release, 2);
    EXPECT_EQ(v.Build, 7);
    EXPECT_EQ(v.VersionText, QStringLiteral("1.4.2"));

    // Each output is optional.
    std::uint16_t build = 0;
    EXPECT_TRUE(TrsFileVersion::ReadFileVersion(stamped, nullptr, nullptr, nullptr, &build));
    EXPECT_EQ(build, 7);

    const QString text = dir.filePath(QStringLiteral("notes.txt"));
    QFile f(text);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("plain text\n");
    f.close();
    EXPECT_FALSE(v.GetVersionInfo(text));
    EXPECT_TRUE(v.VersionText.isEmpty());
    EXPECT_EQ(v.Major + v.Minor + v.Release + v.Build, 0);
}

TEST(AboutDlg, ShowsProgramNameAndFileVersion)
{
    QTemporaryDir dir;
    const QString stamped = dir.filePath(QStringLiteral("program"));
    ASSERT_TRUE(testsupport::CopyWithVersion(kProgram, stamped, {1, 4, 0, 7}));

    TAboutDlg about(nullptr, stamped);
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About"));
    EXPECT_EQ(about.size(), QSize(514, 191));
    EXPECT_EQ(about.lblProgramName()->text(), QStringLiteral("Tarvo Lite :  webcam surveillance application"));
    EXPECT_EQ(about.lblVersion()->text(), QStringLiteral("Version 1.4.0 (Build 7)"));
    EXPECT_EQ(about.lblTrademark()->text(), QStringLiteral("Kelna  Technologies"));
    EXPECT_EQ(about.btnClose()->text(), QStringLiteral("Close"));
    EXPECT_EQ(about.Legacy1()->AdressType(), atWWW);
    EXPECT_FALSE(about.Legacy1()->Adress().isEmpty());
    EXPECT_EQ(about.Legacy1()->text(), about.Legacy1()->Adress());
    EXPECT_FALSE(about.Image1()->pixmap().isNull()) << "the logo";
    EXPECT_EQ(about.findChild<QLabel*>(QStringLiteral("lblVersion")), about.lblVersion()) << "object names";

    // The folder of the settings and working files, on a line of its own
    // that the box grows by, the Close button still below everything.
    about.SetDataFolder(QStringLiteral("/home/u/.local/share/tarvo-lite/"));
    ASSERT_NE(about.lblDataFolder(), nullptr);
    EXPECT_TRUE(about.lblDataFolder()->text().endsWith(QStringLiteral(": /home/u/.local/share/tarvo-lite/")));
    EXPECT_GT(about.lblDataFolder()->y(), about.lblVersion()->y());
    EXPECT_GT(about.btnClose()->y(), about.lblDataFolder()->geometry().bottom());
    EXPECT_LE(about.btnClose()->geometry().bottom(), about.height());

    // The real program shows the project's version; a file without one shows zeros.
    testsupport::FileVersion project{};
    ASSERT_TRUE(testsupport::ProjectVersion(project));
    TAboutDlg real(nullptr, kProgram);
    EXPECT_EQ(real.lblVersion()->text(), QStringLiteral("Version %1.%2.%3 (Build %4)")
                                             .arg(project.major)
                                             .arg(project.minor)
                                             .arg(project.release)
                                             .arg(project.build));
    TAboutDlg none(nullptr, dir.filePath(QStringLiteral("missing")));
    EXPECT_EQ(none.lblVersion()->text(), QStringLiteral("Version 0.0.0 (Build 0)"));

    about.show();
    QTest::mouseClick(about.btnClose(), Qt::LeftButton);
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

TEST(URL, PrefixesAndEmptyAddress)
{
    testsupport::ScopedRecordingShell shell;
    TURL url;
    EXPECT_EQ(url.URLType(), utHttp);
    EXPECT_FALSE(url.Execute()) << "empty URL";
    EXPECT_TRUE(shell->calls.empty());

    const struct {
        TURLType type;
        const char* prefix;
    } table[] = {
        {utFile, "file://"}, {utFtp, "ftp://"},       {utGopher, "gopher://"}, {utHttp, "http://"},  {utHttps, "https://"},
        {utMailto, "mailto:"}, {utNews, "news:"}, {utTelnet, "telnet:"},   {utWais, "wais:"},
    };
    url.SetURL(QStringLiteral("host.example/path"));
    for (const auto& row : table) {
        url.SetURLType(row.type);
        EXPECT_TRUE(url.Execute());
        ASSERT_FALSE(shell->calls.empty());
        EXPECT_EQ(shell->calls.back().target, QString::fromLatin1(row.prefix) + QStringLiteral("host.example/path"));
        EXPECT_EQ(shell->calls.back().showCommand, platform::SW_SHOWNOACTIVATE);
    }
    EXPECT_EQ(shell->calls.size(), 9u);

    // Long addresses pass whole, and the shell's failure values mean false.
    url.SetURLType(utHttp);
    url.SetURL(QString(200, QLatin1Char('a')));
    EXPECT_TRUE(url.Execute());
    EXPECT_EQ(shell->calls.back().target.size(), 207);
    shell->answer = platform::SE_ERR_NOASSOC;
    EXPECT_FALSE(url.Execute());
    shell->answer = 32;
    EXPECT_FALSE(url.Execute());
}

TEST(Legacy, ClickOpensWebAddressOrNewMail)
{
    testsupport::ScopedRecordingShell shell;
    TLegacy link;
    int clicks = 0;
    link.OnClick = [&](QObject* sender) {
        EXPECT_EQ(sender, &link);
        ++clicks;
    };
    EXPECT_EQ(link.AdressType(), atWWW);
    EXPECT_EQ(link.ActiveColor(), QColor(Qt::red));

    link.SetAdress(QStringLiteral("http://www.kelna.example"));
    link.Click();
    link.SetAdressType(atMail);
    link.SetAdress(QStringLiteral("info@kelna.example"));
    link.Click();
    link.SetAdressType(atWWW);
    link.SetAdress(QString());
    link.Click();

    ASSERT_EQ(shell->calls.size(), 3u);
    EXPECT_EQ(shell->calls[0].target, QStringLiteral("http://www.kelna.example"));
    EXPECT_EQ(shell->calls[1].target, QStringLiteral("mailto:info@kelna.example"));
    EXPECT_EQ(shell->calls[2].target, QStringLiteral("mailto:")) << "an empty web address starts an empty mail";
    EXPECT_EQ(shell->calls[0].parent, nullptr);
    EXPECT_EQ(clicks, 3);
    EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);

    // A real mouse click takes the same way.
    link.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&link));
    QTest::mouseClick(&link, Qt::LeftButton);
    EXPECT_EQ(shell->calls.size(), 4u);
    EXPECT_EQ(clicks, 4);
}

TEST(Legacy, HoverTurnsActiveColourAndUnderlinedThenBack)
{
    TAboutDlg about(nullptr, QStringLiteral("/nonexistent"));
    TLegacy* link = about.Legacy1();
    const QColor aqua(0, 255, 255);
    ASSERT_EQ(link->FontColor(), aqua);
    ASSERT_EQ(link->ActiveColor(), QColor(0, 255, 0)) << "lime";

    QObject* entered = nullptr;
    QObject* exited = nullptr;
    link->OnMouseEnter = [&](QObject* s) { entered = s; };
    link->OnMouseExit = [&](QObject* s) { exited = s; };

    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QCoreApplication::sendEvent(link, &enter);
    EXPECT_EQ(link->FontColor(), QColor(0, 255, 0));
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(entered, link);

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(link, &leave);
    EXPECT_EQ(link->FontColor(), aqua);
    EXPECT_FALSE(link->font().underline());
    EXPECT_EQ(link->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(exited, link);

    // A stray leave without an enter keeps the colour as it is.
    link->SetFontColor(Qt::yellow);
    QCoreApplication::sendEvent(link, &leave);
    EXPECT_EQ(link->FontColor(), QColor(Qt::yellow));
}

}  // namespace
