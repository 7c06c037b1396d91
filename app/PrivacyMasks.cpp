#include "app/PrivacyMasks.h"

#include "app/ErrorLog.h"
#include "app/MotionWatch.h"
#include "capture/videocap.h"
#include "ui/PrivacyMasks.h"

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

void TPrivacyMasks::Edit(QWidget* parent, const std::function<void(const settings::PrivacyMaskSettings&)>& save)
{
    TfrmPrivacyMasks dialog(parent);
    dialog.setObjectName(QStringLiteral("frmPrivacyMasks"));
    dialog.SetSettings(masks_);
    dialog.OnSave = save;
    cap_.SetPrivacyMaskEditing(true, dialog.Settings().areas);
    dialog.OnAreasChanged = [this](const QList<QRectF>& areas) { cap_.SetPrivacyMaskEditing(true, areas); };
    // The still: a frame taken now, as the camera took it.
    if (cap_.GrabFrameNoStop())
        dialog.ShowPicture(cap_.UnmaskedFrame());
    const bool accepted = dialog.exec() == QDialog::Accepted;
    cap_.SetPrivacyMaskEditing(false);
    if (accepted)
        Apply(dialog.Settings());
}
