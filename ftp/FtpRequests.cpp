// Requests as data: single commands, the steps of high-level requests, and
// the judgement of their replies.
#include "ftp/FtpCliPrivate.h"

#include <QFile>
#include <QFileInfo>

using namespace ftp::detail;

namespace {

// Steps of a high-level request in the order they run, whatever order the
// caller listed them in.
constexpr TFtpStep kStepOrder[] = {
    stOpen, stUser, stPass, stPbsz, stProt, stCwd, stCdup, stType, stPort, stRest,
    stRetrieve, stStore, stAppend, stListLong, stListNames, stSyst, stMkd, stRmd,
    stRenFrom, stRenTo, stSize, stDele, stPwd,  stAbor,  stQuote, stQuit,
};

}  // namespace

void TCustomFtpCli::IssueCommand(TFtpRequest rqType, const QString& cmd, std::initializer_list<int> okCodes)
{
    if (ftp::HasLineBreakOrNul(cmd))
        ReportError(QStringLiteral("Command refused: an argument holds a line break or NUL character"));
    if (cmd != QLatin1String("ABOR") && cmd != QLatin1String("STAT") && cmd != QLatin1String("QUIT"))
        CheckCanIssue();
    // Once TLS was asked for, no name, password or file goes in clear.
    if (security_ != ftpPlain && !ControlSecured() && cmd != QLatin1String("QUIT"))
        ReportError(QStringLiteral("Command refused: the control connection is not secured by TLS"));
    if (!request_.InSequence())
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
    if (error == 0 && request_.InSequence()) {
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
    if (statusCodeSave_ >= 0) {
        lastResponse_ = lastResponseSave_;
        statusCode_ = statusCodeSave_;
        statusCodeSave_ = -1;
    }
    request_.pending = 0;
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
    request_.pending = steps | Request::kEndMark;
    request_.current = stNone;
    request_.result = 0;
    lastResponse_.clear();
    errorMessage_.clear();
    try {
        NextStep();
    } catch (const FtpClientGone&) {
        throw;
    } catch (const Exception&) {
        // The first step refused to start: nothing runs, the client stays ready.
        StopSequence();
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
    if (requestResult_ == 0)
        CollectResults();

    for (TFtpStep step : kStepOrder) {
        if (!(request_.pending & StepBit(step)))
            continue;
        request_.pending &= ~StepBit(step);
        if (!PrepareStep(step))
            continue;
        request_.current = step;
        StartStep(step);
        return;
    }

    StopSequence();
    requestDoneFlag_ = false;
    FinishRequest(request_.result);
}

bool TCustomFtpCli::PrepareStep(TFtpStep step)
{
    switch (step) {
    case stPass:
        // A 230 answer to USER logs in without a password.
        return !(request_.current == stUser && statusCode_ != 331);
    case stCwd: return !hostDirName_.isEmpty();
    case stPbsz:
    case stProt: return security_ != ftpPlain;
    case stRetrieve:
        if (!(request_.current == stRest && resumeAt_ >= 0 && statusCode_ == 350))
            resumeAt_ = 0;
        return true;
    case stQuit:
        lastResponseSave_ = lastResponse_;
        statusCodeSave_ = statusCode_;
        return true;
    default: return true;
    }
}

void TCustomFtpCli::StartStep(TFtpStep step)
{
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
        if (!request_.InSequence())
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
    if (!request_.InSequence())
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
