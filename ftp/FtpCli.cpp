// The client's life, properties, state and notification window.
#include "ftp/FtpCliPrivate.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>

using namespace ftp::detail;

namespace {

// State changes: QT_LOGGING_RULES="tarvo.ftp.phase.debug=true".
Q_LOGGING_CATEGORY(lcFtpState, "tarvo.ftp.phase", QtWarningMsg)

}  // namespace

// ---------------------------------------------------------------------------
// Construction

TCustomFtpCli::TCustomFtpCli(QObject* owner) : QObject(owner)
{
    window_ = std::make_unique<platform::NotifyWindow>([this](platform::Message& m) { WndProc(m); });
    controlSocket_ = new TWSocket(this);
    dataSocket_ = new TWSocket(this);
    dataSocket_->SetBlockSize(kUploadBlockSize);
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
    if (!(request_.InSequence() && PublicState(state_) == fsPassiveReady))
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
