#include "upload/UploadSequence.h"

namespace {
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
    connect(&watchdog_, &QTimer::timeout, this, [this] { TimedOut(); });
    // Data moving on the connection is progress: the limit starts again.
    client_.OnProgress = [this](TCustomFtpCli*, qint64, bool&) {
        if (watchdog_.isActive())
            watchdog_.start();
    };
}

TUploadSequence::~TUploadSequence()
{
    client_.OnProgress = nullptr;
}

int TUploadTransport::TimeoutMs(int seconds)
{
    // At most an hour: the milliseconds always fit the timer's int.
    return settings::EffectiveFtpTimeout(seconds) * 1000;
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
    result_ = {};
    reported_ = 0;
    levels_ = FolderLevels(job_.account.remoteFolder);
    const bool check = job_.purpose == TUploadPurpose::Check;
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
        Issue(check ? Step::Open : Step::Login);
    }
    return true;
}

bool TUploadSequence::StartQuit()
{
    if (Running() || !lastOk_ || !client_.IsConnected())
        return false;
    quitOnly_ = true;
    result_ = {};
    reported_ = 0;
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
        loggedIn_ = job_.account;
        inFolder_ = false;
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
        // The client takes the new name from LocalFileName.
        client_.SetLocalFileName(RemoteName());
        start = &TCustomFtpCli::StartRenTo;
        break;
    case Step::DeleteOld:
        client_.SetHostFileName(RemoteName());
        start = &TCustomFtpCli::StartDele;
        break;
    case Step::DeleteTemporary:
        client_.SetHostFileName(TemporaryName(RemoteName()));
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
    case Step::RenameFrom:
    case Step::RenameTo:
    case Step::DeleteOld:
    case Step::RenameFromAgain:
    case Step::RenameToAgain:
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
        const QString& message = client_.ErrorMessage();
        Failed(message.isEmpty() ? QStringLiteral("Error %1").arg(error) : message);
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
        Finish();
        return;
    }
    switch (step_) {
    case Step::Login:
        Issue(Step::Type);
        break;
    case Step::Open:
        Issue(Step::Quit);
        break;
    case Step::Type:
        AfterType();
        break;
    case Step::Folder:
        inFolder_ = true;
        StartStores();
        break;
    case Step::FolderLevel:
    case Step::EnterLevel:
        NextLevel();
        break;
    case Step::MakeLevel:
        Issue(Step::EnterLevel);
        break;
    case Step::Store:
        if (storedTemporary_)
            Issue(Step::RenameFrom);
        else
            NextFile();
        break;
    case Step::RenameFrom:
        Issue(Step::RenameTo);
        break;
    case Step::DeleteOld:
        Issue(Step::RenameFromAgain);
        break;
    case Step::RenameFromAgain:
        Issue(Step::RenameToAgain);
        break;
    case Step::DeleteTemporary:
        Issue(Step::Store);
        break;
    default:  // RenameTo, RenameToAgain: the file is published
        NextFile();
        break;
    }
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
    case Step::RenameTo:
        // Most likely the real name exists and the server will not replace it.
        Issue(Step::DeleteOld);
        break;
    case Step::DeleteOld:
        // Nothing to delete, or not allowed: the second rename decides.
        Issue(Step::RenameFromAgain);
        break;
    case Step::DeleteTemporary:
        // A leftover the next run's store overwrites; the direct store goes on.
        Issue(Step::Store);
        break;
    default:  // RenameFrom, RenameFromAgain, RenameToAgain
        GiveUpRenaming();
        break;
    }
}

void TUploadSequence::GiveUpRenaming()
{
    renameRefused_ = true;
    if (OnNote)
        OnNote(kRenameRefused);
    Issue(Step::DeleteTemporary);
}

void TUploadSequence::AfterType()
{
    // A check job stays where the login starts.
    if (job_.purpose == TUploadPurpose::Check || job_.account.remoteFolder.isEmpty() || inFolder_)
        StartStores();
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
    StartStores();
}

void TUploadSequence::StartStores()
{
    file_ = 0;
    Issue(job_.files.empty() ? Step::Quit : Step::Store);
}

void TUploadSequence::NextFile()
{
    ReportFiles(file_ + 1, true);
    if (++file_ < job_.files.size())
        Issue(Step::Store);
    else
        Issue(Step::Quit);
}

void TUploadSequence::Abandon()
{
    if (step_ != Step::Idle && step_ != Step::Abandoning)
        TimedOut();
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
    if (OnFailure)
        OnFailure(message);
    if (result_.text.isEmpty())
        result_.text = message;
}

void TUploadSequence::ReportFiles(std::size_t upTo, bool ok)
{
    while (reported_ < upTo && reported_ < job_.files.size()) {
        const std::size_t file = reported_++;
        if (OnFileDone)
            OnFileDone(file, ok);
    }
}

void TUploadSequence::Finish()
{
    watchdog_.stop();
    step_ = Step::Idle;
    result_.ok = result_.text.isEmpty() && lastOk_;
    ReportFiles(job_.files.size(), false);
    if (OnFinished)
        OnFinished();
}
