#include "ui/Gauge.h"

#include <QPainter>
#include <QPaintEvent>

#include <cmath>
#include <limits>
#include <numbers>

namespace {

// The platform's window-frame colour.
const QColor kWindowFrameColor(0, 0, 0);

// Rectangle fill: covers the left and top edges, excludes the right and bottom.
void FillRect(QPainter& g, int l, int t, int r, int b, const QColor& color)
{
    if (r > l && b > t)
        g.fillRect(QRect(l, t, r - l, b - t), color);
}

// The rectangle that an ellipse with corners (l, t) and (r, b) is drawn in,
// excluding the right and bottom edges, for an aliased one-pixel pen.
QRect EllipseRect(int l, int t, int r, int b)
{
    return QRect(l, t, std::max(0, r - l - 1), std::max(0, b - t - 1));
}

// The ellipse's own angle (in sixteenths of a degree) for the radial through
// a point; Qt measures pie angles on the ellipse's parameter circle.
double RadialAngle16(const QRect& ellipse, double px, double py)
{
    const QRectF e(ellipse);
    const double a = std::max(e.width() / 2.0, 0.5);
    const double b = std::max(e.height() / 2.0, 0.5);
    const double dx = px - e.center().x();
    const double dy = e.center().y() - py;
    if (dx == 0 && dy == 0)
        return 0;
    return std::atan2(dy / b, dx / a) * 180.0 / std::numbers::pi * 16.0;
}

// The platform's pie: from the radial through the start point counter-clockwise
// to the radial through the end point; coinciding radials give the whole ellipse.
void DrawPie(QPainter& g, const QRect& ellipse, double sx, double sy, double ex, double ey)
{
    const double start = RadialAngle16(ellipse, sx, sy);
    const double end = RadialAngle16(ellipse, ex, ey);
    double span = std::fmod(end - start, 360.0 * 16);
    if (span < 0)
        span += 360.0 * 16;
    if (std::lround(span) == 0)
        span = 360.0 * 16;
    g.drawPie(ellipse, static_cast<int>(std::lround(start)), static_cast<int>(std::lround(span)));
}

// The platform's line: the end point itself is not drawn.
void DrawLine(QPainter& g, int x1, int y1, int x2, int y2)
{
    if (x1 == x2 && y1 == y2)
        return;
    const int dx = x2 - x1;
    const int dy = y2 - y1;
    const int steps = std::max(std::abs(dx), std::abs(dy));
    // Step back one pixel along the major axis from the end point.
    const int ex = x2 - static_cast<int>(std::lround(static_cast<double>(dx) / steps));
    const int ey = y2 - static_cast<int>(std::lround(static_cast<double>(dy) / steps));
    g.drawLine(x1, y1, ex, ey);
}

// Combines a source into a destination of the same size by exclusive or.
void XorInto(QImage& dst, const QImage& src)
{
    for (int y = 0; y < dst.height() && y < src.height(); ++y) {
        auto* d = reinterpret_cast<QRgb*>(dst.scanLine(y));
        const auto* s = reinterpret_cast<const QRgb*>(src.constScanLine(y));
        for (int x = 0; x < dst.width() && x < src.width(); ++x)
            d[x] = 0xFF000000u | ((d[x] ^ s[x]) & 0x00FFFFFFu);
    }
}

int RoundHalfEven(double v)
{
    return static_cast<int>(std::nearbyint(v));  // default rounding mode: to nearest, halves to even
}

}  // namespace

void TBltBitmap::MakeLike(const QImage& templ)
{
    QImage img(templ.size(), QImage::Format_RGB32);
    img.fill(kWindowFrameColor);
    static_cast<QImage&>(*this) = img;
}

TGauge::TGauge(QWidget* parent) : QWidget(parent)
{
    // Opaque: the gauge covers its whole area on every paint.
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(100, 100);
}

std::int32_t TGauge::SolveForX(double y, double z)
{
    if (z == 0)
        return 0;
    return static_cast<std::int32_t>(std::trunc(y * 100.0 / z));
}

std::int32_t TGauge::SolveForY(double x, double z)
{
    return static_cast<std::int32_t>(std::trunc(z * (x * 0.01)));
}

std::int32_t TGauge::PercentDone() const
{
    // In double: MaxValue - MinValue may exceed the 32-bit range.
    return SolveForX(static_cast<double>(progress_) - minValue_, static_cast<double>(maxValue_) - minValue_);
}

QString TGauge::PercentText() const
{
    return QStringLiteral("%1%").arg(PercentDone());
}

void TGauge::Refresh()
{
    // Synchronous, so that steps made inside a long operation show at once.
    repaint();
}

void TGauge::SetMinValue(std::int32_t value)
{
    if (value == minValue_)
        return;
    if (value > maxValue_ && !loading_)
        throw EInvalidOperation(QStringLiteral("Value must be between %1 and %2")
                                    .arg(-std::numeric_limits<std::int32_t>::max())
                                    .arg(static_cast<qint64>(maxValue_) - 1));
    minValue_ = value;
    if (progress_ < value)
        progress_ = value;
    Refresh();
}

void TGauge::SetMaxValue(std::int32_t value)
{
    if (value == maxValue_)
        return;
    if (value < minValue_ && !loading_)
        throw EInvalidOperation(QStringLiteral("Value must be between %1 and %2")
                                    .arg(static_cast<qint64>(minValue_) + 1)
                                    .arg(std::numeric_limits<std::int32_t>::max()));
    maxValue_ = value;
    if (progress_ > value)
        progress_ = value;
    Refresh();
}

void TGauge::SetProgress(std::int32_t value)
{
    // A form being loaded may hold MinValue above MaxValue for a moment.
    if (value < minValue_)
        value = minValue_;
    else if (value > maxValue_)
        value = maxValue_;
    if (value == progress_)
        return;
    const std::int32_t before = PercentDone();
    progress_ = value;
    if (PercentDone() != before)
        Refresh();
}

void TGauge::SetKind(TGaugeKind value)
{
    if (value == kind_)
        return;
    kind_ = value;
    Refresh();
}

void TGauge::SetShowText(bool value)
{
    if (value == showText_)
        return;
    showText_ = value;
    Refresh();
}

void TGauge::SetBorderStyle(TBorderStyle value)
{
    if (value == borderStyle_)
        return;
    borderStyle_ = value;
    Refresh();
}

void TGauge::SetForeColor(const QColor& value)
{
    if (value == foreColor_)
        return;
    foreColor_ = value;
    Refresh();
}

void TGauge::SetBackColor(const QColor& value)
{
    if (value == backColor_)
        return;
    backColor_ = value;
    Refresh();
}

QColor TGauge::Color() const
{
    return palette().color(QPalette::Window);
}

void TGauge::SetColor(const QColor& value)
{
    if (value == Color())
        return;
    QPalette p = palette();
    p.setColor(QPalette::Window, value);
    setPalette(p);
    Refresh();
}

QImage TGauge::Picture() const
{
    // Work bitmap, blackened.
    QImage work(std::max(width(), 0), std::max(height(), 0), QImage::Format_RGB32);
    work.fill(Qt::black);
    if (work.isNull())
        return work;

    PaintRect r{0, 0, width(), height()};
    if (borderStyle_ == bsSingle)
        r = PaintRect{r.L + 1, r.T + 1, r.R - 1, r.B - 1};

    TBltBitmap overlay;
    overlay.MakeLike(work);
    overlay.fill(Qt::black);
    switch (kind_) {
    case gkText: PaintAsText(overlay, r); break;
    case gkHorizontalBar:
    case gkVerticalBar: PaintAsBar(overlay, r); break;
    case gkPie: PaintAsPie(overlay, r); break;
    case gkNeedle: PaintAsNeedle(overlay, r); break;
    }
    XorInto(work, overlay);
    if (showText_)
        DrawText(work, r);
    return work;
}

void TGauge::paintEvent(QPaintEvent*)
{
    QPainter g(this);
    g.drawImage(0, 0, Picture());
}

void TGauge::PaintAsText(QImage& image, const PaintRect& r) const
{
    QPainter g(&image);
    FillRect(g, r.L, r.T, r.R, r.B, backColor_);
}

void TGauge::PaintAsBar(QImage& image, const PaintRect& r) const
{
    const int W = r.R - r.L + 1;
    const int H = r.B - r.T + 1;
    QPainter g(&image);
    FillRect(g, r.L, r.T, r.R, r.B, backColor_);
    if (kind_ == gkHorizontalBar) {
        int w = SolveForY(PercentDone(), W);
        if (w > W)
            w = W;
        if (w > 0)
            FillRect(g, r.L, r.T, w, H, foreColor_);
    } else {
        int h = SolveForY(PercentDone(), H);
        if (h >= H)
            h = H - 1;
        FillRect(g, r.L, H - h, W, H, foreColor_);
    }
}

void TGauge::PaintAsPie(QImage& image, const PaintRect& r) const
{
    int W = r.R - r.L;
    int H = r.B - r.T;
    if (borderStyle_ == bsSingle) {
        ++W;
        ++H;
    }
    QPainter g(&image);
    FillRect(g, r.L, r.T, r.R, r.B, Color());
    g.setPen(QPen(foreColor_, 1));
    g.setBrush(backColor_);
    const QRect ellipse = EllipseRect(r.L, r.T, W, H);
    g.drawEllipse(ellipse);
    const int percent = PercentDone();
    if (percent > 0) {
        g.setBrush(foreColor_);
        const int MX = W / 2;
        const int MY = H / 2;
        const double A = (percent / 50.0 + 0.5) * std::numbers::pi;
        DrawPie(g, ellipse, RoundHalfEven(MX * (1 - std::cos(A))), RoundHalfEven(MY * (1 - std::sin(A))), MX, 0);
    }
}

void TGauge::PaintAsNeedle(QImage& image, const PaintRect& r) const
{
    int W = r.R - r.L;
    int H = r.B - r.T;
    if (borderStyle_ == bsSingle) {
        ++W;
        ++H;
    }
    QPainter g(&image);
    FillRect(g, r.L, r.T, r.R, r.B, Color());
    g.setPen(QPen(foreColor_, 1));
    g.setBrush(backColor_);
    // The upper half dial.
    DrawPie(g, EllipseRect(r.L, r.T, W, 2 * H - 1), r.L + W, r.B - 1, r.L, r.B - 1);
    DrawLine(g, r.L, r.B, r.L + W, r.B);
    const int percent = PercentDone();
    if (percent > 0) {
        const int MX = width() / 2;
        const double A = percent / 100.0 * std::numbers::pi;
        DrawLine(g, MX, r.B - 1, RoundHalfEven((1 - std::cos(A)) * MX), RoundHalfEven((1 - std::sin(A)) * (r.B - 1)));
    }
}

void TGauge::DrawText(QImage& image, const PaintRect& r) const
{
    TBltBitmap text;
    text.MakeLike(image);
    text.fill(Qt::black);
    {
        // Whole pixels only, so that the text is the exact inverse of what lies beneath.
        QFont f = font();
        f.setStyleStrategy(QFont::NoAntialias);
        QPainter g(&text);
        g.setFont(f);
        g.setPen(Qt::white);
        g.setBrush(Qt::NoBrush);
        const QString s = PercentText();
        const QFontMetrics fm(f);
        const int x = (r.R - r.L + 1 - fm.horizontalAdvance(s)) / 2;
        const int y = (r.B - r.T + 1 - fm.height()) / 2;
        g.setClipRect(QRect(r.L, r.T, std::max(0, r.R - r.L), std::max(0, r.B - r.T)));
        g.drawText(x, y + fm.ascent(), s);
    }
    XorInto(image, text);
}
