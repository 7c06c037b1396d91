#pragma once
// Privacy masks in the program: the stored masks put on the capture
// component, which fills them into every frame at the camera, and kept out
// of motion detection; their dialog.

#include "settings/Settings.h"

#include <functional>

class QWidget;
class TErrorLog;
class TMotionWatch;
class TVideoCap;

class TPrivacyMasks
{
public:
    TPrivacyMasks(TVideoCap& cap, TMotionWatch& motion, TErrorLog& log);

    // The masks of the settings file, before the camera opens; each setting
    // that cannot be read is one line in the error log, and the others apply.
    void Load(const settings::TProgramSettings& programSettings);
    void Apply(const settings::PrivacyMaskSettings& masks);
    const settings::PrivacyMaskSettings& Settings() const { return masks_; }

    // The dialog over parent, on a still of the camera's picture; while it is
    // open the live picture shows the areas as outlines. OK saves the masks
    // through save, which raises when they cannot be stored, then applies them.
    void Edit(QWidget* parent, const std::function<void(const settings::PrivacyMaskSettings&)>& save);

private:
    TVideoCap& cap_;
    TMotionWatch& motion_;
    TErrorLog& log_;
    settings::PrivacyMaskSettings masks_;
};
