#pragma once
// Hidden notification windows and posted messages on top of the Qt event loop.
//
// A NotifyWindow receives (message, wParam, lParam) records posted to its
// handle, in posting order, on the thread that created it. Posting is allowed
// from any thread; posting to a window that no longer exists is dropped.

#include <QObject>

#include <cstdint>
#include <functional>

namespace platform {

using WindowHandle = std::uintptr_t;  // 0 = no window
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

constexpr std::uint32_t WM_USER = 0x400;

struct Message {
    std::uint32_t msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LPARAM result = 0;
};

inline std::uint16_t LoWord(LPARAM v) { return static_cast<std::uint16_t>(v & 0xFFFF); }
inline std::uint16_t HiWord(LPARAM v) { return static_cast<std::uint16_t>((v >> 16) & 0xFFFF); }
inline LPARAM MakeLParam(std::uint16_t lo, std::uint16_t hi)
{
    return static_cast<LPARAM>(static_cast<std::uint32_t>(lo) | (static_cast<std::uint32_t>(hi) << 16));
}

class NotifyWindow : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<void(Message&)>;

    explicit NotifyWindow(Handler handler = {});
    ~NotifyWindow() override;

    WindowHandle Handle() const { return handle_; }
    // Clearing the handler first lets an owner detach before destruction;
    // messages arriving without a handler are ignored.
    void SetHandler(Handler handler) { handler_ = std::move(handler); }

    // Delivers a message synchronously (SendMessage).
    LPARAM Send(std::uint32_t msg, WPARAM wParam, LPARAM lParam);

protected:
    bool event(QEvent* e) override;

private:
    Handler handler_;
    WindowHandle handle_ = 0;
};

// Posts a record to the window with this handle. False when it does not exist.
bool PostMessage(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);
bool IsWindow(WindowHandle window);

// The application's process-pending-messages call.
void ProcessMessages();
// Dispatches everything queued for the calling thread; returns false when a
// quit was requested (the caller then sets its own terminated flag).
bool ProcessThreadMessages();

// Handles pending messages; with none pending, blocks until one arrives or
// timeoutMs has passed. WaitThreadMessages does the same for the calling
// thread's own queue and returns false when a quit was requested.
void WaitMessages(int timeoutMs);
bool WaitThreadMessages(int timeoutMs);

// The application-terminating flag: set once the program has begun to quit.
bool ApplicationTerminated();
void SetApplicationTerminated(bool terminated);

}  // namespace platform
