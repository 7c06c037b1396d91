#include "app/CameraChoice.h"

#include "settings/Settings.h"
#include "capture/videocap.h"
#include "capture/engine/CaptureService.h"

namespace app {
int StoredDriverIndex(const QString& fileName)
{
    const int index = settings::ReadDriverIndex(fileName);
    const QString identity = settings::ReadDriverIdentity(fileName);
    if (identity.isEmpty())
        return index;
    QString present;
    if (index >= 0 && platform::GetDriverIdentity(unsigned(index), present) && present == identity)
        return index;
    return FindDriverIndex(identity);
}

void TDriverChoice::Restore(TVideoCap& cap)
{
    const int index = StoredDriverIndex(fileName_);
    index_ = index >= 0 ? index : settings::ReadDriverIndex(fileName_);
    identity_ = settings::ReadDriverIdentity(fileName_);
    cap.SetDriverIndex(index);
    // Older files name no device: the one opened is the one chosen.
    if (identity_.isEmpty())
        identity_ = cap.DriverIdentity();
}

void TDriverChoice::Remember(const TVideoCap& cap)
{
    index_ = cap.DriverIndex();
    identity_ = cap.DriverIdentity();
}

void TDriverChoice::Save() const noexcept
{
    try {
        settings::WriteDriverChoice(fileName_, index_, identity_);
    } catch (const std::exception&) {
        // The program is ending: nobody is there to tell.
    }
}

TCameraReturn::TCameraReturn(TVideoCap& cap) : cap_(cap)
{
    retry_.setInterval(kRetryMs);
    connect(&retry_, &QTimer::timeout, this, [this] { TryNow(); });
}

void TCameraReturn::Lost(const QString& identity)
{
    awaited_ = identity;
    if (awaited_.isEmpty())
        retry_.stop();
    else
        retry_.start();
}

bool TCameraReturn::TryNow()
{
    if (awaited_.isEmpty())
        return false;
    const int index = FindDriverIndex(awaited_);
    if (index < 0)
        return false;
    try {
        cap_.SetDriverIndex(index);
        cap_.SetDriverOpen(true);
    } catch (const std::exception&) {
        // Present but not usable yet (still settling, or held elsewhere): later.
        return false;
    }
    if (!cap_.DriverOpen())
        return false;
    awaited_.clear();
    retry_.stop();
    if (OnReturned)
        OnReturned();
    return true;
}

}  // namespace app
