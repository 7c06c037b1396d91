#pragma once
// TGauge: a progress value between a minimum and a maximum shown as a bar, a
// pie, a needle on a half dial or as text, with an optional percentage text
// that inverts what lies beneath it. Every picture is composed off-screen and
// copied to the screen in one step.

#include "platform/exception.h"

#include <QColor>
#include <QImage>
#include <QWidget>

#include <cstdint>

// The toolkit's invalid-operation error.
TARVO_DECLARE_EXCEPTION(EInvalidOperation, Exception);

enum TGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum TBorderStyle { bsNone, bsSingle };

// An off-screen bitmap that can take the size of another and clear itself.
class TBltBitmap : public QImage
{
public:
    TBltBitmap() = default;
    // Template's width and height, filled with the window-frame colour.
    void MakeLike(const QImage& templ);
};

class TGauge : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(int MinValue READ MinValue WRITE SetMinValue)
    Q_PROPERTY(int MaxValue READ MaxValue WRITE SetMaxValue)
    Q_PROPERTY(int Progress READ Progress WRITE SetProgress)
    Q_PROPERTY(int Kind READ KindValue WRITE SetKindValue)
    Q_PROPERTY(bool ShowText READ ShowText WRITE SetShowText)
    Q_PROPERTY(bool BorderSingle READ BorderSingle WRITE SetBorderSingle)
    Q_PROPERTY(QColor ForeColor READ ForeColor WRITE SetForeColor)
    Q_PROPERTY(QColor BackColor READ BackColor WRITE SetBackColor)
    Q_PROPERTY(QColor Color READ Color WRITE SetColor)

public:
    explicit TGauge(QWidget* parent = nullptr);

    std::int32_t MinValue() const { return minValue_; }
    void SetMinValue(std::int32_t value);
    std::int32_t MaxValue() const { return maxValue_; }
    void SetMaxValue(std::int32_t value);
    std::int32_t Progress() const { return progress_; }
    void SetProgress(std::int32_t value);
    TGaugeKind Kind() const { return kind_; }
    void SetKind(TGaugeKind value);
    bool ShowText() const { return showText_; }
    void SetShowText(bool value);
    TBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TBorderStyle value);
    const QColor& ForeColor() const { return foreColor_; }
    void SetForeColor(const QColor& value);
    const QColor& BackColor() const { return backColor_; }
    void SetBackColor(const QColor& value);
    // The control's own colour, shown around the pie and the needle.
    QColor Color() const;
    void SetColor(const QColor& value);

    // While loading from a form, MinValue above MaxValue is not refused.
    void SetLoading(bool loading) { loading_ = loading; }

    std::int32_t PercentDone() const;
    // The percentage text as drawn, e.g. "42%".
    QString PercentText() const;

    // The whole picture as it is copied to the screen.
    QImage Picture() const;

    // Percentage helpers; both truncate toward zero.
    static std::int32_t SolveForX(double y, double z);
    static std::int32_t SolveForY(double x, double z);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int KindValue() const { return kind_; }
    void SetKindValue(int value) { SetKind(static_cast<TGaugeKind>(value)); }
    bool BorderSingle() const { return borderStyle_ == bsSingle; }
    void SetBorderSingle(bool single) { SetBorderStyle(single ? bsSingle : bsNone); }

    // Left, top, right, bottom; right and bottom are exclusive, as in a rectangle fill.
    struct PaintRect {
        int L, T, R, B;
    };

    void Refresh();
    void PaintAsText(QImage& image, const PaintRect& r) const;
    void PaintAsBar(QImage& image, const PaintRect& r) const;
    void PaintAsPie(QImage& image, const PaintRect& r) const;
    void PaintAsNeedle(QImage& image, const PaintRect& r) const;
    void DrawText(QImage& image, const PaintRect& r) const;

    std::int32_t minValue_ = 0;
    std::int32_t maxValue_ = 100;
    std::int32_t progress_ = 0;
    TGaugeKind kind_ = gkHorizontalBar;
    bool showText_ = true;
    TBorderStyle borderStyle_ = bsSingle;
    QColor foreColor_ = Qt::black;
    QColor backColor_ = Qt::white;
    bool loading_ = false;
};
