#include "ui/Motion.h"
#include "ui/MotionPictures.h"
#include "ui/PrivacyMasks.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <algorithm>
#include <vector>

namespace {

TEST(MotionDialog, ShowsAndGivesBackEveryChoice)
{
    settings::MotionSettings m;
    m.enabled = true;
    m.sensitivity = 17;
    m.minAreaPercent = 9;
    m.mask = {QRect(1, 2, 3, 4)};
    m.snapshot = false;
    m.snapshotJpeg = true;
    m.record = true;
    m.recordSeconds = 42;
    m.upload = true;
    m.quietSeconds = 99;
    m.logMotion = true;
    m.outline = false;
    TfrmMotion dialog;
    dialog.SetSettings(m);
    EXPECT_EQ(dialog.Settings(), m);

    // What a choice does not use stays shown but locked.
    EXPECT_FALSE(dialog.findChild<QCheckBox*>(QStringLiteral("CheckSnapshotJpeg"))->isEnabled());
    EXPECT_TRUE(dialog.findChild<QSpinBox*>(QStringLiteral("EditRecordSeconds"))->isEnabled());
    dialog.findChild<QCheckBox*>(QStringLiteral("CheckSnapshot"))->setChecked(true);
    dialog.findChild<QCheckBox*>(QStringLiteral("CheckRecord"))->setChecked(false);
    EXPECT_TRUE(dialog.findChild<QCheckBox*>(QStringLiteral("CheckSnapshotJpeg"))->isEnabled());
    EXPECT_FALSE(dialog.findChild<QSpinBox*>(QStringLiteral("EditRecordSeconds"))->isEnabled());
}

TEST(MaskPicture, ADragAddsTheRectangleItCoversWhicheverWayItGoes)
{
    struct Drag {
        QPoint from;
        QPoint to;
        Qt::MouseButton button;
        QList<QRect> mask;  // in thousandths
    };
    // (QTest takes the point 0,0 for the widget's centre: no drag starts there.)
    const QRect quarter(500, 500, 500, 500);
    const Drag drags[] = {
        {QPoint(160, 120), QPoint(319, 239), Qt::LeftButton, {quarter}},
        {QPoint(319, 239), QPoint(160, 120), Qt::LeftButton, {quarter}},
        {QPoint(319, 120), QPoint(160, 239), Qt::LeftButton, {quarter}},
        {QPoint(160, 239), QPoint(319, 120), Qt::LeftButton, {quarter}},
        {QPoint(10, 10), QPoint(1, 1), Qt::LeftButton, {QRect(3, 4, 32, 42)}},
        {QPoint(300, 200), QPoint(400, 300), Qt::LeftButton, {QRect(937, 833, 63, 167)}},  // cut at the edge
        {QPoint(10, 10), QPoint(11, 11), Qt::LeftButton, {}},  // a click
        {QPoint(160, 120), QPoint(319, 239), Qt::RightButton, {}},
    };
    for (const Drag& d : drags) {
        TMaskPicture picture;
        picture.resize(320, 240);
        QTest::mousePress(&picture, d.button, {}, d.from);
        QTest::mouseRelease(&picture, d.button, {}, d.to);
        EXPECT_EQ(picture.Mask(), d.mask) << d.from.x() << "," << d.from.y() << " to " << d.to.x() << "," << d.to.y();
    }
}

TEST(MaskPicture, AClickSelectsTheTopmostRectangleUnderItAndDeleteRemovesIt)
{
    const QList<QRect> two = {QRect(0, 0, 500, 500), QRect(250, 250, 500, 500)};
    const struct {
        QPoint click;
        QList<QRect> left;
    } clicks[] = {
        {QPoint(100, 80), {two[0]}},  // inside both: the one drawn last
        {QPoint(40, 30), {two[1]}},
        {QPoint(300, 220), two},  // outside both: nothing to remove
    };
    for (const auto& c : clicks) {
        TMaskPicture picture;
        picture.resize(320, 240);
        picture.SetMask(two);
        int changes = 0;
        QObject::connect(&picture, &TMaskPicture::MaskChanged, [&] { ++changes; });
        QTest::mouseClick(&picture, Qt::LeftButton, {}, c.click);
        QTest::keyClick(&picture, Qt::Key_Delete);
        EXPECT_EQ(picture.Mask(), c.left) << c.click.x() << "," << c.click.y();
        EXPECT_EQ(changes, c.left.size() == 1 ? 1 : 0);
        EXPECT_EQ(picture.Selected(), -1);
    }
}

// Areas go through the editor's thousandths outwards, never smaller; each
// change is reported at once, for the outlines over the live picture.
TEST(PrivacyMasksDialog, ShowsAndGivesBackTheMasksAndReportsEachChange)
{
    using Fill = settings::PrivacyMaskSettings::Fill;
    const settings::PrivacyMaskSettings m{Fill::Blurred, {QRectF(0.1, 0.2, 0.3, 0.4), QRectF(1.0 / 3, 0, 1.0 / 3, 1)}};
    TfrmPrivacyMasks dialog;
    dialog.SetSettings(m);
    EXPECT_TRUE(dialog.findChild<QRadioButton*>(QStringLiteral("RadioBlurred"))->isChecked());
    const settings::PrivacyMaskSettings back = dialog.Settings();
    EXPECT_EQ(back.fill, Fill::Blurred);
    ASSERT_EQ(back.areas.size(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(back.areas[i].adjusted(-1e-9, -1e-9, 1e-9, 1e-9).contains(m.areas[i])) << i;
        EXPECT_LT(back.areas[i].width() - m.areas[i].width(), 0.002) << i;
    }

    QList<QList<QRectF>> reported;
    dialog.OnAreasChanged = [&](const QList<QRectF>& areas) { reported << areas; };
    QTest::mousePress(dialog.MaskPicture(), Qt::LeftButton, {}, QPoint(160, 120));
    QTest::mouseRelease(dialog.MaskPicture(), Qt::LeftButton, {}, QPoint(319, 239));
    dialog.findChild<QRadioButton*>(QStringLiteral("RadioBlack"))->setChecked(true);
    ASSERT_EQ(reported.size(), 1);
    EXPECT_EQ(reported[0].size(), 3);
    EXPECT_EQ(reported[0][2], QRectF(0.5, 0.5, 0.5, 0.5));
    EXPECT_EQ(dialog.Settings().fill, Fill::Black);
}

// A camera frame reaches the dialog without a copy, in a buffer the camera
// reuses after the call: the picture shown must be the one handed over.
TEST(MaskPicture, KeepsItsOwnPixelsOfAFrameItDidNotOwn)
{
    for (const QSize frameSize : {QSize(320, 240), QSize(640, 480), QSize(160, 120)}) {
        std::vector<uchar> buffer(std::size_t(frameSize.width()) * frameSize.height() * 3, 200);
        TMaskPicture picture;
        picture.resize(320, 240);
        picture.SetPicture(QImage(static_cast<const uchar*>(buffer.data()), frameSize.width(), frameSize.height(),
                                  frameSize.width() * 3, QImage::Format_RGB888));
        std::fill(buffer.begin(), buffer.end(), uchar(0));
        const QImage shown = picture.grab().toImage();
        EXPECT_EQ(shown.pixelColor(5, 5), QColor(200, 200, 200)) << frameSize.width() << "x" << frameSize.height();
    }
}

}  // namespace
