// Privacy masks in the whole program with the test-pattern camera's room and
// its visitor: every picture the program shows, saves, records, uploads or
// compares has the masked area filled, and what moves there is no motion.
#include "app/MotionWatch.h"
#include "app/PrivacyMasks.h"
#include "app/UpdatePictures.h"
#include "capture/engine/CaptureDevice.h"
#include "capture/engine/PrivacyMask.h"
#include "motion/Detector.h"
#include "tests/app/main_window_fixture.h"
#include "tests/support/capture_files.h"
#include "tests/support/mask_checks.h"
#include "ui/MotionPictures.h"
#include "ui/PrivacyMasks.h"

#include <QRadioButton>
#include <QTest>

using namespace apptest;
using platform::capture::TestScene;
using testsupport::WaitUntil;

namespace {

struct FillCase {
    const char* name;
    const char* setting;
    bool black;
};

void PrintTo(const FillCase& c, std::ostream* os)
{
    *os << c.name;
}

class MaskedProgramBase : public MainWindowTest
{
protected:
    MaskedProgramBase() { platform::capture::SetTestPatternScene(TestScene::Visitor); }
    ~MaskedProgramBase() override { platform::capture::SetTestPatternScene(TestScene::Bars); }

    // Motion detection on (the clock masked from it, a snapshot a event), the
    // privacy mask area, and the camera at 30 frames a second so that the
    // visitor comes soon.
    void LaunchMasked(const QRectF& area, const char* fill)
    {
        const QByteArray fraction = settings::PrivacyAreaToText(area).toLatin1();
        StoreSettings("[Other Settings]\nFirstRun=0\n[Motion]\nEnabled=1\nMask=0,875,1000,125\nQuietSeconds=1\n"
                      "[Privacy Masks]\nFill=" + QByteArray(fill) + "\nMask1=" + fraction + "\n");
        LaunchWithCamera();
        Main().VideoCap1()->SetPreviewRate(30);
    }

    // A frame as motion detection gets it, after skip others; at the frame
    // handler's size if given (the watcher's own asks for whole frames).
    QImage DetectorInput(QSize handlerSize = {}, int skip = 0)
    {
        QImage seen;
        Main().MotionWatch().SetPictureWatcher([&](const QImage& frame) {
            if (seen.isNull() && skip-- <= 0)
                seen = frame.copy();
        });
        if (!handlerSize.isEmpty())
            Main().VideoCap1()->SetFrameCallbackSize(handlerSize);
        EXPECT_TRUE(WaitUntil([&] { return !seen.isNull(); }));
        Main().MotionWatch().SetPictureWatcher(nullptr);
        return seen;
    }

    QStringList MotionPictures() const
    {
        return QDir(Path(QStringLiteral("Snapshots"))).entryList({"motion-*"}, QDir::Files, QDir::Name);
    }
};

class MaskedProgram : public MaskedProgramBase, public ::testing::WithParamInterface<FillCase>
{
protected:
    void LaunchMasked(const QRectF& area) { MaskedProgramBase::LaunchMasked(area, GetParam().setting); }
};

// The visitor walks through the left half of the room, which is masked, into
// the right half, where motion detection sees him.
TEST_P(MaskedProgram, EveryPictureOfEveryOutputHasTheAreaFilled)
{
    const QRectF area(0.0, 0.2, 0.5, 0.65);
    LaunchMasked(area);
    TVideoCap& cap = *Main().VideoCap1();
    ASSERT_TRUE(WaitUntil([&] { return cap.VideoOverlay() || cap.VideoPreview(); }));
    const QSize small(motion::kWorkWidth, motion::kWorkHeight);

    struct Output {
        const char* what;
        std::function<QImage()> take;
        int inset;      // pixels of the area's rim not judged: scaling, block coding, motion outlines
        int tolerance;  // levels a lossy encoder may add
    };
    const Output outputs[] = {
        {"motion detector input", [&] { return DetectorInput(); }, 0, 0},
        {"live picture as painted",
         [&] { return platform::WindowWidget(cap.CaptureWindow())->grab().toImage(); }, 2, 0},
        {"Capture.jpg",
         [&] {
             Main().UpdatePictures().Produce(TUpdatePictures::Moment::Tick);
             return QImage(Path(QStringLiteral("Capture.jpg")));
         },
         16, 16},
        {"snapshot",
         [&] {
             Find<QPushButton>("btnSnapshot")->click();
             return QImage(Path(QStringLiteral("Snapshots/Snapshot.bmp")));
         },
         0, 0},
        {"AVI frame",
         [&] {
             cap.SetVideoFileName(Path(QStringLiteral("Videos/masked.avi")));
             cap.SetCapTimeLimit(1);
             if (!cap.StartCapture() || !WaitUntil([&] { return !cap.CapturingNow(); }, 10000))
                 return QImage();
             cap.SetCapTimeLimit(0);
             QImage first;
             testsupport::ReadAvi(cap.VideoFileName(), &first);
             return first;
         },
         16, 16},
        {"motion picture",
         [&] {
             WaitUntil([&] { return !MotionPictures().isEmpty(); }, 30000);
             return MotionPictures().isEmpty() ? QImage() : QImage(Path("Snapshots/" + MotionPictures().first()));
         },
         // A changed block beside the area may be outlined: a block and the pen.
         320 / 20 + 2, 0},
        // Frames decoded small for a small window and the detector, and one
        // of them decoded again whole for a grab.
        {"preview frame decoded small",
         [&] {
             // Scaled to the control as it is now (a hidden one hears of no resize).
             cap.resize(small);
             cap.SetPreviewScaleProportional(false);
             cap.SetPreviewScaleToWindow(false);
             cap.SetPreviewScaleToWindow(true);
             DetectorInput(small, 3);  // frames read since the window shrank
             QWidget* live = platform::WindowWidget(cap.CaptureWindow());
             live->repaint();
             return live->size() == small ? live->grab().toImage() : QImage();
         },
         0, 0},
        {"detector input at its size",
         [&] {
             const QImage frame = DetectorInput(small);
             return frame.size() == small ? frame : QImage();
         },
         0, 0},
        {"grab of a frame shown small",
         [&] {
             const QImage frame = cap.GrabbedFrame();
             return frame.size() == QSize(cap.ImageWidth(), cap.ImageHeight()) ? frame : QImage();
         },
         0, 0},
    };
    for (const Output& o : outputs) {
        const QImage picture = o.take();
        ASSERT_FALSE(picture.isNull()) << o.what;
        const QRect inside = platform::capture::MaskPixels(area, picture.size()).adjusted(o.inset, o.inset, -o.inset, -o.inset);
        const testsupport::MaskFillCheck check = testsupport::CheckMaskFill(picture, inside, GetParam().black, o.tolerance);
        EXPECT_TRUE(check.ok) << o.what << ": " << check.why.toStdString();
        // The rest of the room is there: the picture is no black frame.
        const QRect rest = platform::capture::MaskPixels(QRectF(0.55, 0.1, 0.4, 0.1), picture.size());
        EXPECT_GT(qGray(picture.pixel(rest.center())), 60) << o.what;
    }
}

// The whole path of the visitor is masked: from his first step to his last
// nothing is motion, blurred or black.
TEST_P(MaskedProgram, AVisitorInsideTheMaskNeverStartsAMotionEvent)
{
    LaunchMasked(QRectF(0.05, 0.2, 0.9, 0.65));
    // The camera numbers its frames in the bottom row, outside the mask.
    std::uint64_t frame = 0;
    Main().MotionWatch().SetPictureWatcher(
        [&](const QImage& picture) { frame = platform::capture::TestPatternFrameNumber(picture); });
    const bool walkedThrough = WaitUntil(
        [&] { return frame > platform::capture::kVisitorFirstFrame + platform::capture::kVisitorFrames; }, 30000);
    Main().MotionWatch().SetPictureWatcher(nullptr);
    ASSERT_TRUE(walkedThrough);
    EXPECT_EQ(Main().MotionWatch().Events(), 0);
    EXPECT_TRUE(MotionPictures().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Fill, MaskedProgram,
                         ::testing::Values(FillCase{"black", "Black", true}, FillCase{"blurred", "Blurred", false}),
                         [](const ::testing::TestParamInfo<FillCase>& info) { return std::string(info.param.name); });

// The menu item's dialog: a still as the camera took it, the live picture
// unfilled with outlines while it is open and every other picture still
// filled; OK stores and applies the areas as edited.
using MaskDialog = MaskedProgramBase;

TEST_F(MaskDialog, ShowsWhatTheAreasCoverToTheEditorAloneAndOkStoresTheNewAreas)
{
    const QRectF area(0.0, 0.2, 0.5, 0.65);
    LaunchMasked(area, "Black");
    TVideoCap& cap = *Main().VideoCap1();
    ASSERT_TRUE(WaitUntil([&] { return cap.VideoOverlay() || cap.VideoPreview(); }));
    auto filled = [&](const QImage& picture, const QRectF& a, bool black, int inset) {
        const QRect r = platform::capture::MaskPixels(a, picture.size()).adjusted(inset, inset, -inset, -inset);
        return testsupport::CheckMaskFill(picture, r, black, 0).ok;
    };

    bool shown = false;
    WhenModal(QStringLiteral("frmPrivacyMasks"), [&](QDialog* d) {
        auto* dialog = static_cast<TfrmPrivacyMasks*>(d);
        shown = true;
        EXPECT_TRUE(dialog->MaskPicture()->HasPicture());
        EXPECT_FALSE(filled(cap.UnmaskedFrame(), area, true, 0)) << "the still shows what the area covers";
        QWidget* live = platform::WindowWidget(cap.CaptureWindow());
        live->repaint();
        EXPECT_FALSE(filled(live->grab().toImage(), area, true, 4)) << "the live picture too, outlined";
        EXPECT_TRUE(filled(DetectorInput(), area, true, 0)) << "everything else still gets it filled";
        EXPECT_TRUE(filled(cap.GrabbedFrame(), area, true, 0));

        // The area removed, another drawn, blurred.
        TMaskPicture* picture = dialog->MaskPicture();
        QTest::mouseClick(picture, Qt::LeftButton, {}, QPoint(80, 120));
        QTest::keyClick(picture, Qt::Key_Delete);
        QTest::mousePress(picture, Qt::LeftButton, {}, QPoint(170, 10));
        QTest::mouseRelease(picture, Qt::LeftButton, {}, QPoint(310, 100));
        dialog->findChild<QRadioButton*>(QStringLiteral("RadioBlurred"))->setChecked(true);
        dialog->findChild<QPushButton*>(QStringLiteral("OKBtn"))->click();
    });
    Action("menuPrivacyMasks")->trigger();
    ASSERT_TRUE(shown);

    const QRectF drawn(0.531, 0.041, 0.441, 0.38);
    const settings::PrivacyMaskSettings stored = Main().ProgramSettings().ReadPrivacyMasks();
    EXPECT_EQ(stored.fill, settings::PrivacyMaskSettings::Fill::Blurred);
    ASSERT_EQ(stored.areas.size(), 1);
    EXPECT_LT((stored.areas[0].topLeft() - drawn.topLeft()).manhattanLength() + std::abs(stored.areas[0].width() - drawn.width()),
              1e-6);
    EXPECT_EQ(cap.PrivacyMask().areas, stored.areas);
    EXPECT_FALSE(cap.PrivacyMaskEditing());
    EXPECT_TRUE(cap.UnmaskedFrame().isNull());
    const QImage after = DetectorInput();
    EXPECT_TRUE(filled(after, drawn, false, 0));
    EXPECT_FALSE(filled(after, area, true, 0)) << "the removed area is shown again";
}

}  // namespace
