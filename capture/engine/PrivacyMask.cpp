#include "capture/engine/PrivacyMask.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace platform::capture {
namespace {

constexpr int kMinCell = 8;
constexpr int kCellsPerHeight = 12;

void FillBlack(uchar* bits, qsizetype stride, const QRect& r)
{
    const std::size_t bytes = std::size_t(r.width()) * 3;
    uchar* row = bits + qsizetype(r.top()) * stride + qsizetype(r.left()) * 3;
    for (int y = 0; y < r.height(); ++y, row += stride)
        std::memset(row, 0, bytes);
}

// Centre of cell i of n across length pixels, in pixels from the start.
int CellCentre(int i, int n, int length)
{
    return int((std::int64_t(2 * i + 1) * length) / (2 * n));
}

// One row of cell averages (times 256, three channels each) across width
// pixels: flat before the first centre and after the last, a straight
// slope from centre to centre.
void Spread(const std::int32_t* means, int nx, int width, uchar* out)
{
    auto flat = [out](int from, int to, const std::int32_t* v) {
        const uchar c[3] = {uchar((v[0] + 128) >> 8), uchar((v[1] + 128) >> 8), uchar((v[2] + 128) >> 8)};
        for (int x = from; x < to; ++x) {
            out[x * 3] = c[0];
            out[x * 3 + 1] = c[1];
            out[x * 3 + 2] = c[2];
        }
    };
    const int first = CellCentre(0, nx, width);
    flat(0, first, means);
    int from = first;
    for (int j = 0; j + 1 < nx; ++j) {
        const int to = CellCentre(j + 1, nx, width);
        const int length = to - from;
        const std::int32_t* a = means + j * 3;
        const std::int32_t* b = a + 3;
        // In 1/65536 of a level, rounded.
        std::int32_t v0 = (a[0] << 8) + 32768, v1 = (a[1] << 8) + 32768, v2 = (a[2] << 8) + 32768;
        const std::int32_t d0 = ((b[0] - a[0]) << 8) / length, d1 = ((b[1] - a[1]) << 8) / length,
                           d2 = ((b[2] - a[2]) << 8) / length;
        uchar* p = out + from * 3;
        for (int x = 0; x < length; ++x, p += 3) {
            p[0] = uchar(v0 >> 16);
            p[1] = uchar(v1 >> 16);
            p[2] = uchar(v2 >> 16);
            v0 += d0;
            v1 += d1;
            v2 += d2;
        }
        from = to;
    }
    flat(from, width, means + (nx - 1) * 3);
}

// The area is cut into cells about cell pixels square; each pixel then gets
// the cell averages around it blended by its distance to their centres. The
// result is smooth everywhere, so no edge inside the area survives, and it
// keeps the area's colours, so the picture still reads as a picture.
void Blur(uchar* bits, qsizetype stride, const QRect& r, int cell)
{
    const int w = r.width();
    const int h = r.height();
    const int nx = std::max(1, (w + cell / 2) / cell);
    const int ny = std::max(1, (h + cell / 2) / cell);
    uchar* const origin = bits + qsizetype(r.top()) * stride + qsizetype(r.left()) * 3;

    // Cell averages from a dozen rows a cell and every second pixel once
    // cells are large: their averages hardly differ, and the rows left out
    // are memory the fill never reads, which is most of its cost.
    const int step = cell >= 16 ? 2 : 1;
    const int rowStep = std::max(1, cell / 12);
    thread_local std::vector<std::uint32_t> sums;  // r, g, b, count per cell
    sums.assign(std::size_t(nx) * ny * 4, 0);
    for (int y = rowStep / 2; y < h; y += rowStep) {
        const uchar* row = origin + qsizetype(y) * stride;
        std::uint32_t* s = sums.data() + std::size_t(y * ny / h) * nx * 4;
        for (int cx = 0; cx < nx; ++cx, s += 4) {
            const int x1 = (cx + 1) * w / nx;
            std::uint32_t a = 0, b = 0, c = 0, n = 0;
            for (int x = cx * w / nx; x < x1; x += step, ++n) {
                const uchar* p = row + x * 3;
                a += p[0];
                b += p[1];
                c += p[2];
            }
            s[0] += a;
            s[1] += b;
            s[2] += c;
            s[3] += n;
        }
    }
    // Averages times 256.
    thread_local std::vector<std::int32_t> means;
    means.resize(std::size_t(nx) * ny * 3);
    for (std::size_t i = 0; i < std::size_t(nx) * ny; ++i) {
        const std::uint32_t n = std::max<std::uint32_t>(1, sums[i * 4 + 3]);
        for (int k = 0; k < 3; ++k)
            means[i * 3 + k] = std::int32_t((std::uint64_t(sums[i * 4 + k]) * 256 + n / 2) / n);
    }

    // Each row of cells spread across the area's width, cell centre to cell
    // centre; every pixel row is then a blend of the two cell rows around
    // it, a plain loop over bytes that the compiler turns into vector code.
    thread_local std::vector<uchar> spread;
    const std::size_t rowBytes = std::size_t(w) * 3;
    spread.resize(std::size_t(ny) * rowBytes);
    for (int cy = 0; cy < ny; ++cy)
        Spread(means.data() + std::size_t(cy) * nx * 3, nx, w, spread.data() + cy * rowBytes);

    int cy = 0;
    for (int y = 0; y < h; ++y) {
        while (cy + 1 < ny && CellCentre(cy + 1, ny, h) <= y)
            ++cy;
        const int top = CellCentre(cy, ny, h);
        const int below = std::min(cy + 1, ny - 1);
        const int span = CellCentre(below, ny, h) - top;
        const unsigned wy = (span > 0 && y > top) ? unsigned((y - top) * 256 / span) : 0;
        const uchar* a = spread.data() + cy * rowBytes;
        const uchar* b = spread.data() + below * rowBytes;
        uchar* out = origin + qsizetype(y) * stride;
        const std::uint16_t wa = std::uint16_t(256 - wy);
        const std::uint16_t wb = std::uint16_t(wy);
        for (std::size_t i = 0; i < rowBytes; ++i)
            out[i] = uchar((std::uint16_t(a[i] * wa + b[i] * wb + 128)) >> 8);
    }
}

}  // namespace

QRect MaskPixels(const QRectF& area, QSize size)
{
    // A hair of tolerance, so that a fraction that lands on a pixel edge
    // does not take in the next pixel through rounding noise.
    constexpr double kNoise = 1e-6;
    const int left = int(std::floor(area.left() * size.width() + kNoise));
    const int top = int(std::floor(area.top() * size.height() + kNoise));
    const int right = int(std::ceil(area.right() * size.width() - kNoise));
    const int bottom = int(std::ceil(area.bottom() * size.height() - kNoise));
    if (right <= left || bottom <= top)
        return {};
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)).intersected(QRect(QPoint(0, 0), size));
}

int BlurCellSize(int pictureHeight)
{
    return std::max(kMinCell, pictureHeight / kCellsPerHeight);
}

void ApplyPrivacyMask(QImage& picture, const PrivacyMask& mask)
{
    if (mask.areas.isEmpty() || picture.isNull())
        return;
    if (picture.format() != QImage::Format_RGB888)
        picture = picture.convertToFormat(QImage::Format_RGB888);
    uchar* bits = picture.bits();
    const qsizetype stride = picture.bytesPerLine();
    const int cell = BlurCellSize(picture.height());
    for (const QRectF& area : mask.areas) {
        const QRect r = MaskPixels(area, picture.size());
        if (r.isEmpty())
            continue;
        if (mask.fill == MaskFill::Black)
            FillBlack(bits, stride, r);
        else
            Blur(bits, stride, r, cell);
    }
}

}  // namespace platform::capture
