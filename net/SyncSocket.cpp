#include "net/SyncSocket.h"
#include "net/SocketInternals.h"

#include <algorithm>
#include <chrono>

using namespace platform;

// ---------------------------------------------------------------------------

TCustomSyncWSocket::TCustomSyncWSocket(QObject* owner) : TCustomLineWSocket(owner) {}

int TCustomSyncWSocket::RunAndWait(bool& flag, const std::function<void()>& method)
{
    flag = false;
    if (method)
        method();
    return WaitForFlag(flag);
}

int TCustomSyncWSocket::WaitForFlag(bool& flag)
{
    using Clock = std::chrono::steady_clock;
    const auto nowMs = [] {
        return std::int64_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
    };
    syncDeadline_ = nowMs() + syncTimeout_;
    while (!flag) {
        const std::int64_t left = syncDeadline_ - nowMs();
        if (syncTimeout_ > 0 && left < 0)
            return kSyncWaitTimeout;
        if (ApplicationTerminated() || terminated_)
            return kSyncWaitTimeout;
        // The flag is set by a handler, so only an event can change it; the
        // step bounds how late termination is seen.
        WaitForEvents(int(syncTimeout_ > 0 ? std::min<std::int64_t>(left + 1, 100) : 100));
    }
    return 0;
}
