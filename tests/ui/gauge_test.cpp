#include "ui/Gauge.h"

#include <QEvent>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// Colours without alpha, as Px reads them.
const QRgb kRed = 0xFF0000;
const QRgb kWhite = 0xFFFFFF;
const QRgb kBlack = 0x000000;
const QRgb kGray = 0x808080;

// Counts the paint events a widget receives.
class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

struct GaugeTest : ::testing::Test {
    TGauge gauge;

    void Setup(TGaugeKind kind, int w, int h, bool text = false)
    {
        gauge.resize(w, h);
        gauge.SetKind(kind);
        gauge.SetShowText(text);
        gauge.SetForeColor(QColor(255, 0, 0));
        gauge.SetBackColor(QColor(255, 255, 255));
        gauge.SetColor(QColor(128, 128, 128));
    }
    QRgb Px(const QImage& img, int x, int y) { return img.pixel(x, y) & 0xFFFFFF; }
};

TEST_F(GaugeTest, ProgressIsClampedAndPercentTruncated)
{
    gauge.SetProgress(-5);
    EXPECT_EQ(gauge.Progress(), 0);
    gauge.SetProgress(150);
    EXPECT_EQ(gauge.Progress(), 100);

    gauge.SetMaxValue(3);
    EXPECT_EQ(gauge.Progress(), 3) << "lowering MaxValue lowers Progress with it";
    gauge.SetProgress(1);
    EXPECT_EQ(gauge.PercentDone(), 33);
    EXPECT_EQ(gauge.PercentText(), QStringLiteral("33%"));
    gauge.SetProgress(2);
    EXPECT_EQ(gauge.PercentDone(), 66);

    gauge.SetMinValue(2);
    EXPECT_EQ(gauge.Progress(), 2);
    gauge.SetMaxValue(2);
    EXPECT_EQ(gauge.PercentDone(), 0) << "an empty range is 0 %, not a division by zero";
}

TEST_F(GaugeTest, FullIntegerRangeDoesNotOverflow)
{
    gauge.SetMinValue(-2147483647 - 1);
    gauge.SetMaxValue(2147483647);
    gauge.SetProgress(0);
    EXPECT_EQ(gauge.PercentDone(), 50);
}

TEST_F(GaugeTest, RangeViolationsRaiseInvalidOperationAndChangeNothing)
{
    try {
        gauge.SetMinValue(101);
        FAIL() << "no error";
    } catch (const EInvalidOperation& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Value must be between -2147483647 and 99"));
    }
    EXPECT_EQ(gauge.MinValue(), 0);

    gauge.SetMinValue(10);
    try {
        gauge.SetMaxValue(9);
        FAIL() << "no error";
    } catch (const EInvalidOperation& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Value must be between 11 and 2147483647"));
    }
    EXPECT_EQ(gauge.MaxValue(), 100);

    // A form being loaded may set the ends in either order.
    gauge.SetLoading(true);
    gauge.SetMinValue(500);
    gauge.SetMaxValue(1000);
    gauge.SetLoading(false);
    EXPECT_EQ(gauge.MinValue(), 500);
    EXPECT_EQ(gauge.MaxValue(), 1000);
}

TEST_F(GaugeTest, HorizontalBarAtHalfFillsLeftHalfInsideBlackFrame)
{
    Setup(gkHorizontalBar, 321, 16);
    gauge.SetProgress(50);
    const QImage img = gauge.Picture();
    ASSERT_EQ(img.size(), QSize(321, 16));

    // Filled: (1, 1) up to but excluding (160, 15).
    EXPECT_EQ(Px(img, 1, 1), kRed);
    EXPECT_EQ(Px(img, 159, 14), kRed);
    EXPECT_EQ(Px(img, 160, 1), kWhite);
    EXPECT_EQ(Px(img, 319, 14), kWhite);
    // The one-pixel frame stays black on all four sides.
    for (int x = 0; x < 321; ++x) {
        ASSERT_EQ(Px(img, x, 0), kBlack) << x;
        ASSERT_EQ(Px(img, x, 15), kBlack) << x;
    }
    for (int y = 0; y < 16; ++y) {
        ASSERT_EQ(Px(img, 0, y), kBlack) << y;
        ASSERT_EQ(Px(img, 320, y), kBlack) << y;
    }
}

TEST_F(GaugeTest, BarsWithoutBorderAndVertical)
{
    Setup(gkHorizontalBar, 100, 10);
    gauge.SetBorderStyle(bsNone);
    gauge.SetProgress(100);
    QImage img = gauge.Picture();
    EXPECT_EQ(Px(img, 0, 0), kRed);
    EXPECT_EQ(Px(img, 99, 9), kRed);

    Setup(gkVerticalBar, 16, 102);
    gauge.SetBorderStyle(bsSingle);
    gauge.SetProgress(50);
    img = gauge.Picture();
    // H = 101: the lower 50 rows of the paint rectangle fill, from y = 51.
    EXPECT_EQ(Px(img, 1, 50), kWhite);
    EXPECT_EQ(Px(img, 1, 51), kRed);
    EXPECT_EQ(Px(img, 14, 100), kRed);
    EXPECT_EQ(Px(img, 1, 101), kBlack);
}

TEST_F(GaugeTest, TextKindShowsOnlyBackground)
{
    Setup(gkText, 50, 20);
    gauge.SetProgress(70);
    const QImage img = gauge.Picture();
    EXPECT_EQ(Px(img, 1, 1), kWhite);
    EXPECT_EQ(Px(img, 48, 18), kWhite);
    EXPECT_EQ(Px(img, 0, 0), kBlack);
}

TEST_F(GaugeTest, PercentTextInvertsWhatLiesBeneath)
{
    Setup(gkHorizontalBar, 321, 16);
    gauge.SetMaxValue(3);
    gauge.SetProgress(1);
    const QImage plain = gauge.Picture();
    gauge.SetShowText(true);
    const QImage withText = gauge.Picture();

    int changed = 0;
    int inverted = 0;
    bool outsideCentre = false;
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 321; ++x) {
            const QRgb before = Px(plain, x, y);
            const QRgb after = Px(withText, x, y);
            if (before == after)
                continue;
            ++changed;
            if (x < 120 || x > 200)
                outsideCentre = true;
            // Full coverage by the white text gives the exact inverse.
            if (after == (~before & 0xFFFFFF))
                ++inverted;
        }
    }
    EXPECT_GT(changed, 10) << "\"33%\" was drawn";
    EXPECT_GT(inverted, 5) << "text pixels are the inverse of the bar and of the background";
    EXPECT_FALSE(outsideCentre) << "the text is centred";
    EXPECT_EQ(Px(withText, 0, 0), kBlack) << "the text stays inside the frame";
}

TEST_F(GaugeTest, PieAtZeroIsEmptyEllipseAndAtFullIsFilled)
{
    Setup(gkPie, 41, 41);
    gauge.SetBorderStyle(bsNone);
    QImage img = gauge.Picture();
    EXPECT_EQ(Px(img, 20, 20), kWhite) << "empty ellipse inside";
    EXPECT_EQ(Px(img, 0, 0), kGray) << "the control's colour around it";
    EXPECT_EQ(Px(img, 20, 0), kRed) << "outline";

    gauge.SetProgress(100);
    img = gauge.Picture();
    EXPECT_EQ(Px(img, 20, 20), kRed);
    EXPECT_EQ(Px(img, 10, 30), kRed);
    EXPECT_EQ(Px(img, 30, 10), kRed);
    EXPECT_EQ(Px(img, 0, 0), kGray);

    gauge.SetProgress(25);
    img = gauge.Picture();
    EXPECT_EQ(Px(img, 28, 12), kRed) << "25 % fills the upper right quarter";
    EXPECT_EQ(Px(img, 12, 12), kWhite);
    EXPECT_EQ(Px(img, 28, 28), kWhite);
    EXPECT_EQ(Px(img, 12, 28), kWhite);

    gauge.SetProgress(50);
    img = gauge.Picture();
    EXPECT_EQ(Px(img, 28, 28), kRed) << "50 % fills the right half";
    EXPECT_EQ(Px(img, 12, 28), kWhite);
}

TEST_F(GaugeTest, NeedlePointsUpAtHalfAndRightAtFull)
{
    Setup(gkNeedle, 61, 31);
    gauge.SetBorderStyle(bsNone);
    const int mx = 30;  // width div 2
    const int b = 31;   // bottom of the paint rectangle

    QImage img = gauge.Picture();
    for (int y = 3; y < b - 3; ++y)
        ASSERT_NE(Px(img, mx, y), kRed) << "no needle at 0 %, y " << y;

    gauge.SetProgress(50);
    img = gauge.Picture();
    for (int y = 3; y < b - 3; ++y)
        ASSERT_EQ(Px(img, mx, y), kRed) << "vertical needle, y " << y;
    EXPECT_EQ(Px(img, mx - 10, b / 2), kWhite) << "dial inside";

    gauge.SetProgress(90);
    img = gauge.Picture();
    EXPECT_EQ(Px(img, 45, 25), kRed) << "90 %: up and to the right";
    EXPECT_NE(Px(img, mx, b / 2), kRed);

    // At 100 % the needle lies on the dial's right base radius.
    gauge.SetProgress(100);
    img = gauge.Picture();
    EXPECT_NE(Px(img, 45, 25), kRed);
    EXPECT_NE(Px(img, mx, b / 2), kRed);
    for (int x = mx + 2; x < 2 * mx - 2; ++x)
        ASSERT_EQ(Px(img, x, b - 1), kRed) << "needle to the right, x " << x;
}

TEST_F(GaugeTest, RepaintsOnlyWhenThePictureChanges)
{
    Setup(gkHorizontalBar, 321, 16, true);
    gauge.SetMaxValue(1000);
    gauge.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&gauge));
    QCoreApplication::processEvents();
    PaintCounter counter;
    gauge.installEventFilter(&counter);

    gauge.SetProgress(100);
    EXPECT_EQ(counter.paints, 1) << "repainted at once, without the event loop";
    gauge.SetProgress(104);
    EXPECT_EQ(gauge.Progress(), 104);
    EXPECT_EQ(counter.paints, 1) << "still 10 %: no repaint";
    gauge.SetProgress(110);
    EXPECT_EQ(counter.paints, 2);

    gauge.SetForeColor(QColor(255, 0, 0));
    gauge.SetKind(gkHorizontalBar);
    gauge.SetShowText(true);
    EXPECT_EQ(counter.paints, 2) << "unchanged properties do not repaint";
    gauge.SetBackColor(Qt::yellow);
    EXPECT_EQ(counter.paints, 3);
    gauge.removeEventFilter(&counter);
}

}  // namespace
