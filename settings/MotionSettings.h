#pragma once
// Motion detection's choices, section "Motion" of "Tarvo Lite.sif". A file
// without the section leaves detection off.

#include <QList>
#include <QRect>

namespace settings {

struct MotionSettings {
    bool enabled = false;
    int sensitivity = 60;     // 1 to 100
    int minAreaPercent = 2;   // 1 to 50
    // Ignored parts of the picture, in thousandths of its width and height.
    QList<QRect> mask;
    bool snapshot = true;     // a picture into "Snapshots"
    bool snapshotJpeg = false;
    bool record = false;      // a video into "Videos"
    int recordSeconds = 10;   // 1 to 600
    bool upload = false;      // the picture to the website at once
    int quietSeconds = 10;    // after each event, 1 to 3600
    bool logMotion = false;   // a line per event in "Error.log"
    bool outline = true;      // changed blocks outlined in the live picture

    bool operator==(const MotionSettings&) const = default;
};

// The mask as stored: "left,top,width,height" per rectangle, separated by
// ";". Malformed or empty rectangles are left out on reading.
QString MaskToText(const QList<QRect>& mask);
QList<QRect> MaskFromText(const QString& text);

}  // namespace settings
