#pragma once
// The event-driven, non-blocking IPv4 socket component and its layers.
//
// Class chain: TCustomWSocket (core: state machine, send queue, lookups)
//   -> TCustomSocksWSocket (SOCKS 4/4A/5 client)
//   -> TCustomTlsWSocket (TLS client, over a direct or a SOCKS connection)
//   -> TCustomLineWSocket (line mode)
//   -> TCustomSyncWSocket (wait for a flag)
//   -> TWSocket (the class users create).
// Everything runs on the thread that created the object; readiness and lookup
// results arrive as messages to the object's own notification window.

#include "net/WSocketTls.h"
#include "platform/exception.h"
#include "platform/messages.h"
#include "platform/sockets.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

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

// ---------------------------------------------------------------------------
// TCustomWSocket: the core.

class TCustomWSocket : public QObject
{
public:
    explicit TCustomWSocket(QObject* owner = nullptr);
    ~TCustomWSocket() override;

    // --- events (raised only when assigned) --------------------------------
    std::function<void(TCustomWSocket* sender, std::uint16_t error)> OnSessionConnected;
    std::function<void(TCustomWSocket* sender, std::uint16_t error)> OnSessionAvailable;
    std::function<void(TCustomWSocket* sender, std::uint16_t error)> OnSessionClosed;
    std::function<void(TCustomWSocket* sender, std::uint16_t error)> OnDataAvailable;
    std::function<void(TCustomWSocket* sender, std::uint16_t error)> OnDataSent;
    std::function<void(TCustomWSocket* sender, int bytesSent)> OnSendData;
    std::function<void(TCustomWSocket* sender, std::uint16_t error)> OnDnsLookupDone;
    std::function<void(TCustomWSocket* sender, TSocketState oldState, TSocketState newState)> OnChangeState;
    std::function<void(TCustomWSocket* sender)> OnError;
    std::function<void(TCustomWSocket* sender, const std::exception& e, bool& canClose)> OnBgException;

    // --- properties --------------------------------------------------------
    const QString& Addr() const { return addrStr_; }
    void SetAddr(const QString& addr);
    const QString& Port() const { return portStr_; }
    virtual void SetPort(const QString& port);
    const QString& Proto() const { return protoStr_; }
    virtual void SetProto(const QString& proto);
    const QString& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const QString& localAddr);
    const QString& LocalPort() const { return localPortStr_; }
    void SetLocalPort(const QString& localPort);

    virtual QString PeerAddr();
    virtual QString PeerPort();
    const QString& DnsResult() const { return dnsResult_; }
    const QStringList& DnsResultList() const { return dnsResultList_; }

    TSocketState State() const { return state_; }
    std::int64_t ReadCount() const { return readCount_; }
    // Bytes readable now; -1 when the query failed.
    virtual int RcvdCount();
    int LastError() const { return lastError_; }

    bool MultiThreaded() const { return multiThreaded_; }
    void SetMultiThreaded(bool value) { multiThreaded_ = value; }
    bool MultiCast() const { return multiCast_; }
    void SetMultiCast(bool value) { multiCast_ = value; }
    const QString& MultiCastAddrStr() const { return multiCastAddrStr_; }
    void SetMultiCastAddrStr(const QString& value) { multiCastAddrStr_ = value; }
    int MultiCastIpTTL() const { return multiCastIpTTL_; }
    void SetMultiCastIpTTL(int value) { multiCastIpTTL_ = value; }
    bool ReuseAddr() const { return reuseAddr_; }
    void SetReuseAddr(bool value) { reuseAddr_ = value; }
    TWSocketOptions ComponentOptions() const { return componentOptions_; }
    void SetComponentOptions(TWSocketOptions options) { componentOptions_ = options; }
    TSocketSendFlags SendFlags() const;
    void SetSendFlags(TSocketSendFlags flags);
    TSocketLingerOnOff LingerOnOff() const { return lingerOnOff_; }
    void SetLingerOnOff(TSocketLingerOnOff value) { lingerOnOff_ = value; }
    int LingerTimeout() const { return lingerTimeout_; }
    void SetLingerTimeout(int seconds) { lingerTimeout_ = seconds; }

    // The socket handle (INVALID_SOCKET when none) and the address record that
    // Connect connects to, Listen binds to and Accept fills with the peer.
    TSocket HSocket() const { return hSocket_; }
    const TSockAddrIn& sin() const { return sin_; }
    // The resolved remote address in network order (valid after Connect).
    std::uint32_t RemoteAddress() const { return sin_.sin_addr; }
    platform::WindowHandle Handle() const { return window_ ? window_->Handle() : 0; }
    bool AllSent() const { return allSent_; }
    int BlockSize() const { return blockSize_; }
    bool Paused() const { return paused_; }
    bool Terminated() const { return terminated_; }
    // The handle returned by the last Accept.
    TSocket LastAcceptedSocket() const { return acceptedSocket_; }

    // --- operations --------------------------------------------------------
    virtual void Connect();
    virtual void Close();
    virtual void CloseLater();
    virtual void FreeLater();
    virtual void Abort();
    virtual void Flush();
    virtual void WaitUntilClosed();
    virtual void Listen();
    virtual TSocket Accept();
    virtual void Dup(TSocket newHSocket);
    virtual void Shutdown(int how);
    virtual void Pause();
    virtual void Resume();
    // False when the option failed (reported).
    bool ApplyLinger();

    virtual int Receive(void* buffer, int length);
    virtual QString ReceiveText();  // decoded as UTF-8
    virtual int ReceiveFrom(void* buffer, int length, TSockAddrIn& from, int& fromLength);

    // Queues everything; -1 (with the error reported) when not connected.
    virtual int Send(const void* data, int length);
    int Send(const QByteArray& data) { return Send(data.constData(), int(data.size())); }
    virtual int SendTo(const TSockAddrIn& dest, int destLength, const void* data, int length);
    virtual int SendText(const QString& text);  // sent as UTF-8
    void TryToSend();
    void DropSendBuffers();

    virtual void DnsLookup(const QString& hostName);
    virtual void ReverseDnsLookup(const QString& hostAddr);
    virtual void CancelLookup();

    virtual int GetPeerName(TSockAddrIn& name, int nameLength);
    virtual QString GetBoundPort();
    virtual QString GetBoundAddr();
    virtual int GetSockName(TSockAddrIn& name, int& nameLength);

    void ProcessThreadMessages();
    virtual void PumpMessages();

protected:
    // Notification window and its messages.
    virtual void HandleWindowMessage(platform::Message& msg);
    virtual void CreateNotifyWindow();
    virtual void DestroyNotifyWindow();
    bool PostToSelf(std::uint32_t msg, platform::WPARAM wParam, platform::LPARAM lParam);

    virtual void ResetToDefaults();
    virtual void CloseInternal(bool shutdownFirst, int error);
    // False when the failure was reported through OnError.
    virtual bool BindLocal();
    virtual int RawSend(const void* data, int length);
    virtual void RaiseSocketError(const QString& message);
    void ReportSocketError(const QString& functionName);
    virtual void HandleBackgroundError(const std::exception& e);

    virtual bool FireDataAvailable(std::uint16_t error);
    virtual void FireSessionAvailable(std::uint16_t error);
    virtual void FireSessionConnected(std::uint16_t error);
    virtual void FireSessionClosed(std::uint16_t error);
    virtual void FireDataSent(std::uint16_t error);
    virtual void FireChangeState(TSocketState oldState, TSocketState newState);
    virtual void FireDnsLookupDone(std::uint16_t error);
    virtual void FireError();
    virtual int RawReceive(void* buffer, int length, int flags);
    virtual int RawReceiveFrom(void* buffer, int length, TSockAddrIn& from, int& fromLength);

    void SetState(TSocketState newState);
    // Resolves what Connect (withLocalPort) or Listen needs and opens a fresh
    // handle in place of any left open. False when it failed (reported).
    bool OpenHandle(const QString& errorPrefix, const QString& socketFunction, bool withLocalPort);
    bool EnableReuseAddr();
    // Closes a handle that is still open, quietly.
    void ReleaseHandle();
    // Blocks in the event loop until an event arrives or timeoutMs passed.
    void WaitForEvents(int timeoutMs);
    void DrainReceive(std::uint16_t error, TWSocketOptions options);
    void QueueSendData(const void* data, int length);
    void HandleSocketEvent(platform::Message& msg);
    void HandleLookupDone(platform::Message& msg, bool reverse);
    // Starts the sockets service before the first call into it.
    static void EnsureSockets();

    bool Destroying() const { return destroying_; }

    // State shared with the layers.
    QString dnsResult_;
    QStringList dnsResultList_;
    TSocket acceptedSocket_ = INVALID_SOCKET;
    std::deque<std::unique_ptr<TBuffer>> sendQueue_;
    int blockSize_ = 1460;
    int sendFlags_ = 0;
    int lastError_ = 0;
    std::unique_ptr<platform::NotifyWindow> window_;
    platform::LookupHandle lookupHandle_ = 0;
    TSocket hSocket_ = INVALID_SOCKET;
    QString addrStr_;
    bool addrResolved_ = false;
    bool addrAssigned_ = false;
    int addrFormat_ = platform::kAfInet;
    int proto_ = platform::kIpProtoTcp;
    QString protoStr_;
    bool protoAssigned_ = false;
    bool protoResolved_ = false;
    bool localPortResolved_ = false;
    QString portStr_;
    bool portAssigned_ = false;
    bool portResolved_ = false;
    std::uint16_t portNum_ = 0;  // host order
    QString localPortStr_;
    std::uint16_t localPortNum_ = 0;
    QString localAddr_;
    int type_ = platform::kSockStream;
    TSocketLingerOnOff lingerOnOff_ = wsLingerOn;
    int lingerTimeout_ = 0;
    bool allSent_ = true;
    std::int64_t readCount_ = 0;
    bool paused_ = false;
    bool closeReported_ = false;
    int flushTimeout_ = 60;  // seconds Flush waits without progress
    bool multiThreaded_ = false;
    bool multiCast_ = false;
    QString multiCastAddrStr_;
    int multiCastIpTTL_ = 1;
    bool reuseAddr_ = false;
    TWSocketOptions componentOptions_;
    TSocketState state_ = wsClosed;
    bool terminated_ = false;
    std::uint16_t eventMask_ = 0;
    TSockAddrIn sin_;

    bool sending_ = false;          // TryToSend is running (handlers may send again)
    unsigned coreReceiveCalls_ = 0;  // lets DrainReceive notice a pass that read nothing
    std::uint64_t bytesSent_ = 0;    // lets Flush see progress

private:
    bool destroying_ = false;
};

// ---------------------------------------------------------------------------
// TCustomSocksWSocket: SOCKS 4, 4A and 5 client layer.

class TCustomSocksWSocket : public TCustomWSocket
{
public:
    explicit TCustomSocksWSocket(QObject* owner = nullptr);

    std::function<void(TCustomWSocket* sender, std::uint16_t error)> OnSocksConnected;
    std::function<void(TCustomWSocket* sender, int error, const QString& msg)> OnSocksError;
    std::function<void(TCustomWSocket* sender, TSocksAuthState authState)> OnSocksAuthState;

    const QString& SocksServer() const { return socksServer_; }
    virtual void SetSocksServer(const QString& server);
    const QString& SocksPort() const { return socksPort_; }
    virtual void SetSocksPort(const QString& port);
    const QString& SocksLevel() const { return socksLevel_; }
    void SetSocksLevel(const QString& level);
    const QString& SocksUsercode() const { return socksUsercode_; }
    void SetSocksUsercode(const QString& usercode) { socksUsercode_ = usercode; }
    const QString& SocksPassword() const { return socksPassword_; }
    void SetSocksPassword(const QString& password) { socksPassword_ = password; }
    TSocksAuthentication SocksAuthentication() const { return socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication value) { socksAuthentication_ = value; }

    void Connect() override;
    void Listen() override;
    int RcvdCount() override;

protected:
    enum TSocksPhase : std::uint8_t {
        socksPhaseIdle = 0,
        socksPhaseAwaitingMethodReply = 1,
        socksPhaseAwaitingAuthReply = 2,
        socksPhaseAwaitingConnectReply = 3,
    };

    virtual void FireSocksConnected(std::uint16_t error);
    virtual void FireSocksError(int error, const QString& msg);
    void FireSocksAuthState(TSocksAuthState state);

    void ResetToDefaults() override;
    bool FireDataAvailable(std::uint16_t error) override;
    void FireSessionConnected(std::uint16_t error) override;
    void FireSessionClosed(std::uint16_t error) override;
    int RawReceive(void* buffer, int length, int flags) override;

    void SocksSendAuthRequest();
    void SocksSendConnectRequest();
    void SocksFail(int error, const QString& msg);
    // Leaves no negotiation or cached proxy address behind a failed Connect.
    void SocksForget();
    // The proxy granted the connection: the owner hears of it, then of any
    // bytes that came with the reply.
    bool FireGranted();
    void SocksSendRequest(const QByteArray& request);
    bool SocksLevel4() const { return socksLevel_.startsWith(QLatin1Char('4')); }

    TSocksPhase socksPhase_ = socksPhaseIdle;
    QString socksServer_;
    QString socksLevel_ = QStringLiteral("5");
    QString socksPort_;
    bool socksPortAssigned_ = false;
    bool socksServerAssigned_ = false;
    QString socksUsercode_;
    QString socksPassword_;
    TSocksAuthentication socksAuthentication_ = socksNoAuthentication;
    std::uint8_t socksAuthMethod_ = 0;
    QString socksBoundAddr_;
    QString socksBoundPort_;
    std::uint8_t socksReply_[128] = {};
    int socksReplyCount_ = 0;
    int socksLeftoverCount_ = 0;
    int socksLeftoverPos_ = 0;
};

// ---------------------------------------------------------------------------
// TCustomTlsWSocket: TLS client layer. Off until asked for; then the layers
// above see plain bytes and the same events as without it: the connect is
// reported once the handshake is through (TlsAtConnect), data available
// means plain bytes to read, data sent means everything encrypted has left.

class TCustomTlsWSocket : public TCustomSocksWSocket
{
public:
    explicit TCustomTlsWSocket(QObject* owner = nullptr);
    ~TCustomTlsWSocket() override;

    // The end of a handshake started by StartTls: 0, or a TLS failure code
    // (the connection is closed with it right after).
    std::function<void(TCustomWSocket* sender, std::uint16_t error)> OnTlsDone;

    // Settings for the next connection; a close forgets all but the context.
    // Handshake at the end of Connect, before OnSessionConnected.
    bool TlsAtConnect() const { return tlsAtConnect_; }
    void SetTlsAtConnect(bool value) { tlsAtConnect_ = value; }
    // The name or address the certificate must be for; empty: Addr.
    const QString& TlsHostName() const { return tlsHostName_; }
    void SetTlsHostName(const QString& host) { tlsHostName_ = host; }
    // A pinned SHA-256 fingerprint: the certificate must have it, and the CA
    // check is skipped. Empty: the CA and host name checks.
    const QString& TlsFingerprint() const { return tlsFingerprint_; }
    void SetTlsFingerprint(const QString& fingerprint) { tlsFingerprint_ = fingerprint; }
    // A session to resume (a data connection resumes its control connection's).
    void SetTlsResumeSession(const TTlsSessionRef& session) { tlsResume_ = session; }
    // Shared by the connections of one owner; made on first need otherwise.
    const std::shared_ptr<TTlsContext>& TlsContext() const { return tlsContext_; }
    void SetTlsContext(std::shared_ptr<TTlsContext> context) { tlsContext_ = std::move(context); }

    // Starts the handshake on an open connection (after AUTH TLS, or on an
    // accepted data connection); OnTlsDone reports its end. Bytes sent
    // meanwhile wait for it.
    void StartTls();

    // Ends the TLS stream with its close notice and the sending half of the
    // connection, which stays open to read until the peer closes it: data
    // the peer sends after a full close would reset the connection and could
    // cost it the last bytes it has not read yet. Without TLS: Shutdown(1).
    void TlsShutdown();

    bool TlsActive() const;       // negotiating or established on this connection
    bool TlsEstablished() const;  // the handshake is through and the certificate passed
    TTlsSessionRef TlsSession() const;
    // The peer ended the stream with its close notice: what it sent is
    // whole. A bare end of the connection (a FIN anyone on the path can
    // cause) is not answered with a notice of our own either.
    bool TlsCloseNoticeReceived() const;
    // The last handshake's certificate and failure; kept after the close.
    const TTlsCertificateInfo& TlsPeerCertificate() const { return tlsPeer_; }
    const QString& TlsErrorText() const { return tlsErrorText_; }
    int TlsErrorCode() const { return tlsErrorCode_; }

    using TCustomSocksWSocket::Send;
    int Send(const void* data, int length) override;
    int RcvdCount() override;

protected:
    virtual void FireTlsDone(std::uint16_t error);

    void ResetToDefaults() override;
    void CloseInternal(bool shutdownFirst, int error) override;
    bool FireDataAvailable(std::uint16_t error) override;
    void FireSessionConnected(std::uint16_t error) override;
    void FireSessionClosed(std::uint16_t error) override;
    void FireDataSent(std::uint16_t error) override;
    int RawReceive(void* buffer, int length, int flags) override;

    // The handshake is running: the line layer leaves the bytes to this one.
    bool TlsNegotiating() const;
    // A record failed: the line layer hands the failure back to this layer,
    // which ends the connection.
    bool TlsBroken() const { return TlsActive() && tlsBroken_ != 0; }

private:
    void TlsBegin(bool atConnect);
    // Reads what the layer below has, moves the handshake on and decrypts
    // into the plain buffer. Fires no event.
    void TlsPump();
    // Sends what the engine encrypted; false when the send failed.
    bool TlsFlush();
    void TlsHandshakeDone();
    void TlsFail(int code, const QString& text);
    // Delivers the plain buffer to the owner (also an end of the stream once).
    bool TlsDeliver(std::uint16_t error);
    void TlsDrop();
    // Posts a read notice for plain bytes still waiting, once.
    void TlsRenotice();
    // The close notice, sent at once, before a close.
    void SendCloseNotice();

    std::unique_ptr<TTlsEngine> tls_;
    TSocket tlsSocket_ = INVALID_SOCKET;  // the connection the engine belongs to
    bool tlsConnecting_ = false;          // the owner waits for OnSessionConnected
    QByteArray tlsPlain_;                 // decrypted, not yet read by the owner
    QByteArray tlsPending_;               // sent by the owner before the handshake ended
    bool tlsEnded_ = false;               // close notice or end of the connection seen
    bool tlsEndDelivered_ = false;
    int tlsBroken_ = 0;                   // a failure after the handshake
    bool tlsRenotice_ = false;            // a read notice is posted for the rest
    bool tlsNoticeSent_ = false;          // the close notice went out
    bool tlsPeerClosed_ = false;          // the peer ended the connection first
    bool tlsRenegotiationRefused_ = false;  // kept after the close, as the failure is
    bool tlsAtConnect_ = false;
    QString tlsHostName_;
    QString tlsFingerprint_;
    TTlsSessionRef tlsResume_;
    std::shared_ptr<TTlsContext> tlsContext_;
    TTlsCertificateInfo tlsPeer_;
    QString tlsErrorText_;
    int tlsErrorCode_ = 0;
    int plainBlockSize_ = 1460;
};

// ---------------------------------------------------------------------------
// TCustomLineWSocket: line mode.

class TCustomLineWSocket : public TCustomTlsWSocket
{
public:
    explicit TCustomLineWSocket(QObject* owner = nullptr);

    // The limit was passed: clearData (true on entry) drops the buffered bytes.
    std::function<void(TCustomWSocket* sender, int rcvdLength, bool& clearData)> OnLineLimitExceeded;

    bool LineMode() const { return lineMode_; }
    virtual void SetLineMode(bool value);
    const QByteArray& LineEnd() const { return lineEnd_; }
    void SetLineEnd(const QByteArray& lineEnd) { lineEnd_ = lineEnd; }
    int LineLimit() const { return lineLimit_; }
    void SetLineLimit(int limit) { lineLimit_ = limit; }
    bool LineEcho() const { return lineEcho_; }
    void SetLineEcho(bool value) { lineEcho_ = value; }
    bool LineEdit() const { return lineEdit_; }
    void SetLineEdit(bool value) { lineEdit_ = value; }
    // Bytes held by the line layer (a partial line, or lines not yet handed out).
    int BufferedCount() const { return bufferedCount_; }

    int RcvdCount() override;

protected:
    virtual void FireLineLimitExceeded(int rcvdLength, bool& clearData);
    // Edits the got new bytes in place; returns the bytes to echo.
    virtual QByteArray ApplyLineEditing(int& got);

    void HandleWindowMessage(platform::Message& msg) override;
    int RawReceive(void* buffer, int length, int flags) override;
    bool FireDataAvailable(std::uint16_t error) override;
    void FireSessionClosed(std::uint16_t error) override;

    // Hands the pending line to the owner until it has read it all.
    void DeliverPendingLine();
    // Hands bytes held from line mode out as plain data at the end.
    void DeliverHeldBytes();
    // The owner's OnDataAvailable, remembering that it runs: a close from
    // inside it must not offer the same bytes again.
    bool FireOwnerDataAvailable(std::uint16_t error);
    // New bytes from the layer below, counted as Receive counts them.
    int ReceiveFromBelow(char* buffer, int length);
    // Takes count bytes from the front of the buffer (to out, if given).
    void TakeFront(char* out, int count);
    void EnsureLineBuffer(int size);

    QByteArray lineBuffer_;  // empty = not allocated; a 0 byte follows the data
    int bufferedCount_ = 0;
    QByteArray lineEnd_ = QByteArrayLiteral("\r\n");
    bool lineMode_ = false;
    int pendingLineLength_ = 0;
    int lineLimit_ = 65536;
    bool lineEcho_ = false;
    bool lineEdit_ = false;
    bool inOwnerDataEvent_ = false;
    int syncTimeout_ = 0;  // milliseconds, 0 = no limit
    std::int64_t syncDeadline_ = 0;
};

// ---------------------------------------------------------------------------
// TCustomSyncWSocket: wait until an event handler sets a flag.

class TCustomSyncWSocket : public TCustomLineWSocket
{
public:
    explicit TCustomSyncWSocket(QObject* owner = nullptr);

    int SyncTimeout() const { return syncTimeout_; }
    void SetSyncTimeout(int ms) { syncTimeout_ = ms; }

    // flag := false, runs method, then waits for the flag: 0, or 12001 on
    // time-out or program termination.
    virtual int RunAndWait(bool& flag, const std::function<void()>& method);
    virtual int WaitForFlag(bool& flag);
};

// ---------------------------------------------------------------------------
// TWSocket: the component users create.

class TWSocket : public TCustomSyncWSocket
{
public:
    explicit TWSocket(QObject* owner = nullptr);
};
