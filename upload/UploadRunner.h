#pragma once
// The transport of a job for whoever has one to run and no FTP client to
// lend: the wizard's last page, "Check server" and the connection test. An
// FTP sequence on a client of its own, or the SFTP one, as the job's account
// asks. One job at a time; each ends with one result, also a cancelled one,
// and leaves no session open behind it.

#include "ftp/FtpCli.h"
#include "upload/UploadJob.h"
#include "upload/SftpSequence.h"
#include "upload/UploadSequence.h"

#include <QObject>

#include <cstddef>
#include <functional>

class TUploadRunner : public QObject
{
    Q_OBJECT

public:
    explicit TUploadRunner(QObject* parent = nullptr);
    ~TUploadRunner() override;

    bool Running() const { return sequence_.Running() || sftp_.Running(); }

    // Starts a job: fileDone follows once per file, in order, and finished
    // once at its end, both from the event loop; step follows each step as it
    // ends (what a connection test lists). False while a job runs.
    bool Start(const TUploadJob& job, std::function<void(const TUploadResult&)> finished,
               std::function<void(std::size_t file, bool ok)> fileDone = {},
               std::function<void(const TUploadStep& step)> step = {});
    // Gives the running job up at once; its result says it was cancelled.
    void Cancel();

    // A job that failed (not one cancelled), with who asked and the text of
    // its failure, before its own finished.
    std::function<void(TUploadPurpose asked, const QString& message)> OnFailure;

private:
    void Finished();

    TFtpClient client_;
    TUploadSequence sequence_{client_};
    TSftpSequence sftp_;
    TUploadTransport* running_ = &sequence_;  // the transport of the last job
    TUploadPurpose asked_ = TUploadPurpose::Update;
    bool cancelled_ = false;
    std::function<void(const TUploadResult&)> finished_;
    std::function<void(std::size_t, bool)> fileDone_;
    std::function<void(const TUploadStep&)> step_;
};
