#include "platform/threads.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

bool LowerCurrentThreadPriority()
{
    // On Linux a nice value belongs to the thread (its id), and threads
    // created afterwards inherit it.
    constexpr int kLowestNice = 19;
    const auto threadId = static_cast<id_t>(syscall(SYS_gettid));
    return setpriority(PRIO_PROCESS, threadId, kLowestNice) == 0;
}

}  // namespace platform
