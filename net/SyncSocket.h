#pragma once
// Synchronous waits of the socket component: until an event handler sets a flag.

#include "net/LineSocket.h"

#include <functional>

class TCustomSyncWSocket : public TCustomLineWSocket
{
public:
    explicit TCustomSyncWSocket(QObject* owner = nullptr);

    int SyncTimeout() const { return syncTimeout_; }
    void SetSyncTimeout(int ms) { syncTimeout_ = ms; }

    // flag := false, runs method, then waits for the flag: 0, or 12001 on
    // time-out or program termination.
    virtual int RunAndWait(bool& flag, const std::function<void()>& method);
    virtual int WaitForFlag(bool& flag);
};
