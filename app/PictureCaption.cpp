#include "app/PictureCaption.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace {

using Position = settings::CaptionSettings::Position;

// Automatic letters: a twentieth of the picture's height, and never smaller
// than a small screen font.
constexpr int kAutoDivisor = 20;
constexpr int kAutoMin = 11;

QFont CaptionFont(int pixelSize)
{
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(QFont::DemiBold);
    font.setPixelSize(std::max(1, pixelSize));
    return font;
}

bool Band(Position p)
{
    return p == Position::TopBand || p == Position::BottomBand;
}

bool Top(Position p)
{
    return p == Position::TopLeft || p == Position::TopRight || p == Position::TopBand;
}

}  // namespace

CaptionLayout LayOutCaption(const settings::CaptionSettings& caption, QSize size, const QString& text)
{
    int pixels = caption.fontSize > 0 ? caption.fontSize : std::max(kAutoMin, size.height() / kAutoDivisor);
    const bool band = Band(caption.position);
    auto padding = [](int px) { return std::max(2, px / 4); };
    auto margin = [&](int px) { return band ? 0 : std::max(2, px / 3); };
    // Smaller letters until the text fits across the picture and into its height.
    QFont font = CaptionFont(pixels);
    for (;;) {
        const QFontMetrics m(font);
        const int room = size.width() - 2 * (padding(pixels) + margin(pixels));
        const int tall = m.height() + 2 * (padding(pixels) + margin(pixels));
        const int wide = m.horizontalAdvance(text);
        if ((wide <= room && tall <= size.height()) || pixels <= 1)
            break;
        const int byWidth = wide > room ? pixels * std::max(1, room) / wide : pixels;
        pixels = std::max(1, std::min(pixels - 1, byWidth));
        font = CaptionFont(pixels);
    }
    const QFontMetrics m(font);
    const int pad = padding(pixels);
    const int edge = margin(pixels);
    const int textWidth = m.horizontalAdvance(text);
    const int boxHeight = m.height() + 2 * pad;
    const int boxWidth = band ? size.width() : textWidth + 2 * pad;
    const int x = band || caption.position == Position::TopLeft || caption.position == Position::BottomLeft
                      ? edge
                      : size.width() - edge - boxWidth;
    const int y = Top(caption.position) ? edge : size.height() - edge - boxHeight;
    CaptionLayout layout;
    layout.font = font;
    layout.box = QRect(x, y, boxWidth, boxHeight).intersected(QRect(QPoint(0, 0), size));
    layout.text = band ? QRect(x + (boxWidth - textWidth) / 2, y + pad, textWidth, m.height())
                       : QRect(x + pad, y + pad, textWidth, m.height());
    return layout;
}

void DrawPictureCaption(QImage& picture, const settings::CaptionSettings& caption, const QString& text)
{
    if (picture.isNull() || text.isEmpty())
        return;
    const CaptionLayout layout = LayOutCaption(caption, picture.size(), text);
    QPainter p(&picture);
    p.setRenderHint(QPainter::TextAntialiasing);
    if (caption.box)
        p.fillRect(layout.box, QColor(0, 0, 0, 128));
    p.setFont(layout.font);
    p.setPen(caption.textColour);
    p.drawText(layout.text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
}
