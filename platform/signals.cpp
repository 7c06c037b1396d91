#include "platform/signals.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

namespace platform {
namespace {

// The write end is touched by the signal handler: a plain int, set before
// the handler is installed and never changed while it is.
int g_pipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int signalNumber)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a pending request; dropping this one is fine.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

struct Receiver {
    std::unique_ptr<QSocketNotifier> notifier;
    std::function<void(int)> handler;
};

Receiver& receiver()
{
    static Receiver r;
    return r;
}

bool OpenPipe()
{
    if (g_pipe[0] >= 0)
        return true;
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    for (int fd : fds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    g_pipe[0] = fds[0];
    g_pipe[1] = fds[1];
    return true;
}

void Drain()
{
    unsigned char bytes[16];
    for (;;) {
        const ssize_t n = ::read(g_pipe[0], bytes, sizeof bytes);
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i) {
            // Copy: the handler may replace itself.
            const std::function<void(int)> handler = receiver().handler;
            if (handler)
                handler(bytes[i]);
        }
    }
}

bool Install(void (*action)(int))
{
    struct sigaction sa {};
    sa.sa_handler = action;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &sa, nullptr) == 0 && ::sigaction(SIGINT, &sa, nullptr) == 0;
}

}  // namespace

bool SetTerminationHandler(std::function<void(int signalNumber)> handler)
{
    Receiver& r = receiver();
    if (!handler) {
        Install(SIG_DFL);
        r.handler = nullptr;
        r.notifier.reset();
        return true;
    }
    if (!OpenPipe())
        return false;
    r.handler = std::move(handler);
    if (!r.notifier) {
        r.notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
        QObject::connect(r.notifier.get(), &QSocketNotifier::activated, [] { Drain(); });
    }
    return Install(OnTerminationSignal);
}

}  // namespace platform
