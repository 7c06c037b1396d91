#pragma once
// The caption drawn onto the uploaded picture: the user's text and the date
// and time, in a corner or across a band, readable on any picture.

#include "settings/CaptionSettings.h"

#include <QFont>
#include <QImage>
#include <QRect>
#include <QString>

struct CaptionLayout {
    QFont font;  // its pixel size fitted to the picture
    QRect box;   // the box behind the text, inside the picture
    QRect text;  // where the text goes, inside the box
};

// Where the caption goes on a picture of size. Letters scale with the
// picture's height unless a size is chosen; a text too wide for the picture
// gets smaller letters, so that nothing is ever cut off.
CaptionLayout LayOutCaption(const settings::CaptionSettings& caption, QSize size, const QString& text);

// Draws text on picture as caption says (its enabled flag aside).
void DrawPictureCaption(QImage& picture, const settings::CaptionSettings& caption, const QString& text);
