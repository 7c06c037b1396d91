#pragma once
// The FTP client: TCustomFtpCli holds the protocol engine over two owned
// sockets (control and data connection); TFtpClient adds the blocking
// wrappers. Every operation is a request that ends exactly once with
// OnRequestDone; errors found when a request starts raise FtpException.

#include "ftp/FtpReply.h"
#include "net/WSocket.h"
#include "platform/exception.h"
#include "platform/messages.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>

class QFile;

TARVO_DECLARE_EXCEPTION(FtpException, Exception);

// Messages the client posts to its own notification window (wParam 0).
constexpr std::uint32_t WM_FTP_REQUEST_DONE = 0x401;  // lParam: the request's error value
constexpr std::uint32_t WM_FTP_SENDDATA = 0x402;

enum TFtpOption {
    ftpAcceptLF = 0,
    ftpNoAutoResumeAt = 1,
};

// A set of TFtpOption held in one byte.
class TFtpOptions
{
public:
    constexpr TFtpOptions() = default;
    constexpr TFtpOptions(std::initializer_list<TFtpOption> options)
    {
        for (TFtpOption o : options)
            bits_ |= Bit(o);
    }
    constexpr bool Contains(TFtpOption o) const { return (bits_ & Bit(o)) != 0; }
    constexpr std::uint8_t Bits() const { return bits_; }
    constexpr TFtpOptions operator+(TFtpOption o) const { return FromBits(bits_ | Bit(o)); }
    constexpr TFtpOptions operator-(TFtpOption o) const { return FromBits(bits_ & ~Bit(o)); }
    constexpr bool operator==(const TFtpOptions&) const = default;
    static constexpr TFtpOptions FromBits(std::uint8_t bits)
    {
        TFtpOptions s;
        s.bits_ = bits & 0x03;
        return s;
    }

private:
    static constexpr std::uint8_t Bit(TFtpOption o) { return std::uint8_t(1u << unsigned(o)); }
    std::uint8_t bits_ = 0;
};

enum TFtpShareMode {
    ftpShareCompat = 0,
    ftpShareExclusive = 1,
    ftpShareDenyWrite = 2,
    ftpShareDenyRead = 3,
    ftpShareDenyNone = 4,
};

enum TFtpConnectionType {
    ftpDirect = 0,
    ftpProxy = 1,
    ftpSocks4 = 2,
    ftpSocks4A = 3,
    ftpSocks5 = 4,
};

// Protection of the control and data connections.
enum TFtpSecurity {
    ftpPlain = 0,        // no TLS
    ftpExplicitTls = 1,  // AUTH TLS after the greeting, then TLS on every connection
    ftpImplicitTls = 2,  // TLS from the first byte (usually port 990)
};

enum TFtpClientState : std::uint8_t {
    fsNotConnected = 0,     // control connection lost while idle
    fsReady = 1,            // idle; a new request may start
    fsStepReady = 2,        // between two steps, or after a close; counts as ready
    fsLookup = 3,           // host-name lookup for the control connection
    fsConnected = 4,        // greeting accepted
    fsAborting = 5,         // ForceClose in progress
    fsWaitingGreeting = 7,  // connect started, waiting for the greeting
    fsWaitingReply = 8,     // a command was sent, waiting for its final reply
    fsPassiveReady = 9,     // a 227 reply to PASV arrived in passive mode
};

// Request types as OnRequestDone reports them.
enum TFtpRequest : std::uint8_t {
    ftpReqNone = 0,
    ftpReqOpen = 1,
    ftpReqUser = 2,
    ftpReqPass = 3,
    ftpReqCwd = 4,
    ftpReqLogin = 5,
    ftpReqDownload = 6,
    ftpReqListLong = 7,
    ftpReqListNames = 8,
    ftpReqPort = 9,
    ftpReqRetrieve = 10,
    ftpReqDirectoryLong = 11,
    ftpReqDirectoryNames = 12,
    ftpReqSystemInfo = 13,
    ftpReqSyst = 14,
    ftpReqQuit = 15,
    ftpReqAbor = 16,
    ftpReqSize = 17,
    ftpReqStore = 18,
    ftpReqAppend = 19,
    ftpReqMkd = 22,
    ftpReqRmd = 23,
    ftpReqRenameFile = 24,
    ftpReqDele = 25,
    ftpReqRename = 26,
    ftpReqRenTo = 27,
    ftpReqRenFrom = 28,
    ftpReqDeleteFile = 29,
    ftpReqMakeDir = 30,
    ftpReqRemoveDir = 31,
    ftpReqPwd = 32,
    ftpReqQuote = 33,
    ftpReqCdup = 34,
    ftpReqLoginQuote = 35,
    ftpReqUpload = 36,
    ftpReqType = 37,
    ftpReqRest = 38,
    ftpReqRetrieveResume = 39,
    ftpReqDownloadResume = 40,
    ftpReqStoreResume = 41,
    ftpReqUploadResume = 42,
    ftpReqPbsz = 43,
    ftpReqProt = 44,
};

// Steps of high-level requests; TFtpSteps holds bit n for step n.
enum TFtpStep : std::uint8_t {
    stNone = 0,
    stOpen = 1,
    stUser = 2,
    stPass = 3,
    stCwd = 4,
    stSize = 5,
    stMkd = 6,
    stRmd = 7,
    stRenFrom = 8,
    stRenTo = 9,
    stRetrieve = 10,
    stListLong = 11,
    stQuit = 12,
    stSyst = 13,
    stDele = 14,
    stPwd = 15,
    stQuote = 16,
    stStore = 17,
    stType = 18,
    stRest = 19,
    stCdup = 20,
    stListNames = 21,
    stAppend = 22,
    stPort = 23,
    stAbor = 24,
    stPbsz = 25,  // PBSZ 0 and PROT P: after the login, whenever TLS is on
    stProt = 26,
};

using TFtpSteps = std::uint32_t;
constexpr TFtpSteps StepBit(TFtpStep s) { return TFtpSteps(1) << unsigned(s); }
constexpr TFtpSteps Steps(std::initializer_list<TFtpStep> steps)
{
    TFtpSteps bits = 0;
    for (TFtpStep s : steps)
        bits |= StepBit(s);
    return bits;
}

class TCustomFtpCli : public QObject
{
public:
    explicit TCustomFtpCli(QObject* owner = nullptr);
    ~TCustomFtpCli() override;

    // --- events (raised only when assigned) --------------------------------
    std::function<void(TCustomFtpCli* sender, QString& msg)> OnDisplay;
    std::function<void(TCustomFtpCli* sender, QString& msg)> OnDisplayFile;
    std::function<void(TCustomFtpCli* sender, QString& cmd)> OnCommand;
    std::function<void(TCustomFtpCli* sender)> OnResponse;
    std::function<void(TCustomFtpCli* sender, qint64 count, bool& abort)> OnProgress;
    std::function<void(TCustomFtpCli* sender, std::uint16_t error)> OnSessionConnected;
    std::function<void(TCustomFtpCli* sender, std::uint16_t error)> OnSessionClosed;
    std::function<void(TCustomFtpCli* sender, TFtpRequest rqType, std::uint16_t error)> OnRequestDone;
    std::function<void(TCustomFtpCli* sender)> OnStateChange;
    std::function<void(TCustomFtpCli* sender, bool& cancel)> OnReadyToTransmit;
    std::function<void(TCustomFtpCli* sender, const std::exception& e, bool& canClose)> OnBgException;

    // --- properties --------------------------------------------------------
    const QString& HostName() const { return hostName_; }
    void SetHostName(const QString& v) { hostName_ = v; }
    const QString& Port() const { return port_; }
    void SetPort(const QString& v) { port_ = v; }
    const QString& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const QString& v) { localAddr_ = v; }
    const QString& UserName() const { return userName_; }
    void SetUserName(const QString& v) { userName_ = v; }
    const QString& PassWord() const { return passWord_; }
    void SetPassWord(const QString& v) { passWord_ = v; }
    const QString& HostDirName() const { return hostDirName_; }
    void SetHostDirName(const QString& v) { hostDirName_ = v; }
    const QString& HostFileName() const { return hostFileName_; }
    void SetHostFileName(const QString& v) { hostFileName_ = v; }
    const QString& LocalFileName() const { return localFileName_; }
    void SetLocalFileName(const QString& v) { localFileName_ = v; }
    bool DisplayFileFlag() const { return displayFileFlag_; }
    void SetDisplayFileFlag(bool v) { displayFileFlag_ = v; }
    bool Binary() const { return typeLetter_ == u'I'; }
    void SetBinary(bool v) { typeLetter_ = v ? u'I' : u'A'; }
    const QString& ErrorMessage() const { return errorMessage_; }
    TFtpShareMode ShareMode() const;
    void SetShareMode(TFtpShareMode mode);
    TFtpOptions Options() const { return options_; }
    void SetOptions(TFtpOptions v) { options_ = v; }
    TFtpConnectionType ConnectionType() const { return connectionType_; }
    void SetConnectionType(TFtpConnectionType type);
    const QString& ProxyServer() const { return proxyServer_; }
    void SetProxyServer(const QString& v) { proxyServer_ = v; }
    QString SocksPassword() const;
    void SetSocksPassword(const QString& v);
    QString SocksPort() const;
    void SetSocksPort(const QString& v);
    QString SocksServer() const;
    void SetSocksServer(const QString& v);
    QString SocksUserCode() const;
    void SetSocksUserCode(const QString& v);
    bool PassiveMode() const { return passiveMode_; }
    void SetPassiveMode(bool v);
    // TLS for the next connection. With TLS asked for, nothing but AUTH TLS
    // and QUIT goes over a control connection that is not secured.
    TFtpSecurity Security() const { return security_; }
    void SetSecurity(TFtpSecurity v) { security_ = v; }
    // A pinned SHA-256 fingerprint: the server's certificate must have it
    // (the CA check is skipped); empty for the CA and host name checks.
    const QString& TlsFingerprint() const { return tlsFingerprint_; }
    void SetTlsFingerprint(const QString& v) { tlsFingerprint_ = v; }
    // The control connection's last certificate (also after a refusal).
    const TTlsCertificateInfo& TlsCertificate() const;

    // Read-only state and results.
    TFtpClientState State() const { return PublicState(state_); }
    int StatusCode() const { return statusCode_; }
    const QString& LastResponse() const { return lastResponse_; }
    TFtpRequest RequestType() const { return request_.type; }
    bool IsConnected() const;
    qint64 SizeResult() const { return sizeResult_; }
    const QString& DirResult() const { return dirResult_; }
    qint64 ByteCount() const { return byteCount_; }
    const QString& DnsResult() const { return dnsResult_; }
    // The line an SSH server opened with where the last open awaited the
    // greeting; empty when it met none.
    const QString& SshIdentification() const { return sshIdentification_; }
    // Resume offset of REST, RETR and STOR.
    qint64 ResumeAt() const { return resumeAt_; }
    void SetResumeAt(qint64 v) { resumeAt_ = v; }
    TWSocket* ControlSocket() const { return controlSocket_; }
    TWSocket* DataSocket() const { return dataSocket_; }
    platform::WindowHandle Handle() const { return window_ ? window_->Handle() : 0; }

    // --- single-command requests --------------------------------------------
    virtual void StartOpen();
    virtual void StartUser();
    virtual void StartPass();
    virtual void StartCwd();
    virtual void StartPort();
    virtual void StartSyst();
    virtual void StartQuit();
    virtual void StartAbor();
    virtual void StartSize();
    virtual void StartMkd();
    virtual void StartRmd();
    virtual void StartDele();
    virtual void StartRenFrom();
    virtual void StartRenTo();
    virtual void StartPwd();
    virtual void StartQuote();
    virtual void StartCdup();
    virtual void StartType();
    virtual void StartTypeBinary();
    virtual void StartTypeAscii();
    virtual void StartRest();
    virtual void StartPbsz();
    virtual void StartProt();
    // Transfer steps, normally run after StartPort.
    virtual void StartRetrieveStep();
    virtual void StartListLongStep();
    virtual void StartListNamesStep();
    virtual void StartStoreStep();
    virtual void StartAppendStep();

    // --- high-level requests ----------------------------------------------
    virtual void StartLogin();
    virtual void StartDownload();
    virtual void StartDownloadResume();
    virtual void StartRetrieve();
    virtual void StartRetrieveResume();
    virtual void StartStore();
    virtual void StartStoreResume();
    virtual void StartAppend();
    virtual void StartUpload();
    virtual void StartUploadAppend();
    virtual void StartUploadResume();
    virtual void StartListLong();
    virtual void StartListNames();
    virtual void StartDirectoryLong();
    virtual void StartDirectoryNames();
    virtual void StartSystemInfo();
    virtual void StartFileSize();
    virtual void StartRename();
    virtual void StartRenameFile();
    virtual void StartDeleteFile();
    virtual void StartMakeDir();
    virtual void StartRemoveDir();
    virtual void StartLoginQuote();

    // Closes both connections at once; the pending request finishes. No ABOR.
    virtual void ForceClose();

protected:
    // Where the client stands: the control dialogue and, during a transfer,
    // the data connection. The final reply and the end of the data
    // connection may come in either order; the later one finishes a transfer.
    enum class ClientState : std::uint8_t {
        Ready,           // idle; a new request may start
        StepReady,       // between two steps, or after a close
        NotConnected,    // the control connection was just lost
        Lookup,          // host-name lookup for the control connection
        Greeting,        // connect started, waiting for the greeting
        AuthTls,         // AUTH TLS sent, waiting for its reply
        TlsHandshake,    // the control connection's handshake runs
        Connected,       // greeting accepted
        Command,         // a command was sent, waiting for its final reply
        PassiveReady,    // a 227 reply to PASV arrived in passive mode
        DataConnecting,  // passive: the data connection opens; the command waits for it
        TransferSent,    // the transfer command is sent; 125/150 not yet received
        DataEndedEarly,  // the data connection ended before the 125/150
        Moving,          // 125/150 received: bytes move
        Draining,        // upload: the last block is handed over, the close requested
        ReplyFirst,      // the final reply came; waiting for the data connection to end
        DataFirst,       // the data connection ended; waiting for the final reply
        Aborting,        // ForceClose in progress
    };
    static TFtpClientState PublicState(ClientState s);
    static bool InTransfer(ClientState s) { return s >= ClientState::TransferSent && s <= ClientState::DataFirst; }

    // The running request as data: its type, the steps still to run (in
    // the fixed step order), the step whose command is out, and a sequence's
    // own result once its steps ran. A high-level request's steps end with
    // the end mark: while any is left, the steps go on after the current one.
    struct Request {
        TFtpRequest type = ftpReqNone;
        TFtpSteps pending = 0;
        TFtpStep current = stNone;
        int result = 0;
        static constexpr TFtpSteps kEndMark = StepBit(stNone);
        bool InSequence() const { return pending != 0; }
    };

    virtual void SendCommand(QString cmd);
    virtual void Display(const QString& msg);
    virtual void TriggerReadyToTransmit(bool& cancel);
    virtual void TriggerDisplayFile(QString& msg);
    virtual void ReportError(const QString& msg);
    // Fires OnProgress; false when the handler asked to abort.
    virtual bool Progress();
    virtual void TransfertStats();
    virtual void WndProc(platform::Message& msg);
    virtual void HandleBackgroundException(const std::exception& e);

    bool CheckReady();
    // CheckReady, and a connection: what every single command needs.
    void CheckCanIssue();
    // The only place the state changes: traced, and OnStateChange fires
    // when the public state changes with it.
    void SetState(ClientState s);
    // Leaves the transfer states for the plain one with the same public state.
    void EndTransferState();
    void CaptureError();
    // The failing reply (or local failure text) and its code, as the request's
    // result and last reply; the error message keeps the first failure.
    void SetFailure(int code, const QString& text);
    // Ends the running request with a failure: the text becomes the last
    // reply (and the error message unless one is kept), with a "! " note
    // when asked; the data connection and the local file are closed.
    void FailRequest(int code, const QString& text, bool note = false);
    // Remembers a local failure of the running transfer (the first one
    // counts); the transfer then ends with it whatever the server answers.
    void RecordLocalFailure(int code, const QString& text);
    // Runs the client's part of an event of its sockets or its window: a
    // handler that deletes the client ends it quietly, any exception goes to
    // onException.
    template <class F>
    void Guarded(F&& body, void (TCustomFtpCli::*onException)(const std::exception&));
    // A socket event: an exception also ends the running request.
    template <class F>
    void SocketEvent(F&& f);
    void EndRequestByException(const std::exception& e);

    // Requests and steps.
    void IssueCommand(TFtpRequest rqType, const QString& cmd, std::initializer_list<int> okCodes);
    // Hands a final reply to the handler of the current state.
    void DispatchFinalReply();
    void GreetingReply(std::uint16_t error, bool& stop);
    void SshGreeting(bool& stop);
    void JudgeReply();
    // Whether a final reply is still awaited.
    bool ReplyAwaited() const;
    // No further step runs: the request ends with the current one.
    void StopSequence();
    void StartSequence(TFtpRequest rqType, TFtpSteps steps);
    void NextStep();
    // Whether a step of the sequence runs now; false skips it.
    bool PrepareStep(TFtpStep step);
    void StartStep(TFtpStep step);
    void FinishRequest(int error);
    void CollectResults();
    void QuitDone();
    void PortDone();

    // Data connection.
    void StartTransferStep(TFtpRequest rqType, const QString& command, bool upload);
    void SendTransferCommand();
    void PassiveConnect();
    void ApplySocksSettings(TWSocket* socket) const;
    // The TLS settings a new connection needs (a close forgets them).
    void ApplyTlsSettings(TWSocket* socket, bool atConnect, bool resume);
    bool ControlSecured() const;
    // A socket failure as text: a TLS refusal in its own words.
    QString SocketFailureText(TWSocket* socket, int error) const;
    void AttachDataHandlers();
    void PostSendData();
    // The transfer under way (or the one PORT prepares) sends the file.
    bool Uploading() const;
    void TransferFirstReply();
    void TransferFinalReply();
    void CompleteTransfer();
    void DataSessionAvailable(std::uint16_t error);
    void DataSessionConnected(std::uint16_t error);
    void DataSessionClosed(std::uint16_t error);
    void DataAvailableDownload(std::uint16_t error);
    void DataSentUpload(std::uint16_t error);
    // The download's file is opened once the server has started the
    // transfer, so that a refused one leaves an existing file alone.
    bool EnsureDownloadFile();
    bool OpenLocalForDownload();
    bool OpenLocalForUpload();
    // False when the last buffered bytes could not be written.
    bool CloseLocalFile();
    // Closing a connection on a failure path must not raise over the failure
    // being reported; only the client's own deletion goes on up. A cut, for
    // a transfer that did not finish, sends no TLS close notice, so that the
    // server cannot take it for the end of the file.
    void CloseQuietly(TWSocket* socket, bool cut = false);
    // Whether a transfer the server called complete is whole: an upload
    // only once every byte went out before the data connection ended, a TLS
    // download only with the close notice or the size its 150 announced.
    void JudgeDataEnd();

    // Control connection.
    void ControlDnsLookupDone(std::uint16_t error);
    void ControlSessionConnected(std::uint16_t error);
    void ControlDataAvailable(std::uint16_t error);
    void ControlSessionClosed(std::uint16_t error);
    void HandleReplyLine(std::uint16_t error, bool& stop);
    void SendAuthTls();
    void AuthTlsReply();
    void ControlTlsDone(std::uint16_t error);
    void DataTlsDone(std::uint16_t error);
    void StartDataTls();

    static qint64 TickCount();

    // Control side.
    std::unique_ptr<platform::NotifyWindow> window_;
    QString hostName_;
    QString port_ = QStringLiteral("ftp");
    QString localAddr_ = QStringLiteral("0.0.0.0");
    QString userName_;
    QString passWord_;
    QString localFileName_;
    QString hostFileName_;
    QString hostDirName_;
    QString dnsResult_;
    QString sshIdentification_;
    QChar typeLetter_ = u'I';
    std::uint16_t shareBits_ = 0x10;
    TFtpConnectionType connectionType_ = ftpDirect;
    QString proxyServer_;
    QString proxyPort_ = QStringLiteral("ftp");
    // The sockets forget their proxy settings at every close; these are
    // given to each new connection.
    QString socksServer_;
    QString socksPort_;
    QString socksLevel_ = QStringLiteral("5");
    QPointer<TWSocket> controlSocket_;
    QPointer<TWSocket> dataSocket_;
    ClientState state_ = ClientState::Ready;
    int statusCode_ = 0;
    int requestResult_ = 0;
    ftp::ReplyLineBuffer receiveBuffer_;
    ftp::ReplyTracker replyTracker_;
    QString lastResponse_;
    QString errorMessage_;
    bool controlConnected_ = false;
    bool requestDoneFlag_ = true;  // no request running
    Request request_;
    int okCodes_[16] = {};
    TFtpOptions options_{ftpAcceptLF};
    TFtpSecurity security_ = ftpPlain;
    QString tlsFingerprint_;
    std::shared_ptr<TTlsContext> tlsContext_;  // shared by both connections

    // Requests.
    QString lastResponseSave_;
    QString passiveReply_;
    int statusCodeSave_ = -1;
    qint64 sizeResult_ = 0;
    QString dirResult_;
    qint64 resumeAt_ = 0;

    // Data connection and transfers.
    bool displayFileFlag_ = false;
    qint64 startTime_ = 0;
    qint64 stopTime_ = 0;
    std::unique_ptr<QFile> localStream_;
    int localError_ = 0;
    std::uint16_t dataError_ = 0;
    QString dataCommand_;
    std::unique_ptr<char[]> sendBuffer_;  // one upload block, made on the first upload
    qint64 byteCount_ = 0;
    qint64 transferSize_ = -1;  // an upload's bytes to send; a download's announced size, or -1
    // The data connection's end does not vouch for the data: an upload's
    // ended before every byte of the file went out, a TLS download's
    // without the close notice.
    bool unsoundDataEnd_ = false;
    bool passiveMode_ = false;

    // Bookkeeping for sound endings: the command whose reply is awaited,
    // how many request-done messages are in flight, where a blocking wait
    // wants the finished request's result, and how deep the client is
    // inside its sockets' or window's events.
    QString lastCommand_;
    int postedDone_ = 0;
    int* resultSink_ = nullptr;
    int inEvent_ = 0;
};

class TFtpClient : public TCustomFtpCli
{
public:
    explicit TFtpClient(QObject* owner = nullptr);

    // Limit of a blocking wait in seconds; 0 or less waits without limit.
    int Timeout() const { return timeout_; }
    void SetTimeout(int seconds) { timeout_ = seconds; }
    // Pump only the calling thread's queue while waiting.
    bool MultiThreaded() const { return multiThreaded_; }
    void SetMultiThreaded(bool v) { multiThreaded_ = v; }

    // Blocking requests: start, then pump messages until ready again. True
    // when the request finished with result 0; false on a start error or a
    // time-out ("426 Timeout").
    bool Open();
    bool User();
    bool Pass();
    bool Login();
    bool Cwd();
    bool Pwd();
    bool Syst();
    bool Size();
    bool Mkd();
    bool Rmd();
    bool Dele();
    bool Quote();
    bool SetBinaryType();
    bool SetAsciiType();
    bool Store();
    bool Retrieve();
    bool ListLong();
    bool ListNames();
    bool Quit();
    bool Upload();
    bool Download();
    bool DirectoryLong();
    bool DirectoryNames();

    bool RunBlocking(void (TCustomFtpCli::*start)());
    bool WaitForReady();

protected:
    bool Progress() override;
    // Pumps until the request finishes: result (when given) receives its
    // error value, else the client's readiness counts.
    bool Wait(const int* result);

private:
    int timeout_ = 15;
    bool multiThreaded_ = false;
    qint64 deadline_ = 0;
};
