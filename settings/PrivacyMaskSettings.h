#pragma once
// Privacy masks, section "Privacy Masks" of "Tarvo Lite.sif": parts of the
// picture that are filled before anything sees the frame. Areas are kept in
// fractions of the picture, so that they hold whatever size the camera
// delivers. A file without the section masks nothing.

#include <QList>
#include <QRect>
#include <QRectF>
#include <QString>
#include <QStringList>

namespace settings {

struct PrivacyMaskSettings {
    enum class Fill { Black, Blurred };
    Fill fill = Fill::Black;
    // Left, top, width and height as parts of the picture (0 to 1).
    QList<QRectF> areas;

    bool operator==(const PrivacyMaskSettings&) const = default;
};

// One area as stored, "left,top,width,height" in fractions; the edges are
// rounded outwards, so that a stored area never covers less than the one given.
QString PrivacyAreaToText(const QRectF& area);
// An area as stored, cut to the picture; false for text that is not four
// numbers or an area with nothing inside the picture.
bool PrivacyAreaFromText(const QString& text, QRectF* area);

// An area in thousandths of the picture, as the motion mask and the mask
// editor keep areas, rounded outwards; and back.
QRect PrivacyAreaInThousandths(const QRectF& area);
QRectF PrivacyAreaFromThousandths(const QRect& thousandths);

}  // namespace settings
