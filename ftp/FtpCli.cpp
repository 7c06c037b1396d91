#include "ftp/FtpCli.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>

namespace {

// State changes: QT_LOGGING_RULES="tarvo.ftp.phase.debug=true".
Q_LOGGING_CATEGORY(lcFtpState, "tarvo.ftp.phase", QtWarningMsg)

// Thrown when an event handler deleted the client: everything between the
// handler and the event that started it unwinds without touching the client.
TARVO_DECLARE_EXCEPTION(FtpClientGone, FtpException);

FtpClientGone Gone() { return FtpClientGone(QStringLiteral("FTP component destroyed by an event handler")); }

// Fires one of the client's events. The handler is copied first, because it
// may delete the client and with it the stored handler.
template <class Event, class... Args>
void Fire(TCustomFtpCli* client, const Event& event, Args&&... args)
{
    if (!event)
        return;
    const Event handler = event;
    const QPointer<TCustomFtpCli> alive(client);
    handler(client, std::forward<Args>(args)...);
    if (!alive)
        throw Gone();
}

// Runs a socket operation that may fire the socket's events (and through them
// the client's) before it returns.
template <class F>
void SocketCall(TCustomFtpCli* client, F&& operation)
{
    const QPointer<TCustomFtpCli> alive(client);
    operation();
    if (!alive)
        throw Gone();
}

QString WinsockErrorSuffix(int e)
{
    return SocketErrorText(e) + QStringLiteral(" (Winsock error #") + QString::number(e) + QLatin1Char(')');
}

QString ExceptionText(const Exception& e)
{
    return QString::fromLatin1(e.ClassName()) + QStringLiteral(": ") + e.Message();
}

QString AddressText(std::uint32_t networkOrder)
{
    const std::uint32_t a = platform::Ntohl(networkOrder);
    return QStringLiteral("%1.%2.%3.%4").arg(a >> 24).arg((a >> 16) & 0xFF).arg((a >> 8) & 0xFF).arg(a & 0xFF);
}

bool IsPreliminary(int code) { return (code >= 150 && code <= 159) || code == 125; }

// Steps of a high-level request in the order they run, whatever order the
// caller listed them in.
constexpr TFtpStep kStepOrder[] = {
    stOpen, stUser, stPass, stPbsz, stProt, stCwd, stCdup, stType, stPort, stRest,
    stRetrieve, stStore, stAppend, stListLong, stListNames, stSyst, stMkd, stRmd,
    stRenFrom, stRenTo, stSize, stDele, stPwd,  stAbor,  stQuote, stQuit,
};

}  // namespace

template <class F>
void TCustomFtpCli::Guarded(F&& body, void (TCustomFtpCli::*onException)(const std::exception&))
{
    const QPointer<TCustomFtpCli> alive(this);
    ++inEvent_;
    try {
        try {
            body();
        } catch (const FtpClientGone&) {
            throw;
        } catch (const std::exception& e) {
            (this->*onException)(e);
        } catch (...) {
            (this->*onException)(FtpException(QStringLiteral("Unknown exception")));
        }
    } catch (const FtpClientGone&) {
        return;
    } catch (...) {
        // A failure while reporting a failure: the first one was reported.
    }
    if (alive)
        --inEvent_;
}

template <class F>
void TCustomFtpCli::SocketEvent(F&& f)
{
    Guarded(std::forward<F>(f), &TCustomFtpCli::EndRequestByException);
}

// ---------------------------------------------------------------------------
// Construction

TCustomFtpCli::TCustomFtpCli(QObject* owner) : QObject(owner)
{
    window_ = std::make_unique<platform::NotifyWindow>([this](platform::Message& m) { WndProc(m); });
    controlSocket_ = new TWSocket(this);
    dataSocket_ = new TWSocket(this);
    controlSocket_->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
        SocketEvent([&] { ControlSessionConnected(e); });
    };
    controlSocket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) {
        SocketEvent([&] { ControlDataAvailable(e); });
    };
    controlSocket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
        SocketEvent([&] { ControlSessionClosed(e); });
    };
    controlSocket_->OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) {
        SocketEvent([&] { ControlDnsLookupDone(e); });
    };
}

TCustomFtpCli::~TCustomFtpCli()
{
    // Deleted from a handler: the socket or window whose event is running
    // must outlive its own event, so it goes once the event loop regains control.
    const bool inEvent = inEvent_ > 0;
    if (window_) {
        window_->SetHandler({});
        if (inEvent)
            window_.release()->deleteLater();
        else
            window_.reset();
    }
    localStream_.reset();
    // The sockets' handlers point into this object: detach them before the
    // sockets go, so a close during their destruction cannot call back.
    for (TWSocket* s : {controlSocket_.data(), dataSocket_.data()}) {
        if (!s)
            continue;
        s->OnSessionConnected = nullptr;
        s->OnSessionAvailable = nullptr;
        s->OnSessionClosed = nullptr;
        s->OnDataAvailable = nullptr;
        s->OnDataSent = nullptr;
        s->OnDnsLookupDone = nullptr;
        s->OnTlsDone = nullptr;
        if (inEvent) {
            s->setParent(nullptr);
            s->deleteLater();
        } else {
            delete s;
        }
    }
}

void TCustomFtpCli::EndRequestByException(const std::exception& e)
{
    HandleBackgroundException(e);
    if (requestDoneFlag_)
        return;
    SetFailure(500, QStringLiteral("500 ") + QString::fromUtf8(e.what()));
    StopSequence();
    EndTransferState();
    CloseLocalFile();
    CloseQuietly(dataSocket_, true);
    // Where the dialogue stands is unknown: closing it finishes the request.
    CloseQuietly(controlSocket_);
    if (!requestDoneFlag_) {
        SetState(ClientState::Ready);
        FinishRequest(500);
    }
}

qint64 TCustomFtpCli::TickCount()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

// ---------------------------------------------------------------------------
// Properties

TFtpShareMode TCustomFtpCli::ShareMode() const
{
    switch (shareBits_) {
    case 0x00: return ftpShareCompat;
    case 0x10: return ftpShareExclusive;
    case 0x20: return ftpShareDenyWrite;
    case 0x30: return ftpShareDenyRead;
    case 0x40: return ftpShareDenyNone;
    default: return ftpShareExclusive;
    }
}

void TCustomFtpCli::SetShareMode(TFtpShareMode mode)
{
    switch (mode) {
    case ftpShareCompat: shareBits_ = 0x00; break;
    case ftpShareExclusive: shareBits_ = 0x10; break;
    case ftpShareDenyWrite: shareBits_ = 0x20; break;
    case ftpShareDenyRead: shareBits_ = 0x30; break;
    case ftpShareDenyNone: shareBits_ = 0x40; break;
    default: shareBits_ = 0x10; break;
    }
}

void TCustomFtpCli::SetConnectionType(TFtpConnectionType type)
{
    if (controlConnected_)
        ReportError(QStringLiteral("FTP component connected"));
    auto both = [this](auto fn) {
        for (TWSocket* s : {controlSocket_.data(), dataSocket_.data()})
            if (s)
                fn(s);
    };
    switch (type) {
    case ftpProxy:
        connectionType_ = ftpProxy;
        passiveMode_ = true;
        both([](TWSocket* s) { s->SetSocksAuthentication(socksNoAuthentication); });
        break;
    case ftpSocks4:
    case ftpSocks4A:
    case ftpSocks5: {
        connectionType_ = type;
        passiveMode_ = true;
        const QString level = type == ftpSocks4 ? QStringLiteral("4")
                              : type == ftpSocks4A ? QStringLiteral("4A")
                                                   : QStringLiteral("5");
        socksLevel_ = level;
        both([&](TWSocket* s) {
            s->SetSocksLevel(level);
            s->SetSocksAuthentication(socksAuthenticateUsercode);
        });
        break;
    }
    case ftpDirect:
    default:
        connectionType_ = ftpDirect;
        both([](TWSocket* s) { s->SetSocksAuthentication(socksNoAuthentication); });
        break;
    }
}

void TCustomFtpCli::SetPassiveMode(bool v)
{
    passiveMode_ = connectionType_ == ftpDirect ? v : true;
}

QString TCustomFtpCli::SocksPassword() const { return controlSocket_ ? controlSocket_->SocksPassword() : QString(); }
QString TCustomFtpCli::SocksPort() const { return socksPort_; }
QString TCustomFtpCli::SocksServer() const { return socksServer_; }
QString TCustomFtpCli::SocksUserCode() const { return controlSocket_ ? controlSocket_->SocksUsercode() : QString(); }

void TCustomFtpCli::SetSocksPassword(const QString& v)
{
    for (TWSocket* s : {controlSocket_.data(), dataSocket_.data()})
        if (s)
            s->SetSocksPassword(v);
}

void TCustomFtpCli::SetSocksPort(const QString& v)
{
    for (TWSocket* s : {controlSocket_.data(), dataSocket_.data()})
        if (s)
            s->SetSocksPort(v);
    socksPort_ = v.trimmed();  // kept only when the sockets took it
}

void TCustomFtpCli::SetSocksServer(const QString& v)
{
    for (TWSocket* s : {controlSocket_.data(), dataSocket_.data()})
        if (s)
            s->SetSocksServer(v);
    socksServer_ = v.trimmed();  // kept only when the sockets took it
}

void TCustomFtpCli::SetSocksUserCode(const QString& v)
{
    for (TWSocket* s : {controlSocket_.data(), dataSocket_.data()})
        if (s)
            s->SetSocksUsercode(v);
}

bool TCustomFtpCli::IsConnected() const
{
    return controlSocket_ && controlSocket_->State() != wsClosed;
}

// ---------------------------------------------------------------------------
// Small helpers

void TCustomFtpCli::Display(const QString& msg)
{
    QString m = msg;
    Fire(this, OnDisplay, m);
}

void TCustomFtpCli::TriggerReadyToTransmit(bool& cancel)
{
    Fire(this, OnReadyToTransmit, cancel);
}

void TCustomFtpCli::TriggerDisplayFile(QString& msg)
{
    Fire(this, OnDisplayFile, msg);
}

void TCustomFtpCli::ReportError(const QString& msg)
{
    throw FtpException(msg);
}

bool TCustomFtpCli::CheckReady()
{
    if (state_ == ClientState::Ready || state_ == ClientState::StepReady)
        return true;
    ReportError(QStringLiteral("FTP component not ready"));
    return false;
}

void TCustomFtpCli::CheckCanIssue()
{
    // Between PASV and the transfer of a high-level request (REST), the
    // passive reply state counts as ready.
    if (!(request_.sequence && PublicState(state_) == fsPassiveReady))
        CheckReady();
    if (!controlConnected_)
        ReportError(QStringLiteral("FTP component not connected"));
}

TFtpClientState TCustomFtpCli::PublicState(ClientState s)
{
    switch (s) {
    case ClientState::Ready: return fsReady;
    case ClientState::StepReady: return fsStepReady;
    case ClientState::NotConnected: return fsNotConnected;
    case ClientState::Lookup: return fsLookup;
    case ClientState::Greeting:
    case ClientState::TlsHandshake: return fsWaitingGreeting;
    case ClientState::Connected: return fsConnected;
    case ClientState::PassiveReady:
    case ClientState::DataConnecting: return fsPassiveReady;
    case ClientState::Aborting: return fsAborting;
    default: return fsWaitingReply;
    }
}

void TCustomFtpCli::SetState(ClientState s)
{
    if (s == state_)
        return;
    const TFtpClientState before = PublicState(state_);
    static const char* const names[] = {
        "Ready",        "StepReady",      "NotConnected", "Lookup", "Greeting", "AuthTls",
        "TlsHandshake", "Connected",      "Command",      "PassiveReady", "DataConnecting",
        "TransferSent", "DataEndedEarly", "Moving",       "Draining",     "ReplyFirst", "DataFirst", "Aborting",
    };
    qCDebug(lcFtpState) << "state" << names[int(state_)] << "->" << names[int(s)];
    state_ = s;
    if (PublicState(s) != before)
        Fire(this, OnStateChange);
}

void TCustomFtpCli::EndTransferState()
{
    if (state_ == ClientState::DataConnecting)
        SetState(ClientState::PassiveReady);
    else if (InTransfer(state_))
        SetState(ClientState::Command);
}

bool TCustomFtpCli::ReplyAwaited() const
{
    switch (state_) {
    case ClientState::Command:
    case ClientState::AuthTls:
    case ClientState::TransferSent:
    case ClientState::DataEndedEarly:
    case ClientState::Moving:
    case ClientState::Draining:
    case ClientState::DataFirst: return true;
    default: return false;
    }
}

void TCustomFtpCli::StopSequence()
{
    request_.pending = 0;
    request_.stopped = true;
}

void TCustomFtpCli::CaptureError()
{
    if (errorMessage_.isEmpty())
        errorMessage_ = lastResponse_;
}

void TCustomFtpCli::SetFailure(int code, const QString& text)
{
    lastResponse_ = text;
    statusCode_ = code;
    requestResult_ = code;
    CaptureError();
}

void TCustomFtpCli::FailRequest(int code, const QString& text, bool note)
{
    SetFailure(code, text);
    EndTransferState();
    CloseLocalFile();
    CloseQuietly(dataSocket_, true);
    if (note)
        Display(QStringLiteral("! ") + text);
    FinishRequest(code);
}

void TCustomFtpCli::RecordLocalFailure(int code, const QString& text)
{
    if (localError_ != 0)
        return;
    localError_ = code;
    lastResponse_ = text;
    statusCode_ = code;
    CaptureError();
}

void TCustomFtpCli::SendCommand(QString cmd)
{
    Fire(this, OnCommand, cmd);
    Display(QStringLiteral("> ") + cmd);
    // On a closed connection nothing is sent: the request ends by the close,
    // a forced close or the blocking wait's time-out.
    if (controlSocket_ && controlSocket_->State() == wsConnected)
        SocketCall(this, [&] { controlSocket_->SendText(cmd + QStringLiteral("\r\n")); });
}

// ---------------------------------------------------------------------------
// Notification window

void TCustomFtpCli::WndProc(platform::Message& msg)
{
    Guarded(
        [&] {
            switch (msg.msg) {
            case WM_FTP_REQUEST_DONE:
                if (postedDone_ > 0)
                    --postedDone_;
                Fire(this, OnRequestDone, request_.type, static_cast<std::uint16_t>(msg.lParam & 0xFFFF));
                break;
            case WM_FTP_SENDDATA:
                startTime_ = TickCount();
                DataSentUpload(0);
                break;
            default:
                break;
            }
        },
        &TCustomFtpCli::HandleBackgroundException);
}

void TCustomFtpCli::HandleBackgroundException(const std::exception& e)
{
    bool canClose = true;
    try {
        Fire(this, OnBgException, e, canClose);
    } catch (const FtpClientGone&) {
        throw;
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------
// Control connection

void TCustomFtpCli::StartOpen()
{
    CheckReady();
    if (controlConnected_)
        ReportError(QStringLiteral("FTP component already connected"));
    if (!request_.sequence) {
        request_.type = ftpReqOpen;
        errorMessage_.clear();
    }
    requestDoneFlag_ = false;
    receiveBuffer_.Clear();
    replyTracker_.Reset();
    requestResult_ = 0;
    dnsResult_.clear();
    lastCommand_.clear();
    SetState(ClientState::Lookup);
    try {
        controlSocket_->DnsLookup(connectionType_ == ftpProxy ? proxyServer_ : hostName_);
    } catch (const Exception&) {
        // Nothing started: the client must not stay in the lookup state.
        requestDoneFlag_ = true;
        SetState(ClientState::Ready);
        throw;
    }
}

void TCustomFtpCli::ControlDnsLookupDone(std::uint16_t error)
{
    if (state_ != ClientState::Lookup)
        return;  // a cancelled lookup's late answer
    if (error != 0) {
        SetFailure(500, QStringLiteral("500 ") + WinsockErrorSuffix(error));
        FinishRequest(error);
        return;
    }
    dnsResult_ = controlSocket_->DnsResult();
    try {
        controlSocket_->SetAddr(dnsResult_);
        controlSocket_->SetLocalAddr(localAddr_);
        controlSocket_->SetProto(QStringLiteral("tcp"));
        controlSocket_->SetPort(connectionType_ == ftpProxy && !proxyPort_.isEmpty() ? proxyPort_ : port_);
        ApplySocksSettings(controlSocket_);
        ApplyTlsSettings(controlSocket_, security_ == ftpImplicitTls, false);
        SetState(ClientState::Greeting);
        SocketCall(this, [&] { controlSocket_->Connect(); });
    } catch (const FtpClientGone&) {
        throw;
    } catch (const Exception& e) {
        SetFailure(500, QStringLiteral("500 ") + ExceptionText(e));
        FinishRequest(500);
        // A failed option leaves the handle open; the next open needs it closed.
        CloseQuietly(controlSocket_);
    }
}

void TCustomFtpCli::ControlSessionConnected(std::uint16_t error)
{
    if (error != 0) {
        SetFailure(500, QStringLiteral("500 ") + SocketFailureText(controlSocket_, error));
        if (IsTlsError(error))
            Display(QStringLiteral("! ") + controlSocket_->TlsErrorText());
        request_.stopped = true;
        FinishRequest(error);
        SocketCall(this, [&] { controlSocket_->Close(); });
        SetState(ClientState::Ready);
        return;
    }
    controlConnected_ = true;
}

void TCustomFtpCli::ControlDataAvailable(std::uint16_t error)
{
    const int room = receiveBuffer_.FreeSpace();
    // A full buffer without a line end: the peer does not speak FTP.
    int count = 0;
    if (room > 0)
        SocketCall(this, [&] { count = controlSocket_->Receive(receiveBuffer_.WritePtr(), room); });
    if (count == 0) {
        SocketCall(this, [&] { controlSocket_->Close(); });
        return;
    }
    if (count < 0)
        return;
    receiveBuffer_.Commit(count);

    QByteArray raw;
    while (receiveBuffer_.Fill() > 0 && receiveBuffer_.TakeLine(options_.Contains(ftpAcceptLF), raw)) {
        lastResponse_ = ftp::DecodeReply(raw);
        Fire(this, OnResponse);
        bool stop = false;
        HandleReplyLine(error, stop);
        if (stop)
            return;
    }
    // 4095 bytes without a line end: no receive could ever complete a line.
    if (receiveBuffer_.FreeSpace() == 0 && controlSocket_->State() != wsClosed)
        SocketCall(this, [&] { controlSocket_->Close(); });
}

void TCustomFtpCli::HandleReplyLine(std::uint16_t error, bool& stop)
{
    // Every line goes through the tracker, so that it stays in step with the
    // server whatever state the client is in.
    const bool final = replyTracker_.IsFinal(lastResponse_);
    if (state_ == ClientState::Greeting || state_ == ClientState::TlsHandshake) {
        Display(QStringLiteral("< ") + lastResponse_);
        if (final)
            GreetingReply(error, stop);
        return;
    }
    if (PublicState(state_) != fsWaitingReply || !final) {
        Display(QStringLiteral("< ") + lastResponse_);
        return;
    }
    DispatchFinalReply();
}

void TCustomFtpCli::DispatchFinalReply()
{
    // A reply awaited for no command: the client lost track of its dialogue.
    if (lastCommand_.isEmpty())
        ReportError(QStringLiteral("Program error: FNext is nil"));
    switch (state_) {
    case ClientState::AuthTls: AuthTlsReply(); break;
    case ClientState::TransferSent:
    case ClientState::DataEndedEarly: TransferFirstReply(); break;
    case ClientState::Moving:
    case ClientState::Draining:
    case ClientState::ReplyFirst:
    case ClientState::DataFirst: TransferFinalReply(); break;
    default: JudgeReply(); break;
    }
}

void TCustomFtpCli::GreetingReply(std::uint16_t error, bool& stop)
{
    statusCode_ = ftp::ReplyCode(lastResponse_);
    if (statusCode_ == 220) {
        SetState(ClientState::Connected);
        if (security_ == ftpExplicitTls && !ControlSecured()) {
            SendAuthTls();
            stop = true;  // nothing after the greeting may be read in clear
            return;
        }
        Fire(this, OnSessionConnected, error);
        FinishRequest(0);
    } else {
        CaptureError();
        requestResult_ = statusCode_;
        SocketCall(this, [&] { controlSocket_->Close(); });
        stop = true;
    }
}

void TCustomFtpCli::ControlSessionClosed(std::uint16_t error)
{
    // A clean close while the greeting or a command's final reply (other than
    // QUIT's) is still awaited is a failure, not a success.
    // The same holds while a passive transfer still connects its data channel.
    const TFtpClientState was = PublicState(state_);
    const bool cutShort = error == 0 && requestResult_ == 0 && !requestDoneFlag_ &&
                          (was == fsWaitingGreeting || was == fsPassiveReady ||
                           (ReplyAwaited() && lastCommand_ != QLatin1String("QUIT")));
    if (controlConnected_) {
        controlConnected_ = false;
        if (state_ != ClientState::Aborting)
            SetState(ClientState::NotConnected);
        Fire(this, OnSessionClosed, error);
    }
    if (state_ != ClientState::Aborting)
        SetState(ClientState::StepReady);
    if (error != 0) {
        SetFailure(500, QStringLiteral("500 Control connection closed. ") + SocketFailureText(controlSocket_, error));
    } else if (cutShort) {
        SetFailure(500, QStringLiteral("500 Control connection closed."));
    }
    FinishRequest(requestResult_);
}

void TCustomFtpCli::ForceClose()
{
    const bool wasLookup = state_ == ClientState::Lookup;
    // A request cut off here failed, whether single or high-level.
    const bool pending = !requestDoneFlag_;
    if (pending) {
        StopSequence();
        errorMessage_.clear();
        SetFailure(426, QStringLiteral("426 Operation aborted."));
    }
    SetState(ClientState::Aborting);
    CloseLocalFile();
    try {
        if (wasLookup)
            controlSocket_->CancelLookup();
    } catch (const Exception&) {
    }
    CloseQuietly(controlSocket_);
    CloseQuietly(dataSocket_, true);
    CloseLocalFile();
    controlConnected_ = false;
    SetState(ClientState::Ready);
    // With the control connection already closed nothing else ends it.
    if (!requestDoneFlag_)
        FinishRequest(426);
}

// ---------------------------------------------------------------------------
// Requests

void TCustomFtpCli::IssueCommand(TFtpRequest rqType, const QString& cmd, std::initializer_list<int> okCodes)
{
    if (ftp::HasLineBreakOrNul(cmd))
        ReportError(QStringLiteral("Command refused: an argument holds a line break or NUL character"));
    if (cmd != QLatin1String("ABOR") && cmd != QLatin1String("STAT") && cmd != QLatin1String("QUIT"))
        CheckCanIssue();
    // Once TLS was asked for, no name, password or file goes in clear.
    if (security_ != ftpPlain && !ControlSecured() && cmd != QLatin1String("QUIT"))
        ReportError(QStringLiteral("Command refused: the control connection is not secured by TLS"));
    if (!request_.sequence)
        request_.type = rqType;
    int n = 0;
    for (int code : okCodes) {
        if (n >= 15)
            break;
        okCodes_[n++] = code & 0xFFFF;
    }
    okCodes_[n] = 0;
    requestDoneFlag_ = false;
    errorMessage_.clear();
    lastCommand_ = cmd;
    SetState(ClientState::Command);
    SendCommand(cmd);
}

void TCustomFtpCli::JudgeReply()
{
    Display(QStringLiteral("< ") + lastResponse_);
    statusCode_ = ftp::ReplyCode(lastResponse_);
    if (okCodes_[0] == 0) {
        // Any code below 500 is acceptable.
        requestResult_ = statusCode_ < 500 ? 0 : statusCode_;
    } else {
        requestResult_ = statusCode_;
        for (int i = 0; i < 16 && okCodes_[i] != 0; ++i) {
            if (okCodes_[i] == statusCode_) {
                requestResult_ = 0;
                break;
            }
        }
    }
    if (requestResult_ != 0)
        CaptureError();
    const bool passive = passiveMode_ && request_.current == stPort;
    if (passive && statusCode_ == 227) {
        SetState(ClientState::PassiveReady);
        passiveReply_ = lastResponse_;
    }
    if (requestResult_ == 0)
        CollectResults();
    // What follows the reply depends on the command it answers.
    if (request_.current == stQuit)
        QuitDone();
    else if (passive)
        PortDone();
    else
        FinishRequest(requestResult_);
}

void TCustomFtpCli::CollectResults()
{
    int next = 0;
    switch (request_.current) {
    case stSize:
        ftp::GetInteger(lastResponse_, 0, next);
        sizeResult_ = ftp::GetInteger(lastResponse_, next, next);
        break;
    case stCwd:
    case stMkd:
    case stPwd:
    case stCdup:
        ftp::GetInteger(lastResponse_, 0, next);
        dirResult_ = ftp::GetQuotedString(lastResponse_, next);
        break;
    default:
        break;
    }
}

void TCustomFtpCli::FinishRequest(int error)
{
    if (requestDoneFlag_)
        return;
    requestDoneFlag_ = true;
    if (error == 0 && request_.sequence && !request_.stopped) {
        if (state_ != ClientState::Aborting && PublicState(state_) != fsPassiveReady)
            SetState(ClientState::StepReady);
        try {
            NextStep();
        } catch (const FtpClientGone&) {
            throw;
        } catch (const Exception& e) {
            // A step that cannot start (an empty property, a socket refusing
            // to listen) ends the request instead of leaving it hanging.
            StopSequence();
            SetFailure(500, QStringLiteral("500 ") + e.Message());
            if (state_ != ClientState::Aborting && state_ != ClientState::Lookup)
                SetState(ClientState::StepReady);
            requestDoneFlag_ = false;
            FinishRequest(500);
        }
        return;
    }
    SetState(ClientState::Ready);
    CloseQuietly(dataSocket_);
    if (request_.sequence && statusCodeSave_ >= 0) {
        lastResponse_ = lastResponseSave_;
        statusCode_ = statusCodeSave_;
    }
    request_.sequence = false;
    request_.stopped = true;
    // The blocking wait takes this result now: OnRequestDone may start the
    // next request before the wait returns.
    if (resultSink_) {
        *resultSink_ = error & 0xFFFF;
        resultSink_ = nullptr;
    }
    if (window_ && platform::PostMessage(window_->Handle(), WM_FTP_REQUEST_DONE, 0, error & 0xFFFF))
        ++postedDone_;
}

void TCustomFtpCli::StartSequence(TFtpRequest rqType, TFtpSteps steps)
{
    if (controlConnected_ && (steps & StepBit(stOpen)))
        ReportError(QStringLiteral("FTP component already connected"));
    CheckReady();
    // Refused here, before anything is sent: an argument that would add
    // lines to the control connection.
    const TFtpSteps fileSteps = Steps({stSize, stMkd, stRmd, stDele, stRenFrom, stRetrieve, stStore, stAppend,
                                       stListLong, stListNames});
    const struct {
        TFtpSteps steps;
        const QString& value;
        const char* name;
    } arguments[] = {
        {StepBit(stUser), userName_, "UserName"},
        {StepBit(stPass), passWord_, "PassWord"},
        {StepBit(stCwd), hostDirName_, "HostDirName"},
        {fileSteps, hostFileName_, "HostFileName"},
        {Steps({stQuote, stRenTo}), localFileName_, "LocalFileName"},
    };
    for (const auto& a : arguments)
        if ((steps & a.steps) && ftp::HasLineBreakOrNul(a.value))
            ReportError(QString::fromLatin1(a.name) + QStringLiteral(" holds a line break or NUL character"));

    // Data protection follows every login; NextStep skips it without TLS.
    if (steps & StepBit(stPass))
        steps |= Steps({stPbsz, stProt});
    lastResponseSave_ = lastResponse_;
    statusCodeSave_ = -1;
    request_.type = rqType;
    requestResult_ = 0;
    request_.pending = steps;
    request_.current = stNone;
    request_.result = 0;
    request_.sequence = true;
    request_.stopped = false;
    lastResponse_.clear();
    errorMessage_.clear();
    try {
        NextStep();
    } catch (const FtpClientGone&) {
        throw;
    } catch (const Exception&) {
        // The first step refused to start: nothing runs, the client stays ready.
        StopSequence();
        request_.sequence = false;
        requestDoneFlag_ = true;
        CloseQuietly(dataSocket_);
        throw;
    }
}

void TCustomFtpCli::NextStep()
{
    if (state_ == ClientState::Aborting) {
        request_.pending = 0;
        request_.result = 426;
        errorMessage_ = QStringLiteral("426 Operation aborted.");
    }
    request_.stopped = false;
    if (requestResult_ == 0)
        CollectResults();

    for (TFtpStep step : kStepOrder) {
        if (!(request_.pending & StepBit(step)))
            continue;
        request_.pending &= ~StepBit(step);
        switch (step) {
        case stPass:
            // A 230 answer to USER logs in without a password.
            if (request_.current == stUser && statusCode_ != 331)
                continue;
            break;
        case stCwd:
            if (hostDirName_.isEmpty())
                continue;
            break;
        case stPbsz:
        case stProt:
            if (security_ == ftpPlain)
                continue;
            break;
        case stRetrieve:
            if (!(request_.current == stRest && resumeAt_ >= 0 && statusCode_ == 350))
                resumeAt_ = 0;
            break;
        case stQuit:
            lastResponseSave_ = lastResponse_;
            statusCodeSave_ = statusCode_;
            break;
        default:
            break;
        }
        request_.current = step;
        switch (step) {
        case stOpen: StartOpen(); break;
        case stUser: StartUser(); break;
        case stPass: StartPass(); break;
        case stPbsz: StartPbsz(); break;
        case stProt: StartProt(); break;
        case stCwd: StartCwd(); break;
        case stCdup: StartCdup(); break;
        case stType: StartType(); break;
        case stPort: StartPort(); break;
        case stRest: StartRest(); break;
        case stRetrieve: StartRetrieveStep(); break;
        case stStore: StartStoreStep(); break;
        case stAppend: StartAppendStep(); break;
        case stListLong: StartListLongStep(); break;
        case stListNames: StartListNamesStep(); break;
        case stSyst: StartSyst(); break;
        case stMkd: StartMkd(); break;
        case stRmd: StartRmd(); break;
        case stRenFrom: StartRenFrom(); break;
        case stRenTo: StartRenTo(); break;
        case stSize: StartSize(); break;
        case stDele: StartDele(); break;
        case stPwd: StartPwd(); break;
        case stAbor: StartAbor(); break;
        case stQuote: StartQuote(); break;
        case stQuit: StartQuit(); break;
        case stNone: break;
        }
        return;
    }

    StopSequence();
    requestDoneFlag_ = false;
    FinishRequest(request_.result);
}

// --- single commands -------------------------------------------------------

void TCustomFtpCli::StartUser()
{
    if (userName_.isEmpty())
        ReportError(QStringLiteral("UserName emtpy"));
    QString cmd = QStringLiteral("USER ") + userName_;
    if (connectionType_ == ftpProxy) {
        cmd += QLatin1Char('@') + hostName_;
        if (port_.compare(QLatin1String("ftp"), Qt::CaseInsensitive) != 0 && port_ != QLatin1String("21"))
            cmd += QLatin1Char(':') + port_;
    }
    request_.current = stUser;
    IssueCommand(ftpReqUser, cmd, {331, 230});
}

void TCustomFtpCli::StartPass()
{
    if (passWord_.isEmpty())
        ReportError(QStringLiteral("Password emtpy"));
    request_.current = stPass;
    // 202: the server needs no password.
    IssueCommand(ftpReqPass, QStringLiteral("PASS ") + passWord_, {230, 202});
}

void TCustomFtpCli::StartCwd()
{
    if (hostDirName_.isEmpty())
        ReportError(QStringLiteral("HostDirName emtpy"));
    request_.current = stCwd;
    IssueCommand(ftpReqCwd, QStringLiteral("CWD ") + hostDirName_, {200, 250, 257});
}

void TCustomFtpCli::StartPbsz()
{
    request_.current = stPbsz;
    IssueCommand(ftpReqPbsz, QStringLiteral("PBSZ 0"), {200});
}

void TCustomFtpCli::StartProt()
{
    request_.current = stProt;
    // Private: every data connection runs TLS from now on.
    IssueCommand(ftpReqProt, QStringLiteral("PROT P"), {200});
}

void TCustomFtpCli::StartSyst()
{
    request_.current = stSyst;
    IssueCommand(ftpReqSyst, QStringLiteral("SYST"), {215});
}

void TCustomFtpCli::StartQuit()
{
    CloseLocalFile();
    request_.current = stQuit;
    if (controlSocket_->State() == wsClosed) {
        // Nothing to say goodbye to: the connection is already where QUIT
        // would leave it.
        if (!request_.sequence)
            request_.type = ftpReqQuit;
        requestDoneFlag_ = false;
        requestResult_ = 0;
        FinishRequest(0);
        return;
    }
    IssueCommand(ftpReqQuit, QStringLiteral("QUIT"), {221});
}

void TCustomFtpCli::QuitDone()
{
    // The request finishes when the closure is reported.
    if (controlSocket_->State() != wsClosed)
        SocketCall(this, [&] { controlSocket_->Close(); });
    else
        FinishRequest(requestResult_);
}

void TCustomFtpCli::StartAbor()
{
    request_.current = stAbor;
    IssueCommand(ftpReqAbor, QStringLiteral("ABOR"), {});
}

void TCustomFtpCli::StartSize()
{
    request_.current = stSize;
    sizeResult_ = 0;
    IssueCommand(ftpReqSize, QStringLiteral("SIZE ") + hostFileName_, {213});
}

void TCustomFtpCli::StartMkd()
{
    request_.current = stMkd;
    IssueCommand(ftpReqMkd, QStringLiteral("MKD ") + hostFileName_, {250, 257});
}

void TCustomFtpCli::StartRmd()
{
    request_.current = stRmd;
    IssueCommand(ftpReqRmd, QStringLiteral("RMD ") + hostFileName_, {250, 257});
}

void TCustomFtpCli::StartDele()
{
    request_.current = stDele;
    IssueCommand(ftpReqDele, QStringLiteral("DELE ") + hostFileName_, {250, 257});
}

void TCustomFtpCli::StartRenFrom()
{
    request_.current = stRenFrom;
    IssueCommand(ftpReqRenFrom, QStringLiteral("RNFR ") + hostFileName_, {350});
}

void TCustomFtpCli::StartRenTo()
{
    request_.current = stRenTo;
    IssueCommand(ftpReqRenTo, QStringLiteral("RNTO ") + localFileName_, {200, 250, 257});
}

void TCustomFtpCli::StartPwd()
{
    request_.current = stPwd;
    IssueCommand(ftpReqPwd, QStringLiteral("PWD"), {250, 257});
}

void TCustomFtpCli::StartQuote()
{
    request_.current = stQuote;
    IssueCommand(ftpReqQuote, localFileName_, {});
}

void TCustomFtpCli::StartCdup()
{
    request_.current = stCdup;
    IssueCommand(ftpReqCdup, QStringLiteral("CDUP"), {250, 257});
}

void TCustomFtpCli::StartType()
{
    request_.current = stType;
    IssueCommand(ftpReqType, QStringLiteral("TYPE ") + typeLetter_, {200});
}

void TCustomFtpCli::StartTypeBinary()
{
    SetBinary(true);
    StartType();
}

void TCustomFtpCli::StartTypeAscii()
{
    SetBinary(false);
    StartType();
}

void TCustomFtpCli::StartRest()
{
    CheckCanIssue();
    request_.current = stRest;
    if (request_.type != ftpReqStoreResume && request_.type != ftpReqUploadResume &&
        !options_.Contains(ftpNoAutoResumeAt)) {
        const QFileInfo info(localFileName_);
        resumeAt_ = info.exists() ? info.size() : -1;
    }
    if (resumeAt_ > 0) {
        IssueCommand(ftpReqRest, QStringLiteral("REST ") + QString::number(resumeAt_), {});
        return;
    }
    // Nothing to resume: finish at once without a command.
    if (!request_.sequence)
        request_.type = ftpReqRest;
    requestDoneFlag_ = false;
    FinishRequest(0);
}

// --- high-level requests -----------------------------------------------------

void TCustomFtpCli::StartLogin() { StartSequence(ftpReqLogin, Steps({stOpen, stUser, stPass})); }

void TCustomFtpCli::StartDownload()
{
    StartSequence(ftpReqDownload, Steps({stOpen, stUser, stPass, stCwd, stType, stPort, stRetrieve, stQuit}));
}

void TCustomFtpCli::StartDownloadResume()
{
    StartSequence(ftpReqDownloadResume,
                  Steps({stOpen, stUser, stPass, stCwd, stType, stPort, stRest, stRetrieve, stQuit}));
}

void TCustomFtpCli::StartRetrieve() { StartSequence(ftpReqRetrieve, Steps({stPort, stRetrieve})); }
void TCustomFtpCli::StartRetrieveResume() { StartSequence(ftpReqRetrieveResume, Steps({stPort, stRest, stRetrieve})); }
void TCustomFtpCli::StartStore() { StartSequence(ftpReqStore, Steps({stPort, stStore})); }
void TCustomFtpCli::StartStoreResume() { StartSequence(ftpReqStoreResume, Steps({stPort, stRest, stStore})); }
void TCustomFtpCli::StartAppend() { StartSequence(ftpReqAppend, Steps({stPort, stAppend})); }

void TCustomFtpCli::StartUpload()
{
    StartSequence(ftpReqUpload, Steps({stOpen, stUser, stPass, stCwd, stType, stPort, stStore, stQuit}));
}

void TCustomFtpCli::StartUploadAppend()
{
    StartSequence(ftpReqUpload, Steps({stOpen, stUser, stPass, stCwd, stType, stPort, stAppend, stQuit}));
}

void TCustomFtpCli::StartUploadResume()
{
    StartSequence(ftpReqUploadResume,
                  Steps({stOpen, stUser, stPass, stCwd, stType, stPort, stRest, stStore, stQuit}));
}

void TCustomFtpCli::StartListLong() { StartSequence(ftpReqListLong, Steps({stPort, stListLong})); }
void TCustomFtpCli::StartListNames() { StartSequence(ftpReqListNames, Steps({stPort, stListNames})); }

void TCustomFtpCli::StartDirectoryLong()
{
    StartSequence(ftpReqDirectoryLong, Steps({stOpen, stUser, stPass, stCwd, stPort, stListLong, stQuit}));
}

void TCustomFtpCli::StartDirectoryNames()
{
    StartSequence(ftpReqDirectoryNames, Steps({stOpen, stUser, stPass, stCwd, stPort, stListNames, stQuit}));
}

void TCustomFtpCli::StartSystemInfo()
{
    StartSequence(ftpReqSystemInfo, Steps({stOpen, stUser, stPass, stSyst, stQuit}));
}

void TCustomFtpCli::StartFileSize()
{
    StartSequence(ftpReqSize, Steps({stOpen, stUser, stPass, stCwd, stSize, stQuit}));
}

void TCustomFtpCli::StartRename() { StartSequence(ftpReqRename, Steps({stRenFrom, stRenTo})); }

void TCustomFtpCli::StartRenameFile()
{
    StartSequence(ftpReqRenameFile, Steps({stOpen, stUser, stPass, stCwd, stRenFrom, stRenTo, stQuit}));
}

void TCustomFtpCli::StartDeleteFile()
{
    StartSequence(ftpReqDeleteFile, Steps({stOpen, stUser, stPass, stCwd, stDele, stQuit}));
}

void TCustomFtpCli::StartMakeDir()
{
    StartSequence(ftpReqMakeDir, Steps({stOpen, stUser, stPass, stCwd, stMkd, stQuit}));
}

void TCustomFtpCli::StartRemoveDir()
{
    StartSequence(ftpReqRemoveDir, Steps({stOpen, stUser, stPass, stCwd, stRmd, stQuit}));
}

void TCustomFtpCli::StartLoginQuote()
{
    StartSequence(ftpReqLoginQuote, Steps({stOpen, stUser, stPass, stCwd, stQuote, stQuit}));
}

// ---------------------------------------------------------------------------
// Data connection

void TCustomFtpCli::StartPort()
{
    CheckCanIssue();

    TWSocket* data = dataSocket_;
    data->SetProto(QStringLiteral("tcp"));
    data->SetAddr(QStringLiteral("0.0.0.0"));
    data->SetPort(QStringLiteral("0"));
    data->OnSessionAvailable = nullptr;
    data->OnSessionClosed = nullptr;
    data->OnDataAvailable = nullptr;
    // Each transfer gets its own address: never the previous one's.
    passiveReply_.clear();

    quint16 listenPort = 0;
    if (!passiveMode_) {
        // The accept notice comes once and some servers connect as soon as
        // they have the PORT command: the handler must be there before it.
        upload_ = (request_.pending & Steps({stStore, stAppend})) != 0;
        data->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t e) {
            SocketEvent([&] { DataSessionAvailable(e); });
        };
        data->SetLingerOnOff(wsLingerOn);
        data->SetLingerTimeout(10);
        data->Listen();
        TSockAddrIn bound;
        int len = sizeof bound;
        data->GetSockName(bound, len);
        listenPort = platform::Ntohs(bound.sin_port);
    }

    TSockAddrIn local;
    int localLen = sizeof local;
    controlSocket_->GetSockName(local, localLen);

    QString cmd;
    if (passiveMode_)
        cmd = QStringLiteral("PASV");
    else if (platform::Ntohl(controlSocket_->RemoteAddress()) == 0x7F000001)
        cmd = ftp::PortCommand(0x7F000001, listenPort);
    else
        cmd = ftp::PortCommand(platform::Ntohl(local.sin_addr), listenPort);

    byteCount_ = 0;
    request_.current = stPort;
    if (passiveMode_)
        IssueCommand(ftpReqPort, cmd, {227});
    else
        IssueCommand(ftpReqPort, cmd, {200, 227});
}

void TCustomFtpCli::PortDone()
{
    // Only a 227 names a data address: any other answer, even a positive
    // one, leaves the transfer nowhere to go.
    if (requestResult_ != 0 && requestResult_ < 400) {
        errorMessage_ = QStringLiteral("500 Unexpected reply to PASV: \"") + lastResponse_ + QLatin1Char('"');
        requestResult_ = 500;
    }
    FinishRequest(requestResult_);
}

void TCustomFtpCli::PassiveConnect()
{
    const int failCode = upload_ ? 426 : 550;
    QString addr;
    int port = 0;
    if (!ftp::ParsePassiveReply(passiveReply_, addr, port)) {
        FailRequest(failCode,
                    QString::number(failCode) + QStringLiteral(" Unexpected reply to PASV: \"") + passiveReply_ +
                        QLatin1Char('"'),
                    true);
        return;
    }
    const QString target = ftp::PassiveTarget(addr, dnsResult_);
    if (target != addr)
        Display(QStringLiteral("! Passive address ") + addr + QStringLiteral(" replaced by ") + target);
    try {
        TWSocket* data = dataSocket_;
        data->SetPort(QString::number(port));
        data->SetAddr(target);
        data->SetLocalAddr(localAddr_);
        data->SetLingerOnOff(wsLingerOff);
        data->SetLingerTimeout(0);
        data->SetComponentOptions({wsoNoReceiveLoop});
        ApplySocksSettings(data);
        ApplyTlsSettings(data, false, true);
        data->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
            SocketEvent([&] { DataSessionConnected(e); });
        };
        SocketCall(this, [&] { data->Connect(); });
    } catch (const FtpClientGone&) {
        throw;
    } catch (const Exception& e) {
        FailRequest(failCode, QString::number(failCode) + QLatin1Char(' ') + ExceptionText(e));
    }
}

// The socket reset after the previous close dropped the proxy settings:
// without this only the first connection of a client would use the proxy.
void TCustomFtpCli::ApplySocksSettings(TWSocket* socket) const
{
    socket->SetSocksServer(socksServer_);
    socket->SetSocksPort(socksPort_);
    socket->SetSocksLevel(socksLevel_);
}

void TCustomFtpCli::ApplyTlsSettings(TWSocket* socket, bool atConnect, bool resume)
{
    if (security_ == ftpPlain)
        return;
    if (!tlsContext_)
        tlsContext_ = std::make_shared<TTlsContext>();
    socket->SetTlsContext(tlsContext_);
    // The certificate is for the host the user typed, also on data
    // connections to whatever address PASV named.
    socket->SetTlsHostName(hostName_);
    socket->SetTlsFingerprint(tlsFingerprint_);
    socket->SetTlsAtConnect(atConnect);
    // Many servers refuse a data connection that does not resume the
    // control connection's session.
    socket->SetTlsResumeSession(resume ? controlSocket_->TlsSession() : TTlsSessionRef());
}

bool TCustomFtpCli::ControlSecured() const
{
    return controlSocket_ && controlSocket_->TlsEstablished();
}

const TTlsCertificateInfo& TCustomFtpCli::TlsCertificate() const
{
    static const TTlsCertificateInfo none;
    return controlSocket_ ? controlSocket_->TlsPeerCertificate() : none;
}

QString TCustomFtpCli::SocketFailureText(TWSocket* socket, int error) const
{
    if (IsTlsError(error) && socket && !socket->TlsErrorText().isEmpty())
        return socket->TlsErrorText();
    return WinsockErrorSuffix(error);
}

void TCustomFtpCli::SendAuthTls()
{
    // Anything the server sent in clear after its greeting is no reply of ours.
    receiveBuffer_.Clear();
    replyTracker_.Reset();
    SetState(ClientState::AuthTls);
    lastCommand_ = QStringLiteral("AUTH TLS");
    SendCommand(lastCommand_);
}

void TCustomFtpCli::AuthTlsReply()
{
    Display(QStringLiteral("< ") + lastResponse_);
    statusCode_ = ftp::ReplyCode(lastResponse_);
    if (statusCode_ != 234) {
        // Refused: the login ends here, before a user name or password.
        const int code = statusCode_ >= 400 ? statusCode_ : 534;
        SetFailure(code, QString::number(code) + QStringLiteral(" The server refused TLS (AUTH TLS answered \"") +
                             lastResponse_ + QStringLiteral("\"); nothing was sent in clear"));
        Display(QStringLiteral("! ") + lastResponse_);
        StopSequence();
        SocketCall(this, [&] { controlSocket_->Close(); });
        return;
    }
    // The reply is the last clear byte: what follows it is the handshake.
    receiveBuffer_.Clear();
    replyTracker_.Reset();
    SetState(ClientState::TlsHandshake);
    controlSocket_->OnTlsDone = [this](TCustomWSocket*, std::uint16_t e) { SocketEvent([&] { ControlTlsDone(e); }); };
    SocketCall(this, [&] { controlSocket_->StartTls(); });
}

void TCustomFtpCli::ControlTlsDone(std::uint16_t error)
{
    if (error != 0) {
        // The close that follows finishes the request with this failure.
        SetFailure(500, QStringLiteral("500 ") + controlSocket_->TlsErrorText());
        Display(QStringLiteral("! ") + controlSocket_->TlsErrorText());
        StopSequence();
        return;
    }
    SetState(ClientState::Connected);
    Fire(this, OnSessionConnected, error);
    FinishRequest(0);
}

void TCustomFtpCli::DataTlsDone(std::uint16_t error)
{
    if (error == 0) {
        if (upload_ && (state_ == ClientState::Moving || state_ == ClientState::ReplyFirst))
            PostSendData();
        return;
    }
    // The server may still answer 226 for a transfer that never happened.
    Display(QStringLiteral("! ") + dataSocket_->TlsErrorText());
    RecordLocalFailure(426, QStringLiteral("426 ") + dataSocket_->TlsErrorText());
}

bool TCustomFtpCli::OpenLocalForDownload()
{
    auto file = std::make_unique<QFile>(localFileName_);
    if (resumeAt_ <= 0) {
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
    } else {
        // Keep what is there: open without creating or truncating.
        if (!file->open(QIODevice::ReadWrite | QIODevice::ExistingOnly) || !file->seek(resumeAt_))
            return false;
    }
    localStream_ = std::move(file);
    return true;
}

bool TCustomFtpCli::OpenLocalForUpload()
{
    auto file = std::make_unique<QFile>(localFileName_);
    if (!file->open(QIODevice::ReadOnly) || (resumeAt_ > 0 && !file->seek(resumeAt_)))
        return false;
    transferSize_ = file->size() - resumeAt_;
    localStream_ = std::move(file);
    return true;
}

bool TCustomFtpCli::EnsureDownloadFile()
{
    if (upload_ || displayFileFlag_ || localOpened_)
        return true;
    localOpened_ = true;
    if (OpenLocalForDownload())
        return true;
    Display(QStringLiteral("! Unable to open local file ") + localFileName_);
    RecordLocalFailure(550, QStringLiteral("Unable to open local file ") + localFileName_);
    CloseQuietly(dataSocket_, true);
    return false;
}

void TCustomFtpCli::CloseQuietly(TWSocket* socket, bool cut)
{
    try {
        if (socket && socket->State() != wsClosed)
            SocketCall(this, [&] { cut ? socket->Abort() : socket->Close(); });
    } catch (const FtpClientGone&) {
        throw;
    } catch (...) {
    }
}

bool TCustomFtpCli::CloseLocalFile()
{
    if (!localStream_)
        return true;
    const bool flushed = !localStream_->isWritable() || localStream_->flush();
    localStream_->close();
    const bool ok = flushed && localStream_->error() == QFileDevice::NoError;
    localStream_.reset();
    return ok;
}

// --- transfers -----------------------------------------------------------------

void TCustomFtpCli::StartRetrieveStep() { StartTransferStep(ftpReqRetrieve, QStringLiteral("RETR"), false); }
void TCustomFtpCli::StartListLongStep() { StartTransferStep(ftpReqListLong, QStringLiteral("LIST"), false); }
void TCustomFtpCli::StartListNamesStep() { StartTransferStep(ftpReqListNames, QStringLiteral("NLST"), false); }
void TCustomFtpCli::StartStoreStep() { StartTransferStep(ftpReqStore, QStringLiteral("STOR"), true); }
void TCustomFtpCli::StartAppendStep() { StartTransferStep(ftpReqAppend, QStringLiteral("APPE"), true); }

void TCustomFtpCli::StartTransferStep(TFtpRequest rqType, const QString& command, bool upload)
{
    if (!controlConnected_)
        ReportError((upload ? QStringLiteral("STOR/APPE") : command) + QStringLiteral(": not connected"));
    if (localFileName_.isEmpty() && (upload || !displayFileFlag_))
        ReportError(QStringLiteral("LocalFileName empty"));
    if (ftp::HasLineBreakOrNul(hostFileName_))
        ReportError(QStringLiteral("HostFileName holds a line break or NUL character"));
    if (!request_.sequence)
        request_.type = rqType;
    upload_ = upload;
    dataCommand_ = command;
    requestDoneFlag_ = false;
    byteCount_ = 0;
    transferSize_ = -1;
    uploadEnded_ = false;
    bareTlsEnd_ = false;
    dataError_ = 0;
    localError_ = 0;
    localOpened_ = false;
    dataSocket_->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t e) {
        SocketEvent([&] { DataSessionAvailable(e); });
    };

    CloseLocalFile();
    if (upload) {
        bool cancel = false;
        TriggerReadyToTransmit(cancel);
        if (cancel) {
            FailRequest(426, QStringLiteral("426 Transmit cancelled by application"), true);
            return;
        }
        if (!OpenLocalForUpload()) {
            FailRequest(426, QStringLiteral("426 Unable to open local file ") + localFileName_, true);
            return;
        }
    }
    // In active mode the server may already have connected (see StartPort).
    if (dataSocket_->State() == wsConnected)
        AttachDataHandlers();

    if (passiveMode_) {
        // The command follows once the data connection is up, so that a
        // connection that fails leaves no reply outstanding. Until then the
        // request must not look ready (after a REST the state is StepReady).
        SetState(ClientState::DataConnecting);
        PassiveConnect();
        return;
    }
    SendTransferCommand();
}

void TCustomFtpCli::SendTransferCommand()
{
    SetState(ClientState::TransferSent);
    lastCommand_ = dataCommand_;
    SendCommand(upload_ || !hostFileName_.isEmpty() ? dataCommand_ + QLatin1Char(' ') + hostFileName_ : dataCommand_);
}

void TCustomFtpCli::AttachDataHandlers()
{
    TWSocket* data = dataSocket_;
    data->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { SocketEvent([&] { DataSessionClosed(e); }); };
    if (upload_) {
        data->OnDataAvailable = [](TCustomWSocket* s, std::uint16_t) {
            char discard[2048];
            s->Receive(discard, sizeof discard);
        };
        data->OnDataSent = [this](TCustomWSocket*, std::uint16_t e) { SocketEvent([&] { DataSentUpload(e); }); };
    } else {
        data->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) {
            SocketEvent([&] { DataAvailableDownload(e); });
        };
        data->OnDataSent = nullptr;
    }
}

void TCustomFtpCli::PostSendData()
{
    // The first block starts from the message loop, outside the reply or
    // accept handler that made the transfer ready.
    if (window_)
        platform::PostMessage(window_->Handle(), WM_FTP_SENDDATA, 0, 0);
}

void TCustomFtpCli::DataSessionAvailable(std::uint16_t)
{
    TWSocket* data = dataSocket_;
    const TSocket h = data->Accept();
    if (h == INVALID_SOCKET)
        return;
    // Only the server may connect: whoever else reaches the port first
    // would receive the upload or feed the download.
    const std::uint32_t peer = data->RemoteAddress();
    if (peer != controlSocket_->RemoteAddress()) {
        platform::CloseSocket(h);
        Display(QStringLiteral("! Data connection from ") + AddressText(peer) + QStringLiteral(" refused"));
        return;
    }
    SocketCall(this, [&] { data->Close(); });  // the listening socket
    AttachDataHandlers();
    data->Dup(h);
    data->SetComponentOptions({wsoNoReceiveLoop});
    ApplyTlsSettings(data, false, true);
    if (upload_) {
        data->SetLingerOnOff(wsLingerOff);
        data->SetLingerTimeout(10);
        data->ApplyLinger();
    }
    startTime_ = TickCount();
    if (state_ == ClientState::Moving || state_ == ClientState::ReplyFirst) {
        if (security_ != ftpPlain)
            StartDataTls();
        else if (upload_)
            PostSendData();
    }
}

void TCustomFtpCli::StartDataTls()
{
    // The handshake follows the server's 150 on a connected data connection:
    // servers take a data connection's first bytes for the transfer's own.
    TWSocket* data = dataSocket_;
    if (data->State() != wsConnected || data->TlsActive())
        return;
    data->OnTlsDone = [this](TCustomWSocket*, std::uint16_t e) { SocketEvent([&] { DataTlsDone(e); }); };
    SocketCall(this, [&] { data->StartTls(); });
}

void TCustomFtpCli::DataSessionConnected(std::uint16_t error)
{
    AttachDataHandlers();
    startTime_ = TickCount();
    if (error != 0) {
        // The data handshake starts after the connect; its failures come to DataTlsDone.
        FailRequest(550, QStringLiteral("Unable to establish data connection, error #") + QString::number(error));
        return;
    }
    SendTransferCommand();
}

void TCustomFtpCli::TransferFirstReply()
{
    Display(QStringLiteral("< ") + lastResponse_);
    statusCode_ = ftp::ReplyCode(lastResponse_);
    if (!IsPreliminary(statusCode_)) {
        resumeAt_ = 0;
        FailRequest(statusCode_, lastResponse_);
        return;
    }
    if (!upload_ && dataCommand_ == QLatin1String("RETR"))
        transferSize_ = ftp::AnnouncedSize(lastResponse_);
    if (state_ != ClientState::TransferSent) {
        // The data connection has already ended: a download without bytes
        // still leaves its (empty) file.
        SetState(ClientState::DataFirst);
        if (!upload_ && EnsureDownloadFile() && !CloseLocalFile())
            RecordLocalFailure(426, QStringLiteral("426 Error writing local file ") + localFileName_);
        return;
    }
    SetState(ClientState::Moving);
    if (!upload_)
        EnsureDownloadFile();
    if (security_ != ftpPlain)
        StartDataTls();  // an upload's first block follows the handshake
    else if (upload_ && dataSocket_->State() == wsConnected)
        PostSendData();
}

void TCustomFtpCli::TransferFinalReply()
{
    Display(QStringLiteral("< ") + lastResponse_);
    statusCode_ = ftp::ReplyCode(lastResponse_);
    if (statusCode_ == 226 || statusCode_ == 250 || (!upload_ && statusCode_ == 125)) {
        if (state_ == ClientState::DataFirst) {
            CompleteTransfer();
            return;
        }
        const bool sentAll = state_ == ClientState::Draining;
        SetState(ClientState::ReplyFirst);
        // The server has all of a TLS upload: no need to wait for its close.
        if (sentAll && dataSocket_->TlsActive())
            CloseQuietly(dataSocket_);
        return;
    }
    CaptureError();
    Display(upload_ ? QStringLiteral("! STOR Failed") : QStringLiteral("! RETR/LIST/NLST Failed"));
    // A local cause, when there is one, says more than the server's echo of it.
    FailRequest(localError_ != 0 ? localError_ : statusCode_, lastResponse_);
}

void TCustomFtpCli::DataSessionClosed(std::uint16_t error)
{
    if (!InTransfer(state_)) {
        CloseLocalFile();
        return;  // closed by the end of a request
    }
    if (!CloseLocalFile())
        RecordLocalFailure(426, QStringLiteral("426 Error writing local file ") + localFileName_);
    // Over TLS the end says more while the connection is still there; the
    // size it is checked against comes with the 150 reply, maybe later.
    bareTlsEnd_ = !upload_ && dataSocket_->TlsEstablished() && !dataSocket_->TlsCloseNoticeReceived();
    dataError_ = error;
    if (state_ == ClientState::ReplyFirst)
        CompleteTransfer();
    else if (state_ == ClientState::TransferSent)
        SetState(ClientState::DataEndedEarly);
    else if (state_ != ClientState::DataEndedEarly)
        SetState(ClientState::DataFirst);
}

void TCustomFtpCli::JudgeDataEnd()
{
    // The server's 226 says nothing about bytes it never got.
    if (upload_ && !uploadEnded_) {
        RecordLocalFailure(426, QStringLiteral("426 Data connection closed by the server after %1 of %2 bytes")
                                    .arg(byteCount_)
                                    .arg(transferSize_));
    }
    // A bare end of a TLS stream can be forged by anyone on the path; only
    // the size the server announced can vouch for what arrived.
    if (bareTlsEnd_ && transferSize_ != byteCount_ && transferSize_ != byteCount_ + resumeAt_) {
        const QString of = transferSize_ >= 0 ? QStringLiteral(" of %1").arg(transferSize_) : QString();
        RecordLocalFailure(426, QStringLiteral("426 Data connection ended without the TLS close notice after %1%2 "
                                               "bytes: the data may be incomplete")
                                    .arg(byteCount_)
                                    .arg(of));
    }
}

void TCustomFtpCli::CompleteTransfer()
{
    // Only a success reply gets here: a server that said why it failed is
    // heard in its own words, and so is a reset.
    if (localError_ == 0 && dataError_ == 0)
        JudgeDataEnd();
    TransfertStats();
    resumeAt_ = 0;
    EndTransferState();
    if (localError_ == 0 && dataError_ != 0) {
        lastResponse_ = QStringLiteral("426 Data connection closed. ") + SocketFailureText(dataSocket_, dataError_);
        CaptureError();
    }
    requestResult_ = localError_ != 0 ? localError_ : dataError_;
    FinishRequest(requestResult_);
}

void TCustomFtpCli::DataAvailableDownload(std::uint16_t)
{
    if (!Progress() || !EnsureDownloadFile())
        return;
    char buffer[4096];
    TWSocket* data = dataSocket_;
    int count = 0;
    SocketCall(this, [&] { count = data->Receive(buffer, sizeof buffer); });
    if (count > 0) {
        byteCount_ += count;
        if (localStream_ && localError_ == 0 && localStream_->write(buffer, count) != count) {
            Display(QStringLiteral("! Error writing local file"));
            RecordLocalFailure(426, QStringLiteral("426 Error writing local file ") + localFileName_ +
                                        QStringLiteral(": ") + localStream_->errorString());
            data->Shutdown(2);
        }
        if (displayFileFlag_) {
            for (QString piece : ftp::SplitListing(QByteArray::fromRawData(buffer, count)))
                TriggerDisplayFile(piece);
        }
    } else if (count < 0 && data->State() == wsConnected && data->LastError() != WSAEWOULDBLOCK) {
        Display(QStringLiteral("! Data: Receive error ") + QString::number(data->LastError()));
        data->Shutdown(2);
    }
}

void TCustomFtpCli::DataSentUpload(std::uint16_t error)
{
    // Some servers answer 226 before the data has arrived: the bytes still go.
    if (!localStream_ || (state_ != ClientState::Moving && state_ != ClientState::ReplyFirst) || !Progress())
        return;
    TWSocket* data = dataSocket_;
    // A transfer cut short must not look complete: the server takes the
    // graceful end of the data connection as the end of the file.
    auto cut = [&](const QString& note, const QString& failure) {
        Display(QStringLiteral("! ") + note);
        RecordLocalFailure(426, failure);
        CloseLocalFile();
        CloseQuietly(dataSocket_, true);
    };
    if (error != 0) {
        cut(QStringLiteral("Error #") + QString::number(error) + QStringLiteral(" sending data"),
            QStringLiteral("426 Error #") + QString::number(error) + QStringLiteral(" sending data"));
        return;
    }
    if (data->State() != wsConnected || (security_ != ftpPlain && !data->TlsEstablished()))
        return;
    // One block per data-sent notice: the next block goes once this one has
    // left the send queue.
    const qint64 count = localStream_->read(sendBuffer_, sizeof sendBuffer_);
    if (count > 0) {
        byteCount_ += count;
        int sent = 0;
        SocketCall(this, [&] { sent = data->Send(sendBuffer_, static_cast<int>(count)); });
        if (sent < 0)
            cut(QStringLiteral("Error sending data"), QStringLiteral("426 Error sending data"));
    } else if (count == 0) {
        // Everything has left the send queue and the data connection closes
        // gracefully (linger off), so the close can follow at once.
        uploadEnded_ = true;
        CloseLocalFile();
        if (state_ == ClientState::Moving)
            SetState(ClientState::Draining);
        // Over TLS the server still writes to the connection (session
        // tickets): closing it outright would reset it under the bytes the
        // server has not read. It closes once it has read the end.
        if (data->TlsEstablished())
            data->TlsShutdown();
        else
            data->CloseLater();
    } else {
        cut(QStringLiteral("Error reading file"), QStringLiteral("426 Error reading local file ") + localFileName_);
    }
}

// --- progress and statistics -----------------------------------------------------

bool TCustomFtpCli::Progress()
{
    bool abort = false;
    Fire(this, OnProgress, byteCount_ + resumeAt_, abort);
    if (abort) {
        Display(QStringLiteral("! Abort requested"));
        RecordLocalFailure(426, QStringLiteral("426 Transfer aborted by application"));
        CloseLocalFile();
        CloseQuietly(dataSocket_, true);
    }
    return !abort;
}

void TCustomFtpCli::TransfertStats()
{
    stopTime_ = TickCount();
    Display(QStringLiteral("! ") + ftp::StatisticsText(byteCount_, stopTime_ - startTime_));
}

// ---------------------------------------------------------------------------
// TFtpClient: blocking wrappers

TFtpClient::TFtpClient(QObject* owner) : TCustomFtpCli(owner)
{
    timeout_ = 15;
}

bool TFtpClient::Progress()
{
    const bool go = TCustomFtpCli::Progress();
    if (timeout_ > 0)
        deadline_ = TickCount() + qint64(timeout_) * 1000;
    return go;
}

bool TFtpClient::RunBlocking(void (TCustomFtpCli::*start)())
{
    const QPointer<TFtpClient> alive(this);
    // The request may finish inside its own start call: the sink is set first.
    int result = -1;
    int* const outer = resultSink_;
    resultSink_ = &result;
    bool ok = false;
    try {
        (this->*start)();
        ok = Wait(&result);
    } catch (...) {
        ok = false;  // never started: no request-done follows
    }
    if (alive && resultSink_ == &result)
        resultSink_ = outer;
    return ok;
}

bool TFtpClient::WaitForReady() { return Wait(nullptr); }

bool TFtpClient::Wait(const int* result)
{
    const QPointer<TFtpClient> alive(this);
    deadline_ = TickCount() + qint64(timeout_) * 1000;
    // Bounds each blocking pump so that the deadline and the terminating
    // flag are seen without spinning.
    QTimer wake;
    wake.start(50);
    for (;;) {
        if (result ? *result >= 0 : (state_ == ClientState::Ready || state_ == ClientState::StepReady)) {
            const bool ok = result ? *result == 0 : requestResult_ == 0;
            // The request-done message is posted: let it run before returning.
            for (int i = 0; alive && postedDone_ > 0 && i < 100; ++i)
                platform::ProcessMessages();
            return ok;
        }
        if (platform::ApplicationTerminated() || (timeout_ > 0 && TickCount() > deadline_)) {
            ForceClose();  // finishes the pending request with 426
            if (!alive)
                return false;
            errorMessage_ = QStringLiteral("426 Timeout");
            statusCode_ = 426;
            return false;
        }
        if (multiThreaded_) {
            if (auto* d = QThread::currentThread()->eventDispatcher())
                d->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        } else {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
        if (!alive)
            return false;  // a handler deleted the client
        // No extra yield: the pump sleeps in the event loop while nothing is
        // pending, and giving the processor away between upload blocks only
        // slows transfers down on a busy machine.
    }
}

bool TFtpClient::Open() { return RunBlocking(&TCustomFtpCli::StartOpen); }
bool TFtpClient::User() { return RunBlocking(&TCustomFtpCli::StartUser); }
bool TFtpClient::Pass() { return RunBlocking(&TCustomFtpCli::StartPass); }
bool TFtpClient::Login() { return RunBlocking(&TCustomFtpCli::StartLogin); }
bool TFtpClient::Cwd() { return RunBlocking(&TCustomFtpCli::StartCwd); }
bool TFtpClient::Pwd() { return RunBlocking(&TCustomFtpCli::StartPwd); }
bool TFtpClient::Syst() { return RunBlocking(&TCustomFtpCli::StartSyst); }
bool TFtpClient::Size() { return RunBlocking(&TCustomFtpCli::StartSize); }
bool TFtpClient::Mkd() { return RunBlocking(&TCustomFtpCli::StartMkd); }
bool TFtpClient::Rmd() { return RunBlocking(&TCustomFtpCli::StartRmd); }
bool TFtpClient::Dele() { return RunBlocking(&TCustomFtpCli::StartDele); }
bool TFtpClient::Quote() { return RunBlocking(&TCustomFtpCli::StartQuote); }
bool TFtpClient::SetBinaryType() { return RunBlocking(&TCustomFtpCli::StartTypeBinary); }
bool TFtpClient::SetAsciiType() { return RunBlocking(&TCustomFtpCli::StartTypeAscii); }
bool TFtpClient::Store() { return RunBlocking(&TCustomFtpCli::StartStore); }
bool TFtpClient::Retrieve() { return RunBlocking(&TCustomFtpCli::StartRetrieve); }
bool TFtpClient::ListLong() { return RunBlocking(&TCustomFtpCli::StartListLong); }
bool TFtpClient::ListNames() { return RunBlocking(&TCustomFtpCli::StartListNames); }
bool TFtpClient::Quit() { return RunBlocking(&TCustomFtpCli::StartQuit); }
bool TFtpClient::Upload() { return RunBlocking(&TCustomFtpCli::StartUpload); }
bool TFtpClient::Download() { return RunBlocking(&TCustomFtpCli::StartDownload); }
bool TFtpClient::DirectoryLong() { return RunBlocking(&TCustomFtpCli::StartDirectoryLong); }
bool TFtpClient::DirectoryNames() { return RunBlocking(&TCustomFtpCli::StartDirectoryNames); }
