#include "tests/support/mask_checks.h"

#include <QColor>

#include <algorithm>
#include <cstdlib>

namespace testsupport {
namespace {

template <class Visit>
void Neighbours(const QImage& picture, const QRect& area, Visit visit)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    const QRect r = area.intersected(rgb.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        const QRgb* below = y < r.bottom() ? reinterpret_cast<const QRgb*>(rgb.constScanLine(y + 1)) : nullptr;
        for (int x = r.left(); x <= r.right(); ++x) {
            if (x < r.right())
                visit(std::abs(qGray(row[x]) - qGray(row[x + 1])));
            if (below)
                visit(std::abs(qGray(row[x]) - qGray(below[x])));
        }
    }
}

}  // namespace

double EdgeVariance(const QImage& picture, const QRect& area)
{
    double sum = 0;
    long long n = 0;
    Neighbours(picture, area, [&](int d) {
        sum += double(d) * d;
        ++n;
    });
    return n ? sum / double(n) : 0;
}

int LargestStep(const QImage& picture, const QRect& area)
{
    int largest = 0;
    Neighbours(picture, area, [&](int d) { largest = std::max(largest, d); });
    return largest;
}

MaskFillCheck CheckMaskFill(const QImage& picture, const QRect& area, bool black, int tolerance)
{
    if (picture.isNull() || !picture.rect().contains(area) || area.isEmpty())
        return {false, QStringLiteral("no picture, or the area is not inside it")};
    if (black) {
        const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                const QRgb p = rgb.pixel(x, y);
                if (std::max({qRed(p), qGreen(p), qBlue(p)}) > tolerance)
                    return {false, QStringLiteral("pixel %1,%2 is %3 instead of black")
                                       .arg(x)
                                       .arg(y)
                                       .arg(QColor(p).name())};
            }
        }
        return {true, {}};
    }
    const double variance = EdgeVariance(picture, area);
    const int step = LargestStep(picture, area);
    if (variance > kBlurEdgeVarianceBound + tolerance * tolerance || step > kBlurLargestStep + 2 * tolerance)
        return {false, QStringLiteral("edge variance %1 and largest step %2 in the blurred area").arg(variance).arg(step)};
    return {true, {}};
}

}  // namespace testsupport
