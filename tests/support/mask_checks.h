#pragma once
// What a privacy mask must leave in a picture's area, whichever output the
// picture comes from: black exactly black (within what a lossy encoder
// changes), blurred without an edge that could be read.

#include <QImage>
#include <QRect>
#include <QString>

namespace testsupport {

// Mean square of the differences between neighbouring pixels' grey values
// inside area: the part of the area's variance that edges and grain make.
double EdgeVariance(const QImage& picture, const QRect& area);
// The largest difference between neighbouring grey values inside area.
int LargestStep(const QImage& picture, const QRect& area);

// What a blurred area may keep: a bright visitor on a dark ground becomes a
// slope no steeper than this from pixel to pixel.
inline constexpr double kBlurEdgeVarianceBound = 8;
inline constexpr int kBlurLargestStep = 16;

struct MaskFillCheck {
    bool ok = false;
    QString why;
};
// Black: no channel of any pixel above tolerance. Blur: edge variance and
// largest step within their bounds, each raised by what an encoder of
// tolerance levels of error adds.
MaskFillCheck CheckMaskFill(const QImage& picture, const QRect& area, bool black, int tolerance);

}  // namespace testsupport
