// The data connection and the transfers over it.
#include "ftp/FtpCliPrivate.h"

#include <QFile>

using namespace ftp::detail;

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
        dataCommand_ = (request_.pending & StepBit(stStore))    ? QStringLiteral("STOR")
                       : (request_.pending & StepBit(stAppend)) ? QStringLiteral("APPE")
                                                                : QString();
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

void TCustomFtpCli::PassiveConnect()
{
    const int failCode = Uploading() ? 426 : 550;
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

void TCustomFtpCli::DataTlsDone(std::uint16_t error)
{
    if (error == 0) {
        if (Uploading() && (state_ == ClientState::Moving || state_ == ClientState::ReplyFirst))
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
    // Opened once: a file already open, or one that could not be, stays so.
    if (Uploading() || displayFileFlag_ || localStream_ || localError_ != 0)
        return true;
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
    if (!request_.InSequence())
        request_.type = rqType;
    dataCommand_ = command;
    requestDoneFlag_ = false;
    byteCount_ = 0;
    transferSize_ = -1;
    unsoundDataEnd_ = false;
    dataError_ = 0;
    localError_ = 0;
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
    SendCommand(Uploading() || !hostFileName_.isEmpty() ? dataCommand_ + QLatin1Char(' ') + hostFileName_ : dataCommand_);
}

bool TCustomFtpCli::Uploading() const
{
    return dataCommand_ == QLatin1String("STOR") || dataCommand_ == QLatin1String("APPE");
}

void TCustomFtpCli::AttachDataHandlers()
{
    TWSocket* data = dataSocket_;
    data->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { SocketEvent([&] { DataSessionClosed(e); }); };
    if (Uploading()) {
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
    if (Uploading()) {
        data->SetLingerOnOff(wsLingerOff);
        data->SetLingerTimeout(10);
        data->ApplyLinger();
    }
    startTime_ = TickCount();
    if (state_ == ClientState::Moving || state_ == ClientState::ReplyFirst) {
        if (security_ != ftpPlain)
            StartDataTls();
        else if (Uploading())
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
    if (!Uploading() && dataCommand_ == QLatin1String("RETR"))
        transferSize_ = ftp::AnnouncedSize(lastResponse_);
    if (state_ != ClientState::TransferSent) {
        // The data connection has already ended: a download without bytes
        // still leaves its (empty) file.
        SetState(ClientState::DataFirst);
        if (!Uploading() && EnsureDownloadFile() && !CloseLocalFile())
            RecordLocalFailure(426, QStringLiteral("426 Error writing local file ") + localFileName_);
        return;
    }
    SetState(ClientState::Moving);
    if (!Uploading())
        EnsureDownloadFile();
    if (security_ != ftpPlain)
        StartDataTls();  // an upload's first block follows the handshake
    else if (Uploading() && dataSocket_->State() == wsConnected)
        PostSendData();
}

void TCustomFtpCli::TransferFinalReply()
{
    Display(QStringLiteral("< ") + lastResponse_);
    statusCode_ = ftp::ReplyCode(lastResponse_);
    if (statusCode_ == 226 || statusCode_ == 250 || (!Uploading() && statusCode_ == 125)) {
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
    Display(Uploading() ? QStringLiteral("! STOR Failed") : QStringLiteral("! RETR/LIST/NLST Failed"));
    // A local cause, when there is one, says more than the server's echo of it.
    FailRequest(localError_ != 0 ? localError_ : statusCode_, lastResponse_);
}

void TCustomFtpCli::DataSessionClosed(std::uint16_t error)
{
    if (!InTransfer(state_)) {
        CloseLocalFile();
        return;  // closed by the end of a request
    }
    // An upload's file is closed once its last byte went out. Over TLS the
    // end says more while the connection is still there; the size it is
    // checked against comes with the 150 reply, maybe later.
    unsoundDataEnd_ = Uploading() ? localStream_ != nullptr
                                  : dataSocket_->TlsEstablished() && !dataSocket_->TlsCloseNoticeReceived();
    if (!CloseLocalFile())
        RecordLocalFailure(426, QStringLiteral("426 Error writing local file ") + localFileName_);
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
    if (Uploading() && unsoundDataEnd_) {
        RecordLocalFailure(426, QStringLiteral("426 Data connection closed by the server after %1 of %2 bytes")
                                    .arg(byteCount_)
                                    .arg(transferSize_));
    }
    // A bare end of a TLS stream can be forged by anyone on the path; only
    // the size the server announced can vouch for what arrived.
    if (!Uploading() && unsoundDataEnd_ && transferSize_ != byteCount_ && transferSize_ != byteCount_ + resumeAt_) {
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
    if (!sendBuffer_)
        sendBuffer_ = std::make_unique<char[]>(kUploadBlockSize);
    const qint64 count = localStream_->read(sendBuffer_.get(), kUploadBlockSize);
    if (count > 0) {
        byteCount_ += count;
        int sent = 0;
        SocketCall(this, [&] { sent = data->Send(sendBuffer_.get(), static_cast<int>(count)); });
        if (sent < 0)
            cut(QStringLiteral("Error sending data"), QStringLiteral("426 Error sending data"));
    } else if (count == 0) {
        // Everything has left the send queue and the data connection closes
        // gracefully (linger off), so the close can follow at once.
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
