#pragma once
// The FTP transport of an upload job, chained by the FTP client's
// request-done events: log in unless the control connection is open, TYPE I,
// change into the account's remote folder, store each file of the job under
// its remote name, QUIT; each step only while the one before it succeeded.
// A check job only opens a fresh control connection (greeting and TLS, where
// the certificate is checked) and quits: no name or password goes out. Nothing waits inside a handler,
// so a modal box open anywhere delays no step. The job's account is written
// into the client when the sequence logs in.
//
// The remote folder is entered with one CWD to the whole path; when the
// server refuses it, the path is walked one level at a time and each missing
// level made (MKD) on the way. A leading "/" starts at the root. An empty
// folder sends nothing: the files go where the login starts. A session kept
// for the next job of the same account is already in its folder.
//
// Published safely, each file is stored under a temporary name in the same
// folder and renamed over its real name, so that a visitor loads the old
// picture or the new one, never half of one. On a server that will not rename
// onto an existing file, the old one is renamed aside, the new one renamed
// in, and the old one deleted, so that a cut leaves the old picture at worst
// aside; the next job of the same account puts it back when the real name is
// missing (or deletes it) before it stores anything. One that cannot rename
// at all gets direct stores until the next run.
//
// A test job takes the same road with one small file of its own, and then
// deletes it under its real name; it reports each step through OnStep as it
// ends. A data connection that fails in the chosen mode is tried once in the
// other, so that the test can tell which one works; a store or rename that
// fails still has the temporary file deleted, so the test leaves nothing. A
// store that times out holds the session up: the test logs in again, to try
// the other mode when the data connection never came up, else to delete the
// file.

#include "ftp/FtpCli.h"
#include "upload/UploadJob.h"
#include "upload/UploadTransport.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

class QTemporaryFile;

// Writes an account into an FTP client for its next login.
void ApplyFtpAccount(TFtpClient& client, const settings::FtpAccount& account);

class TUploadSequence : public TUploadTransport
{
    Q_OBJECT

public:
    explicit TUploadSequence(TFtpClient& client, QObject* parent = nullptr);
    ~TUploadSequence() override;

    bool Running() const override { return step_ != Step::Idle; }
    bool Start(const TUploadJob& job) override;
    bool StartQuit() override;
    // Every give-up reads "426 Timeout", as the FTP client's own waits do.
    void Abandon(TUploadGiveUp why) override;
    void NewRun() override { renameRefused_ = false; }

    // The owner's request-done handler calls this first. False: ignore the
    // event; it ends a request this sequence gave up and already reported,
    // or a refusal the sequence answers itself (a rename, a folder that it
    // then makes, or a test's data connection tried in the other mode). True: the request was the sequence's, any failure of
    // it already raised through OnFailure. The next step follows from the
    // event loop.
    bool RequestDone(std::uint16_t error);

private:
    enum class Step {
        Idle,
        Login,            // connect, greeting, USER, PASS
        Open,             // connect, greeting, TLS: a check job's only step before QUIT
        Type,             // TYPE I
        Folder,           // CWD the whole remote folder
        FolderLevel,      // CWD one level of it, refused when missing
        MakeLevel,        // MKD that level
        EnterLevel,       // CWD the level just made
        RestoreFrom,      // RNFR aside name: an old file a cut job may have left aside
        RestoreTo,        // RNTO real name: put back, refused while the real one is there
        DropAside,        // DELE aside name: the real one is there
        Store,            // STOR of the current file, under its temporary name when renaming
        RenameFrom,       // RNFR temporary name
        RenameTo,         // RNTO real name
        AsideFrom,        // RNFR real name: the server would not rename over it
        AsideTo,          // RNTO aside name: the old file stays until the new one is in
        DropStaleAside,   // DELE aside name: an earlier one in the way
        DeleteOld,        // DELE real name: it could not be set aside (or a test's file)
        RenameFromAgain,  // RNFR temporary name, once the real one is out of the way
        RenameToAgain,    // RNTO real name, the last try
        DeleteAside,      // DELE aside name, once the new file is in
        DeleteTemporary,  // DELE temporary name: the server cannot rename, or a test cleans up
        Remove,           // DELE real name: a test's file, once published
        Quit,             // QUIT
        Abandoning,       // given up; swallowing the request's own end
    };

    void Issue(Step step);
    void Advance();
    // After a refusal of a rename or folder step that the sequence answers itself.
    void AdvanceRefused();
    // After TYPE I: into the remote folder unless the session is there, then the stores.
    void AfterType();
    void StartStores();
    // From file_ on: the next file whose old version may stand aside is
    // checked, or the stores begin.
    void CheckAsides();
    // Whether the current file's aside name may be in use on the server.
    QString AsideKey() const;
    void SetAside(bool mayStand);
    // The current file's aside is settled (put back, deleted, or not to be
    // asked about again): the next file to check, or the next to store.
    void AsideGone();
    // The new file is in under its real name: the old one set aside goes,
    // then the next file.
    void Published();
    // A level entered: the next one, or the stores after the last.
    void NextLevel();
    void NextFile();
    void GiveUpRenaming();
    bool Renaming() const { return job_.safe && !renameRefused_; }
    const QString& RemoteName() const;
    // Reports a failure; the first is the result's text.
    void Failed(const QString& message);
    void TimedOut();
    void FinishLater();
    void Finish();

    // The steps as a test lists them.
    bool Testing() const { return job_.purpose == TUploadPurpose::Test; }
    void Report(TUploadStepKind kind, bool ok, const QString& detail, TUploadFault fault = TUploadFault::None);
    // A failed step the job goes on after: the result says it at the end.
    void Finding(TUploadStepKind kind, const QString& detail, TUploadFault fault);
    void StateChanged();
    void LoginFailed(std::uint16_t error, const QString& message);
    // A failed request's step and meaning; false when the sequence answers it itself.
    bool StepFailed(std::uint16_t error, const QString& message);
    TUploadStepKind PendingKind() const;
    void FolderReached();
    void StoreDone();
    // A test whose store or rename failed: the temporary file goes, then QUIT.
    bool CleanUp();
    // A test's store that ran out of time: the session is stuck in it, and the
    // server may hold the temporary file. A fresh session tries the other data
    // connection mode, when this one never came up and that one is untried;
    // else it deletes the file.
    void StoreTimedOut(TUploadStepKind kind, const QString& detail);
    // The failure of a test's data connection in both modes, the last one's message given.
    QString NeitherMode(const QString& message) const;

    // What the login of this job has reached, for the steps it reports.
    bool loggingIn_ = false;
    bool resolved_ = false;
    bool greeted_ = false;
    bool secureReported_ = false;
    bool madeLevel_ = false;
    // The store's data connection: 0 not begun, 1 connecting (passive), 2 transfer command out.
    int storeStage_ = 0;
    bool otherModeTried_ = false;
    QString firstModeError_;
    bool cleaningUp_ = false;
    bool cleanupAfterStore_ = false;
    // Why a test logs in again after a store that timed out; due: the login
    // waits for the event loop, and a cancel before it ends the job instead.
    enum class Relogin { None, OtherMode, CleanUp };
    Relogin relogin_ = Relogin::None;
    bool reloginDue_ = false;
    std::unique_ptr<QTemporaryFile> testFile_;

    TFtpClient& client_;
    TUploadJob job_;
    settings::FtpAccount loggedIn_;  // the account of the session the client holds
    bool inFolder_ = false;          // the session is in loggedIn_'s remote folder
    QStringList levels_;             // the remote folder's levels, the first with its leading "/"
    qsizetype level_ = 0;            // the level being entered
    bool quitOnly_ = false;
    Step step_ = Step::Idle;
    std::size_t file_ = 0;          // the job's file being sent
    bool storedTemporary_ = false;  // the last store went to the temporary name
    bool asideStands_ = false;      // the current file's old version was set aside by this job
    bool asideRetried_ = false;     // an earlier aside was in the way and deleted
    // The aside names (AsideKey) that may be in use: set aside, not yet put
    // back or deleted. Kept from job to job.
    QSet<QString> asides_;
    bool refused_ = false;          // the last request was a refusal answered here
    bool lastOk_ = false;           // the last request succeeded: a session left open is sound
    bool renameRefused_ = false;    // this run stores directly
    QTimer watchdog_;
};
