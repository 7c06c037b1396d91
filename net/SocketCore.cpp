#include "net/SocketCore.h"
#include "net/SocketInternals.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <climits>

using namespace platform;
using wsocket_detail::EventWatch;
using wsocket_detail::ExceptionText;
using wsocket_detail::FlagScope;
using wsocket_detail::g_liveSockets;
using wsocket_detail::Throw;

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
    if (!ConnectSettingsComplete())
        return;
    if (!OpenHandle(QStringLiteral("connect: "), QStringLiteral("Connect (socket)"), true))
        return;
    SetState(wsOpened);
    if (state_ != wsOpened) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError(QStringLiteral("Connect (Invalid operation in OnChangeState)"));
        return;
    }
    if (!(type_ == kSockDgram ? SetDatagramOptions() : SetStreamOptions()))
        return;

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

bool TCustomWSocket::ConnectSettingsComplete()
{
    if (hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
        RaiseSocketError(QStringLiteral("Connect: Socket already in use"));
        return false;
    }
    if (!portAssigned_) {
        RaiseSocketError(QStringLiteral("Connect: No Port Specified"));
        return false;
    }
    if (!addrAssigned_) {
        RaiseSocketError(QStringLiteral("Connect: No IP Address Specified"));
        return false;
    }
    if (!protoAssigned_) {
        RaiseSocketError(QStringLiteral("Connect: No Protocol Specified"));
        return false;
    }
    return true;
}

bool TCustomWSocket::SetDatagramOptions()
{
    const int on = -1;
    if (!BindLocal())
        return false;
    if (multiCast_ && !SetMulticastOptions())
        return false;
    if (sin_.sin_addr == kInAddrNone && SetSockOpt(hSocket_, SockOpt::Broadcast, &on, sizeof on) != 0) {
        ReportSocketError(QStringLiteral("setsockopt(SO_BROADCAST)"));
        return false;
    }
    return true;
}

bool TCustomWSocket::SetMulticastOptions()
{
    if (multiCastIpTTL_ != 1
        && SetSockOpt(hSocket_, SockOpt::MulticastTtl, &multiCastIpTTL_, sizeof multiCastIpTTL_) != 0) {
        ReportSocketError(QStringLiteral("setsockopt(IP_MULTICAST_TTL)"));
        return false;
    }
    if (localAddr_ != QLatin1String("0.0.0.0")) {
        std::uint32_t iface = 0;
        try {
            iface = WSocketResolveHost(localAddr_);
        } catch (const std::exception& e) {
            RaiseSocketError(QStringLiteral("connect: ") + ExceptionText(e));
            return false;
        }
        if (SetSockOpt(hSocket_, SockOpt::MulticastIf, &iface, sizeof iface) != 0) {
            ReportSocketError(QStringLiteral("setsockopt(IP_MULTICAST_IF)"));
            return false;
        }
    }
    return true;
}

bool TCustomWSocket::SetStreamOptions()
{
    const int on = -1;
    if (!EnableReuseAddr())
        return false;
    if (componentOptions_.Contains(wsoTcpNoDelay)
        && SetSockOpt(hSocket_, SockOpt::TcpNoDelay, &on, sizeof on) != 0) {
        ReportSocketError(QStringLiteral("setsockopt(IPPROTO_TCP, TCP_NODELAY)"));
        return false;
    }
    if (!ApplyLinger())
        return false;
    if (SetSockOpt(hSocket_, SockOpt::KeepAlive, &on, sizeof on) != 0) {
        ReportSocketError(QStringLiteral("setsockopt(SO_KEEPALIVE)"));
        return false;
    }
    if ((localPortNum_ != 0 || localAddr_ != QLatin1String("0.0.0.0")) && !BindLocal())
        return false;
    return true;
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
    if (!ListenSettingsComplete())
        return;
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

    if (type_ == kSockDgram && multiCast_ && !JoinMulticastGroup())
        return;

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

bool TCustomWSocket::ListenSettingsComplete()
{
    if (!portAssigned_) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError(QStringLiteral("listen: port not assigned"));
        return false;
    }
    if (!protoAssigned_) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError(QStringLiteral("listen: protocol not assigned"));
        return false;
    }
    if (!addrAssigned_) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError(QStringLiteral("listen: address not assigned"));
        return false;
    }
    return true;
}

bool TCustomWSocket::JoinMulticastGroup()
{
    IpMreq group;
    group.imr_multiaddr = InetAddr(multiCastAddrStr_);
    try {
        group.imr_interface = WSocketResolveHost(addrStr_);
    } catch (const std::exception& e) {
        RaiseSocketError(QStringLiteral("listen: ") + ExceptionText(e));
        return false;
    }
    if (SetSockOpt(hSocket_, SockOpt::AddMembership, &group, sizeof group) != 0) {
        ReportSocketError(QStringLiteral("setsockopt(IP MULTICAST)"));
        return false;
    }
    return true;
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
