#include "app/CameraChoice.h"

#include "app/Settings.h"
#include "capture/videocap.h"
#include "platform/capture.h"

namespace app {
namespace {

const QString kName = QStringLiteral("name");

}  // namespace

int StoredDriverIndex(const platform::IniFile& file)
{
    const int index = ReadDriverIndex(file);
    const QString identity = file.ReadString(keys::Driver, kName, QString());
    if (identity.isEmpty())
        return index;
    QString present;
    if (index >= 0 && platform::GetDriverIdentity(unsigned(index), present) && present == identity)
        return index;
    return FindDriverIndex(identity);
}

void StoreDriverChoice(platform::IniFile& file, int index, const QString& identity)
{
    WriteDriverIndex(file, index);
    file.WriteString(keys::Driver, kName, identity);
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
