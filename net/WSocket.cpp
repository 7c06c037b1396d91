#include "net/WSocket.h"
#include "net/WSocketWatch.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>

using namespace platform;
using wsocket_detail::EventWatch;
using wsocket_detail::FlagScope;

namespace {

std::atomic<int> g_liveSockets{0};

bool IsDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

QString ExceptionText(const std::exception& e)
{
    if (auto* x = dynamic_cast<const Exception*>(&e))
        return x->Message();
    return QString::fromUtf8(e.what());
}

[[noreturn]] void Throw(const QString& text)
{
    throw ESocketException(text);
}

}  // namespace

// ---------------------------------------------------------------------------
// Free functions

QString SocketErrorText(int errorCode)
{
    switch (errorCode) {
    case 0: return QStringLiteral("No Error");
    case 10004: return QStringLiteral("Interrupted system call");
    case 10009: return QStringLiteral("Bad file number");
    case 10013: return QStringLiteral("Permission denied");
    case 10014: return QStringLiteral("Bad address");
    case 10022: return QStringLiteral("Invalid argument");
    case 10024: return QStringLiteral("Too many open files");
    case 10035: return QStringLiteral("Operation would block");
    case 10036: return QStringLiteral("Operation now in progress");
    case 10037: return QStringLiteral("Operation already in progress");
    case 10038: return QStringLiteral("Socket operation on non-socket");
    case 10039: return QStringLiteral("Destination address required");
    case 10040: return QStringLiteral("Message too long");
    case 10041: return QStringLiteral("Protocol wrong type for socket");
    case 10042: return QStringLiteral("Protocol not available");
    case 10043: return QStringLiteral("Protocol not supported");
    case 10044: return QStringLiteral("Socket type not supported");
    case 10045: return QStringLiteral("Operation not supported on socket");
    case 10046: return QStringLiteral("Protocol family not supported");
    case 10047: return QStringLiteral("Address family not supported by protocol family");
    case 10048: return QStringLiteral("Address already in use");
    case 10049: return QStringLiteral("Address not available");
    case 10050: return QStringLiteral("Network is down");
    case 10051: return QStringLiteral("Network is unreachable");
    case 10052: return QStringLiteral("Network dropped connection on reset");
    case 10053: return QStringLiteral("Connection aborted");
    case 10054: return QStringLiteral("Connection reset by peer");
    case 10055: return QStringLiteral("No buffer space available");
    case 10056: return QStringLiteral("Socket is already connected");
    case 10057: return QStringLiteral("Socket is not connected");
    case 10058: return QStringLiteral("Can't send after socket shutdown");
    case 10059: return QStringLiteral("Too many references: can't splice");
    case 10060: return QStringLiteral("Connection timed out");
    case 10061: return QStringLiteral("Connection refused");
    case 10062: return QStringLiteral("Too many levels of symbolic links");
    case 10063: return QStringLiteral("File name too long");
    case 10064: return QStringLiteral("Host is down");
    case 10065: return QStringLiteral("No route to host");
    case 10066: return QStringLiteral("Directory not empty");
    case 10067: return QStringLiteral("Too many processes");
    case 10068: return QStringLiteral("Too many users");
    case 10069: return QStringLiteral("Disc quota exceeded");
    case 10070: return QStringLiteral("Stale NFS file handle");
    case 10071: return QStringLiteral("Too many levels of remote in path");
    case 10091: return QStringLiteral("Network sub-system is unusable");
    case 10092: return QStringLiteral("WinSock DLL cannot support this application");
    case 10093: return QStringLiteral("WinSock not initialized");
    case 11001: return QStringLiteral("Host not found");
    case 11002: return QStringLiteral("Non-authoritative host not found");
    case 11003: return QStringLiteral("Non-recoverable error");
    case 11004: return QStringLiteral("No Data");
    default: return QStringLiteral("Not a WinSock error");
    }
}

bool IsDottedIPv4(const QString& text)
{
    const int n = int(text.size());
    int i = 0;
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    if (i < n && text[i] == QLatin1Char('.'))
        return false;
    int dots = 0;
    int value = 0;
    while (i < n) {
        const QChar c = text[i];
        if (c == QLatin1Char('.')) {
            ++dots;
            if (dots > 3 || value > 255 || i == n - 1 || !IsDigit(text[i + 1]))
                return false;
            value = 0;
            ++i;
        } else if (IsDigit(c)) {
            value = std::min(value * 10 + (c.unicode() - '0'), 1000);  // only "above 255" matters
            ++i;
        } else {
            while (i < n && text[i] == QLatin1Char(' '))
                ++i;
            if (i == n)
                break;
            return false;
        }
    }
    return dots == 3 && value <= 255;
}

std::uint32_t ParseLeadingNumber(const QString& text)
{
    const int n = int(text.size());
    int i = 0;
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    std::uint64_t value = 0;
    for (; i < n && IsDigit(text[i]); ++i) {
        value = value * 10 + std::uint64_t(text[i].unicode() - '0');
        if (value > 0xFFFFFFFFull)
            value = 0xFFFFFFFFull + 1;  // saturate without wrapping
    }
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : std::uint32_t(value);
}

std::uint32_t WSocketResolveHost(const QString& host)
{
    if (host.isEmpty() || host.size() > 256)
        Throw(QStringLiteral("WSocketResolveHost: '") + host + QStringLiteral("' Invalid Hostname."));
    LoadSocketsLibrary();
    const QString text = host.trimmed();
    if (IsDottedIPv4(text)) {
        const std::uint32_t a = InetAddr(text);
        if (a == kInAddrNone && text != QLatin1String("255.255.255.255"))
            Throw(QStringLiteral("WSocketResolveHost: '") + host + QStringLiteral("' Invalid IP address."));
        return a;
    }
    std::uint32_t a = 0;
    if (!GetHostByName(text, &a))
        Throw(QStringLiteral("WSocketResolveHost: Cannot convert host address '%1', Error #%2")
                  .arg(host)
                  .arg(WSAGetLastError()));
    return a;
}

std::uint16_t WSocketResolvePort(const QString& port, const QString& proto)
{
    if (port.isEmpty() || port.size() >= 32)
        Throw(QStringLiteral("WSocketResolvePort: Invalid Port."));
    if (proto.isEmpty() || proto.size() >= 32)
        Throw(QStringLiteral("WSocketResolvePort: Invalid Proto."));
    if (IsDigit(port[0])) {
        const std::uint32_t value = ParseLeadingNumber(port);
        if (value > 65535)
            Throw(QStringLiteral("WSocketResolvePort: Port '%1' out of range.").arg(port));
        return std::uint16_t(value);
    }
    LoadSocketsLibrary();
    std::uint16_t netPort = 0;
    if (!GetServByName(port.trimmed(), proto.trimmed(), &netPort))
        Throw(QStringLiteral("WSocketResolvePort: Cannot convert port '%1', Error #%2")
                  .arg(port)
                  .arg(WSAGetLastError()));
    return Ntohs(netPort);
}

int WSocketResolveProto(const QString& proto)
{
    if (proto.isEmpty() || proto.size() >= 32)
        Throw(QStringLiteral("WSocketResolveProto: Invalid Protocol."));
    const QString text = proto.trimmed();
    if (!text.isEmpty() && IsDigit(text[0]))
        return int(std::min<std::uint32_t>(ParseLeadingNumber(text), INT_MAX));
    LoadSocketsLibrary();
    int number = 0;
    if (!GetProtoByName(text, &number))
        Throw(QStringLiteral("WSocketResolveProto: Cannot convert protocol '%1', Error #%2")
                  .arg(proto)
                  .arg(WSAGetLastError()));
    return number;
}

int LiveSocketCount()
{
    return g_liveSockets.load();
}

void LoadSocketsLibrary()
{
    if (!SocketsStarted())
        SocketsStartup();
}

void UnloadSocketsLibrary()
{
    if (SocketsStarted())
        SocketsCleanup();
    g_liveSockets = 0;
}

bool SocketsLibraryLoaded()
{
    return SocketsStarted();
}

// ---------------------------------------------------------------------------
// TBuffer

TBuffer::TBuffer(int size)
{
    SetSize(size);
}

void TBuffer::SetSize(int size)
{
    if (size <= 0)
        size = 1514;
    if (size == size_)
        return;
    auto storage = std::make_unique<char[]>(size_t(size));
    if (writeCount_ != readOffset_)
        std::copy_n(data_.get(), std::min(writeCount_, size), storage.get());
    data_ = std::move(storage);
    size_ = size;
    writeCount_ = std::min(writeCount_, size_);
    readOffset_ = std::min(readOffset_, writeCount_);
}

int TBuffer::Write(const void* data, int length)
{
    const int room = size_ - writeCount_;
    if (room <= 0 || length <= 0)
        return 0;
    const int n = std::min(room, length);
    std::copy_n(static_cast<const char*>(data), n, data_.get() + writeCount_);
    writeCount_ += n;
    return n;
}

const char* TBuffer::Peek(int* length) const
{
    const int n = writeCount_ - readOffset_;
    if (n <= 0) {
        *length = 0;
        return nullptr;
    }
    *length = n;
    return data_.get() + readOffset_;
}

int TBuffer::Remove(int count)
{
    const int left = writeCount_ - readOffset_;
    if (left <= 0 || count <= 0)
        return 0;
    const int n = std::min(count, left);
    readOffset_ += n;
    if (readOffset_ == writeCount_) {
        readOffset_ = 0;
        writeCount_ = 0;
    }
    return n;
}

// ---------------------------------------------------------------------------
// TCustomWSocket: construction and the notification window

TCustomWSocket::TCustomWSocket(QObject* owner) : QObject(owner)
{
    CreateNotifyWindow();
    blockSize_ = 1460;
    multiCastIpTTL_ = 1;
    TCustomWSocket::ResetToDefaults();
    ++g_liveSockets;
}

TCustomWSocket::~TCustomWSocket()
{
    destroying_ = true;
    // Owned sockets die after their owner's members (QObject children), so
    // handlers bound to the owner must not run from here.
    OnSessionConnected = nullptr;
    OnSessionAvailable = nullptr;
    OnSessionClosed = nullptr;
    OnDataAvailable = nullptr;
    OnDataSent = nullptr;
    OnSendData = nullptr;
    OnDnsLookupDone = nullptr;
    OnChangeState = nullptr;
    OnError = nullptr;
    OnBgException = nullptr;
    try {
        CancelLookup();
    } catch (...) {
    }
    if (state_ != wsClosed || hSocket_ != INVALID_SOCKET) {
        try {
            if (state_ == wsClosed) {
                // A handle left open by a failed Connect or Listen.
                platform::CloseSocket(hSocket_);
                hSocket_ = INVALID_SOCKET;
            } else {
                Close();
            }
        } catch (...) {
        }
    }
    if (--g_liveSockets < 1)
        UnloadSocketsLibrary();
    DropSendBuffers();
    DestroyNotifyWindow();
}

void TCustomWSocket::CreateNotifyWindow()
{
    window_ = std::make_unique<NotifyWindow>([this](Message& m) { HandleWindowMessage(m); });
    if (!window_ || !window_->Handle())
        Throw(QStringLiteral("Cannot create a hidden window for TWSocket"));
}

void TCustomWSocket::DestroyNotifyWindow()
{
    if (!window_)
        return;
    window_->SetHandler({});
    window_.reset();
}

bool TCustomWSocket::PostToSelf(std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    return window_ && PostMessage(window_->Handle(), msg, wParam, lParam);
}

void TCustomWSocket::HandleWindowMessage(Message& msg)
{
    try {
        switch (msg.msg) {
        case WM_SOCKET_EVENT:
            HandleSocketEvent(msg);
            break;
        case WM_HOST_BY_NAME_DONE:
            HandleLookupDone(msg, false);
            break;
        case WM_HOST_BY_ADDR_DONE:
            HandleLookupDone(msg, true);
            break;
        case WM_CLOSE_LATER:
            Close();
            break;
        case WM_FREE_LATER: {
            // Destroyed from the loop once this message has been handled;
            // also when no nested event loop is running.
            QPointer<TCustomWSocket> self(this);
            QTimer::singleShot(0, QCoreApplication::instance(), [self] { delete self.data(); });
            break;
        }
        default:
            msg.result = 0;
            break;
        }
    } catch (const std::exception& e) {
        HandleBackgroundError(e);
    }
}

void TCustomWSocket::HandleBackgroundError(const std::exception& e)
{
    bool canClose = true;
    const EventWatch watch(this);
    if (OnBgException) {
        try {
            OnBgException(this, e, canClose);
        } catch (...) {
        }
    }
    if (!watch.Destroyed() && canClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

// ---------------------------------------------------------------------------
// Readiness

void TCustomWSocket::HandleSocketEvent(Message& msg)
{
    const TSocket s = TSocket(msg.wParam);
    if (hSocket_ == INVALID_SOCKET || s != hSocket_ || paused_)
        return;  // stale (another connection's) or paused: dropped
    const std::uint16_t events = LoWord(msg.lParam);
    const std::uint16_t error = HiWord(msg.lParam);
    // A handler may destroy the object, or close or replace the connection;
    // later bits then belong to nothing.
    const EventWatch watch(this);
    auto gone = [&] { return watch.Ended(); };
    auto connected = [&] {
        if (state_ == wsConnected)
            return;
        SetState(wsConnected);
        if (!gone())
            FireSessionConnected(error);
    };

    if (events & FD_CONNECT) {
        connected();
        if (gone())
            return;
        if (error != 0 && state_ != wsClosed)
            Close();
        if (gone())
            return;
    }
    if (events & FD_READ) {
        connected();
        if (gone())
            return;
        DrainReceive(error, componentOptions_);
        if (gone())
            return;
    }
    if (events & FD_WRITE) {
        TryToSend();
        if (gone())
            return;
        if (allSent_)
            FireDataSent(error);
        if (gone())
            return;
    }
    if (events & FD_ACCEPT) {
        FireSessionAvailable(error);
        if (gone())
            return;
    }
    if ((events & FD_CLOSE) && state_ != wsConnecting) {
        // Offer everything still buffered before reporting the close.
        DrainReceive(0, componentOptions_ - wsoNoReceiveLoop);
        if (gone())
            return;
        if (!closeReported_) {
            closeReported_ = true;
            FireSessionClosed(error);
        }
        if (!gone() && state_ != wsClosed)
            Close();
    }
}

void TCustomWSocket::DrainReceive(std::uint16_t error, TWSocketOptions options)
{
    const EventWatch watch(this);
    for (;;) {
        if (hSocket_ == INVALID_SOCKET || watch.Ended() || paused_)
            return;
        try {
            const unsigned callsBefore = coreReceiveCalls_;
            lastError_ = 0;
            const bool handled = FireDataAvailable(error);
            if (watch.Destroyed())
                return;
            if (!handled && !watch.Ended()) {
                char discard[1024];
                if (RawReceive(discard, int(sizeof discard), 0) < 0) {
                    const int e = WSAGetLastError();
                    lastError_ = e == WSAEWOULDBLOCK ? 0 : e;
                    if (e == WSAEWOULDBLOCK)
                        return;
                }
            }
            if (options.Contains(wsoNoReceiveLoop))
                return;
            if (lastError_ != 0 || watch.Ended())
                return;
            unsigned long count = 0;
            if (IoctlFionRead(hSocket_, &count) != 0) {
                lastError_ = WSAGetLastError();
                return;
            }
            if (count == 0)
                return;
            // A handler that leaves the data unread would otherwise spin here;
            // the next read notice offers it again.
            if (coreReceiveCalls_ == callsBefore)
                return;
        } catch (const std::exception& e) {
            // A handler's failure ends this pass like any other in a notice.
            if (!watch.Destroyed())
                HandleBackgroundError(e);
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Properties

void TCustomWSocket::SetAddr(const QString& addr)
{
    if (state_ != wsClosed) {
        RaiseSocketError(QStringLiteral("Cannot change Addr if not closed"));
        return;
    }
    const QString text = addr.trimmed();
    if (addrAssigned_ && text == addrStr_)
        return;
    addrStr_ = text;
    addrAssigned_ = !text.isEmpty();
    if (addrAssigned_)
        addrResolved_ = false;
}

void TCustomWSocket::SetPort(const QString& port)
{
    if (state_ != wsClosed) {
        RaiseSocketError(QStringLiteral("Cannot change Port if not closed"));
        return;
    }
    const QString text = port.trimmed();
    if (portAssigned_ && text == portStr_)
        return;
    portStr_ = text;
    portAssigned_ = !text.isEmpty();
    if (portAssigned_)
        portResolved_ = false;
}

void TCustomWSocket::SetProto(const QString& proto)
{
    if (state_ != wsClosed) {
        RaiseSocketError(QStringLiteral("Cannot change Proto if not closed"));
        return;
    }
    const QString text = proto.trimmed();
    if (protoAssigned_ && text == protoStr_)
        return;
    protoStr_ = text;
    protoAssigned_ = !text.isEmpty();
    if (protoAssigned_)
        protoResolved_ = false;
}

void TCustomWSocket::SetLocalAddr(const QString& localAddr)
{
    if (state_ != wsClosed) {
        RaiseSocketError(QStringLiteral("Cannot change LocalAddr if not closed"));
        return;
    }
    localAddr_ = localAddr.isEmpty() ? QStringLiteral("0.0.0.0") : localAddr;
}

void TCustomWSocket::SetLocalPort(const QString& localPort)
{
    if (state_ != wsClosed) {
        RaiseSocketError(QStringLiteral("Cannot change LocalPort if not closed"));
        return;
    }
    localPortStr_ = localPort;
    localPortResolved_ = false;
}

TSocketSendFlags TCustomWSocket::SendFlags() const
{
    switch (sendFlags_) {
    case 0: return wsSendNormal;
    case kMsgOob: return wsSendUrgent;
    default:
        const_cast<TCustomWSocket*>(this)->RaiseSocketError(QStringLiteral("Invalid internal SendFlags"));
        return wsSendNormal;
    }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags flags)
{
    switch (flags) {
    case wsSendNormal: sendFlags_ = 0; break;
    case wsSendUrgent: sendFlags_ = kMsgOob; break;
    default: RaiseSocketError(QStringLiteral("Invalid SendFlags")); break;
    }
}

int TCustomWSocket::RcvdCount()
{
    if (hSocket_ == INVALID_SOCKET)
        return 0;
    unsigned long count = 0;
    if (IoctlFionRead(hSocket_, &count) != 0) {
        ReportSocketError(QStringLiteral("ioctlSocket"));
        return -1;
    }
    return int(std::min<unsigned long>(count, INT_MAX));
}

// ---------------------------------------------------------------------------
// State, reset and errors

void TCustomWSocket::SetState(TSocketState newState)
{
    const TSocketState old = state_;
    state_ = newState;
    FireChangeState(old, newState);
}

void TCustomWSocket::ResetToDefaults()
{
    sin_.sin_family = std::uint16_t(kAfInet);
    addrFormat_ = kAfInet;
    portAssigned_ = false;
    addrAssigned_ = false;
    addrResolved_ = false;
    portResolved_ = false;
    protoResolved_ = false;
    localPortResolved_ = false;
    protoStr_ = QStringLiteral("tcp");
    protoAssigned_ = true;
    proto_ = kIpProtoTcp;
    type_ = kSockStream;
    localPortStr_ = QStringLiteral("0");
    localAddr_ = QStringLiteral("0.0.0.0");
    lingerOnOff_ = wsLingerOn;
    lingerTimeout_ = 0;
    hSocket_ = INVALID_SOCKET;
    eventMask_ = 0;
    state_ = wsClosed;
    allSent_ = true;
    paused_ = false;
    readCount_ = 0;
    closeReported_ = false;
    flushTimeout_ = 60;
}

void TCustomWSocket::RaiseSocketError(const QString& message)
{
    if (OnError)
        FireError();
    else
        throw ESocketException(message);
}

void TCustomWSocket::ReportSocketError(const QString& functionName)
{
    const int n = WSAGetLastError();
    const QString text = QStringLiteral("Error %1 in function %2\r\n%3").arg(n).arg(functionName, SocketErrorText(n));
    if (n == WSAECONNRESET || n == WSAENOTCONN) {
        // The connection is gone: end it as a close does, reset included.
        ReleaseHandle();
        DropSendBuffers();
        const EventWatch watch(this);
        if (state_ != wsClosed) {
            SetState(wsClosed);
            if (watch.Destroyed())
                return;
            if (!closeReported_) {
                closeReported_ = true;
                FireSessionClosed(std::uint16_t(n));
                if (watch.Destroyed())
                    return;
            }
            if (hSocket_ == INVALID_SOCKET && state_ == wsClosed)  // not reconnected by a handler
                ResetToDefaults();
        }
    }
    lastError_ = n;
    RaiseSocketError(text);
}

// ---------------------------------------------------------------------------
// Connect, listen, accept, dup

void TCustomWSocket::Connect()
{
    if (hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
        RaiseSocketError(QStringLiteral("Connect: Socket already in use"));
        return;
    }
    if (!portAssigned_) {
        RaiseSocketError(QStringLiteral("Connect: No Port Specified"));
        return;
    }
    if (!addrAssigned_) {
        RaiseSocketError(QStringLiteral("Connect: No IP Address Specified"));
        return;
    }
    if (!protoAssigned_) {
        RaiseSocketError(QStringLiteral("Connect: No Protocol Specified"));
        return;
    }
    if (!OpenHandle(QStringLiteral("connect: "), QStringLiteral("Connect (socket)"), true))
        return;
    SetState(wsOpened);
    if (state_ != wsOpened) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError(QStringLiteral("Connect (Invalid operation in OnChangeState)"));
        return;
    }

    const int on = -1;
    if (type_ == kSockDgram) {
        if (!BindLocal())
            return;
        if (multiCast_) {
            if (multiCastIpTTL_ != 1
                && SetSockOpt(hSocket_, SockOpt::MulticastTtl, &multiCastIpTTL_, sizeof multiCastIpTTL_) != 0) {
                ReportSocketError(QStringLiteral("setsockopt(IP_MULTICAST_TTL)"));
                return;
            }
            if (localAddr_ != QLatin1String("0.0.0.0")) {
                std::uint32_t iface = 0;
                try {
                    iface = WSocketResolveHost(localAddr_);
                } catch (const std::exception& e) {
                    RaiseSocketError(QStringLiteral("connect: ") + ExceptionText(e));
                    return;
                }
                if (SetSockOpt(hSocket_, SockOpt::MulticastIf, &iface, sizeof iface) != 0) {
                    ReportSocketError(QStringLiteral("setsockopt(IP_MULTICAST_IF)"));
                    return;
                }
            }
        }
        if (sin_.sin_addr == kInAddrNone && SetSockOpt(hSocket_, SockOpt::Broadcast, &on, sizeof on) != 0) {
            ReportSocketError(QStringLiteral("setsockopt(SO_BROADCAST)"));
            return;
        }
    } else {
        if (!EnableReuseAddr())
            return;
        if (componentOptions_.Contains(wsoTcpNoDelay)
            && SetSockOpt(hSocket_, SockOpt::TcpNoDelay, &on, sizeof on) != 0) {
            ReportSocketError(QStringLiteral("setsockopt(IPPROTO_TCP, TCP_NODELAY)"));
            return;
        }
        if (!ApplyLinger())
            return;
        if (SetSockOpt(hSocket_, SockOpt::KeepAlive, &on, sizeof on) != 0) {
            ReportSocketError(QStringLiteral("setsockopt(SO_KEEPALIVE)"));
            return;
        }
        if ((localPortNum_ != 0 || localAddr_ != QLatin1String("0.0.0.0")) && !BindLocal())
            return;
    }

    if (AsyncSelect(hSocket_, Handle(), WM_SOCKET_EVENT, kConnectEventMask) != 0) {
        ReportSocketError(QStringLiteral("WSAAsyncSelect"));
        return;
    }
    eventMask_ = kConnectEventMask;

    if (type_ == kSockDgram) {
        SetState(wsConnected);
        FireSessionConnected(0);
        return;
    }
    if (platform::Connect(hSocket_, sin_) == 0 || WSAGetLastError() == WSAEWOULDBLOCK) {
        SetState(wsConnecting);  // completion arrives as the connect notice
        return;
    }
    lastError_ = WSAGetLastError();
    ReportSocketError(QStringLiteral("Connect"));
}

bool TCustomWSocket::BindLocal()
{
    TSockAddrIn local;
    local.sin_port = Htons(localPortNum_);
    try {
        local.sin_addr = WSocketResolveHost(localAddr_);
    } catch (const std::exception& e) {
        RaiseSocketError(ExceptionText(e));
        return false;
    }
    if (Bind(hSocket_, local) != 0) {
        lastError_ = WSAGetLastError();
        RaiseSocketError(QStringLiteral("winsock.bind failed, error #%1").arg(lastError_));
        return false;
    }
    TSockAddrIn bound;
    if (platform::GetSockName(hSocket_, &bound) != 0) {
        lastError_ = WSAGetLastError();
        RaiseSocketError(QStringLiteral("winsock.getsockname failed, error #%1").arg(lastError_));
        return false;
    }
    localPortNum_ = Ntohs(bound.sin_port);
    localPortStr_ = QString::number(localPortNum_);
    return true;
}

bool TCustomWSocket::OpenHandle(const QString& errorPrefix, const QString& socketFunction, bool withLocalPort)
{
    LoadSocketsLibrary();
    try {
        if (!protoResolved_) {
            proto_ = WSocketResolveProto(protoStr_);
            type_ = proto_ == kIpProtoTcp ? kSockStream : proto_ == kIpProtoUdp ? kSockDgram : kSockRaw;
            protoResolved_ = true;
        }
        if (!portResolved_) {
            portNum_ = WSocketResolvePort(portStr_, protoStr_);
            sin_.sin_port = Htons(portNum_);
            portResolved_ = true;
        }
        if (withLocalPort && !localPortResolved_) {
            localPortNum_ = WSocketResolvePort(localPortStr_, protoStr_);
            localPortResolved_ = true;
        }
        if (!addrResolved_) {
            sin_.sin_addr = WSocketResolveHost(addrStr_);
            addrResolved_ = true;
        }
    } catch (const std::exception& e) {
        RaiseSocketError(errorPrefix + ExceptionText(e));
        return false;
    }
    DropSendBuffers();
    ReleaseHandle();  // left open by an earlier call that failed in its options
    closeReported_ = false;
    hSocket_ = Socket(kAfInet, type_, proto_);
    if (hSocket_ == INVALID_SOCKET) {
        ReportSocketError(socketFunction);
        return false;
    }
    return true;
}

bool TCustomWSocket::EnableReuseAddr()
{
    const int on = -1;
    if (SetSockOpt(hSocket_, SockOpt::ReuseAddr, &on, sizeof on) != 0) {
        ReportSocketError(QStringLiteral("setsockopt(SO_REUSEADDR)"));
        return false;
    }
    return true;
}

void TCustomWSocket::ReleaseHandle()
{
    if (hSocket_ == INVALID_SOCKET)
        return;
    platform::CloseSocket(hSocket_);
    hSocket_ = INVALID_SOCKET;
}

void TCustomWSocket::Listen()
{
    if (!portAssigned_) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError(QStringLiteral("listen: port not assigned"));
        return;
    }
    if (!protoAssigned_) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError(QStringLiteral("listen: protocol not assigned"));
        return;
    }
    if (!addrAssigned_) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError(QStringLiteral("listen: address not assigned"));
        return;
    }
    if (!OpenHandle(QStringLiteral("listen: "), QStringLiteral("socket"), false))
        return;
    // A stream listener takes its port back at once after a close.
    if ((type_ == kSockDgram ? reuseAddr_ : true) && !EnableReuseAddr())
        return;
    if (Bind(hSocket_, sin_) != 0) {
        // Release the handle before reporting: the report may raise.
        const int e = WSAGetLastError();
        ReleaseHandle();
        WSASetLastError(e);
        ReportSocketError(QStringLiteral("Bind"));
        return;
    }
    SetState(wsBound);

    if (type_ == kSockDgram && multiCast_) {
        IpMreq group;
        group.imr_multiaddr = InetAddr(multiCastAddrStr_);
        try {
            group.imr_interface = WSocketResolveHost(addrStr_);
        } catch (const std::exception& e) {
            RaiseSocketError(QStringLiteral("listen: ") + ExceptionText(e));
            return;
        }
        if (SetSockOpt(hSocket_, SockOpt::AddMembership, &group, sizeof group) != 0) {
            ReportSocketError(QStringLiteral("setsockopt(IP MULTICAST)"));
            return;
        }
    }

    if (type_ == kSockStream) {
        if (platform::Listen(hSocket_, 5) != 0) {
            ReportSocketError(QStringLiteral("Listen"));
            return;
        }
        SetState(wsListening);
    } else if (type_ == kSockDgram || type_ == kSockRaw) {
        SetState(wsListening);
        SetState(wsConnected);
        FireSessionConnected(0);
        if (hSocket_ == INVALID_SOCKET)
            return;
    } else {
        ReportSocketError(QStringLiteral("Listen: unexpected protocol."));
        return;
    }

    const std::uint16_t mask = kListenEventMask;
    if (AsyncSelect(hSocket_, Handle(), WM_SOCKET_EVENT, mask) != 0) {
        ReportSocketError(QStringLiteral("WSAASyncSelect"));
        return;
    }
    eventMask_ = mask;
}

TSocket TCustomWSocket::Accept()
{
    if (state_ != wsListening) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError(QStringLiteral("not a listening socket"));
        return INVALID_SOCKET;
    }
    acceptedSocket_ = platform::Accept(hSocket_, &sin_);
    if (acceptedSocket_ == INVALID_SOCKET)
        ReportSocketError(QStringLiteral("Accept"));
    return acceptedSocket_;
}

void TCustomWSocket::Dup(TSocket newHSocket)
{
    if (newHSocket == 0 || newHSocket == INVALID_SOCKET) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError(QStringLiteral("Dup"));
        return;
    }
    if (state_ != wsClosed) {
        if (hSocket_ != INVALID_SOCKET && platform::CloseSocket(hSocket_) != 0) {
            ReportSocketError(QStringLiteral("Dup (closesocket)"));
            return;
        }
        hSocket_ = INVALID_SOCKET;
        SetState(wsClosed);
    }
    if (hSocket_ != newHSocket)
        ReleaseHandle();
    DropSendBuffers();
    closeReported_ = false;
    hSocket_ = newHSocket;
    ApplyLinger();
    if (hSocket_ != newHSocket)
        return;
    if (AsyncSelect(hSocket_, Handle(), WM_SOCKET_EVENT, kDupEventMask) != 0) {
        ReportSocketError(QStringLiteral("WSAAsyncSelect"));
        return;
    }
    eventMask_ = kDupEventMask;
    SetState(wsConnected);
}

bool TCustomWSocket::ApplyLinger()
{
    if (lingerOnOff_ == wsLingerNoSet)
        return true;
    if (hSocket_ == INVALID_SOCKET) {
        RaiseSocketError(QStringLiteral("Cannot set linger option at this time"));
        return false;
    }
    platform::Linger l;
    l.l_onoff = std::uint16_t(lingerOnOff_);
    l.l_linger = std::uint16_t(std::clamp(lingerTimeout_, 0, 65535));
    if (SetSockOpt(hSocket_, SockOpt::Linger, &l, sizeof l) != 0) {
        ReportSocketError(QStringLiteral("setsockopt(SO_LINGER)"));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Close

void TCustomWSocket::Close()
{
    CloseInternal(true, 0);
}

void TCustomWSocket::CloseInternal(bool shutdownFirst, int error)
{
    if (hSocket_ == INVALID_SOCKET) {
        if (state_ != wsClosed) {
            SetState(wsClosed);
            ResetToDefaults();
        }
        return;
    }
    if (state_ == wsClosed)
        return;
    if (shutdownFirst)
        platform::Shutdown(hSocket_, kSdSend);
    DropSendBuffers();  // never sent to whoever this object talks to next
    const EventWatch watch(this);
    const TSocket s = hSocket_;
    while (CloseSocket(s) != 0) {
        const int e = WSAGetLastError();
        if (e == WSAEWOULDBLOCK) {
            // A graceful linger is draining; nothing signals its end, so
            // look again in short steps.
            WaitForEvents(20);
            if (watch.Ended())
                return;  // destroyed or closed meanwhile by a handler
            continue;
        }
        lastError_ = e;
        hSocket_ = INVALID_SOCKET;
        if (e != WSANOTINITIALISED) {
            ReportSocketError(QStringLiteral("Disconnect (closesocket)"));
            return;
        }
        break;
    }
    hSocket_ = INVALID_SOCKET;
    SetState(wsClosed);
    if (watch.Destroyed())
        return;
    if (!destroying_ && !closeReported_) {
        closeReported_ = true;
        FireSessionClosed(std::uint16_t(error));
        if (watch.Destroyed())
            return;
    }
    if (hSocket_ != INVALID_SOCKET || state_ != wsClosed)
        return;  // a handler started a new connection: its settings stay
    try {
        ResetToDefaults();
    } catch (...) {
    }
}

void TCustomWSocket::Abort()
{
    CancelLookup();
    DropSendBuffers();
    if (state_ == wsConnected && proto_ == kIpProtoTcp && hSocket_ != INVALID_SOCKET) {
        lingerOnOff_ = wsLingerOff;
        ApplyLinger();
    }
    CloseInternal(false, 0);
}

void TCustomWSocket::CloseLater()
{
    PostToSelf(WM_CLOSE_LATER, 0, 0);
}

void TCustomWSocket::FreeLater()
{
    PostToSelf(WM_FREE_LATER, 0, 0);
}

void TCustomWSocket::Shutdown(int how)
{
    if (hSocket_ != INVALID_SOCKET)
        platform::Shutdown(hSocket_, how);
}

void TCustomWSocket::Pause()
{
    paused_ = true;
    if (hSocket_ != INVALID_SOCKET)
        AsyncSelect(hSocket_, Handle(), WM_SOCKET_EVENT, 0);
}

void TCustomWSocket::Resume()
{
    paused_ = false;
    if (hSocket_ != INVALID_SOCKET)
        AsyncSelect(hSocket_, Handle(), WM_SOCKET_EVENT, eventMask_);
}

void TCustomWSocket::WaitUntilClosed()
{
    const EventWatch watch(this);
    auto open = [&] { return !watch.Destroyed() && hSocket_ != INVALID_SOCKET && state_ != wsClosed; };
    while (open()) {
        if (terminated_ || ApplicationTerminated())
            return;
        unsigned long count = 0;
        if (IoctlFionRead(hSocket_, &count) != 0)
            return;
        if (count > 0)
            FireDataAvailable(0);
        if (!open())
            return;
        char probe;
        const int n = RawReceive(&probe, 0, 0);
        if (n <= 0) {
            const int e = WSAGetLastError();
            if (n == 0 || e != WSAEWOULDBLOCK) {
                if (n < 0)
                    lastError_ = e;
                return;
            }
        }
        // The close or more data arrives as a notice; the step bounds how
        // late termination is seen.
        WaitForEvents(100);
    }
}

void TCustomWSocket::WaitForEvents(int timeoutMs)
{
    if (!multiThreaded_)
        WaitMessages(timeoutMs);
    else if (!WaitThreadMessages(timeoutMs))
        terminated_ = true;
}

void TCustomWSocket::ProcessThreadMessages()
{
    if (!platform::ProcessThreadMessages())
        terminated_ = true;
}

void TCustomWSocket::PumpMessages()
{
    if (multiThreaded_)
        ProcessThreadMessages();
    else
        ProcessMessages();
}

// ---------------------------------------------------------------------------
// Receive

int TCustomWSocket::RawReceive(void* buffer, int length, int flags)
{
    ++coreReceiveCalls_;
    return Recv(hSocket_, buffer, length, flags);
}

int TCustomWSocket::RawReceiveFrom(void* buffer, int length, TSockAddrIn& from, int& fromLength)
{
    ++coreReceiveCalls_;
    const int n = RecvFrom(hSocket_, buffer, length, 0, &from);
    if (n >= 0)
        fromLength = int(sizeof(TSockAddrIn));
    return n;
}

int TCustomWSocket::Receive(void* buffer, int length)
{
    const int n = RawReceive(buffer, length, 0);
    if (n < 0)
        lastError_ = WSAGetLastError();
    else
        readCount_ += n;
    return n;
}

QString TCustomWSocket::ReceiveText()
{
    int n = RcvdCount();
    if (n < 0)
        return {};
    if (n == 0)
        n = 255;
    QByteArray bytes(n, Qt::Uninitialized);
    const int got = Receive(bytes.data(), n);
    if (got < 1)
        return {};
    return QString::fromUtf8(bytes.constData(), got);
}

int TCustomWSocket::ReceiveFrom(void* buffer, int length, TSockAddrIn& from, int& fromLength)
{
    const int n = RawReceiveFrom(buffer, length, from, fromLength);
    if (n < 0)
        lastError_ = WSAGetLastError();
    else
        readCount_ += n;
    return n;
}

// ---------------------------------------------------------------------------
// Send queue

int TCustomWSocket::Send(const void* data, int length)
{
    if (state_ != wsConnected) {
        WSASetLastError(WSAENOTCONN);
        ReportSocketError(QStringLiteral("Send"));
        return -1;
    }
    allSent_ = false;
    int result = 0;
    if (length > 0) {
        QueueSendData(data, length);
        result = length;
    }
    const EventWatch watch(this);
    TryToSend();
    // OnDataSent always comes from the message loop, never from inside Send.
    if (!watch.Destroyed() && allSent_ && hSocket_ != INVALID_SOCKET)
        PostToSelf(WM_SOCKET_EVENT, WPARAM(hSocket_), MakeLParam(FD_WRITE, 0));
    return result;
}

int TCustomWSocket::SendText(const QString& text)
{
    if (text.isEmpty())
        return 0;
    const QByteArray bytes = text.toUtf8();
    return Send(bytes.constData(), int(bytes.size()));
}

int TCustomWSocket::SendTo(const TSockAddrIn& dest, int destLength, const void* data, int length)
{
    (void)destLength;  // the record is always the 16-byte IPv4 form
    const TSockAddrIn to = dest;
    const int n = platform::SendTo(hSocket_, data, length, sendFlags_, to);
    if (n > 0 && OnSendData)
        OnSendData(this, n);
    return n;
}

int TCustomWSocket::RawSend(const void* data, int length)
{
    const int n = type_ == kSockDgram ? platform::SendTo(hSocket_, data, length, sendFlags_, sin_)
                                      : platform::Send(hSocket_, data, length, sendFlags_);
    if (n > 0 && OnSendData)
        OnSendData(this, n);
    return n;
}

void TCustomWSocket::QueueSendData(const void* data, int length)
{
    if (length <= 0)
        return;
    if (sendQueue_.empty())
        sendQueue_.push_back(std::make_unique<TBuffer>(blockSize_));
    TBuffer* block = sendQueue_.back().get();
    const char* p = static_cast<const char*>(data);
    for (;;) {
        const int n = block->Write(p, length);
        if (n == length)
            return;
        p += n;
        length -= n;
        sendQueue_.push_back(std::make_unique<TBuffer>(blockSize_));
        block = sendQueue_.back().get();
    }
}

void TCustomWSocket::TryToSend()
{
    if (hSocket_ == INVALID_SOCKET)
        return;
    if (sendQueue_.empty()) {
        allSent_ = true;
        return;
    }
    if (sending_)
        return;  // an OnSendData handler sent more; the running loop takes it
    FlagScope scope(this, sending_, true);
    const EventWatch watch(this);

    for (;;) {
        if (hSocket_ == INVALID_SOCKET || sendQueue_.empty())
            return;
        TBuffer* block = sendQueue_.front().get();
        int length = 0;
        const char* p = block->Peek(&length);
        if (length <= 0) {
            if (sendQueue_.size() == 1) {
                allSent_ = true;
                return;
            }
            sendQueue_.pop_front();
            continue;
        }
        const TSocket s = hSocket_;
        const int n = RawSend(p, length);
        if (watch.Destroyed() || n == 0)
            return;
        if (n < 0) {
            const int e = WSAGetLastError();
            if (hSocket_ != s)
                return;
            switch (e) {
            case WSAECONNRESET:
            case WSAENOTSOCK:
            case WSAENOTCONN:
            case WSAEINVAL:
            case WSAECONNABORTED: {
                // The connection is gone: end it quietly, reporting it once
                // per connection even when a handler sends after the report.
                const bool reported = closeReported_;
                closeReported_ = true;
                Close();
                if (!watch.Destroyed() && !reported)
                    FireSessionClosed(std::uint16_t(e));
                return;
            }
            case WSAEWOULDBLOCK:
                return;  // the write notice resumes
            default:
                ReportSocketError(QStringLiteral("TryToSend failed"));
                return;
            }
        }
        // OnSendData may have closed the socket or dropped the queue.
        if (hSocket_ != s || sendQueue_.empty() || sendQueue_.front().get() != block)
            return;
        block->Remove(n);
        bytesSent_ += std::uint64_t(n);
        if (n < length)
            return;
    }
}

void TCustomWSocket::Flush()
{
    using Clock = std::chrono::steady_clock;
    const EventWatch watch(this);
    std::uint64_t sent = bytesSent_;
    auto giveUpAt = Clock::now() + std::chrono::seconds(flushTimeout_);
    while (!watch.Destroyed() && hSocket_ != INVALID_SOCKET && !allSent_) {
        lastError_ = 0;
        TryToSend();
        if (watch.Destroyed() || lastError_ != 0)
            return;  // a failure that waiting will not mend (it was reported)
        if (hSocket_ == INVALID_SOCKET || allSent_)
            return;
        if (bytesSent_ != sent) {
            sent = bytesSent_;
            giveUpAt = Clock::now() + std::chrono::seconds(flushTimeout_);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUpAt - Clock::now()).count();
        if (left <= 0 || terminated_ || ApplicationTerminated())
            return;
        // Room for more arrives as a write notice, which runs TryToSend.
        WaitForEvents(int(std::min<std::int64_t>(left, 1000)));
    }
}

void TCustomWSocket::DropSendBuffers()
{
    sendQueue_.clear();
}

// ---------------------------------------------------------------------------
// Name lookup and address queries

void TCustomWSocket::DnsLookup(const QString& hostName)
{
    if (hostName.isEmpty()) {
        RaiseSocketError(QStringLiteral("DNS lookup: invalid host name."));
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    LoadSocketsLibrary();
    if (lookupHandle_) {
        CancelAsyncRequest(lookupHandle_);  // silently: the new lookup replaces it
        lookupHandle_ = 0;
    }
    dnsResult_.clear();
    dnsResultList_.clear();
    if (IsDottedIPv4(hostName)) {
        const std::uint32_t a = InetAddr(hostName);
        if (a != kInAddrNone) {
            dnsResult_ = InetNtoa(a);
            dnsResultList_.append(dnsResult_);
            FireDnsLookupDone(0);
            return;
        }
    }
    if (!window_) {
        RaiseSocketError(QStringLiteral("DnsLookup: Window not assigned"));
        return;
    }
    const LookupHandle h = AsyncGetHostByName(Handle(), WM_HOST_BY_NAME_DONE, hostName.trimmed());
    if (!h) {
        RaiseSocketError(
            QStringLiteral("%1: can't start DNS lookup, error #%2").arg(hostName).arg(WSAGetLastError()));
        return;
    }
    lookupHandle_ = h;
}

void TCustomWSocket::ReverseDnsLookup(const QString& hostAddr)
{
    if (hostAddr.isEmpty() || hostAddr.size() > 256) {
        RaiseSocketError(QStringLiteral("ReverseDnsLookup: Invalid host name."));
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    LoadSocketsLibrary();
    if (lookupHandle_) {
        CancelAsyncRequest(lookupHandle_);
        lookupHandle_ = 0;
    }
    dnsResult_.clear();
    dnsResultList_.clear();
    const std::uint32_t address = InetAddr(hostAddr);
    if (!window_) {
        RaiseSocketError(QStringLiteral("ReverseDnsLookup: Window not assigned"));
        return;
    }
    const LookupHandle h = AsyncGetHostByAddr(Handle(), WM_HOST_BY_ADDR_DONE, address);
    if (!h) {
        RaiseSocketError(
            QStringLiteral("%1: can't start DNS lookup, error #%2").arg(hostAddr).arg(WSAGetLastError()));
        return;
    }
    lookupHandle_ = h;
}

void TCustomWSocket::HandleLookupDone(Message& msg, bool reverse)
{
    const LookupHandle h = LookupHandle(msg.wParam);
    const std::uint16_t error = HiWord(msg.lParam);
    HostEntry entry;
    const bool taken = TakeLookupResult(h, &entry);  // frees it even when stale
    if (lookupHandle_ == 0 || h != lookupHandle_)
        return;
    lookupHandle_ = 0;
    if (error == 0 && taken) {
        if (reverse) {
            dnsResult_ = entry.name;
            dnsResultList_.append(entry.name);
        } else {
            for (std::size_t i = 0; i < entry.addresses.size() && i < 256; ++i)
                dnsResultList_.append(InetNtoa(entry.addresses[i]));
            if (!dnsResultList_.isEmpty())
                dnsResult_ = dnsResultList_.first();
        }
    }
    FireDnsLookupDone(error);
}

void TCustomWSocket::CancelLookup()
{
    if (!lookupHandle_)
        return;
    const int rc = CancelAsyncRequest(lookupHandle_);
    lookupHandle_ = 0;
    if (rc != 0) {
        ReportSocketError(QStringLiteral("WSACancelAsyncRequest"));
        return;
    }
    if (!destroying_)
        FireDnsLookupDone(WSAEINTR);
}

QString TCustomWSocket::PeerAddr()
{
    if (state_ != wsConnected)
        return QStringLiteral("error");
    TSockAddrIn peer;
    if (platform::GetPeerName(hSocket_, &peer) != 0) {
        ReportSocketError(QStringLiteral("GetPeerName"));
        return QStringLiteral("error");
    }
    return InetNtoa(peer.sin_addr);
}

QString TCustomWSocket::PeerPort()
{
    if (state_ != wsConnected)
        return QStringLiteral("error");
    TSockAddrIn peer;
    if (platform::GetPeerName(hSocket_, &peer) != 0) {
        ReportSocketError(QStringLiteral("GetPeerPort"));
        return QStringLiteral("error");
    }
    return QString::number(Ntohs(peer.sin_port));
}

int TCustomWSocket::GetPeerName(TSockAddrIn& name, int nameLength)
{
    if (state_ != wsConnected || nameLength < int(sizeof(TSockAddrIn)))
        return -1;
    return platform::GetPeerName(hSocket_, &name);
}

QString TCustomWSocket::GetBoundAddr()
{
    if (state_ != wsBound && state_ != wsConnected && state_ != wsListening)
        return QStringLiteral("error");
    TSockAddrIn local;
    if (platform::GetSockName(hSocket_, &local) != 0)
        return QStringLiteral("error");
    return InetNtoa(local.sin_addr);
}

QString TCustomWSocket::GetBoundPort()
{
    if (state_ != wsBound && state_ != wsConnected && state_ != wsListening)
        return QStringLiteral("error");
    TSockAddrIn local;
    if (platform::GetSockName(hSocket_, &local) != 0)
        return QStringLiteral("error");
    return QString::number(Ntohs(local.sin_port));
}

int TCustomWSocket::GetSockName(TSockAddrIn& name, int& nameLength)
{
    const int rc = platform::GetSockName(hSocket_, &name);
    if (rc == 0)
        nameLength = int(sizeof(TSockAddrIn));
    return rc;
}

// ---------------------------------------------------------------------------
// Events

bool TCustomWSocket::FireDataAvailable(std::uint16_t error)
{
    if (!OnDataAvailable)
        return false;
    OnDataAvailable(this, error);
    return true;
}

void TCustomWSocket::FireSessionAvailable(std::uint16_t error)
{
    if (OnSessionAvailable)
        OnSessionAvailable(this, error);
}

void TCustomWSocket::FireSessionConnected(std::uint16_t error)
{
    if (OnSessionConnected)
        OnSessionConnected(this, error);
}

void TCustomWSocket::FireSessionClosed(std::uint16_t error)
{
    if (OnSessionClosed)
        OnSessionClosed(this, error);
}

void TCustomWSocket::FireDataSent(std::uint16_t error)
{
    if (OnDataSent)
        OnDataSent(this, error);
}

void TCustomWSocket::FireChangeState(TSocketState oldState, TSocketState newState)
{
    if (OnChangeState)
        OnChangeState(this, oldState, newState);
}

void TCustomWSocket::FireDnsLookupDone(std::uint16_t error)
{
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, error);
}

void TCustomWSocket::FireError()
{
    if (OnError)
        OnError(this);
}

void TCustomWSocket::EnsureSockets()
{
    LoadSocketsLibrary();
}

// ---------------------------------------------------------------------------
// TCustomSocksWSocket

namespace {
// SOCKS requests are at most 128 bytes: longer values are refused, never cut.
constexpr qsizetype kSocksRequestSize = 128;
}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket(QObject* owner) : TCustomWSocket(owner) {}

void TCustomSocksWSocket::SetSocksServer(const QString& server)
{
    if (state_ != wsClosed) {
        RaiseSocketError(QStringLiteral("Can't change socks server if not closed"));
        return;
    }
    socksServer_ = server.trimmed();
    socksServerAssigned_ = !socksServer_.isEmpty();
}

void TCustomSocksWSocket::SetSocksPort(const QString& port)
{
    if (state_ != wsClosed) {
        RaiseSocketError(QStringLiteral("Can't change socks port if not closed"));
        return;
    }
    socksPort_ = port.trimmed();
    socksPortAssigned_ = !socksPort_.isEmpty();
}

void TCustomSocksWSocket::SetSocksLevel(const QString& level)
{
    if (state_ != wsClosed) {
        RaiseSocketError(QStringLiteral("Can't change socks level if not closed"));
        return;
    }
    if (level != QLatin1String("4") && level != QLatin1String("5") && level != QLatin1String("4A")
        && level != QLatin1String("4a")) {
        RaiseSocketError(QStringLiteral("Invalid socks level. Must be 4, 4A or 5."));
        return;
    }
    socksLevel_ = level.toUpper();
}

void TCustomSocksWSocket::ResetToDefaults()
{
    TCustomWSocket::ResetToDefaults();
    socksPhase_ = socksPhaseIdle;
    socksServer_.clear();
    socksPort_.clear();
    socksLevel_ = QStringLiteral("5");
    socksLeftoverCount_ = 0;
    socksLeftoverPos_ = 0;
    socksServerAssigned_ = false;
    socksPortAssigned_ = false;
}

void TCustomSocksWSocket::Connect()
{
    if (socksServer_.isEmpty()) {
        TCustomWSocket::Connect();
        return;
    }
    if (protoStr_.toLower() != QLatin1String("tcp")) {
        RaiseSocketError(QStringLiteral("tcp is the only protocol supported thru socks server"));
        return;
    }
    try {
        if (!portResolved_) {
            sin_.sin_port = Htons(WSocketResolvePort(socksPort_, protoStr_));
            portResolved_ = true;
        }
        if (!addrResolved_) {
            sin_.sin_addr = WSocketResolveHost(socksServer_);
            addrResolved_ = true;
        }
        portNum_ = WSocketResolvePort(portStr_, protoStr_);  // the destination port
        socksPhase_ = socksPhaseAwaitingMethodReply;
        socksReplyCount_ = 0;
    } catch (const std::exception& e) {
        SocksForget();
        RaiseSocketError(QStringLiteral("connect: ") + ExceptionText(e));
        return;
    }
    // The requests are built in 128-byte buffers: refuse what cannot fit
    // rather than cut or overrun it.
    const qsizetype user = socksUsercode_.toUtf8().size();
    const qsizetype password = socksPassword_.toUtf8().size();
    const qsizetype host = addrStr_.toUtf8().size();
    QString tooLong;
    if (SocksLevel4()) {
        if (9 + user + (socksLevel_ == QLatin1String("4A") ? host + 1 : 0) > kSocksRequestSize)
            tooLong = QStringLiteral("connect: socks user code or host name too long");
    } else {
        if (socksAuthentication_ == socksAuthenticateUsercode && user + password + 3 > kSocksRequestSize)
            tooLong = QStringLiteral("connect: socks user code or password too long");
        else if (7 + host > kSocksRequestSize)
            tooLong = QStringLiteral("connect: socks host name too long");
    }
    if (!tooLong.isEmpty()) {
        SocksForget();
        RaiseSocketError(tooLong);
        return;
    }
    const EventWatch watch(this);
    TCustomWSocket::Connect();
    if (!watch.Destroyed() && state_ != wsConnecting && socksPhase_ != socksPhaseIdle)
        SocksForget();  // the connect to the proxy never started
}

void TCustomSocksWSocket::SocksForget()
{
    // Otherwise a later direct Connect would negotiate, or dial the proxy.
    socksPhase_ = socksPhaseIdle;
    addrResolved_ = false;
    portResolved_ = false;
}

void TCustomSocksWSocket::Listen()
{
    if (!socksServer_.isEmpty()) {
        RaiseSocketError(QStringLiteral("Listening is not supported thru socks server"));
        return;
    }
    TCustomWSocket::Listen();
}

int TCustomSocksWSocket::RcvdCount()
{
    if (socksLeftoverCount_ > 0)
        return socksLeftoverCount_;
    return TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::RawReceive(void* buffer, int length, int flags)
{
    if (socksLeftoverCount_ > 0) {
        const int n = std::min(std::max(length, 0), socksLeftoverCount_);
        std::copy_n(socksReply_ + socksLeftoverPos_, n, static_cast<std::uint8_t*>(buffer));
        socksLeftoverPos_ += n;
        socksLeftoverCount_ -= n;
        return n;
    }
    return TCustomWSocket::RawReceive(buffer, length, flags);
}

void TCustomSocksWSocket::FireSessionConnected(std::uint16_t error)
{
    if (socksPhase_ == socksPhaseAwaitingMethodReply) {
        const EventWatch watch(this);
        FireSocksConnected(error);
        if (watch.Ended())
            return;
        if (error == 0) {
            if (SocksLevel4()) {
                SocksSendConnectRequest();
            } else {
                socksAuthMethod_ = socksAuthentication_ == socksAuthenticateUsercode ? 2 : 0;
                const char request[3] = {5, 1, char(socksAuthMethod_)};
                SocksSendRequest(QByteArray(request, 3));
            }
            return;  // the owner hears of the connection once the proxy grants it
        }
    }
    TCustomWSocket::FireSessionConnected(error);
}

void TCustomSocksWSocket::SocksSendRequest(const QByteArray& request)
{
    try {
        Send(request.constData(), int(request.size()));
    } catch (...) {
    }
}

void TCustomSocksWSocket::SocksSendAuthRequest()
{
    socksPhase_ = socksPhaseAwaitingAuthReply;
    FireSocksAuthState(socksAuthBegun);
    const QByteArray user = socksUsercode_.toUtf8();
    const QByteArray password = socksPassword_.toUtf8();
    // Connect checked the lengths, but a handler may have changed the values
    // since: never send a request whose length bytes wrap.
    if (user.size() + password.size() + 3 > kSocksRequestSize) {
        SocksFail(socksProtocolError, QStringLiteral("socks user code or password too long"));
        return;
    }
    QByteArray request;
    request += char(1);
    request += char(user.size());
    request += user;
    request += char(password.size());
    request += password;
    SocksSendRequest(request);
}

void TCustomSocksWSocket::SocksSendConnectRequest()
{
    socksPhase_ = socksPhaseAwaitingConnectReply;
    const QByteArray host = addrStr_.toUtf8();
    const char port[2] = {char(portNum_ >> 8), char(portNum_ & 0xFF)};
    QByteArray request;
    if (SocksLevel4()) {
        const bool v4a = socksLevel_ == QLatin1String("4A");
        // As in Connect, again: a handler may have changed the user code since.
        if (9 + socksUsercode_.toUtf8().size() + (v4a ? host.size() + 1 : 0) > kSocksRequestSize) {
            SocksFail(socksProtocolError, QStringLiteral("socks user code or host name too long"));
            return;
        }
        std::uint32_t address = Htonl(1);  // 0.0.0.1: the proxy resolves the name
        if (!v4a) {
            try {
                address = WSocketResolveHost(addrStr_);
            } catch (const std::exception& e) {
                const auto* x = dynamic_cast<const Exception*>(&e);
                const EventWatch watch(this);
                FireSocksError(socksHostResolutionFailed,
                               QString::fromLatin1(x ? x->ClassName() : "Exception") + QLatin1Char(' ')
                                   + ExceptionText(e));
                if (!watch.Ended())
                    CloseInternal(true, socksHostResolutionFailed);
                return;
            }
        }
        request += char(4);
        request += char(1);
        request.append(port, 2);
        request.append(reinterpret_cast<const char*>(&address), 4);
        request += socksUsercode_.toUtf8();
        request += char(0);
        if (v4a) {
            request += host;
            request += char(0);
        }
    } else {
        request += char(5);
        request += char(1);
        request += char(0);
        request += char(3);  // the destination always travels as a name
        request += char(host.size());
        request += host;
        request.append(port, 2);
    }
    SocksSendRequest(request);
}

void TCustomSocksWSocket::SocksFail(int error, const QString& msg)
{
    const EventWatch watch(this);
    FireSocksError(error, msg);
    if (watch.Ended())
        return;
    socksPhase_ = socksPhaseIdle;
    TCustomWSocket::FireSessionConnected(std::uint16_t(error));
    if (!watch.Ended())
        CloseInternal(true, error);
}

bool TCustomSocksWSocket::FireDataAvailable(std::uint16_t error)
{
    if (socksPhase_ == socksPhaseIdle)
        return TCustomWSocket::FireDataAvailable(error);
    if (error != 0) {
        SocksFail(error, QStringLiteral("data receive error"));
        return false;
    }
    constexpr int kReplyRoom = int(sizeof socksReply_) - 1;  // 127
    auto readReply = [this](int upTo) {
        const int n = Receive(socksReply_ + socksReplyCount_, upTo - socksReplyCount_);
        if (n > 0)
            socksReplyCount_ += n;
        return n;
    };

    switch (socksPhase_) {
    case socksPhaseAwaitingMethodReply: {
        if (readReply(kReplyRoom) < 0)
            return true;
        if (SocksLevel4()) {
            SocksFail(socksProtocolError, QStringLiteral("TWSocket logic error"));
            return false;
        }
        if (socksReplyCount_ < 2)
            return true;
        socksReplyCount_ = 0;
        if (socksReply_[0] != 5) {
            SocksFail(socksVersionError, QStringLiteral("socks version error"));
            return false;
        }
        if (socksReply_[1] == 0) {
            if (socksAuthMethod_ == 2)
                FireSocksAuthState(socksAuthSkipped);
            SocksSendConnectRequest();
        } else if (socksReply_[1] == 2) {
            SocksSendAuthRequest();
        } else {
            SocksFail(socksAuthMethodError, QStringLiteral("authentification method not acceptable"));
            return false;
        }
        return true;
    }
    case socksPhaseAwaitingAuthReply: {
        if (readReply(kReplyRoom) < 0)
            return true;
        if (socksReplyCount_ >= 1 && socksReply_[0] != 1) {
            SocksFail(socksVersionError, QStringLiteral("socks version error"));
            return false;
        }
        if (socksReplyCount_ > 2) {
            SocksFail(socksProtocolError, QStringLiteral("too much data availaible"));
            return false;
        }
        if (socksReplyCount_ < 2)
            return true;
        if (socksReply_[1] != 0) {
            SocksFail(socksAuthenticationFailed, QStringLiteral("socks authentication failed"));
            return false;
        }
        socksReplyCount_ = 0;
        FireSocksAuthState(socksAuthAccepted);
        SocksSendConnectRequest();
        return true;
    }
    case socksPhaseAwaitingConnectReply:
        if (SocksLevel4()) {
            if (readReply(8) < 0)
                return true;
            if (socksReplyCount_ < 8)
                return true;
            socksReplyCount_ = 0;
            if (socksReply_[0] != 0) {
                SocksFail(socksVersionError, QStringLiteral("socks version error"));
                return false;
            }
            switch (socksReply_[1]) {
            case 90:
                socksPhase_ = socksPhaseIdle;
                return FireGranted();
            case 91:
                SocksFail(socksRejectedOrFailed, QStringLiteral("request rejected or failed"));
                return false;
            case 92:
                SocksFail(socksConnectionRefused, QStringLiteral("connection refused"));
                return false;
            case 93:
                SocksFail(socksAuthenticationFailed, QStringLiteral("authentification failed"));
                return false;
            default:
                SocksFail(socksUnassignedError, QStringLiteral("unassigned error #") + QString::number(socksReply_[1]));
                return false;
            }
        } else {
            if (readReply(kReplyRoom) < 0)
                return true;
            if (socksReplyCount_ >= 1 && socksReply_[0] != 5) {
                SocksFail(socksVersionError, QStringLiteral("socks version error"));
                return false;
            }
            if (socksReplyCount_ >= 2 && socksReply_[1] != 0) {
                static const char* const texts[] = {
                    "general SOCKS server failure", "connection not allowed by ruleset", "network unreachable",
                    "host unreachable", "connection refused", "time to live expired", "command not supported",
                    "address type not supported"};
                const int code = socksReply_[1];
                if (code >= 1 && code <= 8)
                    SocksFail(socksGeneralFailure + code - 1, QString::fromLatin1(texts[code - 1]));
                else
                    SocksFail(socksUnassignedError, QStringLiteral("unassigned error #") + QString::number(code));
                return false;
            }
            if (socksReplyCount_ < 5)
                return true;
            const int type = socksReply_[3];
            const int needed = type == 1 ? 10 : type == 3 ? 7 + socksReply_[4] : 5;
            if (needed > kReplyRoom) {
                // A bound name longer than the reply buffer: it could never complete.
                SocksFail(socksProtocolError, QStringLiteral("socks reply too long"));
                return false;
            }
            if (socksReplyCount_ < needed)
                return true;
            int portOffset;
            if (type == 1) {
                socksBoundAddr_ = QStringLiteral("%1.%2.%3.%4")
                                      .arg(socksReply_[4])
                                      .arg(socksReply_[5])
                                      .arg(socksReply_[6])
                                      .arg(socksReply_[7]);
                portOffset = 8;
            } else if (type == 3) {
                socksBoundAddr_ =
                    QString::fromLatin1(reinterpret_cast<const char*>(socksReply_ + 5), socksReply_[4]);
                portOffset = 5 + socksReply_[4];
            } else {
                SocksFail(socksUnknownAddressType, QStringLiteral("address type not supported"));
                return false;
            }
            socksBoundPort_ = QString::number((socksReply_[portOffset] << 8) | socksReply_[portOffset + 1]);
            socksPhase_ = socksPhaseIdle;
            // Bytes behind the reply are the peer's first data: RcvdCount and
            // Receive see them from OnSessionConnected on.
            const int leftover = socksReplyCount_ - (portOffset + 2);
            socksReplyCount_ = 0;
            if (leftover > 0) {
                socksLeftoverPos_ = portOffset + 2;
                socksLeftoverCount_ = leftover;
            }
            return FireGranted();
        }
    default:
        SocksFail(socksInternalError, QStringLiteral("internal error"));
        return false;
    }
}

bool TCustomSocksWSocket::FireGranted()
{
    const EventWatch watch(this);
    FireSessionConnected(0);
    if (watch.Ended())
        return true;  // closed by the handler: no events after a close
    return FireDataAvailable(0);
}

void TCustomSocksWSocket::FireSessionClosed(std::uint16_t error)
{
    if (socksPhase_ == socksPhaseAwaitingAuthReply) {
        const EventWatch watch(this);
        FireSocksAuthState(socksAuthRejected);
        if (watch.Destroyed())
            return;
    }
    TCustomWSocket::FireSessionClosed(error);
}

void TCustomSocksWSocket::FireSocksConnected(std::uint16_t error)
{
    if (OnSocksConnected)
        OnSocksConnected(this, error);
}

void TCustomSocksWSocket::FireSocksError(int error, const QString& msg)
{
    if (OnSocksError)
        OnSocksError(this, error, msg);
}

void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState state)
{
    if (OnSocksAuthState)
        OnSocksAuthState(this, state);
}

// ---------------------------------------------------------------------------
// Line, sync and the published class

TCustomLineWSocket::TCustomLineWSocket(QObject* owner) : TCustomTlsWSocket(owner)
{
    lineEnd_ = QByteArrayLiteral("\r\n");
    lineMode_ = false;
    lineLimit_ = 65536;
}

void TCustomLineWSocket::SetLineMode(bool value)
{
    if (value == lineMode_)
        return;
    lineMode_ = value;
    if (bufferedCount_ > 0 || pendingLineLength_ > 0)
        PostToSelf(WM_LINE_DATA_PENDING, 0, 0);
}

void TCustomLineWSocket::HandleWindowMessage(Message& msg)
{
    if (msg.msg != WM_LINE_DATA_PENDING) {
        TCustomTlsWSocket::HandleWindowMessage(msg);
        return;
    }
    const EventWatch watch(this);
    try {
        // Bytes held back from line mode go out before new socket data.
        int before;
        do {
            before = bufferedCount_;
            FireDataAvailable(0);
        } while (!watch.Destroyed() && bufferedCount_ > 0 && bufferedCount_ < before);
    } catch (const std::exception& e) {
        if (!watch.Destroyed())
            HandleBackgroundError(e);
    }
}

int TCustomLineWSocket::RcvdCount()
{
    if (lineMode_)
        return pendingLineLength_;
    return TCustomTlsWSocket::RcvdCount();
}

int TCustomLineWSocket::RawReceive(void* buffer, int length, int flags)
{
    // What the owner reads leaves the buffer, so no byte is handed out twice
    // whatever the mode switches in between.
    const int held = lineMode_ ? pendingLineLength_ : bufferedCount_;
    if (held > 0) {
        const int m = std::min(std::max(length, 0), held);
        TakeFront(static_cast<char*>(buffer), m);
        pendingLineLength_ = std::max(0, pendingLineLength_ - m);
        return m;
    }
    return TCustomTlsWSocket::RawReceive(buffer, length, flags);
}

int TCustomLineWSocket::ReceiveFromBelow(char* buffer, int length)
{
    const int n = TCustomTlsWSocket::RawReceive(buffer, length, 0);
    if (n < 0)
        lastError_ = WSAGetLastError();
    else
        readCount_ += n;
    return n;
}

void TCustomLineWSocket::TakeFront(char* out, int count)
{
    if (count <= 0)
        return;
    char* data = lineBuffer_.data();
    if (out)
        std::copy_n(data, count, out);
    std::memmove(data, data + count, size_t(bufferedCount_ - count + 1));  // with the 0 byte
    bufferedCount_ -= count;
}

void TCustomLineWSocket::EnsureLineBuffer(int size)
{
    if (lineBuffer_.size() < size)
        lineBuffer_.resize(size);
}

bool TCustomLineWSocket::FireOwnerDataAvailable(std::uint16_t error)
{
    FlagScope scope(this, inOwnerDataEvent_, true);
    return TCustomSocksWSocket::FireDataAvailable(error);
}

void TCustomLineWSocket::DeliverPendingLine()
{
    const EventWatch watch(this);
    while (lineMode_ && pendingLineLength_ > 0) {
        const int before = pendingLineLength_;
        const bool handled = FireOwnerDataAvailable(0);
        if (watch.Ended() || lineBuffer_.isEmpty())
            return;  // destroyed, or the connection ended inside the handler
        if (!lineMode_)
            return;  // the rest of the line goes out as plain data
        // No handler, or a handler that reads nothing: the rest of the line goes.
        if (!handled || pendingLineLength_ == before) {
            TakeFront(nullptr, pendingLineLength_);
            pendingLineLength_ = 0;
        }
    }
}

void TCustomLineWSocket::DeliverHeldBytes()
{
    const EventWatch watch(this);
    while (!lineMode_ && bufferedCount_ > 0) {
        const int before = bufferedCount_;
        if (!FireOwnerDataAvailable(0) || watch.Destroyed() || bufferedCount_ >= before)
            return;
    }
}

bool TCustomLineWSocket::FireDataAvailable(std::uint16_t error)
{
    if (!lineMode_ || lineEnd_.isEmpty() || socksPhase_ != socksPhaseIdle || TlsNegotiating()) {
        // Through the TLS layer, which decrypts before it calls the owner.
        FlagScope scope(this, inOwnerDataEvent_, true);
        return TCustomTlsWSocket::FireDataAvailable(error);
    }

    const EventWatch watch(this);
    auto ended = [&] { return watch.Ended() || lineBuffer_.isEmpty(); };

    int n = TCustomTlsWSocket::RcvdCount();
    if (n < 0 || watch.Ended())
        return true;
    if (n == 0)
        n = 255;
    EnsureLineBuffer(bufferedCount_ + n + 1);
    int got = ReceiveFromBelow(lineBuffer_.data() + bufferedCount_, n);
    if (got < 0 && TlsBroken())
        return TCustomTlsWSocket::FireDataAvailable(error);
    if (got <= 0)
        return true;
    lineBuffer_[bufferedCount_ + got] = 0;

    QByteArray echo;
    if (lineEdit_)
        echo = ApplyLineEditing(got);
    else if (lineEcho_)
        echo = QByteArray(lineBuffer_.constData() + bufferedCount_, got);

    const int endLength = int(lineEnd_.size());
    int start = std::max(0, bufferedCount_ - endLength);
    bufferedCount_ += got;
    pendingLineLength_ = std::min(pendingLineLength_, bufferedCount_);  // editing may erase held bytes

    // The echo may end the connection (a reset peer); the close then offers
    // the buffered bytes as the last line.
    if (!echo.isEmpty()) {
        Send(echo.constData(), int(echo.size()));
        if (ended())
            return true;
    }

    while (lineMode_) {
        int found = -1;
        const char* data = lineBuffer_.constData();
        for (int i = start; i <= bufferedCount_ - endLength; ++i) {
            if (data[i] == lineEnd_[0] && std::memcmp(data + i, lineEnd_.constData(), size_t(endLength)) == 0) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            if (lineLimit_ > 0 && bufferedCount_ > lineLimit_) {
                bool clearData = true;
                FireLineLimitExceeded(bufferedCount_, clearData);
                if (clearData && !ended()) {
                    pendingLineLength_ = 0;
                    bufferedCount_ = 0;
                    lineBuffer_[0] = 0;
                }
            }
            return true;
        }
        // The line (with its terminator) is at the front; what the owner
        // reads of it leaves the buffer.
        pendingLineLength_ = found + endLength;
        DeliverPendingLine();
        if (ended())
            return true;
        start = 0;
    }
    return true;
}

QByteArray TCustomLineWSocket::ApplyLineEditing(int& got)
{
    const int from = bufferedCount_;
    const int to = bufferedCount_ + got;
    int w = bufferedCount_;
    int low = bufferedCount_;
    QByteArray work;  // used from the first backspace or tab on
    bool editing = false;
    QByteArray echo;
    auto put = [&](char c) {
        if (editing) {
            if (w >= work.size())
                work.resize(work.size() + 256);
            work[w] = c;
        } else {
            lineBuffer_[w] = c;
        }
        ++w;
    };
    auto beginEditing = [&] {
        if (editing)
            return;
        editing = true;
        work = QByteArray(((bufferedCount_ + got + 256) / 256) * 256, '\0');
        std::copy_n(lineBuffer_.constData(), w, work.data());
    };
    for (int r = from; r < to; ++r) {
        const char c = lineBuffer_[r];
        if (c == 8) {
            beginEditing();
            if (lineEcho_ && w > 0)
                echo += QByteArray("\b \b", 3);
            if (w > 0) {
                --w;
                low = std::min(low, w);
            }
        } else if (c == 9) {
            beginEditing();
            do {
                put(' ');
                if (lineEcho_)
                    echo += ' ';
            } while (w % 8 != 0);
        } else {
            if (lineEcho_)
                echo += c;
            put(c);
        }
    }
    if (editing) {
        EnsureLineBuffer(w + 1);
        std::copy_n(work.constData(), w, lineBuffer_.data());
        lineBuffer_[w] = 0;
        bufferedCount_ = low;
        got = w - low;
    }
    return echo;
}

void TCustomLineWSocket::FireLineLimitExceeded(int rcvdLength, bool& clearData)
{
    if (OnLineLimitExceeded)
        OnLineLimitExceeded(this, rcvdLength, clearData);
}

void TCustomLineWSocket::FireSessionClosed(std::uint16_t error)
{
    if (!lineBuffer_.isEmpty()) {
        // Bytes not handed out yet go now, unless the owner closed from
        // inside its data handler: it has seen them or chose to stop.
        if (bufferedCount_ > 0 && !inOwnerDataEvent_) {
            const EventWatch watch(this);
            if (lineMode_) {
                // The last line, without its terminator.
                pendingLineLength_ = bufferedCount_;
                DeliverPendingLine();
            }
            if (watch.Destroyed())
                return;
            DeliverHeldBytes();
            if (watch.Destroyed())
                return;
        }
        lineBuffer_.clear();
        bufferedCount_ = 0;
        pendingLineLength_ = 0;
    }
    TCustomTlsWSocket::FireSessionClosed(error);
}

// ---------------------------------------------------------------------------

TCustomSyncWSocket::TCustomSyncWSocket(QObject* owner) : TCustomLineWSocket(owner) {}

int TCustomSyncWSocket::RunAndWait(bool& flag, const std::function<void()>& method)
{
    flag = false;
    if (method)
        method();
    return WaitForFlag(flag);
}

int TCustomSyncWSocket::WaitForFlag(bool& flag)
{
    using Clock = std::chrono::steady_clock;
    const auto nowMs = [] {
        return std::int64_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
    };
    syncDeadline_ = nowMs() + syncTimeout_;
    while (!flag) {
        const std::int64_t left = syncDeadline_ - nowMs();
        if (syncTimeout_ > 0 && left < 0)
            return kSyncWaitTimeout;
        if (ApplicationTerminated() || terminated_)
            return kSyncWaitTimeout;
        // The flag is set by a handler, so only an event can change it; the
        // step bounds how late termination is seen.
        WaitForEvents(int(syncTimeout_ > 0 ? std::min<std::int64_t>(left + 1, 100) : 100));
    }
    return 0;
}

TWSocket::TWSocket(QObject* owner) : TCustomSyncWSocket(owner) {}
