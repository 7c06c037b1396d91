#include "ftp/FtpCli.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

namespace {

QString WinsockErrorSuffix(int e)
{
    return SocketErrorText(e) + QStringLiteral(" (Winsock error #") + QString::number(e) + QLatin1Char(')');
}

QString ExceptionText(const Exception& e)
{
    return QString::fromLatin1(e.ClassName()) + QStringLiteral(": ") + e.Message();
}

// The reply code at the start of a line.
int ReplyCode(const QString& line)
{
    int next = 0;
    return static_cast<int>(ftp::GetInteger(line, 0, next));
}

// Steps of a high-level request in the order they run, whatever order the
// caller listed them in.
constexpr TFtpStep kStepOrder[] = {
    stOpen, stUser, stPass,   stCwd,   stCdup,   stType,  stPort, stRest,
    stRetrieve, stStore, stAppend, stListLong, stListNames, stSyst, stMkd, stRmd,
    stRenFrom, stRenTo, stSize, stDele, stPwd,  stAbor,  stQuote, stQuit,
};

}  // namespace

// ---------------------------------------------------------------------------
// Construction

TCustomFtpCli::TCustomFtpCli(QObject* owner) : QObject(owner)
{
    window_ = std::make_unique<platform::NotifyWindow>([this](platform::Message& m) { WndProc(m); });
    controlSocket_ = new TWSocket(this);
    dataSocket_ = new TWSocket(this);
    controlSocket_->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) { ControlSessionConnected(e); };
    controlSocket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) { ControlDataAvailable(e); };
    controlSocket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { ControlSessionClosed(e); };
    controlSocket_->OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) { ControlDnsLookupDone(e); };
}

TCustomFtpCli::~TCustomFtpCli()
{
    window_.reset();
    CloseLocalFile();
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
        delete s;
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
    if (OnDisplay) {
        QString m = msg;
        OnDisplay(this, m);
    }
}

void TCustomFtpCli::TriggerReadyToTransmit(bool& cancel)
{
    if (OnReadyToTransmit)
        OnReadyToTransmit(this, cancel);
}

void TCustomFtpCli::TriggerDisplayFile(QString& msg)
{
    if (OnDisplayFile)
        OnDisplayFile(this, msg);
}

void TCustomFtpCli::ReportError(const QString& msg)
{
    throw FtpException(msg);
}

bool TCustomFtpCli::CheckReady()
{
    if (state_ == fsReady || state_ == fsStepReady)
        return true;
    ReportError(QStringLiteral("FTP component not ready"));
    return false;
}

void TCustomFtpCli::ChangeState(TFtpClientState s)
{
    if (s == state_)
        return;
    state_ = s;
    if (OnStateChange)
        OnStateChange(this);
}

void TCustomFtpCli::CaptureError()
{
    if (errorMessage_.isEmpty())
        errorMessage_ = lastResponse_;
}

void TCustomFtpCli::SendCommand(QString cmd)
{
    if (OnCommand)
        OnCommand(this, cmd);
    Display(QStringLiteral("> ") + cmd);
    // On a closed connection nothing is sent: the request ends by the close,
    // a forced close or the blocking wait's time-out.
    if (controlSocket_ && controlSocket_->State() == wsConnected)
        controlSocket_->SendText(cmd + QStringLiteral("\r\n"));
}

// ---------------------------------------------------------------------------
// Notification window

void TCustomFtpCli::WndProc(platform::Message& msg)
{
    try {
        switch (msg.msg) {
        case WM_FTP_REQUEST_DONE:
            if (postedDone_ > 0)
                --postedDone_;
            if (OnRequestDone)
                OnRequestDone(this, requestType_, static_cast<std::uint16_t>(msg.lParam & 0xFFFF));
            break;
        case WM_FTP_SENDDATA:
            startTime_ = TickCount();
            DataSentUpload(0);
            break;
        default:
            break;
        }
    } catch (const Exception& e) {
        HandleBackgroundException(e);
    }
}

void TCustomFtpCli::HandleBackgroundException(const std::exception& e)
{
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, e, canClose);
        } catch (...) {
        }
    }
}

// ---------------------------------------------------------------------------
// Control connection

void TCustomFtpCli::StartOpen()
{
    CheckReady();
    if (controlConnected_)
        ReportError(QStringLiteral("FTP component already connected"));
    if (!highLevelFlag_) {
        requestType_ = ftpReqOpen;
        errorMessage_.clear();
    }
    requestDoneFlag_ = false;
    receiveBuffer_.Clear();
    requestResult_ = 0;
    dnsResult_.clear();
    replyPending_ = false;
    lastCommand_.clear();
    ChangeState(fsLookup);
    try {
        controlSocket_->DnsLookup(connectionType_ == ftpProxy ? proxyServer_ : hostName_);
    } catch (...) {
        // Nothing started: the client must not stay in the lookup state.
        ChangeState(fsReady);
        throw;
    }
}

void TCustomFtpCli::ControlDnsLookupDone(std::uint16_t error)
{
    if (state_ != fsLookup)
        return;  // a cancelled lookup's late answer
    if (error != 0) {
        lastResponse_ = QStringLiteral("500 ") + WinsockErrorSuffix(error);
        statusCode_ = 500;
        requestResult_ = 500;
        CaptureError();
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
        ChangeState(fsWaitingGreeting);
        controlSocket_->Connect();
    } catch (const Exception& e) {
        lastResponse_ = QStringLiteral("500 ") + ExceptionText(e);
        statusCode_ = 500;
        requestResult_ = 500;
        CaptureError();
        FinishRequest(500);
        // A failed option leaves the handle open; the next open needs it closed.
        try {
            if (controlSocket_->State() != wsClosed)
                controlSocket_->Close();
        } catch (...) {
        }
    }
}

void TCustomFtpCli::ControlSessionConnected(std::uint16_t error)
{
    if (error != 0) {
        lastResponse_ = QStringLiteral("500 ") + WinsockErrorSuffix(error);
        statusCode_ = 500;
        requestResult_ = 500;
        CaptureError();
        continuation_ = nullptr;
        FinishRequest(error);
        controlSocket_->Close();
        ChangeState(fsReady);
        return;
    }
    controlConnected_ = true;
}

void TCustomFtpCli::ControlDataAvailable(std::uint16_t error)
{
    const int room = receiveBuffer_.FreeSpace();
    // A full buffer without a line end: the peer does not speak FTP.
    const int count = room > 0 ? controlSocket_->Receive(receiveBuffer_.WritePtr(), room) : 0;
    if (count == 0) {
        controlSocket_->Close();
        return;
    }
    if (count < 0)
        return;
    receiveBuffer_.Commit(count);

    QByteArray raw;
    while (receiveBuffer_.Fill() > 0 && receiveBuffer_.TakeLine(options_.Contains(ftpAcceptLF), raw)) {
        lastResponse_ = QString::fromUtf8(raw);
        if (OnResponse)
            OnResponse(this);
        bool stop = false;
        HandleReplyLine(error, stop);
        if (stop)
            return;
    }
    // 4095 bytes without a line end: no receive could ever complete a line.
    if (receiveBuffer_.FreeSpace() == 0 && controlSocket_->State() != wsClosed)
        controlSocket_->Close();
}

void TCustomFtpCli::HandleReplyLine(std::uint16_t error, bool& stop)
{
    switch (state_) {
    case fsWaitingGreeting: {
        Display(QStringLiteral("< ") + lastResponse_);
        if (!ftp::BeginsWithDigit(lastResponse_) || ftp::IsContinuation(lastResponse_))
            return;
        statusCode_ = ReplyCode(lastResponse_);
        if (statusCode_ == 220) {
            ChangeState(fsConnected);
            if (OnSessionConnected)
                OnSessionConnected(this, error);
            FinishRequest(0);
        } else {
            CaptureError();
            requestResult_ = statusCode_;
            controlSocket_->Close();
            stop = true;
        }
        break;
    }
    case fsWaitingReply:
        if (!ftp::BeginsWithDigit(lastResponse_) || ftp::IsContinuation(lastResponse_)) {
            Display(QStringLiteral("< ") + lastResponse_);
            return;
        }
        if (!next_)
            ReportError(QStringLiteral("Program error: FNext is nil"));
        (this->*next_)();
        break;
    default:
        Display(QStringLiteral("< ") + lastResponse_);
        break;
    }
}

void TCustomFtpCli::ControlSessionClosed(std::uint16_t error)
{
    // A clean close while the greeting or a command's final reply (other than
    // QUIT's) is still awaited is a failure, not a success.
    // The same holds while a passive upload still connects its data channel.
    const bool cutShort = error == 0 && requestResult_ == 0 && !requestDoneFlag_ &&
                          (state_ == fsWaitingGreeting || state_ == fsPassiveReady ||
                           (state_ == fsWaitingReply && replyPending_ && lastCommand_ != QLatin1String("QUIT")));
    if (controlConnected_) {
        controlConnected_ = false;
        if (state_ != fsAborting)
            ChangeState(fsNotConnected);
        if (OnSessionClosed)
            OnSessionClosed(this, error);
    }
    if (state_ != fsAborting)
        ChangeState(fsStepReady);
    if (error != 0) {
        lastResponse_ = QStringLiteral("500 Control connection closed. ") + WinsockErrorSuffix(error);
        statusCode_ = 500;
        requestResult_ = 500;
        CaptureError();
    } else if (cutShort) {
        lastResponse_ = QStringLiteral("500 Control connection closed.");
        statusCode_ = 500;
        requestResult_ = 500;
        CaptureError();
    }
    replyPending_ = false;
    FinishRequest(requestResult_);
}

void TCustomFtpCli::ForceClose()
{
    const bool wasLookup = state_ == fsLookup;
    ChangeState(fsAborting);
    CloseLocalFile();
    try {
        if (wasLookup)
            controlSocket_->CancelLookup();
    } catch (...) {
    }
    try {
        if (controlSocket_->State() != wsClosed)
            controlSocket_->Close();
    } catch (...) {
    }
    try {
        if (dataSocket_->State() != wsClosed)
            dataSocket_->Close();
    } catch (...) {
    }
    CloseLocalFile();
    controlConnected_ = false;
    ChangeState(fsReady);
}

// ---------------------------------------------------------------------------
// Requests

void TCustomFtpCli::IssueCommand(TFtpRequest rqType, const QString& cmd, std::initializer_list<int> okCodes,
                                 Handler doneHandler)
{
    if (cmd != QLatin1String("ABOR") && cmd != QLatin1String("STAT") && cmd != QLatin1String("QUIT")) {
        // Between PASV and the transfer of a high-level request (REST), the
        // passive reply state counts as ready.
        if (!(highLevelFlag_ && state_ == fsPassiveReady))
            CheckReady();
        if (!controlConnected_)
            ReportError(QStringLiteral("FTP component not connected"));
    }
    if (!highLevelFlag_)
        requestType_ = rqType;
    int n = 0;
    for (int code : okCodes) {
        if (n >= 15)
            break;
        okCodes_[n++] = code & 0xFFFF;
    }
    okCodes_[n] = 0;
    requestDoneFlag_ = false;
    next_ = &TCustomFtpCli::JudgeReply;
    doneHandler_ = doneHandler;
    errorMessage_.clear();
    ChangeState(fsWaitingReply);
    replyPending_ = true;
    lastCommand_ = cmd;
    SendCommand(cmd);
}

void TCustomFtpCli::JudgeReply()
{
    Display(QStringLiteral("< ") + lastResponse_);
    if (!ftp::BeginsWithDigit(lastResponse_) || ftp::IsContinuation(lastResponse_))
        return;
    replyPending_ = false;
    statusCode_ = ReplyCode(lastResponse_);
    if (okCodes_[0] == 0) {
        // Any code below 500 is acceptable.
        requestResult_ = statusCode_ < 500 ? 0 : statusCode_;
        if (requestResult_ != 0)
            CaptureError();
    } else {
        requestResult_ = statusCode_;
        for (int i = 0; i < 16 && okCodes_[i] != 0; ++i) {
            if (okCodes_[i] == statusCode_) {
                requestResult_ = 0;
                break;
            }
        }
        if (requestResult_ != 0)
            CaptureError();
    }
    if (passiveMode_ && statusCode_ == 227) {
        ChangeState(fsPassiveReady);
        passiveReply_ = lastResponse_;
    }
    if (requestResult_ == 0)
        CollectResults();
    if (doneHandler_)
        (this->*doneHandler_)();
    else
        FinishRequest(requestResult_);
}

void TCustomFtpCli::CollectResults()
{
    int next = 0;
    switch (currentStep_) {
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
    if (error == 0 && continuation_) {
        if (state_ != fsAborting && state_ != fsPassiveReady)
            ChangeState(fsStepReady);
        try {
            (this->*continuation_)();
        } catch (const Exception& e) {
            // A step that cannot start (an empty property, a socket refusing
            // to listen) ends the request instead of leaving it hanging.
            pendingSteps_ = 0;
            continuation_ = nullptr;
            lastResponse_ = QStringLiteral("500 ") + e.Message();
            statusCode_ = 500;
            requestResult_ = 500;
            CaptureError();
            if (state_ != fsAborting && state_ != fsLookup)
                ChangeState(fsStepReady);
            requestDoneFlag_ = false;
            FinishRequest(500);
        }
        return;
    }
    ChangeState(fsReady);
    try {
        if (dataSocket_ && dataSocket_->State() != wsClosed)
            dataSocket_->Close();
    } catch (...) {
    }
    if (highLevelFlag_ && statusCodeSave_ >= 0) {
        lastResponse_ = lastResponseSave_;
        statusCode_ = statusCodeSave_;
    }
    highLevelFlag_ = false;
    continuation_ = nullptr;
    if (window_ && platform::PostMessage(window_->Handle(), WM_FTP_REQUEST_DONE, 0, error & 0xFFFF))
        ++postedDone_;
}

void TCustomFtpCli::StartSequence(TFtpRequest rqType, TFtpSteps steps)
{
    if (controlConnected_ && (steps & StepBit(stOpen)))
        ReportError(QStringLiteral("FTP component already connected"));
    CheckReady();
    lastResponseSave_ = lastResponse_;
    statusCodeSave_ = -1;
    requestType_ = rqType;
    requestResult_ = 0;
    pendingSteps_ = steps;
    currentStep_ = stNone;
    highLevelResult_ = 0;
    highLevelFlag_ = true;
    lastResponse_.clear();
    errorMessage_.clear();
    continuation_ = nullptr;
    try {
        NextStep();
    } catch (...) {
        // The first step refused to start: nothing runs, the client stays ready.
        pendingSteps_ = 0;
        highLevelFlag_ = false;
        continuation_ = nullptr;
        try {
            if (dataSocket_->State() != wsClosed)
                dataSocket_->Close();
        } catch (...) {
        }
        throw;
    }
}

void TCustomFtpCli::NextStep()
{
    if (state_ == fsAborting) {
        pendingSteps_ = 0;
        highLevelResult_ = 426;
        errorMessage_ = QStringLiteral("426 Operation aborted.");
    }
    continuation_ = &TCustomFtpCli::NextStep;
    if (requestResult_ == 0)
        CollectResults();

    for (TFtpStep step : kStepOrder) {
        if (!(pendingSteps_ & StepBit(step)))
            continue;
        pendingSteps_ &= ~StepBit(step);
        switch (step) {
        case stPass:
            // A 230 answer to USER logs in without a password.
            if (currentStep_ == stUser && statusCode_ != 331)
                continue;
            break;
        case stCwd:
            if (hostDirName_.isEmpty())
                continue;
            break;
        case stRetrieve:
            if (!(currentStep_ == stRest && resumeAt_ >= 0 && statusCode_ == 350))
                resumeAt_ = 0;
            break;
        case stQuit:
            lastResponseSave_ = lastResponse_;
            statusCodeSave_ = statusCode_;
            break;
        default:
            break;
        }
        currentStep_ = step;
        switch (step) {
        case stOpen: StartOpen(); break;
        case stUser: StartUser(); break;
        case stPass: StartPass(); break;
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

    pendingSteps_ = 0;
    continuation_ = nullptr;
    requestDoneFlag_ = false;
    FinishRequest(highLevelResult_);
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
    currentStep_ = stUser;
    IssueCommand(ftpReqUser, cmd, {331, 230});
}

void TCustomFtpCli::StartPass()
{
    if (passWord_.isEmpty())
        ReportError(QStringLiteral("Password emtpy"));
    currentStep_ = stPass;
    IssueCommand(ftpReqPass, QStringLiteral("PASS ") + passWord_, {230});
}

void TCustomFtpCli::StartCwd()
{
    if (hostDirName_.isEmpty())
        ReportError(QStringLiteral("HostDirName emtpy"));
    currentStep_ = stCwd;
    IssueCommand(ftpReqCwd, QStringLiteral("CWD ") + hostDirName_, {200, 250, 257});
}

void TCustomFtpCli::StartSyst()
{
    currentStep_ = stSyst;
    IssueCommand(ftpReqSyst, QStringLiteral("SYST"), {215});
}

void TCustomFtpCli::StartQuit()
{
    CloseLocalFile();
    currentStep_ = stQuit;
    IssueCommand(ftpReqQuit, QStringLiteral("QUIT"), {221}, &TCustomFtpCli::QuitDone);
}

void TCustomFtpCli::QuitDone()
{
    // The request finishes when the closure is reported.
    if (controlSocket_->State() != wsClosed)
        controlSocket_->Close();
    else
        FinishRequest(requestResult_);
}

void TCustomFtpCli::StartAbor()
{
    currentStep_ = stAbor;
    IssueCommand(ftpReqAbor, QStringLiteral("ABOR"), {});
}

void TCustomFtpCli::StartSize()
{
    currentStep_ = stSize;
    sizeResult_ = 0;
    IssueCommand(ftpReqSize, QStringLiteral("SIZE ") + hostFileName_, {213});
}

void TCustomFtpCli::StartMkd()
{
    currentStep_ = stMkd;
    IssueCommand(ftpReqMkd, QStringLiteral("MKD ") + hostFileName_, {250, 257});
}

void TCustomFtpCli::StartRmd()
{
    currentStep_ = stRmd;
    IssueCommand(ftpReqRmd, QStringLiteral("RMD ") + hostFileName_, {250, 257});
}

void TCustomFtpCli::StartDele()
{
    currentStep_ = stDele;
    IssueCommand(ftpReqDele, QStringLiteral("DELE ") + hostFileName_, {250, 257});
}

void TCustomFtpCli::StartRenFrom()
{
    currentStep_ = stRenFrom;
    IssueCommand(ftpReqRenFrom, QStringLiteral("RNFR ") + hostFileName_, {350});
}

void TCustomFtpCli::StartRenTo()
{
    currentStep_ = stRenTo;
    IssueCommand(ftpReqRenTo, QStringLiteral("RNTO ") + localFileName_, {200, 250, 257});
}

void TCustomFtpCli::StartPwd()
{
    currentStep_ = stPwd;
    IssueCommand(ftpReqPwd, QStringLiteral("PWD"), {250, 257});
}

void TCustomFtpCli::StartQuote()
{
    currentStep_ = stQuote;
    IssueCommand(ftpReqQuote, localFileName_, {});
}

void TCustomFtpCli::StartCdup()
{
    currentStep_ = stCdup;
    IssueCommand(ftpReqCdup, QStringLiteral("CDUP"), {250, 257});
}

void TCustomFtpCli::StartType()
{
    currentStep_ = stType;
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
    currentStep_ = stRest;
    if (requestType_ != ftpReqStoreResume && requestType_ != ftpReqUploadResume &&
        !options_.Contains(ftpNoAutoResumeAt)) {
        const QFileInfo info(localFileName_);
        resumeAt_ = info.exists() ? info.size() : -1;
    }
    if (resumeAt_ > 0) {
        IssueCommand(ftpReqRest, QStringLiteral("REST ") + QString::number(resumeAt_), {});
        return;
    }
    // Nothing to resume: finish at once without a command.
    if (!highLevelFlag_)
        requestType_ = ftpReqRest;
    requestDoneFlag_ = false;
    next_ = &TCustomFtpCli::JudgeReply;
    doneHandler_ = nullptr;
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
    if (!(highLevelFlag_ && state_ == fsPassiveReady))
        CheckReady();
    if (!controlConnected_)
        ReportError(QStringLiteral("FTP component not connected"));

    TWSocket* data = dataSocket_;
    data->SetProto(QStringLiteral("tcp"));
    data->SetAddr(QStringLiteral("0.0.0.0"));
    data->SetPort(QStringLiteral("0"));
    data->OnSessionAvailable = nullptr;
    data->OnSessionClosed = nullptr;
    data->OnDataAvailable = nullptr;

    // Some servers connect as soon as they have the PORT command, before
    // they answer it: the accept may come before the transfer step starts.
    uploadDataConnected_ = false;
    storeReplyReceived_ = false;
    startTime_ = 0;

    quint16 listenPort = 0;
    if (!passiveMode_) {
        // The accept notice comes once: the handler must be there before it.
        if (pendingSteps_ & (StepBit(stRetrieve) | StepBit(stListLong) | StepBit(stListNames)))
            data->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t e) { DataSessionAvailableDownload(e); };
        else if (pendingSteps_ & (StepBit(stStore) | StepBit(stAppend)))
            data->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t e) { DataSessionAvailableUpload(e); };
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
    currentStep_ = stPort;
    IssueCommand(ftpReqPort, cmd, {200, 227});
}

bool TCustomFtpCli::PassiveConnect(std::function<void(TCustomWSocket*, std::uint16_t)> connected, int failCode)
{
    QString addr;
    int port = 0;
    auto fail = [&](const QString& reply) {
        lastResponse_ = reply;
        statusCode_ = failCode;
        CaptureError();
        CloseDataSocketQuietly();
        CloseLocalFile();
        requestResult_ = failCode;
        FinishRequest(failCode);
    };
    if (!ftp::ParsePassiveReply(passiveReply_, addr, port)) {
        // Without the address there is nothing to connect to: the step fails.
        fail(QString::number(failCode) + QStringLiteral(" Unexpected reply to PASV: \"") + passiveReply_ +
             QLatin1Char('"'));
        Display(QStringLiteral("! ") + errorMessage_);
        return false;
    }
    try {
        TWSocket* data = dataSocket_;
        data->SetPort(QString::number(port));
        data->SetAddr(addr);
        data->SetLocalAddr(localAddr_);
        data->SetLingerOnOff(wsLingerOff);
        data->SetLingerTimeout(0);
        data->SetComponentOptions({wsoNoReceiveLoop});
        ApplySocksSettings(data);
        data->OnSessionConnected = std::move(connected);
        data->Connect();
    } catch (const Exception& e) {
        fail(QString::number(failCode) + QLatin1Char(' ') + ExceptionText(e));
        return false;
    }
    return true;
}

// The socket reset after the previous close dropped the proxy settings:
// without this only the first connection of a client would use the proxy.
void TCustomFtpCli::ApplySocksSettings(TWSocket* socket) const
{
    socket->SetSocksServer(socksServer_);
    socket->SetSocksPort(socksPort_);
    socket->SetSocksLevel(socksLevel_);
}

void TCustomFtpCli::OpenLocalForDownload()
{
    auto file = std::make_unique<QFile>(localFileName_);
    if (resumeAt_ <= 0) {
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate))
            throw FtpException(file->errorString());
    } else {
        // Keep what is there: open without creating or truncating.
        if (!file->open(QIODevice::ReadWrite | QIODevice::ExistingOnly) || !file->seek(resumeAt_))
            throw FtpException(file->errorString());
    }
    localStream_ = std::move(file);
}

void TCustomFtpCli::OpenLocalForUpload()
{
    auto file = std::make_unique<QFile>(localFileName_);
    if (!file->open(QIODevice::ReadOnly))
        throw FtpException(file->errorString());
    eofReached_ = false;
    if (resumeAt_ > 0 && !file->seek(resumeAt_))
        throw FtpException(file->errorString());
    localStream_ = std::move(file);
}

void TCustomFtpCli::CloseDataSocketQuietly()
{
    try {
        dataSocket_->Close();
    } catch (...) {
    }
}

void TCustomFtpCli::CloseLocalFile()
{
    if (localStream_) {
        localStream_->close();
        localStream_.reset();
    }
}

// --- downloads ---------------------------------------------------------------

void TCustomFtpCli::StartRetrieveStep() { StartDownloadStep(ftpReqRetrieve, QStringLiteral("RETR")); }
void TCustomFtpCli::StartListLongStep() { StartDownloadStep(ftpReqListLong, QStringLiteral("LIST")); }
void TCustomFtpCli::StartListNamesStep() { StartDownloadStep(ftpReqListNames, QStringLiteral("NLST")); }

void TCustomFtpCli::StartDownloadStep(TFtpRequest rqType, const QString& dataCommand)
{
    if (!controlConnected_)
        ReportError(dataCommand + QStringLiteral(": not connected"));
    if (localFileName_.isEmpty() && !displayFileFlag_)
        ReportError(QStringLiteral("LocalFileName empty"));
    if (!highLevelFlag_)
        requestType_ = rqType;
    dataCommand_ = dataCommand;
    finalReplyReceived_ = false;
    downloadDataClosed_ = false;
    requestDoneFlag_ = false;
    byteCount_ = 0;
    dataError_ = 0;
    dataSocket_->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t e) { DataSessionAvailableDownload(e); };

    if (!displayFileFlag_) {
        CloseLocalFile();
        try {
            OpenLocalForDownload();
        } catch (const Exception&) {
            lastResponse_ = QStringLiteral("Unable to open local file ") + localFileName_;
            statusCode_ = 550;
            CaptureError();
            CloseDataSocketQuietly();
            requestResult_ = 550;
            FinishRequest(550);
            return;
        }
    }

    if (passiveMode_ &&
        !PassiveConnect([this](TCustomWSocket*, std::uint16_t e) { DataSessionConnectedDownload(e); }, 550))
        return;

    ChangeState(fsWaitingReply);
    next_ = &TCustomFtpCli::DownloadFirstReply;
    replyPending_ = true;
    lastCommand_ = dataCommand;
    SendCommand(hostFileName_.isEmpty() ? dataCommand : dataCommand + QLatin1Char(' ') + hostFileName_);
}

void TCustomFtpCli::DownloadFirstReply()
{
    Display(QStringLiteral("< ") + lastResponse_);
    statusCode_ = ReplyCode(lastResponse_);
    if ((statusCode_ >= 150 && statusCode_ <= 159) || statusCode_ == 125) {
        next_ = &TCustomFtpCli::DownloadFinalReply;
        return;
    }
    replyPending_ = false;
    CaptureError();
    next_ = nullptr;
    CloseDataSocketQuietly();
    CloseLocalFile();
    resumeAt_ = 0;
    requestResult_ = statusCode_;
    FinishRequest(statusCode_);
}

void TCustomFtpCli::DownloadFinalReply()
{
    Display(QStringLiteral("< ") + lastResponse_);
    replyPending_ = false;
    statusCode_ = ReplyCode(lastResponse_);
    if (statusCode_ == 125 || statusCode_ == 226 || statusCode_ == 250) {
        finalReplyReceived_ = true;
        DownloadCheckCompletion();
        return;
    }
    CaptureError();
    CloseLocalFile();
    CloseDataSocketQuietly();
    Display(QStringLiteral("! RETR/LIST/NLST Failed"));
    requestResult_ = statusCode_;
    FinishRequest(statusCode_);
}

void TCustomFtpCli::DownloadCheckCompletion()
{
    if (!finalReplyReceived_ || !downloadDataClosed_)
        return;
    TransfertStats();
    resumeAt_ = 0;
    requestResult_ = dataError_;
    FinishRequest(dataError_);
}

void TCustomFtpCli::DataSessionAvailableDownload(std::uint16_t)
{
    TWSocket* data = dataSocket_;
    const TSocket h = data->Accept();
    data->Close();  // the listening socket
    data->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { DataSessionClosedDownload(e); };
    data->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) { DataAvailableDownload(e); };
    data->OnDataSent = nullptr;
    data->Dup(h);
    data->SetComponentOptions({wsoNoReceiveLoop});
    startTime_ = TickCount();
}

void TCustomFtpCli::DataSessionConnectedDownload(std::uint16_t error)
{
    TWSocket* data = dataSocket_;
    data->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { DataSessionClosedDownload(e); };
    data->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) { DataAvailableDownload(e); };
    data->OnDataSent = nullptr;
    startTime_ = TickCount();
    if (error != 0) {
        lastResponse_ = QStringLiteral("Unable to establish data connection, error #") + QString::number(error);
        statusCode_ = 550;
        CaptureError();
        data->Close();
        requestResult_ = 550;
        FinishRequest(550);
    }
}

void TCustomFtpCli::DataAvailableDownload(std::uint16_t)
{
    if (!Progress())
        return;
    char buffer[4096];
    TWSocket* data = dataSocket_;
    const int count = data->Receive(buffer, sizeof buffer);
    if (count > 0) {
        byteCount_ += count;
        if (localStream_ && localStream_->write(buffer, count) != count) {
            Display(QStringLiteral("! Error writing local file"));
            data->Shutdown(2);
        }
        if (displayFileFlag_) {
            // One piece per line; runs of CR and LF separate pieces.
            int start = 0;
            int i = 0;
            while (i < count) {
                if (buffer[i] == '\r' || buffer[i] == '\n') {
                    QString piece = QString::fromUtf8(buffer + start, i - start);
                    TriggerDisplayFile(piece);
                    while (i < count && (buffer[i] == '\r' || buffer[i] == '\n'))
                        ++i;
                    start = i;
                } else {
                    ++i;
                }
            }
            if (start < count) {
                QString piece = QString::fromUtf8(buffer + start, count - start);
                TriggerDisplayFile(piece);
            }
        }
    } else if (count < 0 && data->State() == wsConnected && data->LastError() != WSAEWOULDBLOCK) {
        Display(QStringLiteral("! Data: Receive error ") + QString::number(data->LastError()));
        data->Shutdown(2);
    }
}

void TCustomFtpCli::DataSessionClosedDownload(std::uint16_t error)
{
    CloseLocalFile();
    downloadDataClosed_ = true;
    dataError_ = error;
    DownloadCheckCompletion();
}

// --- uploads -----------------------------------------------------------------

void TCustomFtpCli::StartStoreStep() { StartUploadStep(ftpReqStore, false); }
void TCustomFtpCli::StartAppendStep() { StartUploadStep(ftpReqAppend, true); }

void TCustomFtpCli::StartUploadStep(TFtpRequest rqType, bool append)
{
    if (!controlConnected_)
        ReportError(QStringLiteral("STOR/APPE: not connected"));
    if (localFileName_.isEmpty())
        ReportError(QStringLiteral("LocalFileName empty"));
    if (!highLevelFlag_)
        requestType_ = rqType;
    append_ = append;
    finalReplyReceived_ = false;
    uploadDataClosed_ = false;
    requestDoneFlag_ = false;
    // In active mode the server may already have connected (see StartPort).
    uploadDataConnected_ = !passiveMode_ && uploadDataConnected_ && dataSocket_->State() == wsConnected;
    storeReplyReceived_ = false;
    startTime_ = 0;
    byteCount_ = 0;
    dataError_ = 0;

    bool cancel = false;
    TriggerReadyToTransmit(cancel);
    if (cancel) {
        errorMessage_ = QStringLiteral("426 Transmit cancelled by application");
        statusCode_ = 426;
        Display(QStringLiteral("! ") + errorMessage_);
        requestResult_ = 426;
        FinishRequest(426);
        return;
    }

    dataSocket_->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t e) { DataSessionAvailableUpload(e); };
    CloseLocalFile();
    try {
        OpenLocalForUpload();
    } catch (const Exception&) {
        CloseLocalFile();
        errorMessage_ = QStringLiteral("426 Unable to open local file ") + localFileName_;
        statusCode_ = 426;
        Display(QStringLiteral("! ") + errorMessage_);
        CloseDataSocketQuietly();
        requestResult_ = 426;
        FinishRequest(426);
        return;
    }

    if (passiveMode_) {
        // The command follows once the data connection is up. Until then the
        // request must not look ready (after a REST the state is StepReady).
        ChangeState(fsPassiveReady);
        PassiveConnect([this](TCustomWSocket*, std::uint16_t e) { DataSessionConnectedUpload(e); }, 426);
        return;
    }
    ChangeState(fsWaitingReply);
    next_ = &TCustomFtpCli::StoreReply;
    replyPending_ = true;
    lastCommand_ = append_ ? QStringLiteral("APPE") : QStringLiteral("STOR");
    SendCommand((append_ ? QStringLiteral("APPE ") : QStringLiteral("STOR ")) + hostFileName_);
}

void TCustomFtpCli::DataSessionConnectedUpload(std::uint16_t error)
{
    TWSocket* data = dataSocket_;
    data->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { DataSessionClosedUpload(e); };
    data->OnDataAvailable = nullptr;
    data->OnDataSent = nullptr;
    uploadDataConnected_ = true;
    startTime_ = TickCount();
    if (error != 0) {
        lastResponse_ = QStringLiteral("Unable to establish data connection, error #") + QString::number(error);
        statusCode_ = 550;
        CaptureError();
        data->Close();
        requestResult_ = 550;
        FinishRequest(550);
        return;
    }
    ChangeState(fsWaitingReply);
    next_ = &TCustomFtpCli::StoreReply;
    replyPending_ = true;
    lastCommand_ = append_ ? QStringLiteral("APPE") : QStringLiteral("STOR");
    SendCommand((append_ ? QStringLiteral("APPE ") : QStringLiteral("STOR ")) + hostFileName_);
}

void TCustomFtpCli::DataSessionAvailableUpload(std::uint16_t)
{
    TWSocket* data = dataSocket_;
    const TSocket h = data->Accept();
    data->Close();  // the listening socket
    data->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { DataSessionClosedUpload(e); };
    data->OnDataAvailable = [](TCustomWSocket* s, std::uint16_t) {
        char discard[2048];
        s->Receive(discard, sizeof discard);
    };
    data->OnDataSent = [this](TCustomWSocket*, std::uint16_t e) { DataSentUpload(e); };
    data->Dup(h);
    data->SetComponentOptions({wsoNoReceiveLoop});
    data->SetLingerOnOff(wsLingerOff);
    data->SetLingerTimeout(10);
    data->ApplyLinger();
    uploadDataConnected_ = true;
    if (storeReplyReceived_ && startTime_ == 0)
        platform::PostMessage(window_->Handle(), WM_FTP_SENDDATA, 0, 0);
}

void TCustomFtpCli::StoreReply()
{
    Display(QStringLiteral("< ") + lastResponse_);
    statusCode_ = ReplyCode(lastResponse_);
    if (statusCode_ == 150 || statusCode_ == 125) {
        storeReplyReceived_ = true;
        next_ = &TCustomFtpCli::StoreFinalReply;
        if (passiveMode_) {
            dataSocket_->OnDataSent = [this](TCustomWSocket*, std::uint16_t e) { DataSentUpload(e); };
            DataSentUpload(0);
        } else if (uploadDataConnected_ && startTime_ == 0) {
            platform::PostMessage(window_->Handle(), WM_FTP_SENDDATA, 0, 0);
        }
        return;
    }
    replyPending_ = false;
    CaptureError();
    next_ = nullptr;
    CloseDataSocketQuietly();
    CloseLocalFile();
    resumeAt_ = 0;
    requestResult_ = statusCode_;
    FinishRequest(statusCode_);
}

void TCustomFtpCli::DataSentUpload(std::uint16_t error)
{
    if (!localStream_ || !Progress())
        return;
    TWSocket* data = dataSocket_;
    if (error != 0) {
        Display(QStringLiteral("! Error #") + QString::number(error) + QStringLiteral(" sending data"));
        data->Close();
        return;
    }
    if (eofReached_ || !storeReplyReceived_ || !uploadDataConnected_)
        return;
    // One block per data-sent notice: the next block goes once this one has
    // left the send queue.
    const qint64 count = localStream_->read(sendBuffer_, sizeof sendBuffer_);
    if (count > 0) {
        byteCount_ += count;
        data->Send(sendBuffer_, static_cast<int>(count));
    } else if (count == 0) {
        // Everything has left the send queue and the data connection closes
        // gracefully (linger off), so the close can follow at once.
        eofReached_ = true;
        data->CloseLater();
    } else {
        Display(QStringLiteral("! Error reading file"));
        data->Close();
    }
}

void TCustomFtpCli::StoreFinalReply()
{
    Display(QStringLiteral("< ") + lastResponse_);
    replyPending_ = false;
    statusCode_ = ReplyCode(lastResponse_);
    if (statusCode_ == 226 || statusCode_ == 250) {
        finalReplyReceived_ = true;
        UploadCheckCompletion();
        return;
    }
    CaptureError();
    CloseLocalFile();
    CloseDataSocketQuietly();
    Display(QStringLiteral("! STOR Failed"));
    requestResult_ = statusCode_;
    FinishRequest(statusCode_);
}

void TCustomFtpCli::DataSessionClosedUpload(std::uint16_t error)
{
    CloseLocalFile();
    uploadDataClosed_ = true;
    dataError_ = error;
    UploadCheckCompletion();
}

void TCustomFtpCli::UploadCheckCompletion()
{
    if (!finalReplyReceived_ || !uploadDataClosed_)
        return;
    TransfertStats();
    resumeAt_ = 0;
    requestResult_ = dataError_;
    FinishRequest(dataError_);
}

// --- progress and statistics -----------------------------------------------------

bool TCustomFtpCli::Progress()
{
    bool abort = false;
    if (OnProgress)
        OnProgress(this, byteCount_ + resumeAt_, abort);
    if (abort) {
        Display(QStringLiteral("! Abort requested"));
        dataSocket_->Close();
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
    try {
        (this->*start)();
    } catch (...) {
        return false;  // never started: no request-done follows
    }
    try {
        return WaitForReady();
    } catch (...) {
        return false;
    }
}

bool TFtpClient::WaitForReady()
{
    deadline_ = TickCount() + qint64(timeout_) * 1000;
    // Bounds each blocking pump so that the deadline and the terminating
    // flag are seen without spinning.
    QTimer wake;
    wake.start(50);
    for (;;) {
        if (state_ == fsReady || state_ == fsStepReady) {
            // The request-done message is posted: let it run before returning.
            for (int i = 0; postedDone_ > 0 && i < 100; ++i)
                platform::ProcessMessages();
            return requestResult_ == 0;
        }
        if (platform::ApplicationTerminated() || (timeout_ > 0 && TickCount() > deadline_)) {
            const bool pending = !requestDoneFlag_;
            // A timed-out single command is a failure, not a success.
            if (pending && !highLevelFlag_ && requestResult_ == 0)
                requestResult_ = 426;
            ForceClose();
            // With the control connection already closed nothing else ends it.
            if (pending && !requestDoneFlag_) {
                continuation_ = nullptr;
                pendingSteps_ = 0;
                FinishRequest(426);
            }
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
