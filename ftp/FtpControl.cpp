// The control connection: connect, greeting, replies, TLS, close.
#include "ftp/FtpCliPrivate.h"

using namespace ftp::detail;

void TCustomFtpCli::SendCommand(QString cmd)
{
    Fire(this, OnCommand, cmd);
    Display(QStringLiteral("> ") + cmd);
    // On a closed connection nothing is sent: the request ends by the close,
    // a forced close or the blocking wait's time-out.
    if (controlSocket_ && controlSocket_->State() == wsConnected)
        SocketCall(this, [&] { controlSocket_->SendText(cmd + QStringLiteral("\r\n")); });
}

void TCustomFtpCli::StartOpen()
{
    CheckReady();
    if (controlConnected_)
        ReportError(QStringLiteral("FTP component already connected"));
    if (!request_.InSequence()) {
        request_.type = ftpReqOpen;
        errorMessage_.clear();
    }
    requestDoneFlag_ = false;
    receiveBuffer_.Clear();
    replyTracker_.Reset();
    requestResult_ = 0;
    dnsResult_.clear();
    sshIdentification_.clear();
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
        StopSequence();
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
        else if (state_ == ClientState::Greeting && replyTracker_.OpenCode().isEmpty() &&
                 lastResponse_.startsWith(QLatin1String("SSH-")))
            SshGreeting(stop);
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

// An SSH server speaks first as well, and then waits for the client's own
// line: without this the open would wait out its time limit.
void TCustomFtpCli::SshGreeting(bool& stop)
{
    sshIdentification_ = lastResponse_;
    SetFailure(500, QStringLiteral("500 The server speaks SSH, not FTP: ") + sshIdentification_);
    SocketCall(this, [&] { controlSocket_->Close(); });
    stop = true;
}

void TCustomFtpCli::ControlSessionClosed(std::uint16_t error)
{
    // A clean close while the greeting or a command's final reply (other than
    // QUIT's) is still awaited is a failure, not a success.
    // The same holds while a passive transfer still connects its data channel,
    // and for a transfer whose data connection has not ended: its 226 does
    // not make the bytes still to come arrive.
    const TFtpClientState was = PublicState(state_);
    const bool cutShort = error == 0 && requestResult_ == 0 && !requestDoneFlag_ &&
                          (was == fsWaitingGreeting || was == fsPassiveReady || state_ == ClientState::ReplyFirst ||
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
