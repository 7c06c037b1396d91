#pragma once
// The caption drawn onto "Capture.jpg", section "Caption" of "Tarvo Lite.sif":
// the user's text and the date and time, where and how. A file without the
// section draws none, so that existing pages look as before.

#include <QColor>
#include <QString>

namespace settings {

struct CaptionSettings {
    enum class Position { TopLeft, TopRight, BottomLeft, BottomRight, TopBand, BottomBand };

    bool enabled = false;
    Position position = Position::BottomRight;
    // Height of the letters in pixels; 0 scales them with the picture.
    int fontSize = 0;
    QColor textColour = QColor(255, 255, 255);
    // A half-transparent dark box behind the text.
    bool box = true;
    // Written before the date and time, as typed ("Garden - ").
    QString text;

    bool operator==(const CaptionSettings&) const = default;
};

inline constexpr int kCaptionFontMin = 6;
inline constexpr int kCaptionFontMax = 200;

}  // namespace settings
