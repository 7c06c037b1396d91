#pragma once
// Non-blocking IPv4 sockets with readiness posted as window messages.
//
// The calls follow the sockets API the socket component was written for:
// they return -1 (or an invalid handle) on failure and leave the error number
// (10000 and above, or 11001.. for lookups) in a per-thread last error.
// Readiness is posted to a NotifyWindow as (msg, socket handle,
// MakeLParam(event bits, error)), each kind re-enabled by these rules:
//   read    once, then again only after the program has called Recv
//   write   after connect completes, when selected on a connected socket,
//           and after a send that would have blocked once room is back
//   accept  once per pending connection (re-enabled by Accept)
//   connect once, with the connect error
//   close   once, with 0 for an orderly close or the reset error
// Socket handles are never reused within a run, so a message queued for a
// closed socket cannot be mistaken for a newer one.
//
// Lookups run on a worker thread and post (msg, lookup handle,
// MakeLParam(0, error)); the result waits in the shim until taken.

#include "platform/messages.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;
constexpr int kSocketError = -1;

// Address family, socket types and protocol numbers as the system stores them.
constexpr int kAfInet = 2;
constexpr int kSockStream = 1;
constexpr int kSockDgram = 2;
constexpr int kSockRaw = 3;
constexpr int kIpProtoTcp = 6;
constexpr int kIpProtoUdp = 17;

constexpr std::uint32_t kInAddrNone = 0xFFFFFFFFu;  // also 255.255.255.255
constexpr std::uint32_t kInAddrAny = 0;

// Send/receive flags.
constexpr int kMsgOob = 1;
constexpr int kMsgPeek = 2;

// Shutdown directions.
constexpr int kSdReceive = 0;
constexpr int kSdSend = 1;
constexpr int kSdBoth = 2;

// Readiness event bits.
constexpr std::uint16_t FD_READ = 0x01;
constexpr std::uint16_t FD_WRITE = 0x02;
constexpr std::uint16_t FD_OOB = 0x04;
constexpr std::uint16_t FD_ACCEPT = 0x08;
constexpr std::uint16_t FD_CONNECT = 0x10;
constexpr std::uint16_t FD_CLOSE = 0x20;

// Error numbers of the sockets API.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The 16-byte IPv4 socket address record: port and address in network order.
struct SockAddrIn {
    std::uint16_t sin_family = kAfInet;
    std::uint16_t sin_port = 0;
    std::uint32_t sin_addr = 0;
    std::uint8_t sin_zero[8] = {};
};
static_assert(sizeof(SockAddrIn) == 16);

// Linger option value: two 16-bit fields.
struct Linger {
    std::uint16_t l_onoff = 0;
    std::uint16_t l_linger = 0;
};

// IPv4 multicast group membership: group and interface, network order.
struct IpMreq {
    std::uint32_t imr_multiaddr = 0;
    std::uint32_t imr_interface = 0;
};

enum class SockOpt {
    ReuseAddr,       // int, non-zero = on
    KeepAlive,       // int
    Broadcast,       // int
    Linger,          // Linger
    TcpNoDelay,      // int
    MulticastTtl,    // int
    MulticastIf,     // std::uint32_t address, network order
    AddMembership,   // IpMreq
    Error,           // int (get only): the pending error, mapped
    SendBuffer,      // int
    ReceiveBuffer,   // int
};

// Start and cleanup of the service. Every call below works without an
// explicit start; cleanup cancels pending lookups.
void SocketsStartup();
void SocketsCleanup();
bool SocketsStarted();

int WSAGetLastError();
void WSASetLastError(int error);

SocketHandle Socket(int family, int type, int protocol);
int CloseSocket(SocketHandle s);
int Bind(SocketHandle s, const SockAddrIn& addr);
int Connect(SocketHandle s, const SockAddrIn& addr);  // non-blocking: would-block when pending
int Listen(SocketHandle s, int backlog);
// addr, when given, receives the peer's address.
SocketHandle Accept(SocketHandle s, SockAddrIn* addr);
int Shutdown(SocketHandle s, int how);

int Send(SocketHandle s, const void* data, int length, int flags);
int SendTo(SocketHandle s, const void* data, int length, int flags, const SockAddrIn& to);
int Recv(SocketHandle s, void* buffer, int length, int flags);
int RecvFrom(SocketHandle s, void* buffer, int length, int flags, SockAddrIn* from);

int SetSockOpt(SocketHandle s, SockOpt option, const void* value, int length);
int GetSockOpt(SocketHandle s, SockOpt option, void* value, int* length);
// Bytes readable now (the FIONREAD query).
int IoctlFionRead(SocketHandle s, unsigned long* count);
int GetSockName(SocketHandle s, SockAddrIn* addr);
int GetPeerName(SocketHandle s, SockAddrIn* addr);

// Selects the readiness events posted to window as msg; mask 0 stops them.
int AsyncSelect(SocketHandle s, WindowHandle window, std::uint32_t msg, std::uint16_t mask);

// Byte order and address text.
std::uint16_t Htons(std::uint16_t v);
std::uint16_t Ntohs(std::uint16_t v);
std::uint32_t Htonl(std::uint32_t v);
std::uint32_t Ntohl(std::uint32_t v);
// Dotted text to a network-order address; kInAddrNone when not an address.
std::uint32_t InetAddr(const QString& text);
QString InetNtoa(std::uint32_t addressNetOrder);

// Blocking database lookups; false with the last error set when not found.
bool GetHostByName(const QString& name, std::uint32_t* firstAddress);
bool GetServByName(const QString& service, const QString& protocol, std::uint16_t* portNetOrder);
bool GetProtoByName(const QString& name, int* protocol);

// Asynchronous lookups. The handle is never 0 and never reused.
using LookupHandle = std::uintptr_t;
struct HostEntry {
    QString name;                         // official name
    QStringList aliases;
    std::vector<std::uint32_t> addresses;  // network order, in resolver order
};
LookupHandle AsyncGetHostByName(WindowHandle window, std::uint32_t msg, const QString& name);
LookupHandle AsyncGetHostByAddr(WindowHandle window, std::uint32_t msg, std::uint32_t addressNetOrder);
// Cancels a lookup whose result has not been taken; its message, if already
// queued, then finds nothing to take. -1 (WSAEINVAL) for an unknown handle.
int CancelAsyncRequest(LookupHandle handle);
// Removes the finished lookup's result; false when cancelled or unknown.
bool TakeLookupResult(LookupHandle handle, HostEntry* entry);

}  // namespace platform
