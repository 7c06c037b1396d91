// Motion detection in the program: the actions of each event on frames of the
// test-pattern camera's room fed directly with a stepped clock, and the whole
// program with that camera, its menu item and a real loopback FTP server.
#include "app/ErrorLog.h"
#include "app/MotionWatch.h"
#include "capture/engine/CaptureDevice.h"
#include "tests/app/main_window_fixture.h"
#include "tests/support/ftp_real_server.h"
#include "ui/Motion.h"
#include "ui/MotionPictures.h"

#include <QCheckBox>
#include <QDir>
#include <QScopeGuard>
#include <QTest>

using namespace apptest;
using platform::capture::TestScene;
using testsupport::WaitUntil;

namespace {

const QDateTime kStart(QDate(2024, 5, 6), QTime(7, 8, 0));

settings::MotionSettings Enabled()
{
    settings::MotionSettings m;
    m.enabled = true;
    const QRect clock = platform::capture::TestPatternClockArea();
    m.mask = {clock};
    return m;
}

struct EventCase {
    const char* what;
    int quietSeconds;
    bool jpeg;
    qint64 updateFromMs;  // the fake website update is active from then on
    int events;
    int uploads;
    int firstUploadSecond;
};

void PrintTo(const EventCase& c, std::ostream* os)
{
    *os << c.what;
}

// Three visits of the room, 20 s apart (a visit is seen 3 s into each).
class MotionEvents : public ::testing::TestWithParam<EventCase>
{
};

TEST_P(MotionEvents, EachEventActsOnceAndUploadsRespectTheirLimitAndTheUpdate)
{
    const EventCase& c = GetParam();
    QTemporaryDir dir;
    const app::ProgramFiles files(dir.path());
    files.CreateWorkingFiles();
    TLogForm viewer;
    viewer.SetProgramFolder(files.Folder());
    TErrorLog log(viewer);
    log.SetLogErrors(false);  // motion lines follow "Log motion" alone
    TVideoCap cap;
    TMotionWatch watch(cap, files, log);

    qint64 nowMs = 0;
    watch.Now = [&] { return kStart.addMSecs(nowMs); };
    QStringList recorded;
    watch.OnRecord = [&](const QString& file, int seconds) {
        recorded << QStringLiteral("%1 %2").arg(QFileInfo(file).fileName()).arg(seconds);
        return true;
    };
    QList<qint64> uploads;
    watch.OnUpload = [&](const QImage& picture) {
        EXPECT_EQ(picture.size(), QSize(320, 240));
        if (nowMs < c.updateFromMs)
            return false;
        uploads << nowMs;
        return true;
    };
    settings::MotionSettings m = Enabled();
    m.quietSeconds = c.quietSeconds;
    m.snapshotJpeg = c.jpeg;
    m.record = true;
    m.recordSeconds = 7;
    m.upload = true;
    m.logMotion = true;
    watch.Apply(m);

    QImage frame;
    for (std::uint64_t n = 0; n < 3 * platform::capture::kSceneCycleFrames; ++n) {
        nowMs = qint64(n) * 1000 / 15;
        platform::capture::RenderTestScene(TestScene::Visitor, n, QSize(320, 240), QTime(0, 0), frame);
        watch.Feed(frame.constBits(), frame.width(), frame.height(), frame.bytesPerLine());
        testsupport::DrainEvents();
    }

    EXPECT_EQ(watch.Events(), c.events) << c.what;
    const QStringList snapshots = QDir(files.SnapshotsFolder()).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(snapshots.size(), c.events) << c.what;
    EXPECT_EQ(snapshots.first(), QStringLiteral("motion-20240506-070803") + (c.jpeg ? ".jpg" : ".bmp")) << c.what;
    EXPECT_EQ(recorded.size(), c.events) << c.what;
    EXPECT_EQ(recorded.first(), QStringLiteral("motion-20240506-070803.avi 7")) << c.what;
    const QStringList lines = LogLines(files.ErrorLog());
    ASSERT_EQ(lines.size(), c.events) << c.what;
    EXPECT_TRUE(lines.first().contains(QStringLiteral(" :   Motion = ")));
    EXPECT_TRUE(lines.first().endsWith(snapshots.first()));
    ASSERT_EQ(uploads.size(), c.uploads) << c.what;
    EXPECT_EQ(uploads.first() / 1000, c.firstUploadSecond) << c.what;
    for (int i = 1; i < uploads.size(); ++i)
        EXPECT_GE(uploads[i] - uploads[i - 1], TMotionWatch::kUploadEveryMs) << c.what;

    // The changed area is outlined in red; nothing in the room is that red.
    const QImage shot = QImage(files.SnapshotsFolder() + snapshots.first()).convertToFormat(QImage::Format_RGB888);
    int red = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            const QColor p = shot.pixelColor(x, y);
            red += p.red() > 200 && p.green() < 60 && p.blue() < 60;
        }
    }
    EXPECT_GT(red, 200) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Watch, MotionEvents,
    ::testing::Values(EventCase{"quiet 10 s: one event a visit, the second upload too soon", 10, false, 0, 3, 2, 3},
                      EventCase{"quiet 30 s: the second visit falls into it", 30, true, 0, 2, 2, 3},
                      EventCase{"quiet 1 s: an event a second while someone walks", 1, false, 0, 12, 2, 3},
                      EventCase{"the update starts after the first visit", 10, false, 10000, 3, 1, 23}),
    [](const ::testing::TestParamInfo<EventCase>& info) { return "Case" + std::to_string(info.index); });

// --- the whole program -------------------------------------------------------------

class MotionProgram : public MainWindowTest
{
protected:
    MotionProgram() { platform::capture::SetTestPatternScene(TestScene::Visitor); }
    ~MotionProgram() override { platform::capture::SetTestPatternScene(TestScene::Bars); }

    QStringList Snapshots() const
    {
        return QDir(Path(QStringLiteral("Snapshots"))).entryList({"motion-*"}, QDir::Files);
    }
};

TEST_F(MotionProgram, TheMenuItemsDialogSavesTheSectionAndDetectionFollowsIt)
{
    StoreSettings("[Other Settings]\nFirstRun=0\n");
    LaunchWithCamera();
    auto* lamp = Find<QLabel>("lblMotion");
    EXPECT_FALSE(lamp->isVisibleTo(&Main())) << "off without the section";

    bool pictureShown = false;
    testsupport::WhenModal(QStringLiteral("frmMotion"), [&](QDialog* d) {
        auto* dialog = static_cast<TfrmMotion*>(d);
        TMaskPicture* mask = dialog->MaskPicture();
        pictureShown = WaitUntil([&] { return mask->HasPicture(); });
        dialog->findChild<QCheckBox*>(QStringLiteral("CheckEnabled"))->setChecked(true);
        // The bottom eighth masked by a drag across the picture; a second drag, then cleared.
        QTest::mousePress(mask, Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mouseMove(mask, QPoint(120, 120));
        QTest::mouseRelease(mask, Qt::LeftButton, {}, QPoint(120, 120));
        dialog->findChild<QPushButton*>(QStringLiteral("BtnClearMask"))->click();
        QTest::mousePress(mask, Qt::LeftButton, {}, QPoint(319, 210));
        QTest::mouseMove(mask, QPoint(0, 239));
        QTest::mouseRelease(mask, Qt::LeftButton, {}, QPoint(0, 239));
        dialog->findChild<QPushButton*>(QStringLiteral("OKBtn"))->click();
    });
    Action("menuMotion")->trigger();
    EXPECT_TRUE(pictureShown);
    const settings::MotionSettings stored = Main().ProgramSettings().ReadMotion();
    EXPECT_TRUE(stored.enabled);
    EXPECT_EQ(stored.mask, (QList<QRect>{QRect(0, 875, 1000, 125)}));
    EXPECT_EQ(Main().MotionWatch().Settings(), stored);
    EXPECT_TRUE(lamp->isVisibleTo(&Main()));
}

TEST_F(MotionProgram, TheVisitorIsSnappedAndHisPictureUploadedAtOnce)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    StoreSettings(Account(server.PortText(), server.User(), server.Password(), "Update_Interval=999\n") +
                  "[Motion]\nEnabled=1\nMask=0,875,1000,125\nUpload=1\nQuietSeconds=1\nLogMotion=1\n"
                  "Record=1\nRecordSeconds=1\n");
    LaunchWithCamera();
    TVideoCap& cap = *Main().VideoCap1();
    const QString videoFile = cap.VideoFileName();
    Press();  // the update's own upload, at once
    const QString remote = server.Root() + QStringLiteral("/Capture.jpg");
    const QByteArray first = ReadFile(remote);
    ASSERT_FALSE(first.isEmpty());

    ASSERT_TRUE(WaitUntil([&] { return !Snapshots().isEmpty(); }, 30000));
    EXPECT_TRUE(Snapshots().first().endsWith(QStringLiteral(".bmp")));
    // While he walks: the lamp and the outline over the live picture.
    TMotionOutline* outline = Main().MotionWatch().Outline();
    EXPECT_TRUE(WaitUntil([&] { return Main().MotionWatch().MotionShown() && !outline->Blocks().isEmpty(); }));
    EXPECT_TRUE(outline->isVisibleTo(&Main()));
    EXPECT_EQ(outline->geometry(), platform::WindowWidget(cap.CaptureWindow())->geometry());

    // A second's video, with the capture's own choices back afterwards and
    // the controls the update locks still locked.
    ASSERT_TRUE(WaitUntil([&] { return !QDir(Path(QStringLiteral("Videos"))).entryList({"motion-*.avi"}).isEmpty(); }));
    ASSERT_TRUE(WaitUntil([&] { return !cap.CapturingNow() && !Main().MotionWatch().OwnsRecording(); }, 30000));
    EXPECT_EQ(cap.VideoFileName(), videoFile);
    EXPECT_EQ(cap.CapTimeLimit(), 0);
    EXPECT_FALSE(Find<QWidget>("GroupBox1")->isEnabled());
    EXPECT_FALSE(Action("menuWizard")->isEnabled());
    // An event that meets no running upload sends its picture.
    ASSERT_TRUE(WaitUntil([&] { return !Main().SequenceRunning() && ReadFile(remote) != first; }, 30000));
    WaitIdle();
    EXPECT_EQ(ReadFile(remote), ReadFile(Path(QStringLiteral("Capture.jpg"))));
    EXPECT_TRUE(Main().Timer1().isActive());
    EXPECT_GT(Main().Timer1().remainingTime(), 900 * 60000) << "the update's timer is left alone";
    const QStringList lines = LogLines();
    EXPECT_FALSE(lines.filter(QStringLiteral(" :   Motion = ")).isEmpty());
    EXPECT_TRUE(lines.filter(QStringLiteral("Error")).isEmpty()) << lines.join(QLatin1Char('\n')).toStdString();
}

}  // namespace
