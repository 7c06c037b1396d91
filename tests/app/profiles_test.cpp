// Camera profiles: each its own folder, process, camera and remote folder.
// Two profiles run side by side in this process as two processes would,
// against one pyftpdlib server and one scripted camera.
#include "app/CommandLine.h"
#include "app/DesktopEntry.h"
#include "app/ProfileMenu.h"
#include "app/Profiles.h"
#include "tests/app/main_window_fixture.h"
#include "tests/support/fake_v4l2.h"
#include "tests/support/ftp_real_server.h"

#include "ui/CameraIndex.h"
#include "ui/Wizard3.h"

#include <QApplication>
#include <QInputDialog>
#include <QProcess>

using namespace apptest;

namespace {

// What the command line makes of a profile, and where its files go.
TEST(ProfileCommandLine, GoodNamesRunOnTheirOwnFolderAndAnythingElseIsRefused)
{
    const app::ProgramFiles defaults(QStringLiteral("/opt/tarvo"));
    const struct {
        QStringList arguments;
        const char* folder;  // nullptr: refused
        const char* error;
    } cases[] = {
        {{}, "/opt/tarvo/", ""},
        {{"--profile", "Front door"}, "/opt/tarvo/profiles/Front door/", ""},
        {{"--profile=Garden_2-b", "--session-start"}, "/opt/tarvo/profiles/Garden_2-b/", ""},
        {{"--profile", "../etc"}, nullptr, "holds \".\""},
        {{"--profile", "a/b"}, nullptr, "holds \"/\""},
        {{"--profile", " "}, nullptr, "needs a name"},
        {{"--profile"}, nullptr, "needs a profile name"},
        {{"--profile", "A", "--profile", "B"}, nullptr, "one profile at a time"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        const app::CommandLine command = app::ParseCommandLine(c.arguments);
        if (!c.folder) {
            EXPECT_EQ(command.action, app::CommandLineAction::Refuse);
            EXPECT_TRUE(command.error.contains(QString::fromUtf8(c.error))) << command.error.toStdString();
            continue;
        }
        ASSERT_EQ(command.action, app::CommandLineAction::Run) << command.error.toStdString();
        EXPECT_EQ(app::ProgramFiles::ForProfile(defaults, command.profile).Folder(), QString::fromUtf8(c.folder));
        EXPECT_EQ(app::ProgramFiles::ForProfile(defaults, command.profile).ShippedFolder(), defaults.ShippedFolder());
    }
}

// One process per profile: the second start reaches the first; a lock that a
// crashed process left is taken over.
TEST(ProfileInstance, ASecondStartAsksTheFirstAndACrashedHoldersLockIsTakenOver)
{
    QTemporaryDir dir;
    app::TProfileInstance first(dir.path());
    ASSERT_TRUE(first.Acquire());
    int shown = 0;
    first.OnShowRequested = [&shown] { ++shown; };
    app::TProfileInstance second(dir.path());
    EXPECT_FALSE(second.Acquire());
    EXPECT_TRUE(second.AskRunningToShow());
    EXPECT_TRUE(testsupport::WaitUntil([&shown] { return shown == 1; }));

    // A holder that died without a word: its lock as it wrote it, its pid gone.
    QTemporaryDir crashed;
    const QString lockFile = crashed.filePath(QStringLiteral("instance.lock"));
    QByteArray content;
    {
        app::TProfileInstance holder(crashed.path());
        ASSERT_TRUE(holder.Acquire());
        content = apptest::ReadFile(lockFile);
    }
    QProcess gone;
    gone.start(QStringLiteral("/bin/true"));
    ASSERT_TRUE(gone.waitForStarted());
    const qint64 pid = gone.processId();
    ASSERT_TRUE(gone.waitForFinished());
    apptest::WriteFile(lockFile, QByteArray::number(pid) + content.mid(content.indexOf('\n')));
    app::TProfileInstance after(crashed.path());
    EXPECT_TRUE(after.Acquire());
}

class Profiles : public ::testing::Test
{
protected:
    Profiles() : camera_(std::make_shared<testsupport::FakeV4l2>())
    {
        platform::capture::SetV4l2IoFactory([c = camera_] { return c; });
        QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/stopcap.jpg"), root_.filePath(QStringLiteral("stopcap.jpg")));
        QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/stoptime.bmp"), root_.filePath(QStringLiteral("stoptime.bmp")));
    }
    ~Profiles() override
    {
        for (auto& forms : running_) {
            if (!forms->Main()->Closed())
                forms->Main()->close();
            EXPECT_TRUE(testsupport::WaitUntil([&forms] { return forms->Main()->Closed(); }, 30000));
        }
        running_.clear();
        platform::capture::SetV4l2IoFactory(nullptr);
    }

    app::ProgramFiles Files(const QString& profile) const { return app::ProgramFiles::ForProfile(defaults_, profile); }
    TMain& Start(const QString& profile, int driver, const QByteArray& settings)
    {
        const app::ProgramFiles files = Files(profile);
        QDir().mkpath(files.Folder());
        apptest::WriteFile(files.DriverSettingsFile(), "[Driver]\nindex=" + QByteArray::number(driver) + "\n");
        if (!settings.isEmpty())
            apptest::WriteFile(files.SettingsFile(), settings);
        running_.push_back(std::make_unique<TForms>(files));
        return *running_.back()->Main();
    }

    testsupport::ScopedFakeDialogs dialogs_;
    std::shared_ptr<testsupport::FakeV4l2> camera_;  // index 0; the test pattern is 1
    QTemporaryDir root_;
    app::ProgramFiles defaults_{root_.path()};
    std::vector<std::unique_ptr<TForms>> running_;
};

TEST_F(Profiles, SideBySideEachUploadsToItsOwnFolderKeepsItsOwnFilesAndCamera)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    auto account = [&server](const char* folder) {
        return Account(server.PortText(), server.User(), server.Password(), QByteArray("Remote_Folder=") + folder + "\n");
    };
    TMain& front = Start(QStringLiteral("Front door"), 0, account("front"));
    TMain& garden = Start(QStringLiteral("Garden"), 1, account("garden"));
    EXPECT_EQ(front.windowTitle(), QStringLiteral("Tarvo Lite \u2014 Front door - Remote Surveillance"));
    EXPECT_EQ(garden.windowTitle(), QStringLiteral("Tarvo Lite \u2014 Garden - Remote Surveillance"));
    EXPECT_TRUE(front.VideoCap1()->DriverOpen());
    EXPECT_TRUE(garden.VideoCap1()->DriverOpen());

    for (TMain* main : {&front, &garden}) {
        main->findChild<QPushButton*>(QStringLiteral("BitBtnFrameCap"))->click();
        ASSERT_TRUE(testsupport::WaitUntil([main] { return !main->SequenceRunning(); }, 30000));
        EXPECT_TRUE(main->LastUploadOk());
        EXPECT_EQ(main->LogForm()->LogFileName(), main->Files().ErrorLog());
    }
    for (const char* folder : {"front", "garden"})
        EXPECT_TRUE(QFile::exists(server.Root() + QLatin1Char('/') + folder + QStringLiteral("/Capture.jpg"))) << folder;
    EXPECT_FALSE(QFile::exists(server.Root() + QStringLiteral("/Capture.jpg")));

    // A third profile asking for the front door's camera is told who has it,
    // and gets no other camera in its place.
    TMain& porch = Start(QStringLiteral("Porch"), 0, QByteArray());
    EXPECT_FALSE(porch.VideoCap1()->DriverOpen());
    EXPECT_TRUE(dialogs_->exceptions.join(QLatin1Char('\n')).contains(QStringLiteral("This camera is in use by the profile Front door.")))
        << dialogs_->exceptions.join(QLatin1Char('\n')).toStdString();

    // Nothing was written into the default folder or into another profile's.
    for (const QString& profile : {QStringLiteral("Front door"), QStringLiteral("Garden")}) {
        EXPECT_TRUE(QFile::exists(Files(profile).SettingsFile()));
        EXPECT_TRUE(QFile::exists(Files(profile).ErrorLog()));
    }
    EXPECT_FALSE(QFile::exists(defaults_.SettingsFile()));
    EXPECT_FALSE(QFile::exists(defaults_.ErrorLog()));
}

TEST_F(Profiles, ANewProfileIsMadeFromTheFileMenuStartedAndOpensItsWizardAndComesToTheFront)
{
    TMain& main = Start(QString(), 1, Account(QStringLiteral("21"), QStringLiteral("u"), QStringLiteral("p")));
    EXPECT_EQ(main.windowTitle(), QStringLiteral("Tarvo Lite - Remote Surveillance"));
    QStringList started;
    main.ProfileMenu().OnStartProfile = [&started](const QString& name) {
        started << name;
        return QString();
    };
    testsupport::WhenModal(QStringLiteral("NewProfileDialog"), [](QDialog* d) {
        static_cast<QInputDialog*>(d)->setTextValue(QStringLiteral("Garden"));
        d->accept();
    });
    main.findChild<QAction*>(QStringLiteral("menuNewProfile"))->trigger();
    EXPECT_EQ(started, QStringList{QStringLiteral("Garden")});
    EXPECT_EQ(app::ProfileNames(defaults_), QStringList{QStringLiteral("Garden")});

    // Its first run: no settings yet, so the wizard comes; a second start shows the window.
    bool wizard = false;
    TMain& garden = Start(QStringLiteral("Garden"), 0, QByteArray());
    EXPECT_TRUE(garden.FirstRun());
    garden.OnShowWizard = [&wizard] { wizard = true; };
    garden.show();
    EXPECT_TRUE(testsupport::WaitUntil([&wizard] { return wizard; }));
    garden.hide();
    app::TProfileInstance running(garden.Files().Folder());
    ASSERT_TRUE(running.Acquire());
    running.OnShowRequested = [&garden] { garden.BringToFront(); };
    EXPECT_TRUE(app::TProfileInstance(garden.Files().Folder()).AskRunningToShow());
    EXPECT_TRUE(testsupport::WaitUntil([&garden] { return garden.isVisible(); }));
}

QString ShippedIndexTemplate()
{
    QFile file(QStringLiteral(TARVO_SOURCE_DIR "/dist/Server/tarvolt-index.html"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The index the wizard offers: the cameras on this account's server, each
// picture from its own folder, the names and folders escaped in the page.
TEST(CameraIndex, OneFigurePerCameraOnThisServerEscapedAndOfferedForSeveralOnly)
{
    struct Profile {
        const char* name;
        const char* folder;
        bool otherServer;
    };
    struct Case {
        const char* what;
        std::vector<Profile> profiles;  // the first is the running one; "" the default folder
        std::vector<TIndexCamera> direct;  // instead: cameras as given, names the profiles cannot hold
        bool offered;
        std::vector<const char*> shown;
        std::vector<const char*> notShown;
    };
    const std::vector<Case> cases = {
        {"one profile", {{"Garden", "garden", false}}, {}, false, {}, {}},
        {"the other on another server", {{"Garden", "garden", false}, {"Front door", "front", true}}, {}, false, {}, {}},
        {"names with spaces, folders nested and the login folder",
         {{"Front door", "cams/front door", false}, {"Garden", "", false}, {"", "/main", false}},
         {},
         true,
         {">Front door</a>", "src=\"cams/front%20door/Capture.jpg\"", "data-src=\"cams/front%20door/datetime.bmp\"",
          "href=\"cams/front%20door/tarvolt.html\"", "src=\"Capture.jpg\"", ">Tarvo Lite</a>", "src=\"main/Capture.jpg\""},
         {"<!--cameras-->"}},
        {"quotes, & and markup in names and folders",
         {},
         {{QStringLiteral("Tom's \"gate\" & <yard>"), QStringLiteral("a\"b&c'd")}, {QStringLiteral("%1 & %2"), QStringLiteral("x#y?z")}},
         true,
         {">Tom&#39;s &quot;gate&quot; &amp; &lt;yard&gt;</a>", "alt=\"Latest picture from Tom&#39;s &quot;gate&quot; &amp; &lt;yard&gt;\"",
          "src=\"a%22b%26c%27d/Capture.jpg\"", ">%1 &amp; %2</a>", "src=\"x%23y%3Fz/Capture.jpg\""},
         {"<yard>", "\"gate\"", "Tom's"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<TIndexCamera> cameras = c.direct;
        if (!c.profiles.empty()) {
            QTemporaryDir root;
            const app::ProgramFiles defaults(root.path());
            settings::FtpAccount account;
            account.host = QStringLiteral("127.0.0.1");
            account.userId = QStringLiteral("u");
            for (std::size_t i = 1; i < c.profiles.size(); ++i) {
                const Profile& p = c.profiles[i];
                const app::ProgramFiles files = app::ProgramFiles::ForProfile(defaults, QString::fromUtf8(p.name));
                QDir().mkpath(files.Folder());
                apptest::WriteFile(files.SettingsFile(), Account(QStringLiteral("21"), QString::fromLatin1(p.otherServer ? "other" : "u"),
                                                                 QStringLiteral("p"), QByteArray("Remote_Folder=") + p.folder + "\n"));
            }
            account.remoteFolder = QString::fromUtf8(c.profiles[0].folder);
            QDir().mkpath(app::ProfilesFolder(defaults) + QString::fromUtf8(c.profiles[0].name));
            cameras = app::CamerasOnServer(defaults, QString::fromUtf8(c.profiles[0].name), account);
        }
        EXPECT_EQ(CameraIndexOffered(cameras), c.offered);
        if (!c.offered)
            continue;
        const QString page = CameraIndexPage(ShippedIndexTemplate(), cameras);
        EXPECT_EQ(page.count(QStringLiteral("<figure>")), qsizetype(cameras.size()));
        for (const char* text : c.shown)
            EXPECT_TRUE(page.contains(QString::fromUtf8(text))) << text << "\n" << page.toStdString();
        for (const char* text : c.notShown)
            EXPECT_FALSE(page.contains(QString::fromUtf8(text))) << text;
    }
}

// Two profiles on one server: the wizard of one offers the index and stores
// it in the login folder, naming both folders, after its own page.
TEST_F(Profiles, TheWizardStoresTheIndexOfBothCamerasInTheLoginFolder)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    auto account = [&server](const char* folder) {
        return Account(server.PortText(), server.User(), server.Password(), QByteArray("Remote_Folder=") + folder + "\n");
    };
    const app::ProgramFiles front = Files(QStringLiteral("Front door"));
    QDir().mkpath(front.Folder());
    apptest::WriteFile(front.SettingsFile(), account("front"));
    Start(QStringLiteral("Garden"), 1, account("garden"));
    QDir().mkpath(root_.filePath(QStringLiteral("Server")));
    for (const char* name : {"tarvolt.html", "tarvolt-index.html", "stopcap.jpg", "stoptime.bmp"})
        QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/Server/") + QString::fromLatin1(name),
                    root_.filePath(QStringLiteral("Server/")) + QString::fromLatin1(name));

    TfrmWizard3* page3 = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        page3 = page3 ? page3 : qobject_cast<TfrmWizard3*>(w);
    ASSERT_NE(page3, nullptr);
    dialogs_->answers.push_back(platform::mrYes);
    page3->BitBtnFinishClick();
    ASSERT_TRUE(testsupport::WaitUntil([page3] { return !page3->Uploading(); }, 30000));

    EXPECT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_TRUE(QFile::exists(server.Root() + QStringLiteral("/garden/tarvolt.html")));
    QFile index(server.Root() + QStringLiteral("/tarvolt-index.html"));
    ASSERT_TRUE(index.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(index.readAll());
    for (const char* text : {">Front door</a>", "src=\"front/Capture.jpg\"", ">Garden</a>", "src=\"garden/Capture.jpg\""})
        EXPECT_TRUE(page.contains(QString::fromLatin1(text))) << text;
    EXPECT_FALSE(QFile::exists(server.Root() + QStringLiteral("/tarvolt.html")));
    EXPECT_TRUE(dialogs_->exceptions.isEmpty()) << dialogs_->exceptions.join(QLatin1Char('\n')).toStdString();
}

}  // namespace

namespace {

// Each profile has its own menu entry and session start, its name quoted as
// an Exec argument where it holds a space.
TEST(ProfileDesktopEntry, NamesTheProfileAndQuotesItInExec)
{
    const QString exe = QStringLiteral("/usr/bin/tarvo-lite");
    const QString entry = app::DesktopEntryText(exe, QStringLiteral("Front door"));
    EXPECT_TRUE(entry.contains(QStringLiteral("\nName=Tarvo Lite \u2014 Front door\n")));
    EXPECT_TRUE(entry.contains(QStringLiteral("\nExec=/usr/bin/tarvo-lite --profile \"Front door\"\n"))) << entry.toStdString();
    EXPECT_TRUE(app::SessionStartText(exe, QStringLiteral("Garden"))
                    .contains(QStringLiteral("\nExec=/usr/bin/tarvo-lite --profile Garden --session-start\n")));
    EXPECT_TRUE(app::SessionStartFile(QStringLiteral("/c"), QStringLiteral("Garden")).endsWith(QStringLiteral("/autostart/tarvo-lite-Garden.desktop")));
    EXPECT_EQ(app::DesktopEntryFiles(QStringLiteral("/d"), QStringLiteral("Garden")).constFirst(),
              QStringLiteral("/d/applications/tarvo-lite-Garden.desktop"));
    EXPECT_EQ(app::DesktopEntryText(exe), app::DesktopEntryText(exe, QString())) << "no profile: the entry as before";
}

}  // namespace
