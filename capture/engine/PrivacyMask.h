#pragma once
// Privacy masks: parts of the picture filled black or blurred in a frame as
// it leaves the camera, before any consumer sees it. Pure computation on
// RGB888 pictures.

#include <QImage>
#include <QList>
#include <QRect>
#include <QRectF>
#include <QSize>

namespace platform::capture {

enum class MaskFill {
    Black,  // every pixel (0, 0, 0)
    Blur,   // cell averages blended smoothly: colours stay, shapes and edges go
};

struct PrivacyMask {
    MaskFill fill = MaskFill::Black;
    // Left, top, width and height as parts of the picture (0 to 1).
    QList<QRectF> areas;

    bool operator==(const PrivacyMask&) const = default;
};

// The pixels of a picture of size that area covers: rounded outwards, so
// that no pixel the area touches is left out, and cut to the picture.
QRect MaskPixels(const QRectF& area, QSize size);

// The side of a blur cell in pixels for a picture of that height: a face or
// a number plate at a usual distance covers at most a cell or two.
int BlurCellSize(int pictureHeight);

// Fills the mask's areas of an RGB888 picture in place. Blurring an area
// reads and writes that area alone: nothing outside it changes.
void ApplyPrivacyMask(QImage& picture, const PrivacyMask& mask);

}  // namespace platform::capture
