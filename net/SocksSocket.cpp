#include "net/SocksSocket.h"
#include "net/SocketInternals.h"

#include <algorithm>

using namespace platform;
using wsocket_detail::EventWatch;
using wsocket_detail::ExceptionText;

// ---------------------------------------------------------------------------
// TCustomSocksWSocket

namespace {
// SOCKS requests are at most 128 bytes: longer values are refused, never cut.
constexpr qsizetype kSocksRequestSize = 128;
// Reply bytes read at most: the reply buffer less one byte.
constexpr int kReplyRoom = 127;
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
    switch (socksPhase_) {
    case socksPhaseAwaitingMethodReply:
        return SocksMethodReply();
    case socksPhaseAwaitingAuthReply:
        return SocksAuthReply();
    case socksPhaseAwaitingConnectReply:
        return SocksLevel4() ? Socks4ConnectReply() : Socks5ConnectReply();
    default:
        SocksFail(socksInternalError, QStringLiteral("internal error"));
        return false;
    }
}

int TCustomSocksWSocket::SocksReadReply(int upTo)
{
    static_assert(kReplyRoom == int(sizeof socksReply_) - 1);
    const int n = Receive(socksReply_ + socksReplyCount_, upTo - socksReplyCount_);
    if (n > 0)
        socksReplyCount_ += n;
    return n;
}

bool TCustomSocksWSocket::SocksMethodReply()
{
    if (SocksReadReply(kReplyRoom) < 0)
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

bool TCustomSocksWSocket::SocksAuthReply()
{
    if (SocksReadReply(kReplyRoom) < 0)
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

bool TCustomSocksWSocket::Socks4ConnectReply()
{
    if (SocksReadReply(8) < 0)
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
}

bool TCustomSocksWSocket::Socks5ConnectReply()
{
    if (SocksReadReply(kReplyRoom) < 0)
        return true;
    if (socksReplyCount_ >= 1 && socksReply_[0] != 5) {
        SocksFail(socksVersionError, QStringLiteral("socks version error"));
        return false;
    }
    if (socksReplyCount_ >= 2 && socksReply_[1] != 0) {
        Socks5Refused(socksReply_[1]);
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
    const int portOffset = SocksTakeBoundAddress(type);
    if (portOffset < 0) {
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

void TCustomSocksWSocket::Socks5Refused(int code)
{
    static const char* const texts[] = {
        "general SOCKS server failure", "connection not allowed by ruleset", "network unreachable",
        "host unreachable", "connection refused", "time to live expired", "command not supported",
        "address type not supported"};
    if (code >= 1 && code <= 8)
        SocksFail(socksGeneralFailure + code - 1, QString::fromLatin1(texts[code - 1]));
    else
        SocksFail(socksUnassignedError, QStringLiteral("unassigned error #") + QString::number(code));
}

int TCustomSocksWSocket::SocksTakeBoundAddress(int type)
{
    if (type == 1) {
        socksBoundAddr_ = QStringLiteral("%1.%2.%3.%4")
                              .arg(socksReply_[4])
                              .arg(socksReply_[5])
                              .arg(socksReply_[6])
                              .arg(socksReply_[7]);
        return 8;
    }
    if (type == 3) {
        socksBoundAddr_ = QString::fromLatin1(reinterpret_cast<const char*>(socksReply_ + 5), socksReply_[4]);
        return 5 + socksReply_[4];
    }
    return -1;
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
