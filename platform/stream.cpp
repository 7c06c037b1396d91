#include "platform/stream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

int OpenStream()
{
    const int stream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // SSH sends many small packets and waits for each answer: without this,
    // every one waits for the peer's delayed acknowledgement.
    const int on = 1;
    if (stream >= 0)
        ::setsockopt(stream, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return stream;
}

StreamError ConnectStream(int stream, std::uint32_t addressNetOrder, std::uint16_t port, QString* text)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = addressNetOrder;
    int rc = 0;
    do
        rc = ::connect(stream, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return StreamError::None;
    const int error = errno;
    if (text)
        *text = QString::fromLocal8Bit(::strerror(error));
    switch (error) {
    case ECONNREFUSED:
        return StreamError::Refused;
    case ETIMEDOUT:
        return StreamError::TimedOut;
    case ENETUNREACH:
    case EHOSTUNREACH:
        return StreamError::Unreachable;
    default:
        return StreamError::Other;
    }
}

int PeekStream(int stream, char* buffer, int size, int atLeast, int waitMs)
{
    // The socket counts as readable only once atLeast bytes wait (or at its
    // end), so the poll neither wakes for a first fragment nor spins on it.
    ::setsockopt(stream, SOL_SOCKET, SO_RCVLOWAT, &atLeast, sizeof atLeast);
    pollfd readable{stream, POLLIN, 0};
    int rc = 0;
    do
        rc = ::poll(&readable, 1, waitMs);
    while (rc < 0 && errno == EINTR);
    const int one = 1;
    ::setsockopt(stream, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
    if (rc <= 0)
        return 0;
    ssize_t count = 0;
    do
        count = ::recv(stream, buffer, static_cast<size_t>(size), MSG_PEEK | MSG_DONTWAIT);
    while (count < 0 && errno == EINTR);
    return count > 0 ? static_cast<int>(count) : 0;
}

int DuplicateStream(int stream)
{
    return ::fcntl(stream, F_DUPFD_CLOEXEC, 0);
}

void ShutdownStream(int stream)
{
    ::shutdown(stream, SHUT_RDWR);
}

void EndStream(int stream, int waitMs)
{
    ::shutdown(stream, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    char bytes[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{stream, POLLIN, 0};
        const int rc = left.count() > 0 ? ::poll(&ready, 1, static_cast<int>(left.count())) : 0;
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return;
        const ssize_t n = ::recv(stream, bytes, sizeof bytes, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return;
    }
}

void CloseStream(int stream)
{
    ::close(stream);
}

}  // namespace platform
