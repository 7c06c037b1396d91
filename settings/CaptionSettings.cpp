#include "settings/CaptionSettings.h"
#include "settings/Settings.h"

#include <algorithm>
#include <iterator>

namespace settings {
namespace {

const QString kCaption = QStringLiteral("Caption");
const QString kEnabled = QStringLiteral("Enabled");
const QString kPosition = QStringLiteral("Position");
const QString kFontSize = QStringLiteral("FontSize");
const QString kTextColour = QStringLiteral("TextColour");
const QString kBox = QStringLiteral("Box");
const QString kText = QStringLiteral("Text");

using Position = CaptionSettings::Position;

// The positions as stored, in the order of the enumeration.
const char* const kPositionNames[] = {"TopLeft", "TopRight", "BottomLeft", "BottomRight", "TopBand", "BottomBand"};

}  // namespace

CaptionSettings TProgramSettings::ReadCaption() const
{
    CaptionSettings c;
    const platform::IniFile file = File();
    if (!file.Exists())
        return c;
    c.enabled = file.ReadBool(kCaption, kEnabled, c.enabled);
    const QString position = file.ReadString(kCaption, kPosition, QString()).trimmed();
    for (std::size_t i = 0; i < std::size(kPositionNames); ++i)
        if (position.compare(QLatin1String(kPositionNames[i]), Qt::CaseInsensitive) == 0)
            c.position = Position(i);
    // 0 is automatic; anything else within what can be read.
    const int size = file.ReadInteger(kCaption, kFontSize, c.fontSize);
    c.fontSize = size <= 0 ? 0 : std::clamp(size, kCaptionFontMin, kCaptionFontMax);
    const QColor colour = QColor::fromString(file.ReadString(kCaption, kTextColour, QString()).trimmed());
    if (colour.isValid())
        c.textColour = colour;
    c.box = file.ReadBool(kCaption, kBox, c.box);
    c.text = file.ReadString(kCaption, kText, c.text);
    return c;
}

void TProgramSettings::SaveCaption(const CaptionSettings& c)
{
    platform::IniFile file = File();
    file.BeginUpdate();
    file.WriteBool(kCaption, kEnabled, c.enabled);
    file.WriteString(kCaption, kPosition, QLatin1String(kPositionNames[int(c.position)]));
    file.WriteInteger(kCaption, kFontSize, c.fontSize);
    file.WriteString(kCaption, kTextColour, c.textColour.name());
    file.WriteBool(kCaption, kBox, c.box);
    file.WriteString(kCaption, kText, c.text);
    file.Commit();
}

}  // namespace settings
