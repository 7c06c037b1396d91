#pragma once
// "Release the camera between updates": while nothing else needs the live
// picture, the website update holds the camera only for its grab, so that
// another program can use it between ticks.

#include <QString>

#include <functional>

class TVideoCap;

namespace app {

class TCameraShare
{
public:
    // Frames dropped after a reopen while the camera's automatic exposure
    // settles; a webcam's first frames after it opens are dark or washed out.
    static constexpr int kSettleFrames = 5;

    explicit TCameraShare(TVideoCap& cap) : cap_(cap) {}

    // The user's option; on by default. It only takes effect while CanRelease says so.
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool on) { enabled_ = on; }
    // Whether nothing else needs the camera now: the main window minimised,
    // no recording running, motion detection off.
    std::function<bool()> CanRelease;
    // The camera could not be opened for a grab (another program holds it):
    // raised once until a grab succeeds again.
    std::function<void(const QString& reason)> OnBusy;

    // Whether the camera is closed by this share.
    bool Released() const { return released_; }
    // Whether a reopen runs: errors the driver reports meanwhile are this share's to tell.
    bool Reopening() const { return reopening_; }

    // The update's grab into bitmapFile: opens a released camera first and
    // lets it settle, then releases it again when it may. True when saved.
    bool Grab(const QString& bitmapFile);
    // Releases the camera now when the option and CanRelease allow it.
    void ReleaseIfIdle();
    // Opens the camera again (the window restored, a recording or motion
    // watching begins); true when it is open. Failures go to OnBusy.
    bool Reclaim();

private:
    bool Reopen();

    TVideoCap& cap_;
    bool enabled_ = true;
    bool released_ = false;
    bool reopening_ = false;
    bool busyTold_ = false;
    QString identity_;  // the camera released
};

}  // namespace app
