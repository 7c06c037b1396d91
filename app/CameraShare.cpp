#include "app/CameraShare.h"

#include "capture/videocap.h"

#include <algorithm>
#include <exception>

namespace app {

TCameraShare::TCameraShare(TVideoCap& cap) : cap_(cap)
{
    warmUp_.setSingleShot(true);
    QObject::connect(&warmUp_, &QTimer::timeout, [this] { WarmUp(); });
}

bool TCameraShare::Reopen(bool settled)
{
    if (!released_)
        return cap_.DriverOpen();
    reopening_ = true;
    QString failure;
    // Indexes move while the camera is away: the one released is found by
    // what it is. A camera held by another program may be missing from the
    // list altogether; its index then names another device, never to be
    // taken for it.
    const int index = identity_.isEmpty() ? cap_.DriverIndex() : FindDriverIndex(identity_);
    if (index < 0) {
        failure = QStringLiteral("The camera is in use by another program or not connected.");
    } else {
        try {
            cap_.SetDriverIndex(index);
            cap_.SetDriverOpen(true);
        } catch (const Exception& e) {
            failure = e.Message();
        } catch (const std::exception& e) {
            failure = QString::fromUtf8(e.what());
        }
    }
    reopening_ = false;
    if (!cap_.DriverOpen()) {
        // Busy stays busy for a while: said once, tried again at the next tick.
        if (!busyTold_ && OnBusy)
            OnBusy(failure);
        busyTold_ = true;
        return false;
    }
    released_ = false;
    busyTold_ = false;
    warmUp_.stop();
    for (int i = 0; !settled && i < kSettleFrames; ++i)
        cap_.GrabFrameNoStop();
    return true;
}

QImage TCameraShare::Grab()
{
    const bool settled = !released_ && warmedUp_;
    warmedUp_ = false;
    if (!Reopen(settled))
        return {};
    cap_.GrabRecentFrame();
    // Taken before a release closes the camera; the picture outlives it.
    const QImage frame = cap_.GrabbedFrame();
    ReleaseIfIdle();
    return frame;
}

void TCameraShare::ReleaseIfIdle()
{
    if (released_ || !enabled_ || !cap_.DriverOpen() || !CanRelease || !CanRelease())
        return;
    identity_ = cap_.DriverIdentity();
    cap_.SetDriverOpen(false);
    released_ = true;
    warmedUp_ = false;
    const int dueMs = MsUntilTick ? MsUntilTick() : -1;
    if (dueMs >= 0)
        warmUp_.start(std::max(0, dueMs - kSettleMs));
}

void TCameraShare::WarmUp()
{
    if (!released_)
        return;
    // Opened now, it settles while streaming; a camera held elsewhere is
    // said once and tried again at the tick.
    warmedUp_ = Reopen(true);
}

bool TCameraShare::Reclaim()
{
    warmedUp_ = false;
    return Reopen(false);
}

}  // namespace app
