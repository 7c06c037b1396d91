#include "app/PrivacyMasks.h"

#include "app/ErrorLog.h"
#include "app/MotionWatch.h"
#include "capture/videocap.h"

TPrivacyMasks::TPrivacyMasks(TVideoCap& cap, TMotionWatch& motion, TErrorLog& log)
    : cap_(cap), motion_(motion), log_(log)
{
}

void TPrivacyMasks::Load(const settings::TProgramSettings& programSettings)
{
    QStringList unreadable;
    const settings::PrivacyMaskSettings masks = programSettings.ReadPrivacyMasks(&unreadable);
    for (const QString& line : unreadable)
        log_.Error(line);
    Apply(masks);
}

void TPrivacyMasks::Apply(const settings::PrivacyMaskSettings& masks)
{
    masks_ = masks;
    platform::capture::PrivacyMask mask;
    mask.fill = masks.fill == settings::PrivacyMaskSettings::Fill::Blurred ? platform::capture::MaskFill::Blur
                                                                          : platform::capture::MaskFill::Black;
    mask.areas = masks.areas;
    cap_.SetPrivacyMask(mask);
    // A blurred area still changes when someone moves in it.
    motion_.SetPrivacyAreas(masks.areas);
}
