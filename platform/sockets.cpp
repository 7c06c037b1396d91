#include "platform/sockets.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace platform {
namespace {

thread_local int t_lastError = 0;

int Fail(int error)
{
    t_lastError = error;
    return kSocketError;
}

// errno onto the sockets API's numbers.
int MapErrno(int e)
{
    switch (e) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAENETDOWN;
    }
}

int FailErrno()
{
    return Fail(MapErrno(errno));
}

int MapGaiError(int rc, int savedErrno)
{
    switch (rc) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SYSTEM: return savedErrno ? MapErrno(savedErrno) : WSANO_RECOVERY;
    default: return WSANO_RECOVERY;
    }
}

sockaddr_in ToNative(const SockAddrIn& a)
{
    sockaddr_in n{};
    n.sin_family = AF_INET;
    n.sin_port = a.sin_port;
    n.sin_addr.s_addr = a.sin_addr;
    return n;
}

SockAddrIn FromNative(const sockaddr_in& n)
{
    SockAddrIn a;
    a.sin_family = kAfInet;
    a.sin_port = n.sin_port;
    a.sin_addr = n.sin_addr.s_addr;
    return a;
}

// ---------------------------------------------------------------------------
// Sockets and their readiness notices

enum class Phase {
    Fresh,       // created, not connected or listening
    Connecting,  // non-blocking connect under way
    Connected,   // stream connected, or any datagram socket
    Listening,
    Dead,        // connect failed
};

struct SocketRec {
    int fd = -1;
    int type = kSockStream;
    Phase phase = Phase::Fresh;
    WindowHandle window = 0;
    std::uint32_t msg = 0;
    std::uint16_t mask = 0;
    bool readArmed = true;    // a read or accept notice may be posted
    bool writeArmed = false;  // a write notice is owed once writable
    bool closePosted = false;
    bool sendShutdown = false;
    Linger linger;
    bool closing = false;
    QElapsedTimer closeStarted;
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
};

struct SocketTable {
    QMutex mutex;  // guards the map; a socket itself is used by one thread
    std::unordered_map<SocketHandle, std::unique_ptr<SocketRec>> sockets;
    SocketHandle next = 1;
};

SocketTable& table()
{
    static SocketTable* t = new SocketTable;  // outlives late static destructors
    return *t;
}

std::atomic<bool> g_started{false};

SocketRec* Find(SocketHandle s)
{
    SocketTable& t = table();
    QMutexLocker lock(&t.mutex);
    auto it = t.sockets.find(s);
    return it == t.sockets.end() ? nullptr : it->second.get();
}

void Post(SocketRec& r, SocketHandle s, std::uint16_t event, int error)
{
    if (!r.window || !(r.mask & event))
        return;
    PostMessage(r.window, r.msg, WPARAM(s), MakeLParam(event, std::uint16_t(error)));
}

void UpdateNotifiers(SocketRec& r)
{
    bool wantRead = false;
    bool wantWrite = false;
    if (r.window && r.mask) {
        switch (r.phase) {
        case Phase::Connecting:
            wantWrite = true;
            break;
        case Phase::Connected:
            wantRead = r.readArmed && !r.closePosted && (r.mask & (FD_READ | FD_CLOSE));
            wantWrite = r.writeArmed && (r.mask & FD_WRITE);
            break;
        case Phase::Listening:
            wantRead = r.readArmed && (r.mask & FD_ACCEPT);
            break;
        case Phase::Fresh:
        case Phase::Dead:
            break;
        }
    }
    if (r.readNotifier)
        r.readNotifier->setEnabled(wantRead);
    if (r.writeNotifier)
        r.writeNotifier->setEnabled(wantWrite);
}

void OnReadable(SocketHandle s)
{
    SocketRec* r = Find(s);
    if (!r)
        return;
    if (r->phase == Phase::Listening) {
        Post(*r, s, FD_ACCEPT, 0);
        r->readArmed = false;  // Accept re-arms
    } else if (r->phase == Phase::Connected) {
        char probe;
        const ssize_t n = ::recv(r->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0 || (n == 0 && r->type != kSockStream)) {
            Post(*r, s, FD_READ, 0);
            r->readArmed = false;  // Recv re-arms
        } else if (n == 0) {
            r->closePosted = true;
            Post(*r, s, FD_CLOSE, 0);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            r->closePosted = true;
            Post(*r, s, FD_CLOSE, MapErrno(errno));
        }
    }
    UpdateNotifiers(*r);
}

void OnWritable(SocketHandle s)
{
    SocketRec* r = Find(s);
    if (!r)
        return;
    if (r->phase == Phase::Connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(r->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        if (err == 0) {
            r->phase = Phase::Connected;
            r->readArmed = true;
            r->writeArmed = false;
            Post(*r, s, FD_CONNECT, 0);
            Post(*r, s, FD_WRITE, 0);
        } else {
            r->phase = Phase::Dead;
            Post(*r, s, FD_CONNECT, MapErrno(err));
        }
    } else if (r->phase == Phase::Connected && r->writeArmed) {
        r->writeArmed = false;
        Post(*r, s, FD_WRITE, 0);
    }
    UpdateNotifiers(*r);
}

SocketHandle Register(int fd, int type, Phase phase)
{
    auto rec = std::make_unique<SocketRec>();
    rec->fd = fd;
    rec->type = type;
    rec->phase = phase;
    SocketTable& t = table();
    SocketHandle s;
    {
        QMutexLocker lock(&t.mutex);
        s = t.next++;
    }
    rec->readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    rec->readNotifier->setEnabled(false);
    QObject::connect(rec->readNotifier.get(), &QSocketNotifier::activated, [s] { OnReadable(s); });
    rec->writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    rec->writeNotifier->setEnabled(false);
    QObject::connect(rec->writeNotifier.get(), &QSocketNotifier::activated, [s] { OnWritable(s); });
    QMutexLocker lock(&t.mutex);
    t.sockets.emplace(s, std::move(rec));
    return s;
}

int NativeSockType(int type)
{
    switch (type) {
    case kSockStream: return SOCK_STREAM;
    case kSockDgram: return SOCK_DGRAM;
    case kSockRaw: return SOCK_RAW;
    default: return -1;
    }
}

int NativeFlags(int flags)
{
    int n = MSG_DONTWAIT | MSG_NOSIGNAL;
    if (flags & kMsgOob)
        n |= MSG_OOB;
    if (flags & kMsgPeek)
        n |= MSG_PEEK;
    return n;
}

// ---------------------------------------------------------------------------
// Host lookups

int ResolveName(const QString& name, HostEntry* entry)
{
    const QByteArray host = name.toUtf8();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    errno = 0;
    const int rc = ::getaddrinfo(host.constData(), nullptr, &hints, &list);
    if (rc != 0)
        return MapGaiError(rc, errno);
    entry->name = name;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_canonname && entry->addresses.empty())
            entry->name = QString::fromUtf8(ai->ai_canonname);
        if (ai->ai_family != AF_INET)
            continue;
        const std::uint32_t a = reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (std::uint32_t x : entry->addresses)
            seen = seen || x == a;
        if (!seen)
            entry->addresses.push_back(a);
    }
    ::freeaddrinfo(list);
    return entry->addresses.empty() ? WSANO_DATA : 0;
}

int ResolveAddr(std::uint32_t address, HostEntry* entry)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    char host[NI_MAXHOST];
    errno = 0;
    const int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host,
                                 nullptr, 0, NI_NAMEREQD);
    if (rc != 0)
        return MapGaiError(rc, errno);
    entry->name = QString::fromUtf8(host);
    entry->addresses.push_back(address);
    return 0;
}

struct Lookup {
    WindowHandle window = 0;
    std::uint32_t msg = 0;
    bool reverse = false;
    QString name;
    std::uint32_t address = 0;
    bool done = false;
    HostEntry entry;
};

struct LookupTable {
    std::mutex mutex;
    std::unordered_map<LookupHandle, std::shared_ptr<Lookup>> pending;
    LookupHandle next = 1;
    bool exiting = false;
};

LookupTable& lookups()
{
    static LookupTable* t = [] {
        auto* table = new LookupTable;  // workers may outlive static destruction
        std::atexit([] {
            LookupTable& l = lookups();
            std::lock_guard lock(l.mutex);
            l.exiting = true;
            l.pending.clear();
        });
        return table;
    }();
    return *t;
}

LookupHandle StartLookup(std::shared_ptr<Lookup> job)
{
    LookupTable& l = lookups();
    LookupHandle handle;
    {
        std::lock_guard lock(l.mutex);
        handle = l.next++;
        l.pending.emplace(handle, job);
    }
    std::thread([handle, job] {
        HostEntry entry;
        const int error = job->reverse ? ResolveAddr(job->address, &entry) : ResolveName(job->name, &entry);
        LookupTable& l = lookups();
        std::lock_guard lock(l.mutex);
        auto it = l.pending.find(handle);
        if (l.exiting || it == l.pending.end())
            return;  // cancelled
        job->entry = std::move(entry);
        job->done = true;
        if (!PostMessage(job->window, job->msg, WPARAM(handle), MakeLParam(0, std::uint16_t(error))))
            l.pending.erase(it);  // the window is gone: nobody will take it
    }).detach();
    return handle;
}

}  // namespace

// ---------------------------------------------------------------------------

void SocketsStartup()
{
    g_started = true;
}

void SocketsCleanup()
{
    LookupTable& l = lookups();
    std::lock_guard lock(l.mutex);
    l.pending.clear();
    g_started = false;
}

bool SocketsStarted()
{
    return g_started;
}

int WSAGetLastError()
{
    return t_lastError;
}

void WSASetLastError(int error)
{
    t_lastError = error;
}

SocketHandle Socket(int family, int type, int protocol)
{
    if (family != kAfInet) {
        Fail(WSAEAFNOSUPPORT);
        return kInvalidSocket;
    }
    const int nativeType = NativeSockType(type);
    if (nativeType < 0) {
        Fail(WSAESOCKTNOSUPPORT);
        return kInvalidSocket;
    }
    const int fd = ::socket(AF_INET, nativeType | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        FailErrno();
        return kInvalidSocket;
    }
    return Register(fd, type, type == kSockStream ? Phase::Fresh : Phase::Connected);
}

int CloseSocket(SocketHandle s)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    // A graceful linger with data still unsent: report would-block until the
    // data has left or the linger time is up, as the caller retries.
    bool lingerExpired = false;
    if (r->type == kSockStream && r->phase == Phase::Connected && r->linger.l_onoff && r->linger.l_linger > 0) {
        int unsent = 0;
        if (!r->closing) {
            r->closing = true;
            r->closeStarted.start();
        }
        if (::ioctl(r->fd, SIOCOUTQ, &unsent) == 0 && unsent > 0) {
            if (r->closeStarted.elapsed() < qint64(r->linger.l_linger) * 1000)
                return Fail(WSAEWOULDBLOCK);
            lingerExpired = true;
        }
    }
    std::unique_ptr<SocketRec> rec;
    {
        SocketTable& t = table();
        QMutexLocker lock(&t.mutex);
        auto it = t.sockets.find(s);
        rec = std::move(it->second);
        t.sockets.erase(it);
    }
    rec->readNotifier.reset();
    rec->writeNotifier.reset();
    if (rec->closing) {
        // The wait is over and close() must not block on it again: all data
        // has gone, so close gracefully; or the time is up, so reset.
        ::linger l{lingerExpired ? 1 : 0, 0};
        ::setsockopt(rec->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    if (::close(rec->fd) != 0 && errno != EINTR)
        return FailErrno();
    return 0;
}

int Bind(SocketHandle s, const SockAddrIn& addr)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    const sockaddr_in n = ToNative(addr);
    if (::bind(r->fd, reinterpret_cast<const sockaddr*>(&n), sizeof n) != 0)
        return FailErrno();
    return 0;
}

int Connect(SocketHandle s, const SockAddrIn& addr)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    const sockaddr_in n = ToNative(addr);
    if (::connect(r->fd, reinterpret_cast<const sockaddr*>(&n), sizeof n) == 0) {
        if (r->type == kSockStream) {
            // Completed at once: the notices follow as for a pending connect.
            r->phase = Phase::Connecting;
            UpdateNotifiers(*r);
        }
        return 0;
    }
    const int e = errno;
    if (r->type != kSockStream)
        return Fail(MapErrno(e));
    switch (e) {
    case EINPROGRESS:
    case EAGAIN:
        r->phase = Phase::Connecting;
        UpdateNotifiers(*r);
        return Fail(WSAEWOULDBLOCK);
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
        // Failures the peer answered at once still arrive as the connect notice.
        r->phase = Phase::Dead;
        Post(*r, s, FD_CONNECT, MapErrno(e));
        UpdateNotifiers(*r);
        return Fail(WSAEWOULDBLOCK);
    default:
        return Fail(MapErrno(e));
    }
}

int Listen(SocketHandle s, int backlog)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (r->type != kSockStream)
        return Fail(WSAEOPNOTSUPP);
    if (::listen(r->fd, backlog) != 0)
        return FailErrno();
    r->phase = Phase::Listening;
    r->readArmed = true;
    UpdateNotifiers(*r);
    return 0;
}

SocketHandle Accept(SocketHandle s, SockAddrIn* addr)
{
    SocketRec* r = Find(s);
    if (!r) {
        Fail(WSAENOTSOCK);
        return kInvalidSocket;
    }
    if (r->phase != Phase::Listening) {
        Fail(WSAEINVAL);
        return kInvalidSocket;
    }
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(r->fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int e = errno;
    r->readArmed = true;
    UpdateNotifiers(*r);
    if (fd < 0) {
        Fail(MapErrno(e));
        return kInvalidSocket;
    }
    if (addr)
        *addr = FromNative(peer);
    return Register(fd, kSockStream, Phase::Connected);
}

int Shutdown(SocketHandle s, int how)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    int native;
    switch (how) {
    case kSdReceive: native = SHUT_RD; break;
    case kSdSend: native = SHUT_WR; break;
    case kSdBoth: native = SHUT_RDWR; break;
    default: return Fail(WSAEINVAL);
    }
    if (::shutdown(r->fd, native) != 0)
        return FailErrno();
    if (how != kSdReceive)
        r->sendShutdown = true;
    return 0;
}

namespace {

int FinishSend(SocketRec* r, ssize_t n, int length)
{
    if (n < 0) {
        const int e = errno;
        if (e == EAGAIN || e == EWOULDBLOCK) {
            r->writeArmed = true;  // notify once room is back
            UpdateNotifiers(*r);
            return Fail(WSAEWOULDBLOCK);
        }
        if (e == EPIPE) {
            // Linux says EPIPE for three different situations.
            if (r->sendShutdown)
                return Fail(WSAESHUTDOWN);
            if (r->phase != Phase::Connected)
                return Fail(WSAENOTCONN);
            return Fail(WSAECONNRESET);
        }
        return Fail(MapErrno(e));
    }
    if (n < length) {
        // Part taken: the caller stops and waits for the write notice.
        r->writeArmed = true;
        UpdateNotifiers(*r);
    }
    return int(n);
}

}  // namespace

int Send(SocketHandle s, const void* data, int length, int flags)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (length < 0)
        return Fail(WSAEINVAL);
    return FinishSend(r, ::send(r->fd, data, size_t(length), NativeFlags(flags)), length);
}

int SendTo(SocketHandle s, const void* data, int length, int flags, const SockAddrIn& to)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (length < 0)
        return Fail(WSAEINVAL);
    const sockaddr_in n = ToNative(to);
    return FinishSend(r, ::sendto(r->fd, data, size_t(length), NativeFlags(flags),
                                  reinterpret_cast<const sockaddr*>(&n), sizeof n),
                      length);
}

namespace {

int FinishRecv(SocketRec* r, ssize_t n)
{
    const int e = errno;
    r->readArmed = true;  // any receive call re-enables the read notice
    UpdateNotifiers(*r);
    if (n < 0)
        return Fail(MapErrno(e));
    return int(n);
}

}  // namespace

int Recv(SocketHandle s, void* buffer, int length, int flags)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (length < 0)
        return Fail(WSAEINVAL);
    if (length == 0 && r->type == kSockStream) {
        // A zero-length read tells an open connection (would-block) from a
        // closed one (0), so callers can probe a connection without reading.
        char probe;
        const ssize_t n = ::recv(r->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0)
            return Fail(WSAEWOULDBLOCK);
        return FinishRecv(r, n);
    }
    return FinishRecv(r, ::recv(r->fd, buffer, size_t(length), NativeFlags(flags)));
}

int RecvFrom(SocketHandle s, void* buffer, int length, int flags, SockAddrIn* from)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (length < 0)
        return Fail(WSAEINVAL);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const ssize_t n = ::recvfrom(r->fd, buffer, size_t(length), NativeFlags(flags),
                                 reinterpret_cast<sockaddr*>(&peer), &len);
    const int rc = FinishRecv(r, n);
    if (rc >= 0 && from)
        *from = FromNative(peer);
    return rc;
}

namespace {

bool NativeOption(SockOpt option, int* level, int* name)
{
    switch (option) {
    case SockOpt::ReuseAddr: *level = SOL_SOCKET; *name = SO_REUSEADDR; return true;
    case SockOpt::KeepAlive: *level = SOL_SOCKET; *name = SO_KEEPALIVE; return true;
    case SockOpt::Broadcast: *level = SOL_SOCKET; *name = SO_BROADCAST; return true;
    case SockOpt::Linger: *level = SOL_SOCKET; *name = SO_LINGER; return true;
    case SockOpt::TcpNoDelay: *level = IPPROTO_TCP; *name = TCP_NODELAY; return true;
    case SockOpt::MulticastTtl: *level = IPPROTO_IP; *name = IP_MULTICAST_TTL; return true;
    case SockOpt::MulticastIf: *level = IPPROTO_IP; *name = IP_MULTICAST_IF; return true;
    case SockOpt::AddMembership: *level = IPPROTO_IP; *name = IP_ADD_MEMBERSHIP; return true;
    case SockOpt::Error: *level = SOL_SOCKET; *name = SO_ERROR; return true;
    case SockOpt::SendBuffer: *level = SOL_SOCKET; *name = SO_SNDBUF; return true;
    case SockOpt::ReceiveBuffer: *level = SOL_SOCKET; *name = SO_RCVBUF; return true;
    }
    return false;
}

}  // namespace

int SetSockOpt(SocketHandle s, SockOpt option, const void* value, int length)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    int level = 0;
    int name = 0;
    if (!NativeOption(option, &level, &name) || option == SockOpt::Error)
        return Fail(WSAENOPROTOOPT);
    if (!value)
        return Fail(WSAEFAULT);
    int rc;
    switch (option) {
    case SockOpt::Linger: {
        if (length < int(sizeof(Linger)))
            return Fail(WSAEFAULT);
        Linger l;
        std::memcpy(&l, value, sizeof l);
        ::linger n{l.l_onoff ? 1 : 0, l.l_linger};
        rc = ::setsockopt(r->fd, level, name, &n, sizeof n);
        if (rc == 0)
            r->linger = l;
        break;
    }
    case SockOpt::MulticastIf: {
        if (length < 4)
            return Fail(WSAEFAULT);
        in_addr a{};
        std::memcpy(&a.s_addr, value, 4);
        rc = ::setsockopt(r->fd, level, name, &a, sizeof a);
        break;
    }
    case SockOpt::AddMembership: {
        if (length < int(sizeof(IpMreq)))
            return Fail(WSAEFAULT);
        IpMreq m;
        std::memcpy(&m, value, sizeof m);
        ip_mreq n{};
        n.imr_multiaddr.s_addr = m.imr_multiaddr;
        n.imr_interface.s_addr = m.imr_interface;
        rc = ::setsockopt(r->fd, level, name, &n, sizeof n);
        break;
    }
    default: {
        if (length < int(sizeof(int)))
            return Fail(WSAEFAULT);
        int v;
        std::memcpy(&v, value, sizeof v);
        if (option != SockOpt::MulticastTtl && option != SockOpt::SendBuffer && option != SockOpt::ReceiveBuffer)
            v = v ? 1 : 0;
        rc = ::setsockopt(r->fd, level, name, &v, sizeof v);
        break;
    }
    }
    return rc == 0 ? 0 : FailErrno();
}

int GetSockOpt(SocketHandle s, SockOpt option, void* value, int* length)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    int level = 0;
    int name = 0;
    if (!NativeOption(option, &level, &name))
        return Fail(WSAENOPROTOOPT);
    if (!value || !length)
        return Fail(WSAEFAULT);
    if (option == SockOpt::Linger) {
        if (*length < int(sizeof(Linger)))
            return Fail(WSAEFAULT);
        ::linger n{};
        socklen_t len = sizeof n;
        if (::getsockopt(r->fd, level, name, &n, &len) != 0)
            return FailErrno();
        Linger l;
        l.l_onoff = std::uint16_t(n.l_onoff ? 1 : 0);
        l.l_linger = std::uint16_t(n.l_linger);
        std::memcpy(value, &l, sizeof l);
        *length = sizeof l;
        return 0;
    }
    if (*length < int(sizeof(int)))
        return Fail(WSAEFAULT);
    int v = 0;
    socklen_t len = sizeof v;
    if (::getsockopt(r->fd, level, name, &v, &len) != 0)
        return FailErrno();
    if (option == SockOpt::Error)
        v = MapErrno(v);
    std::memcpy(value, &v, sizeof v);
    *length = sizeof v;
    return 0;
}

int IoctlFionRead(SocketHandle s, unsigned long* count)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    int n = 0;
    if (r->phase == Phase::Listening) {
        *count = 0;
        return 0;
    }
    if (::ioctl(r->fd, FIONREAD, &n) != 0)
        return FailErrno();
    *count = static_cast<unsigned long>(n < 0 ? 0 : n);
    return 0;
}

namespace {

// The local or the peer address of a socket, by the query given.
int QueryName(SocketHandle s, SockAddrIn* addr, int (*query)(int, sockaddr*, socklen_t*))
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    sockaddr_in n{};
    socklen_t len = sizeof n;
    if (query(r->fd, reinterpret_cast<sockaddr*>(&n), &len) != 0)
        return FailErrno();
    if (addr)
        *addr = FromNative(n);
    return 0;
}

}  // namespace

int GetSockName(SocketHandle s, SockAddrIn* addr)
{
    return QueryName(s, addr, ::getsockname);
}

int GetPeerName(SocketHandle s, SockAddrIn* addr)
{
    return QueryName(s, addr, ::getpeername);
}

int AsyncSelect(SocketHandle s, WindowHandle window, std::uint32_t msg, std::uint16_t mask)
{
    SocketRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (mask && !IsWindow(window))
        return Fail(WSAEINVAL);
    r->window = window;
    r->msg = msg;
    r->mask = mask;
    if (mask) {
        // Selecting again reports conditions that already hold.
        r->readArmed = true;
        if (r->phase == Phase::Connected && (mask & FD_WRITE))
            r->writeArmed = true;
    }
    UpdateNotifiers(*r);
    return 0;
}

std::uint16_t Htons(std::uint16_t v) { return htons(v); }
std::uint16_t Ntohs(std::uint16_t v) { return ntohs(v); }
std::uint32_t Htonl(std::uint32_t v) { return htonl(v); }
std::uint32_t Ntohl(std::uint32_t v) { return ntohl(v); }

std::uint32_t InetAddr(const QString& text)
{
    const QByteArray a = text.trimmed().toLatin1();
    if (a.isEmpty())
        return kInAddrNone;
    return ::inet_addr(a.constData());
}

QString InetNtoa(std::uint32_t addressNetOrder)
{
    const std::uint32_t h = ntohl(addressNetOrder);
    return QStringLiteral("%1.%2.%3.%4").arg(h >> 24).arg((h >> 16) & 0xFF).arg((h >> 8) & 0xFF).arg(h & 0xFF);
}

bool GetHostByName(const QString& name, std::uint32_t* firstAddress)
{
    HostEntry entry;
    const int error = ResolveName(name, &entry);
    if (error != 0) {
        Fail(error);
        return false;
    }
    *firstAddress = entry.addresses.front();
    return true;
}

bool GetServByName(const QString& service, const QString& protocol, std::uint16_t* portNetOrder)
{
    const QByteArray name = service.toLatin1();
    const QByteArray proto = protocol.toLatin1();
    servent entry{};
    servent* found = nullptr;
    char buffer[4096];
    if (::getservbyname_r(name.constData(), proto.isEmpty() ? nullptr : proto.constData(), &entry, buffer,
                          sizeof buffer, &found) != 0
        || !found) {
        Fail(WSANO_DATA);
        return false;
    }
    *portNetOrder = std::uint16_t(found->s_port);
    return true;
}

bool GetProtoByName(const QString& name, int* protocol)
{
    const QByteArray n = name.toLatin1();
    protoent entry{};
    protoent* found = nullptr;
    char buffer[4096];
    if (::getprotobyname_r(n.constData(), &entry, buffer, sizeof buffer, &found) != 0 || !found) {
        Fail(WSANO_DATA);
        return false;
    }
    *protocol = found->p_proto;
    return true;
}

LookupHandle AsyncGetHostByName(WindowHandle window, std::uint32_t msg, const QString& name)
{
    if (!IsWindow(window)) {
        Fail(WSAEINVAL);
        return 0;
    }
    auto job = std::make_shared<Lookup>();
    job->window = window;
    job->msg = msg;
    job->name = name;
    return StartLookup(std::move(job));
}

LookupHandle AsyncGetHostByAddr(WindowHandle window, std::uint32_t msg, std::uint32_t addressNetOrder)
{
    if (!IsWindow(window)) {
        Fail(WSAEINVAL);
        return 0;
    }
    auto job = std::make_shared<Lookup>();
    job->window = window;
    job->msg = msg;
    job->reverse = true;
    job->address = addressNetOrder;
    return StartLookup(std::move(job));
}

int CancelAsyncRequest(LookupHandle handle)
{
    LookupTable& l = lookups();
    std::lock_guard lock(l.mutex);
    if (l.pending.erase(handle) == 0)
        return Fail(WSAEINVAL);
    return 0;
}

bool TakeLookupResult(LookupHandle handle, HostEntry* entry)
{
    LookupTable& l = lookups();
    std::lock_guard lock(l.mutex);
    auto it = l.pending.find(handle);
    if (it == l.pending.end() || !it->second->done)
        return false;
    if (entry)
        *entry = std::move(it->second->entry);
    l.pending.erase(it);
    return true;
}

}  // namespace platform
