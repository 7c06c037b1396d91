// The program as a user meets it outside the window: options answered
// without a display, the install folder, the tarball, the menu entry and the
// demo, each run as a separate process. Windows show on a private Xvfb.
#include "app/DesktopEntry.h"
#include "capture/videocap.h"
#include "tests/support/capture_files.h"
#include "tests/support/end_process.h"
#include "tests/support/wait.h"
#include "tests/support/xvfb_server.h"
#include "ui/FileVersion.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

using testsupport::WaitUntil;
using testsupport::XvfbServer;

namespace {

const QString kBuiltProgram = QStringLiteral(TARVO_BIN_DIR "/tarvo-lite");
const QString kCaption = QStringLiteral("Tarvo Lite - Remote Surveillance");

struct Outcome {
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs a command to its end; the program's own options need no display.
Outcome RunCommand(const QString& program, const QStringList& args,
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment(), int timeoutMs = 120000)
{
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Outcome o;
    o.finished = p.waitForFinished(timeoutMs) && p.exitStatus() == QProcess::NormalExit;
    o.exitCode = p.exitCode();
    o.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    o.err = QString::fromLocal8Bit(p.readAllStandardError());
    return o;
}

QString ExpectedVersionLine()
{
    TrsFileVersion v;
    EXPECT_TRUE(v.GetVersionInfo(kBuiltProgram)) << "build tarvo-lite first";
    return QStringLiteral("Tarvo Lite %1 (Build %2)\n").arg(v.VersionText).arg(v.Build);
}

void WriteText(const QString& path, const QByteArray& text)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(text);
}

// Settings for a program folder that starts straight into its window: the
// test-pattern camera, no wizard.
void SeedProgramFolder(const QString& folder)
{
    WriteText(folder + QStringLiteral("/vcap.sif"),
              "[Driver]\nindex=" + QByteArray::number(GetDriverList()->size() - 1) + "\n");
    WriteText(folder + QStringLiteral("/Tarvo Lite.sif"), "[Other Settings]\nFirstRun=0\n");
}

QByteArray HttpGet(QNetworkAccessManager& net, const QUrl& url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    QNetworkReply* reply = net.get(request);
    WaitUntil([reply] { return reply->isFinished(); }, 15000);
    const QByteArray body = reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    reply->deleteLater();
    return body;
}

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

// --- the private display -----------------------------------------------------------

// Where unix sockets have no abstract names (some sandboxes), only the socket
// file marks a display as taken. Servers started side by side, as parallel
// tests start them, must still get one display each, and one of them ending
// must not cut the other off.
TEST(PrivateDisplay, ServersSideBySideKeepTheirOwnDisplays)
{
    const QStringList socketFilesOnly{QStringLiteral("-nolisten"), QStringLiteral("local")};
    XvfbServer first, second;
    ASSERT_TRUE(first.Start(15000, socketFilesOnly)) << first.Error().toStdString();
    ASSERT_TRUE(second.Start(15000, socketFilesOnly)) << second.Error().toStdString();
    EXPECT_NE(first.Display(), second.Display());
    second.Stop();
    EXPECT_TRUE(first.Answers()) << first.Display().toStdString();
}

// A server that resets when its last client leaves refuses a client that
// comes during the reset: a program started right after the readiness probe
// would find no display.
TEST(PrivateDisplay, ClientsThatComeOneAfterAnotherAreAllLetIn)
{
    XvfbServer x;
    ASSERT_TRUE(x.Start()) << x.Error().toStdString();
    int refused = 0;
    // A reset turns away about one client in a hundred.
    for (int i = 0; i < 600; ++i)
        refused += x.Answers() ? 0 : 1;
    EXPECT_EQ(refused, 0) << "of 600 clients";
}

// --- options ------------------------------------------------------------------------

TEST(CommandLine, EachOptionAnswersWithoutADisplayAndAnythingElseIsRefused)
{
    const struct {
        QStringList args;
        int exitCode;
        const char* out;  // a part of stdout
        const char* err;  // a part of stderr
    } cases[] = {
        {{QStringLiteral("--help")}, 0, "--install-desktop-entry", ""},
        {{QStringLiteral("-h")}, 0, "--session-start", ""},
        {{QStringLiteral("--verbose")}, 2, "", "unknown option '--verbose'"},
        {{QStringLiteral("Capture.jpg")}, 2, "", "unexpected argument 'Capture.jpg'"},
        // Qt's own options do not change the program's behaviour either.
        {{QStringLiteral("-platform"), QStringLiteral("offscreen")}, 2, "", "unknown option '-platform'"},
        {{QStringLiteral("--version"), QStringLiteral("--help")}, 2, "", "one option at a time"},
        {{QStringLiteral("--session-start"), QStringLiteral("--version")}, 2, "", "one option at a time"},
        {{QStringLiteral("--help"), QStringLiteral("--session-start")}, 2, "", "one option at a time"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        const Outcome o = RunCommand(kBuiltProgram, c.args);
        ASSERT_TRUE(o.finished) << o.err.toStdString();
        EXPECT_EQ(o.exitCode, c.exitCode) << o.err.toStdString();
        EXPECT_TRUE(o.out.contains(QString::fromLatin1(c.out))) << o.out.toStdString();
        EXPECT_TRUE(o.err.contains(QString::fromLatin1(c.err))) << o.err.toStdString();
        if (c.exitCode == 2) {
            EXPECT_TRUE(o.err.contains(QStringLiteral("--help"))) << "the refusal says where to look";
        }
    }
}

TEST(CommandLine, MakesADaysTimelapseFromTheHistoryOfItsDataFolder)
{
    // A copy of the executable in a folder of its own: that folder is its data folder.
    QTemporaryDir dir;
    const QString program = dir.filePath(QStringLiteral("tarvo-lite"));
    ASSERT_TRUE(QFile::copy(kBuiltProgram, program));
    const QString day = dir.filePath(QStringLiteral("History/2026-12-07/"));
    QDir().mkpath(day);
    QImage picture(160, 120, QImage::Format_RGB888);
    picture.fill(Qt::darkGreen);
    for (const char* name : {"10-00-00.jpg", "10-01-00.jpg"})
        ASSERT_TRUE(picture.save(day + QLatin1String(name), "JPG"));
    WriteText(day + QStringLiteral("10-02-00.jpg"), "");
    const QString video = dir.filePath(QStringLiteral("History/2026-12-07.mp4"));

    const struct {
        const char* day;
        int exitCode;
        QString out;
        const char* err;
    } cases[] = {
        {"2026-12-07", 0, QDir::toNativeSeparators(video), "10-02-00.jpg skipped: empty file"},
        {"2026-12-08", 1, QString(), "no pictures of 2026-12-08"},
        {"2026-02-30", 2, QString(), "'2026-02-30' is not a day"},
        {"", 2, QString(), "--make-timelapse needs a day"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.day);
        QStringList args{QStringLiteral("--make-timelapse")};
        if (*c.day)
            args << QLatin1String(c.day);
        const Outcome o = RunCommand(program, args);
        ASSERT_TRUE(o.finished) << o.err.toStdString();
        EXPECT_EQ(o.exitCode, c.exitCode) << o.err.toStdString();
        EXPECT_TRUE(o.out.contains(c.out)) << o.out.toStdString();
        EXPECT_TRUE(o.err.contains(QString::fromLatin1(c.err))) << o.err.toStdString();
    }
    EXPECT_EQ(testsupport::ReadVideo(video, QStringLiteral("mp4")).videoPackets, 2);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("History/2026-12-08.mp4"))));
}

// --- install folder and tarball -------------------------------------------------------

TEST(Install, TheInstalledFolderIsCompleteAndPrintsItsVersion)
{
    QTemporaryDir dir;
    const QString prefix = dir.filePath(QStringLiteral("opt/tarvo-lite"));
    const Outcome install = RunCommand(QStringLiteral("cmake"), {QStringLiteral("--install"), QStringLiteral(TARVO_BUILD_DIR),
                                                          QStringLiteral("--prefix"), prefix});
    ASSERT_TRUE(install.finished && install.exitCode == 0) << install.err.toStdString();
    for (const char* name : {"tarvo-lite", "TarvoLt.chm", "stopcap.jpg", "stoptime.bmp", "Server/tarvolt.html",
                             "Server/stopcap.jpg", "Server/stoptime.bmp"})
        EXPECT_TRUE(QFile::exists(prefix + QLatin1Char('/') + QString::fromLatin1(name))) << name;

    const Outcome version = RunCommand(prefix + QStringLiteral("/tarvo-lite"), {QStringLiteral("--version")});
    ASSERT_TRUE(version.finished);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, ExpectedVersionLine());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Tarvo Lite \\d+\\.\\d+\\.\\d+ \\(Build \\d+\\)\\n$")).match(version.out).hasMatch());
}

TEST(Install, TheTarballUnpacksIntoAFolderThatStartsAndClosesCleanly)
{
    QTemporaryDir dir;
    const Outcome pack = RunCommand(QStringLiteral("cpack"), {QStringLiteral("-G"), QStringLiteral("TGZ"), QStringLiteral("--config"),
                                                       QStringLiteral(TARVO_BUILD_DIR "/CPackConfig.cmake"),
                                                       QStringLiteral("-B"), dir.filePath(QStringLiteral("out"))});
    ASSERT_TRUE(pack.finished && pack.exitCode == 0) << pack.out.toStdString() << pack.err.toStdString();
    const QStringList tarballs = QDir(dir.filePath(QStringLiteral("out"))).entryList({QStringLiteral("tarvo-lite-*.tar.gz")});
    ASSERT_EQ(tarballs.size(), 1);
    const QString unpacked = dir.filePath(QStringLiteral("home"));
    QDir().mkpath(unpacked);
    const Outcome untar = RunCommand(QStringLiteral("tar"), {QStringLiteral("-xzf"), dir.filePath(QStringLiteral("out/")) + tarballs[0],
                                                      QStringLiteral("-C"), unpacked});
    ASSERT_TRUE(untar.finished && untar.exitCode == 0) << untar.err.toStdString();
    const QString folder = unpacked + QStringLiteral("/tarvo-lite");
    ASSERT_TRUE(QFile::exists(folder + QStringLiteral("/tarvo-lite")));
    EXPECT_TRUE(QFile::exists(folder + QStringLiteral("/Server/tarvolt.html")));
    EXPECT_EQ(RunCommand(folder + QStringLiteral("/tarvo-lite"), {QStringLiteral("--version")}).out, ExpectedVersionLine())
        << "the stripped program keeps its version record";
    SeedProgramFolder(folder);

    XvfbServer x;
    ASSERT_TRUE(x.Start()) << x.Error().toStdString();
    QProcess program;
    program.setProcessEnvironment(x.Environment());
    program.start(folder + QStringLiteral("/tarvo-lite"), {});
    ASSERT_TRUE(WaitUntil([&] { return x.HasWindow(kCaption) || program.state() == QProcess::NotRunning; }, 60000));
    ASSERT_EQ(program.state(), QProcess::Running) << program.readAllStandardError().toStdString();

    // A session logout closes it as the close box does: settings saved, exit code 0.
    testsupport::EndProcess(program, 30000);
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    EXPECT_TRUE(ReadFile(folder + QStringLiteral("/Tarvo Lite.sif")).contains("LogErrors="));
}

TEST(Install, TheDebianLayoutPutsEachFileInItsPlaceAndKeepsTheUsersFilesInTheirDataFolder)
{
    QTemporaryDir dir;
    const QString usr = dir.filePath(QStringLiteral("usr"));
    const Outcome install = RunCommand(QStringLiteral("cmake"), {QStringLiteral("--install"), QStringLiteral(TARVO_BUILD_DIR),
                                                          QStringLiteral("--component"), QStringLiteral("deb"),
                                                          QStringLiteral("--prefix"), usr});
    ASSERT_TRUE(install.finished && install.exitCode == 0) << install.err.toStdString();
    for (const char* name : {"bin/tarvo-lite", "share/applications/tarvo-lite.desktop",
                             "share/icons/hicolor/scalable/apps/tarvo-lite.svg", "share/icons/hicolor/48x48/apps/tarvo-lite.png",
                             "share/icons/hicolor/256x256/apps/tarvo-lite.png", "share/tarvo-lite/TarvoLt.chm",
                             "share/tarvo-lite/stopcap.jpg", "share/tarvo-lite/stoptime.bmp", "share/tarvo-lite/Server/tarvolt.html",
                             "share/tarvo-lite/Server/stopcap.jpg", "share/tarvo-lite/Server/stoptime.bmp",
                             "share/doc/tarvo-lite/copyright", "share/doc/tarvo-lite/changelog.Debian.gz",
                             "share/man/man1/tarvo-lite.1.gz"})
        EXPECT_TRUE(QFile::exists(usr + QLatin1Char('/') + QString::fromLatin1(name))) << name;
    EXPECT_FALSE(QFile::exists(usr + QStringLiteral("/tarvo-lite"))) << "nothing of the program folder's layout";

    // The packaged menu entry is the program's own, for its name on the PATH.
    const QString entry = usr + QStringLiteral("/share/applications/tarvo-lite.desktop");
    EXPECT_EQ(QString::fromUtf8(ReadFile(entry)), app::DesktopEntryText(QStringLiteral("tarvo-lite")))
        << "dist/tarvo-lite.desktop drifted from the entry the program writes";
    const Outcome validate = RunCommand(QStringLiteral("desktop-file-validate"), {entry});
    ASSERT_TRUE(validate.finished);
    EXPECT_EQ(validate.exitCode, 0) << validate.out.toStdString();

    // Installed so, the program keeps its files in the user's data folder,
    // says so, and creates that folder at its first start.
    const QString dataHome = dir.filePath(QStringLiteral("home/.local/share"));
    const QString data = dataHome + QStringLiteral("/tarvo-lite");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    const Outcome help = RunCommand(usr + QStringLiteral("/bin/tarvo-lite"), {QStringLiteral("--help")}, env);
    EXPECT_TRUE(help.out.contains(data + QLatin1Char('/'))) << help.out.toStdString();
    EXPECT_TRUE(help.out.contains(usr + QStringLiteral("/share/tarvo-lite/"))) << help.out.toStdString();
    ASSERT_TRUE(QDir().mkpath(data));
    SeedProgramFolder(data);

    XvfbServer x;
    ASSERT_TRUE(x.Start()) << x.Error().toStdString();
    QProcessEnvironment shown = x.Environment();
    shown.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    QProcess program;
    program.setProcessEnvironment(shown);
    program.start(usr + QStringLiteral("/bin/tarvo-lite"), {});
    ASSERT_TRUE(WaitUntil([&] { return x.HasWindow(kCaption) || program.state() == QProcess::NotRunning; }, 60000));
    testsupport::EndProcess(program, 30000);
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    EXPECT_TRUE(QFile::exists(data + QStringLiteral("/Error.log")));
    EXPECT_TRUE(QDir(data + QStringLiteral("/Snapshots")).exists());
    EXPECT_TRUE(ReadFile(data + QStringLiteral("/Tarvo Lite.sif")).contains("LogErrors=")) << "saved at the close";
    EXPECT_EQ(QDir(usr + QStringLiteral("/bin")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("tarvo-lite")});
}

// --- menu entry ------------------------------------------------------------------------

TEST(DesktopEntry, IsWrittenForTheRealPathValidatesAndIsRemovedAgain)
{
    QTemporaryDir dir;
    // A folder name with every kind of character that the Exec line must quote or escape.
    const QString folder = dir.filePath(QStringLiteral("My \"cams\" $HOME `x` 100% \\ 'ok'"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString program = folder + QStringLiteral("/tarvo-lite");
    ASSERT_TRUE(QFile::copy(kBuiltProgram, program));
    QFile::setPermissions(program, QFile::permissions(kBuiltProgram));
    const QString dataHome = dir.filePath(QStringLiteral("share"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);

    const Outcome install = RunCommand(program, {QStringLiteral("--install-desktop-entry")}, env);
    ASSERT_TRUE(install.finished);
    ASSERT_EQ(install.exitCode, 0) << install.err.toStdString();
    const QStringList files = app::DesktopEntryFiles(dataHome);
    for (const QString& file : files)
        EXPECT_TRUE(QFile::exists(file)) << file.toStdString();

    const Outcome validate = RunCommand(QStringLiteral("desktop-file-validate"), {files[0]});
    ASSERT_TRUE(validate.finished) << "desktop-file-utils is installed by scripts/setup";
    EXPECT_EQ(validate.exitCode, 0);
    EXPECT_EQ(validate.out + validate.err, QString());

    const QString entry = QString::fromUtf8(ReadFile(files[0]));
    // Quoted, with " ` $ \ escaped inside the quotes, % doubled, and every
    // backslash doubled again as the value is a string.
    const QString exec = QStringLiteral("Exec=\"") + dir.path() +
                         QStringLiteral("/My \\\\\"cams\\\\\" \\\\$HOME \\\\`x\\\\` 100%% \\\\\\\\ 'ok'/tarvo-lite\"\n");
    EXPECT_TRUE(entry.contains(exec)) << entry.toStdString() << "\nwanted: " << exec.toStdString();
    EXPECT_TRUE(entry.contains(QStringLiteral("Icon=tarvo-lite\n")));
    EXPECT_EQ(QImage(files[2]).size(), QSize(48, 48));
    EXPECT_EQ(QImage(files[3]).size(), QSize(256, 256));

    // A second removal finds nothing, says so, and is no error.
    const char* said[] = {"Removed from the application menu.\n",
                          "Nothing to remove: the program has no entry in the application menu.\n"};
    for (const char* out : said) {
        const Outcome remove = RunCommand(program, {QStringLiteral("--remove-desktop-entry")}, env);
        ASSERT_TRUE(remove.finished);
        EXPECT_EQ(remove.exitCode, 0) << remove.err.toStdString();
        EXPECT_EQ(remove.out, QString::fromLatin1(out));
        for (const QString& file : files)
            EXPECT_FALSE(QFile::exists(file)) << file.toStdString();
    }
}

// --- the demo ----------------------------------------------------------------------------

TEST(Demo, ThePageShowsFreshPicturesAndClosingRemovesEverything)
{
    XvfbServer x;
    ASSERT_TRUE(x.Start()) << x.Error().toStdString();
    QTemporaryDir temp;
    QProcessEnvironment env = x.Environment();
    env.insert(QStringLiteral("TMPDIR"), temp.path());  // the demo's folders land here
    QProcess demo;
    demo.setProcessEnvironment(env);
    demo.start(QStringLiteral(TARVO_SOURCE_DIR "/scripts/demo"), {QStringLiteral(TARVO_BUILD_DIR)});

    QString out;
    const QRegularExpression address(QStringLiteral("http://127\\.0\\.0\\.1:\\d+/tarvolt\\.html"));
    ASSERT_TRUE(WaitUntil([&] {
        out += QString::fromLocal8Bit(demo.readAllStandardOutput());
        return address.match(out).hasMatch() || demo.state() == QProcess::NotRunning;
    }, 60000)) << out.toStdString();
    const QRegularExpressionMatch page = address.match(out);
    ASSERT_TRUE(page.hasMatch()) << out.toStdString() << demo.readAllStandardError().toStdString();
    const QUrl pageUrl(page.captured());
    EXPECT_EQ(pageUrl.host(), QStringLiteral("127.0.0.1"));

    QNetworkAccessManager net;
    EXPECT_TRUE(HttpGet(net, pageUrl).contains("Capture.jpg"));
    // The page starts with the stop pictures, as the wizard leaves it; the
    // program's first upload replaces them with the test pattern and the time.
    const QByteArray stopPicture = ReadFile(QStringLiteral(TARVO_SOURCE_DIR "/dist/Server/stopcap.jpg"));
    const QByteArray stopCaption = ReadFile(QStringLiteral(TARVO_SOURCE_DIR "/dist/Server/stoptime.bmp"));
    QByteArray picture, caption;
    EXPECT_TRUE(WaitUntil([&] {
        picture = HttpGet(net, pageUrl.resolved(QUrl(QStringLiteral("Capture.jpg"))));
        caption = HttpGet(net, pageUrl.resolved(QUrl(QStringLiteral("datetime.bmp"))));
        return !picture.isEmpty() && picture != stopPicture && !caption.isEmpty() && caption != stopCaption;
    }, 60000));
    EXPECT_EQ(QImage::fromData(picture, "JPG").size(), QSize(320, 240));
    EXPECT_EQ(QImage::fromData(caption, "BMP").size(), QSize(178, 18));

    // Closed as a user would, once the window is up.
    EXPECT_TRUE(WaitUntil([&] { return x.HasWindow(kCaption); }, 60000));
    testsupport::EndProcess(demo, 60000);
    out += QString::fromLocal8Bit(demo.readAllStandardOutput());
    EXPECT_EQ(demo.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(demo.exitCode(), 0) << demo.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("Demo ended"))) << out.toStdString();
    EXPECT_EQ(QDir(temp.path()).entryList({QStringLiteral("tarvo-demo-*")}), QStringList()) << "temporary folders removed";
    EXPECT_TRUE(HttpGet(net, pageUrl).isEmpty()) << "the web server has stopped";
}
