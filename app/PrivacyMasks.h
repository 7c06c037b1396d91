#pragma once
// Privacy masks in the program: the stored masks put on the capture
// component, which fills them into every frame at the camera, and kept out
// of motion detection.

#include "settings/Settings.h"

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

private:
    TVideoCap& cap_;
    TMotionWatch& motion_;
    TErrorLog& log_;
    settings::PrivacyMaskSettings masks_;
};
