#pragma once
// Helpers shared by the sources of the socket component's layers (not part
// of the component's interface).

#include "net/SocketCore.h"

#include <QPointer>
#include <QString>

#include <atomic>
#include <exception>

namespace wsocket_detail {

// Sockets alive in the process (LiveSocketCount).
extern std::atomic<int> g_liveSockets;

// The message of an exception, ours or the standard library's.
QString ExceptionText(const std::exception& e);

// Raises ESocketException with text.
[[noreturn]] void Throw(const QString& text);

// The component's liveness guard: taken before firing an event, it tells
// whether a handler destroyed the object, or ended or replaced its
// connection, meanwhile. Handles are never reused within a run.
class EventWatch
{
public:
    explicit EventWatch(TCustomWSocket* s) : self_(s), handle_(s->HSocket()) {}
    bool Destroyed() const { return !self_; }
    bool Ended() const { return !self_ || self_->HSocket() != handle_; }

private:
    QPointer<TCustomWSocket> self_;
    TSocket handle_;
};

// Sets a member flag for a scope; restores it on the way out unless a
// handler destroyed the object meanwhile.
class FlagScope
{
public:
    FlagScope(QObject* owner, bool& flag, bool value) : owner_(owner), flag_(flag), outer_(flag) { flag = value; }
    ~FlagScope()
    {
        if (owner_)
            flag_ = outer_;
    }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    QPointer<QObject> owner_;
    bool& flag_;
    bool outer_;
};

}  // namespace wsocket_detail
