#include "platform/messages.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QMutex>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include <atomic>
#include <unordered_map>

namespace platform {
namespace {

const QEvent::Type kMessageEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class MessageEvent : public QEvent
{
public:
    explicit MessageEvent(const Message& m) : QEvent(kMessageEventType), message(m) {}
    Message message;
};

// Handles are never reused within a run, so a late post to a destroyed
// window cannot reach a newer one that happens to live at the same address.
struct Registry {
    QMutex mutex;
    std::unordered_map<WindowHandle, NotifyWindow*> windows;
    WindowHandle next = 1;
};

Registry& registry()
{
    static Registry r;
    return r;
}

std::atomic<bool> g_terminated{false};

}  // namespace

NotifyWindow::NotifyWindow(Handler handler) : handler_(std::move(handler))
{
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    handle_ = r.next++;
    r.windows.emplace(handle_, this);
}

NotifyWindow::~NotifyWindow()
{
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.windows.erase(handle_);
    // Qt discards events still posted to this object when it is destroyed.
}

LPARAM NotifyWindow::Send(std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    Message m{msg, wParam, lParam, 0};
    if (handler_) {
        Handler h = handler_;  // the handler may replace itself
        h(m);
    }
    return m.result;
}

bool NotifyWindow::event(QEvent* e)
{
    if (e->type() != kMessageEventType)
        return QObject::event(e);
    Message& m = static_cast<MessageEvent*>(e)->message;
    if (handler_) {
        Handler h = handler_;
        h(m);
    }
    return true;
}

bool PostMessage(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    auto it = r.windows.find(window);
    if (it == r.windows.end())
        return false;
    // Posting under the lock: the window cannot be destroyed meanwhile.
    QCoreApplication::postEvent(it->second, new MessageEvent(Message{msg, wParam, lParam, 0}));
    return true;
}

bool IsWindow(WindowHandle window)
{
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    return r.windows.count(window) != 0;
}

void ProcessMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool ProcessThreadMessages()
{
    if (auto* d = QThread::currentThread()->eventDispatcher())
        d->processEvents(QEventLoop::AllEvents);
    return !ApplicationTerminated();
}

void WaitMessages(int timeoutMs)
{
    QAbstractEventDispatcher* d = QThread::currentThread()->eventDispatcher();
    if (!d)
        return;
    QTimer wake;  // ends the wait at the deadline when nothing else arrives
    wake.setSingleShot(true);
    wake.start(std::max(0, timeoutMs));
    d->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool WaitThreadMessages(int timeoutMs)
{
    WaitMessages(timeoutMs);
    return !ApplicationTerminated();
}

bool ApplicationTerminated()
{
    return g_terminated.load() || QCoreApplication::closingDown();
}

void SetApplicationTerminated(bool terminated)
{
    g_terminated.store(terminated);
}

}  // namespace platform
