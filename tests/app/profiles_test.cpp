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
