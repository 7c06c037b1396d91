#include "settings/MotionSettings.h"
#include "settings/Settings.h"

#include <QStringList>

#include <algorithm>

namespace settings {
namespace {

const QString kMotion = QStringLiteral("Motion");
const QString kEnabled = QStringLiteral("Enabled");
const QString kSensitivity = QStringLiteral("Sensitivity");
const QString kMinArea = QStringLiteral("MinArea");
const QString kMask = QStringLiteral("Mask");
const QString kSnapshot = QStringLiteral("Snapshot");
const QString kSnapshotJpeg = QStringLiteral("SnapshotJpeg");
const QString kRecord = QStringLiteral("Record");
const QString kRecordSeconds = QStringLiteral("RecordSeconds");
const QString kUpload = QStringLiteral("Upload");
const QString kQuietSeconds = QStringLiteral("QuietSeconds");
const QString kLogMotion = QStringLiteral("LogMotion");
const QString kOutline = QStringLiteral("Outline");

int ReadClamped(const platform::IniFile& file, const QString& key, int defaultValue, int low, int high)
{
    return std::clamp(file.ReadInteger(kMotion, key, defaultValue), low, high);
}

}  // namespace

QString MaskToText(const QList<QRect>& mask)
{
    QStringList parts;
    for (const QRect& r : mask)
        parts << QStringLiteral("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    return parts.join(QLatin1Char(';'));
}

QList<QRect> MaskFromText(const QString& text)
{
    QList<QRect> mask;
    for (const QString& part : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList n = part.split(QLatin1Char(','));
        if (n.size() != 4)
            continue;
        int v[4];
        bool ok = true;
        for (int i = 0; i < 4 && ok; ++i)
            v[i] = n[i].trimmed().toInt(&ok);
        // Within the picture, with an area.
        const QRect r = QRect(v[0], v[1], v[2], v[3]).intersected(QRect(0, 0, 1000, 1000));
        if (ok && !r.isEmpty())
            mask << r;
    }
    return mask;
}

MotionSettings TProgramSettings::ReadMotion() const
{
    MotionSettings m;
    const platform::IniFile file = File();
    if (!file.Exists())
        return m;
    m.enabled = file.ReadBool(kMotion, kEnabled, m.enabled);
    m.sensitivity = ReadClamped(file, kSensitivity, m.sensitivity, 1, 100);
    m.minAreaPercent = ReadClamped(file, kMinArea, m.minAreaPercent, 1, 50);
    m.mask = MaskFromText(file.ReadString(kMotion, kMask, QString()));
    m.snapshot = file.ReadBool(kMotion, kSnapshot, m.snapshot);
    m.snapshotJpeg = file.ReadBool(kMotion, kSnapshotJpeg, m.snapshotJpeg);
    m.record = file.ReadBool(kMotion, kRecord, m.record);
    m.recordSeconds = ReadClamped(file, kRecordSeconds, m.recordSeconds, 1, 600);
    m.upload = file.ReadBool(kMotion, kUpload, m.upload);
    m.quietSeconds = ReadClamped(file, kQuietSeconds, m.quietSeconds, 1, 3600);
    m.logMotion = file.ReadBool(kMotion, kLogMotion, m.logMotion);
    m.outline = file.ReadBool(kMotion, kOutline, m.outline);
    return m;
}

void TProgramSettings::SaveMotion(const MotionSettings& m)
{
    platform::IniFile file = File();
    file.BeginUpdate();
    file.WriteBool(kMotion, kEnabled, m.enabled);
    file.WriteInteger(kMotion, kSensitivity, m.sensitivity);
    file.WriteInteger(kMotion, kMinArea, m.minAreaPercent);
    file.WriteString(kMotion, kMask, MaskToText(m.mask));
    file.WriteBool(kMotion, kSnapshot, m.snapshot);
    file.WriteBool(kMotion, kSnapshotJpeg, m.snapshotJpeg);
    file.WriteBool(kMotion, kRecord, m.record);
    file.WriteInteger(kMotion, kRecordSeconds, m.recordSeconds);
    file.WriteBool(kMotion, kUpload, m.upload);
    file.WriteInteger(kMotion, kQuietSeconds, m.quietSeconds);
    file.WriteBool(kMotion, kLogMotion, m.logMotion);
    file.WriteBool(kMotion, kOutline, m.outline);
    file.Commit();
}

}  // namespace settings
