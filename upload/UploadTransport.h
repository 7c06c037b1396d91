#pragma once
// What every transport of an upload job offers: FTP (and FTPS) chained by
// the FTP client's events, SFTP on a worker thread. One job at a time; each
// ends with one OnFinished from the event loop, also one given up.

#include "upload/UploadJob.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <functional>

// Why a running job is given up before its end.
enum class TUploadGiveUp {
    TimeLimit,  // nothing came from the server within the account's time limit
    Cancel,     // whoever asked no longer wants it
    Closing,    // the program is closing and waits no longer
};

class TUploadTransport : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual bool Running() const = 0;
    // Starts the whole upload of a job's files; false while a job runs.
    virtual bool Start(const TUploadJob& job) = 0;
    // Ends a session a job left open for the next one; false when there is
    // none (or a job runs).
    virtual bool StartQuit() { return false; }
    // Gives the running job up now, for this reason.
    virtual void Abandon(TUploadGiveUp why) = 0;
    // A new run of the website update: what the last run learnt of the
    // server (that it cannot rename) is asked again.
    virtual void NewRun() {}

    // Each failure as it happens; the first is the result's text.
    std::function<void(const QString& message)> OnFailure;
    // Once per started job, from the event loop, when it has ended; Result()
    // tells how.
    std::function<void()> OnFinished;
    // Once per file of a job, in order: published, or not (the job ended
    // before it). The last one comes before OnFinished.
    std::function<void(std::size_t file, bool ok)> OnFileDone;
    // A line for the log that reports no failure (the server cannot rename,
    // so this run stores directly). Once per run.
    std::function<void(const QString& text)> OnNote;
    // Each step of the way, as it ends: what the connection test shows.
    std::function<void(const TUploadStep& step)> OnStep;

    // A request is given up when the time limit passes without progress,
    // taken as the settings take a time limit: 0 or less counts as 15
    // seconds, more than an hour as an hour.
    static int TimeoutMs(int seconds);

    // How the last job ended; complete from its OnFinished on.
    const TUploadResult& Result() const { return result_; }

protected:
    // A new job: no result yet, no file reported.
    void BeginJob();
    // Raises OnFailure; true for the job's first failure, which becomes the
    // result's text.
    bool ReportFailure(const QString& message);
    // Raises OnFileDone, in order, for the files before upTo (of fileCount)
    // not yet reported.
    void ReportFiles(std::size_t upTo, std::size_t fileCount, bool ok);
    // The failure of a port that greets in the other protocol: an SFTP job
    // met an FTP server there, or an FTP job an SSH server; firstLine is what
    // the server sent.
    static QString OtherProtocolText(bool sftpJob, const QString& port, const QString& firstLine);

    TUploadResult result_;

private:
    std::size_t reported_ = 0;  // files whose OnFileDone was raised
};
