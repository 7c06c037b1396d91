#pragma once
// The SFTP transport of an upload job. libssh's calls block, so each job runs
// them on a worker thread of its own, and only that thread touches the SSH
// session: resolve, connect, check the host key, log in, make the remote
// folder level by level, store each file (under its temporary name and
// renamed over the real one when published safely), disconnect. Every report
// comes back to this object's thread through the event loop. Without
// posix-rename the old file is renamed aside until the new one is in; a safe
// job first puts back one that a cut left aside.
//
// This side keeps the time limit, restarted by each sign of progress. Given
// up (the limit passed, or Abandon), the connection is shut down under the
// worker, whose later reports are dropped. The result says why: the time
// limit, the program's close, or a cancel, which is no failure (no OnFailure,
// so no log line) since whoever cancelled knows. Every job, also one given
// up, ends once its worker has closed the session (with a disconnect where
// the connection can still carry one), closed every descriptor of it and
// returned: no job leaves a session behind.
//
// The host key must be the account's pinned one; without a pin, a key that
// known_hosts holds for the server is trusted; any other ends the job before
// a name or password goes out, with the key's fingerprint in the result. A
// key known_hosts marks @revoked is refused, pinned or not.

#include "upload/UploadJob.h"
#include "upload/UploadTransport.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

class TSftpSequence : public TUploadTransport
{
    Q_OBJECT

public:
    explicit TSftpSequence(QObject* parent = nullptr);
    ~TSftpSequence() override;

    bool Running() const override { return running_; }
    bool Start(const TUploadJob& job) override;
    void Abandon(TUploadGiveUp why) override;
    void NewRun() override { renameRefused_ = false; }

private:
    class Worker;
    struct Link;  // what this side and the job's worker share

    // The worker's reports, each delivered only to the job that sent it.
    void Post(std::uint64_t jobId, std::function<void()> report);
    void Progress();
    void Begin(TUploadStepKind kind);
    // Connected: the server's greeting is what the connection step waits for now.
    void GreetingAwaited();
    void StepDone(const TUploadStep& step);
    void Failed(const QString& message, TUploadFault fault);
    void RenameRefused(const QString& note);
    void GiveUp();
    void WorkerEnded(std::uint64_t jobId, bool ok);
    void Finish();

    TUploadJob job_;
    std::uint64_t jobId_ = 0;
    std::shared_ptr<Link> link_;
    bool running_ = false;
    bool finishing_ = false;
    bool ok_ = false;
    bool renameRefused_ = false;  // this run stores directly
    TUploadStepKind current_ = TUploadStepKind::Resolve;
    bool greetingAwaited_ = false;  // the current step has its connection, not yet the greeting
    QTimer watchdog_;
    QTimer workerEndWait_;  // how long a job given up waits for its worker
    std::thread worker_;
};
