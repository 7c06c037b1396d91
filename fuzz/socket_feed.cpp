#include "fuzz/socket_feed.h"

#include "platform/sockets.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace fuzz {
namespace {

// One listening socket for the whole run, in the sockets shim so that
// accepted connections can be handed to the component.
platform::SocketHandle Listener(std::uint16_t& portNetOrder)
{
    static platform::SocketHandle listener = platform::kInvalidSocket;
    static std::uint16_t port = 0;
    if (listener == platform::kInvalidSocket) {
        listener = platform::Socket(platform::kAfInet, platform::kSockStream, platform::kIpProtoTcp);
        platform::SockAddrIn a;
        a.sin_addr = platform::Htonl(0x7F000001);
        if (platform::Bind(listener, a) != 0 || platform::Listen(listener, 16) != 0)
            return platform::kInvalidSocket;
        platform::SockAddrIn bound;
        platform::GetSockName(listener, &bound);
        port = bound.sin_port;
    }
    portNetOrder = port;
    return listener;
}

}  // namespace

FeedSocket::FeedSocket() = default;

FeedSocket::~FeedSocket()
{
    OnDataAvailable = nullptr;
    OnSessionClosed = nullptr;
    OnSessionConnected = nullptr;
    if (peer_ >= 0)
        ::close(peer_);
}

bool FeedSocket::Open()
{
    std::uint16_t port = 0;
    const platform::SocketHandle listener = Listener(port);
    if (listener == platform::kInvalidSocket)
        return false;
    peer_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = port;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(peer_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return false;
    // Small pieces must not wait for an acknowledgement (Nagle).
    const int one = 1;
    ::setsockopt(peer_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in local{};
    socklen_t localLength = sizeof local;
    ::getsockname(peer_, reinterpret_cast<sockaddr*>(&local), &localLength);
    // On a busy machine the connection may reach the accept queue a moment
    // after connect returns, and a connection left there by an earlier run
    // must not be taken for this one: accept until the peer port matches.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        platform::SockAddrIn from;
        const platform::SocketHandle ours = platform::Accept(listener, &from);
        if (ours == platform::kInvalidSocket) {
            sched_yield();
            continue;
        }
        if (from.sin_port != local.sin_port) {
            platform::CloseSocket(ours);
            continue;
        }
        Dup(ours);
        return IsOpen();
    }
    return false;
}

void FeedSocket::Feed(const QByteArray& bytes)
{
    if (!IsOpen() || bytes.isEmpty())
        return;
    // Bytes a handler left unread are still counted by the kernel.
    unsigned long before = 0;
    platform::IoctlFionRead(hSocket_, &before);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(peer_, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += n;
    }
    // Loopback delivery can lag on a busy machine: the read path must see
    // the whole piece, or a run would depend on the load.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    unsigned long count = 0;
    while (platform::IoctlFionRead(hSocket_, &count) == 0 && count < before + static_cast<unsigned long>(bytes.size())
           && std::chrono::steady_clock::now() < deadline)
        sched_yield();
    DrainReceive(0, componentOptions_);
}

void FeedSocket::PeerClose()
{
    if (peer_ >= 0)
        ::shutdown(peer_, SHUT_WR);
    if (!IsOpen())
        return;
    DrainReceive(0, componentOptions_ - wsoNoReceiveLoop);
    if (!IsOpen())
        return;
    if (!closeReported_) {
        closeReported_ = true;
        FireSessionClosed(0);
    }
    if (state_ != wsClosed)
        Close();
}

QByteArray FeedSocket::TakeSent(bool waitForSome)
{
    QByteArray out;
    if (waitForSome) {
        pollfd p{peer_, POLLIN, 0};
        ::poll(&p, 1, 5000);
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(peer_, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            break;
        out.append(buf, n);
    }
    return out;
}

void FeedSocket::BeginSocks(const QString& level, bool usercode, const QString& user, const QString& password,
                            const QString& host, std::uint16_t port)
{
    socksLevel_ = level;
    socksServer_ = QStringLiteral("127.0.0.1");
    socksServerAssigned_ = true;
    socksUsercode_ = user;
    socksPassword_ = password;
    socksAuthentication_ = usercode ? socksAuthenticateUsercode : socksNoAuthentication;
    addrStr_ = host;
    portNum_ = port;
    socksReplyCount_ = 0;
    socksPhase_ = socksPhaseAwaitingMethodReply;
    // The proxy accepted the TCP connection: the first request goes out.
    FireSessionConnected(0);
}

void PumpPosted()
{
    QCoreApplication::sendPostedEvents();
}

}  // namespace fuzz
