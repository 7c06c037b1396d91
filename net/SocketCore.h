#pragma once
// The socket component's core: state machine, send queue, lookups and the
// notification window. The layers in SocksSocket.h ... SyncSocket.h build on it.

#include "net/SocketCommon.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>

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
    // The capacity of send blocks queued from now on: a send call hands the
    // kernel at most one block, so a bulk sender wants large ones.
    void SetBlockSize(int bytes) { blockSize_ = bytes > 0 ? bytes : 1460; }
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
    // Steps of Connect; each false when it failed (reported).
    bool ConnectSettingsComplete();
    bool SetDatagramOptions();
    bool SetMulticastOptions();
    bool SetStreamOptions();
    // Steps of Listen; each false when it failed (reported).
    bool ListenSettingsComplete();
    bool JoinMulticastGroup();
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
