#pragma once
// "Release the camera between updates": while nothing else needs the live
// picture, the website update holds the camera only for its grab, so that
// another program can use it between ticks.

#include <QImage>
#include <QString>
#include <QTimer>

#include <functional>

class TVideoCap;

namespace app {

class TCameraShare
{
public:
    // A webcam's automatic exposure needs about a second after it opens:
    // the camera is opened that long before the next tick is due. A grab
    // with no such head start drops this many frames first.
    static constexpr int kSettleMs = 1000;
    static constexpr int kSettleFrames = 5;

    explicit TCameraShare(TVideoCap& cap);

    // The user's option; on by default. It only takes effect while CanRelease says so.
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool on) { enabled_ = on; }
    // Whether nothing else needs the camera now: the main window minimised,
    // no recording running, motion detection off.
    std::function<bool()> CanRelease;
    // Milliseconds until the next tick; unassigned or negative: none due.
    std::function<int()> MsUntilTick;
    // The camera could not be opened for a grab (another program holds it):
    // raised once until a grab succeeds again.
    std::function<void(const QString& reason)> OnBusy;

    // Whether the camera is closed by this share.
    bool Released() const { return released_; }
    // Whether a reopen runs: errors the driver reports meanwhile are this share's to tell.
    bool Reopening() const { return reopening_; }

    // The update's grab: opens a released camera first and lets it settle,
    // then releases it again when it may. The frame in memory, or a null
    // picture where none could be saved (the capture component's GrabbedFrame).
    QImage Grab();
    // Releases the camera now when the option and CanRelease allow it.
    void ReleaseIfIdle();
    // Opens the camera again (the window restored, a recording or motion
    // watching begins); true when it is open. Failures go to OnBusy.
    bool Reclaim();
    // Opens the released camera ahead of the tick, so that it has settled by then.
    void WarmUp();
    // When the warm-up is due, in milliseconds; -1 when none is.
    int WarmUpDueMs() const { return warmUp_.isActive() ? warmUp_.remainingTime() : -1; }

private:
    // settled: dropped frames are not needed (the camera was opened ahead).
    bool Reopen(bool settled);

    TVideoCap& cap_;
    bool enabled_ = true;
    bool released_ = false;
    bool reopening_ = false;
    bool busyTold_ = false;
    QString identity_;  // the camera released
    QTimer warmUp_;
    bool warmedUp_ = false;  // opened ahead of the tick
};

}  // namespace app
