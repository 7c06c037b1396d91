#include "upload/UploadSequence.h"

#include "net/WSocketTls.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryFile>

namespace {

bool LookupError(std::uint16_t error)
{
    return error == WSAHOST_NOT_FOUND || error == WSANO_DATA;
}

// A reply to the log-in that asks for encryption rather than refusing the
// user: 534, or words about TLS, whatever the code.
bool AsksForEncryption(std::uint16_t error, const QString& message)
{
    static const QRegularExpression words(QStringLiteral("\\b(TLS|SSL|AUTH|encrypt\\w*|secur\\w*)\\b"),
                                          QRegularExpression::CaseInsensitiveOption);
    return error == 534 || (error >= 500 && error < 600 && words.match(message).hasMatch());
}

// Replies to STOR that refuse the file, not the data connection.
bool RefusesFile(std::uint16_t error)
{
    return error == 550 || error == 553 || error == 552 || error == 532 || error == 450 || error == 452;
}
const QString kRenameRefused = QStringLiteral(
    "The FTP server cannot rename files: pictures are stored directly until the website update stops");

// A permanent negative reply on a connection still open: the server will
// not do it, and asking again this run is pointless. A transient one, or a
// lost connection, is an ordinary failure of the sequence.
bool Refusal(std::uint16_t error, const TFtpClient& client)
{
    return error >= 500 && error < 600 && client.IsConnected();
}

// The levels of a folder path: "/a/b/" gives "/a" and "b".
QStringList FolderLevels(const QString& folder)
{
    QStringList levels = folder.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!levels.isEmpty() && folder.startsWith(QLatin1Char('/')))
        levels.first().prepend(QLatin1Char('/'));
    return levels;
}
}  // namespace

void ApplyFtpAccount(TFtpClient& client, const settings::FtpAccount& account)
{
    client.SetHostName(account.host);
    // A blank port is the FTP port.
    client.SetPort(account.port.isEmpty() ? QStringLiteral("21") : account.port);
    client.SetTimeout(account.TimeoutSeconds());
    client.SetUserName(account.userId);
    client.SetPassWord(account.password);
    // The client itself keeps passive mode on for every connection through a proxy.
    client.SetPassiveMode(account.passiveMode);
    client.SetSecurity(static_cast<TFtpSecurity>(account.tls.mode));
    client.SetTlsFingerprint(account.tls.fingerprint);
}

TUploadSequence::TUploadSequence(TFtpClient& client, QObject* parent) : TUploadTransport(parent), client_(client)
{
    watchdog_.setSingleShot(true);
    connect(&watchdog_, &QTimer::timeout, this, [this] {
        if (step_ != Step::Quit) {
            const TUploadStepKind kind = PendingKind();
            QString detail = QStringLiteral("No answer within %1 s").arg(TimeoutMs(client_.Timeout()) / 1000);
            if (kind == TUploadStepKind::Connect && client_.ControlSocket()->State() == wsConnected)
                detail += QStringLiteral(": the connection was made, but the server sent no greeting");
            if (Testing() && step_ == Step::Store && !cleaningUp_) {
                StoreTimedOut(kind, detail);
                return;
            }
            Report(kind, false, detail, TUploadFault::NoAnswer);
        }
        TimedOut();
    });
    // The log-in's and the store's progress, for the steps a test lists.
    client_.OnStateChange = [this](TCustomFtpCli*) { StateChanged(); };
    // Data moving on the connection is progress: the limit starts again.
    client_.OnProgress = [this](TCustomFtpCli*, qint64, bool&) {
        if (watchdog_.isActive())
            watchdog_.start();
    };
}

TUploadSequence::~TUploadSequence()
{
    client_.OnProgress = nullptr;
    client_.OnStateChange = nullptr;
}

int TUploadTransport::TimeoutMs(int seconds)
{
    // At most an hour: the milliseconds always fit the timer's int.
    return settings::EffectiveFtpTimeout(seconds) * 1000;
}

void TUploadTransport::BeginJob()
{
    result_ = {};
    reported_ = 0;
}

bool TUploadTransport::ReportFailure(const QString& message)
{
    if (OnFailure)
        OnFailure(message);
    if (!result_.text.isEmpty())
        return false;
    result_.text = message;
    return true;
}

void TUploadTransport::ReportFiles(std::size_t upTo, std::size_t fileCount, bool ok)
{
    while (reported_ < upTo && reported_ < fileCount) {
        const std::size_t file = reported_++;
        if (OnFileDone)
            OnFileDone(file, ok);
    }
}

QString TUploadTransport::OtherProtocolText(bool sftpJob, const QString& port, const QString& firstLine)
{
    if (sftpJob)
        return QStringLiteral("Port %1 speaks FTP, not SFTP (it greeted with \"%2\"): choose FTP as the protocol, "
                              "or the port of the server's SSH service")
            .arg(port, firstLine);
    return QStringLiteral("Port %1 speaks SSH, not FTP (it greeted with \"%2\"): choose SFTP as the protocol")
        .arg(port, firstLine);
}

const QString& TUploadSequence::RemoteName() const
{
    return job_.files[file_].remoteName;
}

bool TUploadSequence::Start(const TUploadJob& job)
{
    if (Running())
        return false;
    job_ = job;
    quitOnly_ = false;
    BeginJob();
    levels_ = FolderLevels(job_.account.remoteFolder);
    loggingIn_ = resolved_ = greeted_ = secureReported_ = madeLevel_ = false;
    storeStage_ = 0;
    otherModeTried_ = cleaningUp_ = reloginDue_ = false;
    relogin_ = Relogin::None;
    firstModeError_.clear();
    // A check and a test judge a new connection.
    const bool check = job_.purpose == TUploadPurpose::Check || Testing();
    if (Testing()) {
        job_.safe = true;
        testFile_ = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/tarvo-test-XXXXXX.txt"));
        if (!testFile_->open() || testFile_->write(kConnectionTestContent) != kConnectionTestContent.size() || !testFile_->flush()) {
            Failed(QStringLiteral("Unable to write the test file ") + testFile_->fileName());
            FinishLater();
            return true;
        }
        job_.files = {{testFile_->fileName(), kConnectionTestName}};
    }
    if (client_.IsConnected() && (check || !lastOk_ || !(loggedIn_ == job_.account))) {
        // Left open by a sequence that failed before its QUIT, or logged in
        // with an account changed since: start afresh rather than skip every
        // step until the server drops it. A check judges a new connection.
        client_.ForceClose();
    }
    if (client_.IsConnected()) {
        result_.connected = true;
        result_.secured = client_.ControlSocket()->TlsEstablished();
        result_.certificate = client_.TlsCertificate();
        Issue(Step::Type);
    } else {
        Issue(job_.purpose == TUploadPurpose::Check ? Step::Open : Step::Login);
    }
    return true;
}

bool TUploadSequence::StartQuit()
{
    if (Running() || !lastOk_ || !client_.IsConnected())
        return false;
    quitOnly_ = true;
    BeginJob();
    job_.files.clear();
    Issue(Step::Quit);
    return true;
}

void TUploadSequence::Issue(Step step)
{
    step_ = step;
    void (TCustomFtpCli::*start)() = nullptr;
    switch (step) {
    case Step::Login:
    case Step::Open:
        ApplyFtpAccount(client_, job_.account);
        if (relogin_ == Relogin::OtherMode)
            client_.SetPassiveMode(!job_.account.passiveMode);
        loggedIn_ = job_.account;
        inFolder_ = false;
        loggingIn_ = true;
        start = step == Step::Login ? &TCustomFtpCli::StartLogin : &TCustomFtpCli::StartOpen;
        break;
    case Step::Type:
        start = &TCustomFtpCli::StartTypeBinary;
        break;
    case Step::Folder:
        client_.SetHostDirName(job_.account.remoteFolder);
        start = &TCustomFtpCli::StartCwd;
        break;
    case Step::FolderLevel:
    case Step::EnterLevel:
        client_.SetHostDirName(levels_[level_]);
        start = &TCustomFtpCli::StartCwd;
        break;
    case Step::MakeLevel:
        client_.SetHostFileName(levels_[level_]);
        start = &TCustomFtpCli::StartMkd;
        break;
    case Step::Store:
        storeStage_ = 0;
        storedTemporary_ = Renaming();
        client_.SetHostFileName(storedTemporary_ ? TemporaryName(RemoteName()) : RemoteName());
        client_.SetLocalFileName(job_.files[file_].localPath);
        start = &TCustomFtpCli::StartStore;
        break;
    case Step::RenameFrom:
    case Step::RenameFromAgain:
        client_.SetHostFileName(TemporaryName(RemoteName()));
        start = &TCustomFtpCli::StartRenFrom;
        break;
    case Step::RenameTo:
    case Step::RenameToAgain:
    case Step::RestoreTo:
        // The client takes the new name from LocalFileName.
        client_.SetLocalFileName(RemoteName());
        start = &TCustomFtpCli::StartRenTo;
        break;
    case Step::RestoreFrom:
        client_.SetHostFileName(AsideName(RemoteName()));
        start = &TCustomFtpCli::StartRenFrom;
        break;
    case Step::AsideFrom:
        client_.SetHostFileName(RemoteName());
        start = &TCustomFtpCli::StartRenFrom;
        break;
    case Step::AsideTo:
        // Counted from the moment it may happen: a cut before the answer leaves it unknown.
        SetAside(true);
        client_.SetLocalFileName(AsideName(RemoteName()));
        start = &TCustomFtpCli::StartRenTo;
        break;
    case Step::DropAside:
    case Step::DropStaleAside:
    case Step::DeleteAside:
        client_.SetHostFileName(AsideName(RemoteName()));
        start = &TCustomFtpCli::StartDele;
        break;
    case Step::DeleteOld:
        client_.SetHostFileName(RemoteName());
        start = &TCustomFtpCli::StartDele;
        break;
    case Step::DeleteTemporary:
        client_.SetHostFileName(TemporaryName(RemoteName()));
        start = &TCustomFtpCli::StartDele;
        break;
    case Step::Remove:
        client_.SetHostFileName(RemoteName());
        start = &TCustomFtpCli::StartDele;
        break;
    case Step::Quit:
        start = &TCustomFtpCli::StartQuit;
        break;
    case Step::Idle:
    case Step::Abandoning:
        return;
    }
    try {
        (client_.*start)();
    } catch (const Exception& e) {
        // Refused at its start (no host name, a client not ready): no
        // request-done will follow.
        if (loggingIn_)
            Report(TUploadStepKind::Resolve, false, e.Message(), TUploadFault::Other);
        Failed(e.Message());
        FinishLater();
        return;
    }
    watchdog_.start(TimeoutMs(client_.Timeout()));
}

bool TUploadSequence::RequestDone(std::uint16_t error)
{
    if (step_ == Step::Abandoning)
        return false;
    if (!Running())
        return true;
    watchdog_.stop();
    switch (step_) {
    case Step::RestoreFrom:
    case Step::RestoreTo:
    case Step::DropAside:
    case Step::RenameFrom:
    case Step::RenameTo:
    case Step::AsideFrom:
    case Step::AsideTo:
    case Step::DropStaleAside:
    case Step::DeleteOld:
    case Step::RenameFromAgain:
    case Step::RenameToAgain:
    case Step::DeleteAside:
    case Step::DeleteTemporary:
        refused_ = error != 0 && Refusal(error, client_);
        break;
    case Step::Folder:
        // Walked level by level instead, when there are levels to walk.
        refused_ = error != 0 && Refusal(error, client_) && !levels_.isEmpty();
        break;
    case Step::FolderLevel:
        refused_ = error != 0 && Refusal(error, client_);  // missing: made next
        break;
    case Step::Login:
    case Step::Open: {
        const TWSocket* control = client_.ControlSocket();
        result_.connected = error == 0;
        result_.secured = error == 0 && control->TlsEstablished();
        result_.tlsError = control->TlsErrorCode();
        result_.certificate = client_.TlsCertificate();
        refused_ = false;
        break;
    }
    default:
        refused_ = false;
        break;
    }
    // Only 0 is success: a reply the client did not accept, whatever its
    // code, means the request did not do what was asked.
    lastOk_ = error == 0;
    if (error != 0 && !refused_) {
        const QString& text = client_.ErrorMessage();
        QString message = text.isEmpty() ? QStringLiteral("Error %1").arg(error) : text;
        if (loggingIn_ && !client_.SshIdentification().isEmpty())
            message = OtherProtocolText(false, client_.Port(), client_.SshIdentification());
        if (StepFailed(error, message))
            Failed(message);
        else
            refused_ = true;
    }
    QMetaObject::invokeMethod(this, [this] { Advance(); }, Qt::QueuedConnection);
    return !refused_;
}

void TUploadSequence::Advance()
{
    if (step_ == Step::Idle || step_ == Step::Abandoning)
        return;
    if (refused_) {
        refused_ = false;
        AdvanceRefused();
        return;
    }
    if (!lastOk_ || step_ == Step::Quit) {
        if (step_ == Step::Quit || !CleanUp())
            Finish();
        return;
    }
    if (cleaningUp_) {
        Report(TUploadStepKind::Delete, true, TemporaryName(RemoteName()) + QStringLiteral(" deleted"));
        Issue(Step::Quit);
        return;
    }
    switch (step_) {
    case Step::Login:
        loggingIn_ = false;
        Issue(Step::Type);
        break;
    case Step::Open:
        loggingIn_ = false;
        Issue(Step::Quit);
        break;
    case Step::Type:
        if (job_.purpose == TUploadPurpose::Test && relogin_ == Relogin::None)
            Report(TUploadStepKind::Login, true, QStringLiteral("Logged in as ") + job_.account.userId);
        AfterType();
        break;
    case Step::Folder:
        inFolder_ = true;
        FolderReached();
        StartStores();
        break;
    case Step::FolderLevel:
    case Step::EnterLevel:
        NextLevel();
        break;
    case Step::MakeLevel:
        madeLevel_ = true;
        Issue(Step::EnterLevel);
        break;
    case Step::Store:
        StoreDone();
        if (storedTemporary_)
            Issue(Step::RenameFrom);
        else if (asideStands_)  // stored directly after all
            Issue(Step::DeleteAside);
        else
            NextFile();
        break;
    case Step::RestoreFrom:
        Issue(Step::RestoreTo);
        break;
    case Step::RestoreTo:  // put back
    case Step::DropAside:
    case Step::DeleteAside:
        AsideGone();
        break;
    case Step::RenameFrom:
        Issue(Step::RenameTo);
        break;
    case Step::AsideFrom:
        Issue(Step::AsideTo);
        break;
    case Step::AsideTo:
        asideStands_ = true;
        Issue(Step::RenameFromAgain);
        break;
    case Step::DropStaleAside:
        SetAside(false);
        Issue(Step::AsideFrom);
        break;
    case Step::DeleteOld:
        Issue(Step::RenameFromAgain);
        break;
    case Step::RenameFromAgain:
        Issue(Step::RenameToAgain);
        break;
    case Step::DeleteTemporary:
        if (Testing()) {
            Report(TUploadStepKind::Delete, true, TemporaryName(RemoteName()) + QStringLiteral(" deleted"));
            Issue(Step::Quit);
            break;
        }
        Issue(Step::Store);
        break;
    case Step::Remove:
        Report(TUploadStepKind::Delete, true, RemoteName() + QStringLiteral(" deleted"));
        NextFile();
        break;
    default:  // RenameTo, RenameToAgain
        Published();
        break;
    }
}

void TUploadSequence::Published()
{
    if (asideStands_) {
        Issue(Step::DeleteAside);
        return;
    }
    if (Testing()) {
        Report(TUploadStepKind::Rename, true, TemporaryName(RemoteName()) + QStringLiteral(" renamed to ") + RemoteName());
        Issue(Step::Remove);
        return;
    }
    NextFile();
}

void TUploadSequence::AdvanceRefused()
{
    switch (step_) {
    case Step::Folder:
        level_ = 0;
        Issue(Step::FolderLevel);
        break;
    case Step::FolderLevel:
        Issue(Step::MakeLevel);
        break;
    case Step::RestoreFrom:  // nothing aside
    case Step::DropAside:
    case Step::DeleteAside:
        // Not allowed to delete: asking again at every job would not help.
        // An aside left in the way is met again when the next one is set aside.
        AsideGone();
        break;
    case Step::RestoreTo:  // the real one is there: the old one goes
        Issue(Step::DropAside);
        break;
    case Step::RenameTo:
        // Most likely the real name exists and the server will not replace
        // it. A test's own file may simply go.
        Issue(Testing() ? Step::DeleteOld : Step::AsideFrom);
        break;
    case Step::AsideFrom:  // no real one to set aside
        Issue(Step::RenameFromAgain);
        break;
    case Step::AsideTo:
        // Most likely an earlier aside in the way: deleted once, then again.
        if (!asideRetried_) {
            asideRetried_ = true;
            Issue(Step::DropStaleAside);
        } else {
            Issue(Step::DeleteOld);
        }
        break;
    case Step::DropStaleAside:
        Issue(Step::DeleteOld);
        break;
    case Step::DeleteOld:
        // Nothing to delete, or not allowed: the second rename decides.
        Issue(Step::RenameFromAgain);
        break;
    case Step::DeleteTemporary:
        if (Testing()) {
            // After a broken store there may be nothing to delete.
            if (!cleanupAfterStore_)
                Report(TUploadStepKind::Delete, false,
                       client_.ErrorMessage() + QStringLiteral(": the file ") + TemporaryName(RemoteName()) +
                           QStringLiteral(" stays on the server"),
                       TUploadFault::Other);
            Issue(Step::Quit);
            break;
        }
        // A leftover the next run's store overwrites; the direct store goes on.
        Issue(Step::Store);
        break;
    case Step::Store:
        // The data connection failed in one mode: the other once.
        client_.SetPassiveMode(!client_.PassiveMode());
        Issue(Step::Store);
        break;
    default:  // RenameFrom, RenameFromAgain, RenameToAgain
        GiveUpRenaming();
        break;
    }
}

void TUploadSequence::GiveUpRenaming()
{
    if (Testing()) {
        // Only a finding: the update's pictures would be stored directly.
        Finding(TUploadStepKind::Rename, client_.ErrorMessage(), TUploadFault::RenameRefused);
        Issue(Step::DeleteTemporary);
        return;
    }
    renameRefused_ = true;
    if (OnNote)
        OnNote(kRenameRefused);
    Issue(Step::DeleteTemporary);
}

void TUploadSequence::AfterType()
{
    // A check job stays where the login starts.
    if (job_.purpose == TUploadPurpose::Check || job_.account.remoteFolder.isEmpty() || inFolder_) {
        FolderReached();
        StartStores();
    }
    else
        Issue(Step::Folder);
}

void TUploadSequence::NextLevel()
{
    if (++level_ < levels_.size()) {
        Issue(Step::FolderLevel);
        return;
    }
    inFolder_ = true;
    FolderReached();
    StartStores();
}

void TUploadSequence::StartStores()
{
    file_ = 0;
    if (relogin_ == Relogin::CleanUp) {
        cleaningUp_ = cleanupAfterStore_ = true;
        Issue(Step::DeleteTemporary);
        return;
    }
    CheckAsides();
}

void TUploadSequence::CheckAsides()
{
    while (file_ < job_.files.size() && !asides_.contains(AsideKey()))
        ++file_;
    if (file_ < job_.files.size()) {
        Issue(Step::RestoreFrom);
        return;
    }
    file_ = 0;
    asideStands_ = asideRetried_ = false;
    Issue(job_.files.empty() ? Step::Quit : Step::Store);
}

QString TUploadSequence::AsideKey() const
{
    const settings::FtpAccount& a = job_.account;
    return QStringList{a.host, a.port, a.userId, a.remoteFolder, AsideName(RemoteName())}.join(QLatin1Char('\n'));
}

void TUploadSequence::SetAside(bool mayStand)
{
    if (mayStand)
        asides_.insert(AsideKey());
    else
        asides_.remove(AsideKey());
}

void TUploadSequence::AsideGone()
{
    SetAside(false);
    if (step_ == Step::DeleteAside) {
        NextFile();
        return;
    }
    ++file_;
    CheckAsides();
}

void TUploadSequence::NextFile()
{
    ReportFiles(file_ + 1, job_.files.size(), true);
    asideStands_ = asideRetried_ = false;
    if (++file_ < job_.files.size())
        Issue(Step::Store);
    else
        Issue(Step::Quit);
}

void TUploadSequence::Abandon(TUploadGiveUp)
{
    if (step_ == Step::Idle || (step_ == Step::Abandoning && !reloginDue_))
        return;
    reloginDue_ = false;
    TimedOut();
}

void TUploadSequence::StoreTimedOut(TUploadStepKind kind, const QString& detail)
{
    const bool dataUp = client_.ByteCount() > 0 || client_.DataSocket()->State() == wsConnected;
    if (!dataUp && !otherModeTried_) {
        otherModeTried_ = true;
        firstModeError_ = detail;
        relogin_ = Relogin::OtherMode;
    } else {
        if (dataUp)
            Report(kind, false, detail, TUploadFault::NoAnswer);
        else
            Report(TUploadStepKind::DataMode, false, NeitherMode(detail), TUploadFault::NoAnswer);
        Failed(QStringLiteral("426 Timeout"));
        relogin_ = Relogin::CleanUp;
    }
    watchdog_.stop();
    // Closing both connections ends the store; its own end, posted now,
    // arrives before the login below and is swallowed.
    step_ = Step::Abandoning;
    reloginDue_ = true;
    client_.ForceClose();
    QMetaObject::invokeMethod(this, [this] {
        if (!reloginDue_)
            return;  // given up meanwhile
        reloginDue_ = false;
        Issue(Step::Login);
    }, Qt::QueuedConnection);
}

QString TUploadSequence::NeitherMode(const QString& message) const
{
    const bool passive = client_.PassiveMode();
    return QStringLiteral("Neither works: %1 (%2), %3 (%4)")
        .arg(passive ? QStringLiteral("active") : QStringLiteral("passive"), firstModeError_,
             passive ? QStringLiteral("passive") : QStringLiteral("active"), message);
}

void TUploadSequence::TimedOut()
{
    watchdog_.stop();
    step_ = Step::Abandoning;
    // Closing both connections ends the request; its own end, posted now,
    // arrives before the report below and is swallowed.
    client_.ForceClose();
    QMetaObject::invokeMethod(this, [this] {
        Failed(QStringLiteral("426 Timeout"));
        Finish();
    }, Qt::QueuedConnection);
}

void TUploadSequence::FinishLater()
{
    watchdog_.stop();
    step_ = Step::Abandoning;
    QMetaObject::invokeMethod(this, [this] { Finish(); }, Qt::QueuedConnection);
}

void TUploadSequence::Failed(const QString& message)
{
    lastOk_ = false;
    ReportFailure(message);
}

void TUploadSequence::Finish()
{
    watchdog_.stop();
    step_ = Step::Idle;
    loggingIn_ = cleaningUp_ = false;
    result_.ok = result_.text.isEmpty() && lastOk_;
    ReportFiles(job_.files.size(), job_.files.size(), false);
    testFile_.reset();
    if (OnFinished)
        OnFinished();
}


// --- the steps as a test lists them -------------------------------------------

void TUploadSequence::Report(TUploadStepKind kind, bool ok, const QString& detail, TUploadFault fault)
{
    if (!ok && result_.fault == TUploadFault::None)
        result_.fault = fault == TUploadFault::None ? TUploadFault::Other : fault;
    if (OnStep)
        OnStep(TUploadStep{kind, ok, detail, fault});
}

void TUploadSequence::Finding(TUploadStepKind kind, const QString& detail, TUploadFault fault)
{
    Report(kind, false, detail, fault);
    if (result_.text.isEmpty())
        result_.text = detail;
}

void TUploadSequence::StateChanged()
{
    const TFtpClientState state = client_.State();
    if (step_ == Step::Store) {
        if (state == fsPassiveReady)
            storeStage_ = 1;
        else if (state == fsWaitingReply && storeStage_ == 1)
            storeStage_ = 2;
        return;
    }
    if (!loggingIn_ || (step_ != Step::Login && step_ != Step::Open))
        return;
    if (!resolved_ && state == fsWaitingGreeting) {
        resolved_ = true;
        const QString& address = client_.DnsResult();
        Report(TUploadStepKind::Resolve, true,
               client_.HostName() == address ? address + QStringLiteral(", an address: nothing to look up")
                                             : client_.HostName() + QStringLiteral(" is ") + address);
    }
    if (state != fsConnected)
        return;
    if (!greeted_) {
        greeted_ = true;
        Report(TUploadStepKind::Connect, true,
               QStringLiteral("Connected to %1:%2").arg(client_.HostName(), client_.Port()));
    }
    if (!secureReported_ && client_.Security() != ftpPlain && client_.ControlSocket()->TlsEstablished()) {
        secureReported_ = true;
        const TTlsCertificateInfo& c = client_.TlsCertificate();
        Report(TUploadStepKind::Secure, true,
               (client_.TlsFingerprint().isEmpty() ? QStringLiteral("TLS, certificate trusted: ")
                                                   : QStringLiteral("TLS, the pinned certificate: ")) +
                   c.subject);
    }
}

void TUploadSequence::LoginFailed(std::uint16_t error, const QString& message)
{
    if (!resolved_) {
        Report(TUploadStepKind::Resolve, false, message,
               LookupError(error) ? TUploadFault::UnknownHost : TUploadFault::Other);
        return;
    }
    const TWSocket* control = client_.ControlSocket();
    const int tls = control->TlsErrorCode();
    if (!greeted_ && tls == 0) {
        const TUploadFault fault = !client_.SshIdentification().isEmpty() ? TUploadFault::SpeaksSsh
                                   : error == WSAECONNREFUSED            ? TUploadFault::NothingListening
                                   : error == WSAETIMEDOUT               ? TUploadFault::NoAnswer
                                                                         : TUploadFault::Other;
        Report(TUploadStepKind::Connect, false, message, fault);
        return;
    }
    if (!greeted_) {
        greeted_ = true;  // a handshake needs the connection
        Report(TUploadStepKind::Connect, true,
               QStringLiteral("Connected to %1:%2").arg(client_.HostName(), client_.Port()));
    }
    if (tls != 0) {
        const QString text = control->TlsErrorText();
        TUploadFault fault = TUploadFault::Other;
        if (tls == tlsFingerprintMismatch)
            fault = TUploadFault::CertificateUntrusted;
        else if (tls == tlsCertificateNotTrusted)
            // OpenSSL's verdict names a host name or address mismatch as such.
            fault = text.contains(QLatin1String("mismatch"), Qt::CaseInsensitive) ? TUploadFault::CertificateName
                                                                                    : TUploadFault::CertificateUntrusted;
        Report(TUploadStepKind::Secure, false, text.isEmpty() ? message : text, fault);
        return;
    }
    if (client_.Security() != ftpPlain && !control->TlsEstablished()) {
        Report(TUploadStepKind::Secure, false, message, TUploadFault::Other);  // AUTH TLS refused
        return;
    }
    TUploadFault fault = TUploadFault::Other;
    if (client_.Security() == ftpPlain && AsksForEncryption(error, message))
        fault = TUploadFault::EncryptionRequired;
    else if (error == 530)
        fault = TUploadFault::LoginRefused;
    Report(TUploadStepKind::Login, false, message, fault);
}

bool TUploadSequence::StepFailed(std::uint16_t error, const QString& message)
{
    switch (step_) {
    case Step::Login:
    case Step::Open:
        LoginFailed(error, message);
        return true;
    case Step::Type:
        Report(TUploadStepKind::Login, false, message, TUploadFault::Other);
        return true;
    case Step::Folder:
    case Step::FolderLevel:
    case Step::EnterLevel:
        Report(TUploadStepKind::Folder, false, message, TUploadFault::Other);
        return true;
    case Step::MakeLevel:
        Report(TUploadStepKind::Folder, false, message,
               Refusal(error, client_) ? TUploadFault::FolderNotWritable : TUploadFault::Other);
        return true;
    case Step::Store:
        break;
    case Step::RestoreFrom:
    case Step::RestoreTo:
    case Step::RenameFrom:
    case Step::RenameTo:
    case Step::AsideFrom:
    case Step::AsideTo:
    case Step::DeleteOld:
    case Step::RenameFromAgain:
    case Step::RenameToAgain:
        Report(TUploadStepKind::Rename, false, message, TUploadFault::Other);
        return true;
    case Step::DropAside:
    case Step::DropStaleAside:
    case Step::DeleteAside:
    case Step::DeleteTemporary:
        Report(TUploadStepKind::Delete, false, message, TUploadFault::Other);
        return true;
    case Step::Remove:
        Report(TUploadStepKind::Delete, false,
               message + QStringLiteral(": the file ") + RemoteName() + QStringLiteral(" stays on the server"),
               TUploadFault::Other);
        return true;
    default:
        return true;
    }

    // The store: the data connection, or the file itself.
    const bool passive = client_.PassiveMode();
    bool data = false;
    if (passive && storeStage_ < 2)
        data = client_.IsConnected();  // PASV refused, or its address unreachable
    else if (!RefusesFile(error))
        data = error == 425 || (error == 426 && client_.ByteCount() == 0) ||
               (!passive && error >= 500 && error <= 502 && message.contains(QLatin1String("PORT"), Qt::CaseInsensitive));
    if (!data) {
        Report(TUploadStepKind::Store, false, message,
               RefusesFile(error) ? TUploadFault::FolderNotWritable : TUploadFault::Other);
        return true;
    }
    const QString mode = passive ? QStringLiteral("Passive") : QStringLiteral("Active");
    if (Testing() && !otherModeTried_ && client_.IsConnected()) {
        otherModeTried_ = true;
        firstModeError_ = message;
        return false;
    }
    if (otherModeTried_) {
        Report(TUploadStepKind::DataMode, false, NeitherMode(message), TUploadFault::Other);
        return true;
    }
    Report(TUploadStepKind::DataMode, false, mode + QStringLiteral(": ") + message,
           passive ? TUploadFault::PassiveFailed : TUploadFault::ActiveFailed);
    return true;
}

TUploadStepKind TUploadSequence::PendingKind() const
{
    switch (step_) {
    case Step::Login:
    case Step::Open:
        if (!resolved_)
            return TUploadStepKind::Resolve;
        if (!greeted_)
            return TUploadStepKind::Connect;
        if (client_.Security() != ftpPlain && !client_.ControlSocket()->TlsEstablished())
            return TUploadStepKind::Secure;
        return TUploadStepKind::Login;
    case Step::Folder:
    case Step::FolderLevel:
    case Step::MakeLevel:
    case Step::EnterLevel:
        return TUploadStepKind::Folder;
    case Step::Store:
        return client_.PassiveMode() && storeStage_ < 2 ? TUploadStepKind::DataMode : TUploadStepKind::Store;
    case Step::RestoreFrom:
    case Step::RestoreTo:
    case Step::RenameFrom:
    case Step::RenameTo:
    case Step::AsideFrom:
    case Step::AsideTo:
    case Step::DeleteOld:
    case Step::RenameFromAgain:
    case Step::RenameToAgain:
        return TUploadStepKind::Rename;
    case Step::DropAside:
    case Step::DropStaleAside:
    case Step::DeleteAside:
    case Step::DeleteTemporary:
    case Step::Remove:
        return TUploadStepKind::Delete;
    default:
        return TUploadStepKind::Login;
    }
}

void TUploadSequence::FolderReached()
{
    if (!Testing() || relogin_ != Relogin::None)
        return;
    const QString& folder = job_.account.remoteFolder;
    Report(TUploadStepKind::Folder, true,
           folder.isEmpty() ? QStringLiteral("The login folder")
                            : folder + (madeLevel_ ? QStringLiteral(" made") : QStringLiteral(" found")));
}

void TUploadSequence::StoreDone()
{
    if (!Testing())
        return;
    const bool passive = client_.PassiveMode();
    if (otherModeTried_) {
        Finding(TUploadStepKind::DataMode,
                QStringLiteral("%1 failed (%2); %3 works")
                    .arg(passive ? QStringLiteral("Active") : QStringLiteral("Passive"), firstModeError_,
                         passive ? QStringLiteral("passive") : QStringLiteral("active")),
                passive ? TUploadFault::ActiveFailed : TUploadFault::PassiveFailed);
    } else {
        Report(TUploadStepKind::DataMode, true, passive ? QStringLiteral("Passive") : QStringLiteral("Active"));
    }
    Report(TUploadStepKind::Store, true,
           QStringLiteral("%1 stored (%2 bytes)").arg(TemporaryName(RemoteName())).arg(kConnectionTestContent.size()));
}

bool TUploadSequence::CleanUp()
{
    if (!Testing() || cleaningUp_ || !client_.IsConnected())
        return false;
    switch (step_) {
    case Step::Store:
        // A refused file was never made; a broken transfer may have left part of it.
        if (result_.fault == TUploadFault::FolderNotWritable)
            return false;
        break;
    case Step::RenameFrom:
    case Step::RenameTo:
    case Step::DeleteOld:
    case Step::RenameFromAgain:
    case Step::RenameToAgain:
        break;
    default:
        return false;
    }
    cleaningUp_ = true;
    cleanupAfterStore_ = step_ == Step::Store;
    Issue(Step::DeleteTemporary);
    return true;
}
