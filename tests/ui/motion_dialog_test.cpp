#include "ui/Motion.h"
#include "ui/MotionPictures.h"

#include <gtest/gtest.h>

#include <QCheckBox>
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
