// Lets a test make the linger option fail: this definition takes the place of
// the C library's setsockopt in the net test program and forwards every
// other call to it.
#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>

bool g_failLingerOption = false;

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length)
{
    using Fn = int (*)(int, int, int, const void*, socklen_t);
    static const Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "setsockopt"));
    if (g_failLingerOption && level == SOL_SOCKET && name == SO_LINGER) {
        errno = ENOBUFS;
        return -1;
    }
    return next(fd, level, name, value, length);
}
