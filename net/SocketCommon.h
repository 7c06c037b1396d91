#pragma once
// What every layer of the socket component and its users share: constants,
// error numbers, enumerations, the free functions and the send queue's block.

#include "platform/exception.h"
#include "platform/messages.h"
#include "platform/sockets.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <initializer_list>
#include <memory>

TARVO_DECLARE_EXCEPTION(ESocketException, Exception);

// ---------------------------------------------------------------------------
// Constants

// Messages of the notification window.
constexpr std::uint32_t WM_SOCKET_EVENT = 0x401;       // wParam socket, lParam bits | error << 16
constexpr std::uint32_t WM_HOST_BY_NAME_DONE = 0x402;  // wParam lookup, error in high word
constexpr std::uint32_t WM_HOST_BY_ADDR_DONE = 0x403;
constexpr std::uint32_t WM_CLOSE_LATER = 0x404;
constexpr std::uint32_t WM_FREE_LATER = 0x405;
constexpr std::uint32_t WM_LINE_DATA_PENDING = 0x414;

// Readiness event masks selected by Connect, Listen and Dup.
constexpr std::uint16_t kConnectEventMask = 59;  // read|write|accept|connect|close
constexpr std::uint16_t kListenEventMask = 43;   // read|write|accept|close
constexpr std::uint16_t kDupEventMask = 51;      // read|write|connect|close

// Error numbers (the sockets API's own; SOCKS failures are 20001-20017).
using platform::WSAEINTR;
using platform::WSAEBADF;
using platform::WSAEACCES;
using platform::WSAEFAULT;
using platform::WSAEINVAL;
using platform::WSAEMFILE;
using platform::WSAEWOULDBLOCK;
using platform::WSAEINPROGRESS;
using platform::WSAEALREADY;
using platform::WSAENOTSOCK;
using platform::WSAEADDRINUSE;
using platform::WSAEADDRNOTAVAIL;
using platform::WSAENETUNREACH;
using platform::WSAECONNABORTED;
using platform::WSAECONNRESET;
using platform::WSAENOTCONN;
using platform::WSAESHUTDOWN;
using platform::WSAETIMEDOUT;
using platform::WSAECONNREFUSED;
using platform::WSAEHOSTUNREACH;
using platform::WSANOTINITIALISED;
using platform::WSAHOST_NOT_FOUND;
using platform::WSATRY_AGAIN;
using platform::WSANO_RECOVERY;
using platform::WSANO_DATA;

// Failure codes of the SOCKS layer.
constexpr int socksNoError = 20000;
constexpr int socksProtocolError = 20001;
constexpr int socksVersionError = 20002;
constexpr int socksAuthMethodError = 20003;
constexpr int socksGeneralFailure = 20004;
constexpr int socksConnectionNotAllowed = 20005;
constexpr int socksNetworkUnreachable = 20006;
constexpr int socksHostUnreachable = 20007;
constexpr int socksConnectionRefused = 20008;
constexpr int socksTtlExpired = 20009;
constexpr int socksUnknownCommand = 20010;
constexpr int socksUnknownAddressType = 20011;
constexpr int socksUnassignedError = 20012;
constexpr int socksInternalError = 20013;
constexpr int socksDataReceiveError = 20014;
constexpr int socksAuthenticationFailed = 20015;
constexpr int socksRejectedOrFailed = 20016;
constexpr int socksHostResolutionFailed = 20017;

// Result of a synchronous wait that timed out or was ended by termination.
constexpr int kSyncWaitTimeout = 12001;

using TSocket = platform::SocketHandle;
constexpr TSocket INVALID_SOCKET = platform::kInvalidSocket;
using TSockAddrIn = platform::SockAddrIn;

// ---------------------------------------------------------------------------
// Enumerations (ordinal values are stored and compared as numbers)

enum TSocketState {
    wsInvalidState = 0,
    wsOpened = 1,
    wsBound = 2,
    wsConnecting = 3,
    wsConnected = 4,
    wsAccepting = 5,
    wsListening = 6,
    wsClosed = 7,
};

enum TSocketSendFlags {
    wsSendNormal = 0,
    wsSendUrgent = 1,
};

enum TSocketLingerOnOff {
    wsLingerOff = 0,
    wsLingerOn = 1,
    wsLingerNoSet = 2,
};

enum TWSocketOption {
    wsoNoReceiveLoop = 0,
    wsoTcpNoDelay = 1,
};

// A set of TWSocketOption, one bit per option.
class TWSocketOptions
{
public:
    constexpr TWSocketOptions() = default;
    constexpr TWSocketOptions(std::initializer_list<TWSocketOption> options)
    {
        for (TWSocketOption o : options)
            bits_ |= Bit(o);
    }
    constexpr bool Contains(TWSocketOption o) const { return (bits_ & Bit(o)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr std::uint8_t Bits() const { return bits_; }
    constexpr TWSocketOptions operator+(TWSocketOption o) const { return FromBits(bits_ | Bit(o)); }
    constexpr TWSocketOptions operator-(TWSocketOption o) const { return FromBits(bits_ & ~Bit(o)); }
    constexpr TWSocketOptions operator+(TWSocketOptions o) const { return FromBits(bits_ | o.bits_); }
    constexpr TWSocketOptions operator-(TWSocketOptions o) const { return FromBits(bits_ & ~o.bits_); }
    constexpr bool operator==(const TWSocketOptions&) const = default;
    static constexpr TWSocketOptions FromBits(std::uint8_t bits)
    {
        TWSocketOptions s;
        s.bits_ = bits & 0x03;
        return s;
    }

private:
    static constexpr std::uint8_t Bit(TWSocketOption o) { return std::uint8_t(1u << unsigned(o)); }
    std::uint8_t bits_ = 0;
};

enum TSocksAuthentication {
    socksNoAuthentication = 0,
    socksAuthenticateUsercode = 1,
};

enum TSocksAuthState {
    socksAuthBegun = 0,
    socksAuthAccepted = 1,
    socksAuthRejected = 2,
    socksAuthSkipped = 3,
};

// ---------------------------------------------------------------------------
// Free functions

// English text of a sockets error number; "Not a WinSock error" when unknown.
QString SocketErrorText(int errorCode);

// Resolve functions: raise ESocketException directly (never through OnError).
// Address in network order; blocking for names.
std::uint32_t WSocketResolveHost(const QString& host);
// Port number in host order; numbers above 65535 are refused.
std::uint16_t WSocketResolvePort(const QString& port, const QString& proto);
int WSocketResolveProto(const QString& proto);

// True for a dotted IPv4 text, blanks before and after allowed.
bool IsDottedIPv4(const QString& text);
// Decimal digits after leading blanks; 0 without digits; saturates at 2^32-1.
std::uint32_t ParseLeadingNumber(const QString& text);

// Socket objects alive in the process.
int LiveSocketCount();
// Starts the sockets service if needed (every socket call does this itself).
void LoadSocketsLibrary();
// Cancels pending lookups, stops the service and sets LiveSocketCount to 0.
void UnloadSocketsLibrary();
bool SocketsLibraryLoaded();

// ---------------------------------------------------------------------------
// TBuffer: one block of the send queue.

class TBuffer
{
public:
    explicit TBuffer(int size);
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    int Size() const { return size_; }
    void SetSize(int size);
    // Appends up to length bytes; returns how many fitted.
    int Write(const void* data, int length);
    // The unread bytes; nullptr and length 0 when there are none.
    const char* Peek(int* length) const;
    // Marks up to count unread bytes as taken; returns the amount taken.
    int Remove(int count);

    int WriteCount() const { return writeCount_; }
    int ReadOffset() const { return readOffset_; }

private:
    std::unique_ptr<char[]> data_;
    int size_ = 0;
    int writeCount_ = 0;
    int readOffset_ = 0;
};
