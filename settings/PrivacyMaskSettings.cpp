#include "settings/PrivacyMaskSettings.h"
#include "settings/Settings.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace settings {
namespace {

const QString kPrivacyMasks = QStringLiteral("Privacy Masks");
const QString kFill = QStringLiteral("Fill");
const QString kBlack = QStringLiteral("Black");
const QString kBlurred = QStringLiteral("Blurred");
const QString kMaskKey = QStringLiteral("Mask%1");

// Fractions are stored with four decimals: a fifth of a pixel at 1920 wide.
constexpr double kSteps = 10000;

QString Fraction(double value)
{
    return QString::number(value / kSteps, 'f', 4);
}

// The edges of an area in steps of 1 / steps, rounded outwards; a hair of
// tolerance keeps an edge that lies on a step where it is.
struct Edges {
    double left, top, right, bottom;
};
Edges Outwards(const QRectF& area, double steps)
{
    constexpr double kNoise = 1e-6;
    return {std::floor(area.left() * steps + kNoise), std::floor(area.top() * steps + kNoise),
            std::ceil(area.right() * steps - kNoise), std::ceil(area.bottom() * steps - kNoise)};
}

}  // namespace

QString PrivacyAreaToText(const QRectF& area)
{
    const Edges e = Outwards(area, kSteps);
    return QStringLiteral("%1,%2,%3,%4")
        .arg(Fraction(e.left), Fraction(e.top), Fraction(e.right - e.left), Fraction(e.bottom - e.top));
}

QRect PrivacyAreaInThousandths(const QRectF& area)
{
    const Edges e = Outwards(area, 1000);
    return QRect(int(e.left), int(e.top), int(e.right - e.left), int(e.bottom - e.top));
}

QRectF PrivacyAreaFromThousandths(const QRect& r)
{
    return QRectF(r.x() / 1000.0, r.y() / 1000.0, r.width() / 1000.0, r.height() / 1000.0);
}

bool PrivacyAreaFromText(const QString& text, QRectF* area)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    double v[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        v[i] = parts[i].trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(v[i]))
            return false;
    }
    if (v[2] <= 0 || v[3] <= 0)
        return false;
    const QRectF inside = QRectF(v[0], v[1], v[2], v[3]).intersected(QRectF(0, 0, 1, 1));
    if (inside.width() <= 0 || inside.height() <= 0)
        return false;
    *area = inside;
    return true;
}

PrivacyMaskSettings TProgramSettings::ReadPrivacyMasks(QStringList* unreadable) const
{
    PrivacyMaskSettings masks;
    const platform::IniFile file = File();
    if (!file.Exists())
        return masks;
    auto report = [&](const QString& key, const QString& value, const QString& outcome) {
        if (unreadable)
            *unreadable << QStringLiteral("Privacy mask setting \"%1=%2\" in [%3] cannot be read; %4")
                               .arg(key, value, kPrivacyMasks, outcome);
    };
    const QString fill = file.ReadString(kPrivacyMasks, kFill, kBlack).trimmed();
    if (fill.compare(kBlurred, Qt::CaseInsensitive) == 0)
        masks.fill = PrivacyMaskSettings::Fill::Blurred;
    else if (fill.compare(kBlack, Qt::CaseInsensitive) != 0)
        report(kFill, fill, QStringLiteral("the masks are filled black"));

    // Every "Mask<n>" key, in the order of n: a file edited by hand may skip
    // numbers, and a mask must not be lost for that.
    static const QRegularExpression maskKey(QStringLiteral("^mask(\\d{1,9})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    QList<std::pair<int, QString>> keys;
    for (const QString& key : file.ReadKeys(kPrivacyMasks)) {
        const QRegularExpressionMatch m = maskKey.match(key);
        if (m.hasMatch())
            keys.append({m.captured(1).toInt(), key});
    }
    std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [number, key] : keys) {
        const QString text = file.ReadString(kPrivacyMasks, key, QString());
        QRectF area;
        if (PrivacyAreaFromText(text, &area))
            masks.areas << area;
        else
            report(key, text, QStringLiteral("it is left out, the other masks apply"));
    }
    return masks;
}

void TProgramSettings::SavePrivacyMasks(const PrivacyMaskSettings& masks)
{
    platform::IniFile file = File();
    file.BeginUpdate();
    // Written afresh, so that no mask of an earlier save stays behind.
    file.EraseSection(kPrivacyMasks);
    file.WriteString(kPrivacyMasks, kFill, masks.fill == PrivacyMaskSettings::Fill::Blurred ? kBlurred : kBlack);
    for (int i = 0; i < masks.areas.size(); ++i)
        file.WriteString(kPrivacyMasks, kMaskKey.arg(i + 1), PrivacyAreaToText(masks.areas[i]));
    file.Commit();
}

}  // namespace settings
