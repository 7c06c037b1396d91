// The privacy mask fill on pictures made here: what changes, and what is left
// of a bright visitor inside an area.
#include "capture/engine/PrivacyMask.h"
#include "tests/support/mask_checks.h"

#include <gtest/gtest.h>

#include <QPainter>

using namespace platform::capture;
using testsupport::MaskFillCheck;

namespace {

TEST(PrivacyMask, AreasCoverEveryPixelTheyTouchAndStayInsideThePicture)
{
    const struct {
        QRectF area;
        QSize size;
        QRect pixels;
    } cases[] = {
        {{0.25, 0.25, 0.5, 0.5}, {640, 480}, {160, 120, 320, 240}},
        {{0.1, 0.1, 0.1, 0.1}, {1920, 1080}, {192, 108, 192, 108}},   // edges land on pixel edges
        {{1.0 / 3, 0, 1.0 / 3, 1}, {320, 240}, {106, 0, 108, 240}},    // 106.7 .. 213.3: outwards
        {{0.0031, 0.9999, 0.0001, 0.0001}, {320, 240}, {0, 239, 2, 1}},  // a sliver across a pixel edge: both
        {{0.9, 0.9, 0.5, 0.5}, {320, 240}, {288, 216, 32, 24}},        // cut to the picture
        {{1.2, 0, 0.1, 0.1}, {320, 240}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MaskPixels(c.area, c.size), c.pixels) << c.area.x() << "," << c.area.y() << " at " << c.size.width();
}

// A grained room with a bright visitor inside the first area and a second
// area running off the picture. Black leaves exactly black; blur leaves no
// edge of the visitor; nothing outside the areas changes.
TEST(PrivacyMask, BlackIsBlackBlurLeavesNoEdgeAndNothingOutsideChanges)
{
    for (const QSize size : {QSize(320, 240), QSize(1920, 1080)}) {
        for (const MaskFill fill : {MaskFill::Black, MaskFill::Blur}) {
            QImage scene(size, QImage::Format_RGB888);
            std::uint32_t grain = 7;
            for (int y = 0; y < size.height(); ++y) {
                uchar* p = scene.scanLine(y);
                for (int i = 0; i < size.width() * 3; ++i) {
                    grain = grain * 1664525u + 1013904223u;
                    p[i] = uchar(60 + (grain >> 27));
                }
            }
            const PrivacyMask mask{fill, {QRectF(0.1, 0.2, 0.4, 0.5), QRectF(0.8, 0.7, 0.5, 0.5)}};
            const QRect visitor = MaskPixels(QRectF(0.2, 0.3, 0.1, 0.3), size);
            QPainter(&scene).fillRect(visitor, Qt::white);
            QImage masked = scene.copy();
            ApplyPrivacyMask(masked, mask);

            const QString what = QStringLiteral("%1x%2 %3")
                                     .arg(size.width())
                                     .arg(size.height())
                                     .arg(fill == MaskFill::Black ? "black" : "blur");
            QRegion areas;
            for (const QRectF& a : mask.areas)
                areas += MaskPixels(a, size);
            for (int y = 0; y < size.height(); ++y)
                for (int x = 0; x < size.width(); ++x)
                    if (!areas.contains(QPoint(x, y)) && scene.pixel(x, y) != masked.pixel(x, y))
                        FAIL() << what.toStdString() << ": changed outside the areas at " << x << "," << y;
            for (const QRect& r : areas) {
                const MaskFillCheck check = testsupport::CheckMaskFill(masked, r, fill == MaskFill::Black, 0);
                EXPECT_TRUE(check.ok) << what.toStdString() << ": " << check.why.toStdString();
                if (fill == MaskFill::Blur) {
                    EXPECT_GT(testsupport::EdgeVariance(scene, r), 5 * testsupport::kBlurEdgeVarianceBound)
                        << "the scene itself has edges there";
                }
            }
        }
    }
}

}  // namespace
