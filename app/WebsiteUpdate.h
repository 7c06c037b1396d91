#pragma once
// The website update: started and stopped by the user, a tick every interval
// that makes the pictures and uploads them, the stop pictures, a motion
// picture between ticks, the hand-over of the FTP client to the wizard, and
// the close sequence. It owns the FTP client and the upload in flight; the
// main window only shows what the events tell it.

#include "app/ProgramFiles.h"
#include "ftp/FtpCli.h"
#include "settings/Settings.h"
#include "upload/UploadJob.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

class QImage;
class TErrorLog;
class TUpdatePictures;
class TSftpSequence;
class TUploadSequence;
class TUploadTransport;
namespace app {
class TCameraReturn;
}

class TWebsiteUpdate : public QObject
{
    Q_OBJECT

public:
    enum class UpdateState {
        Idle,      // no update; the button reads "Start"
        Active,    // ticks upload; the button reads "Stop"
        Stopping,  // Stop pressed: the stop pictures go up once the running upload has ended
    };

    // camera: a lost one is looked for at each tick.
    TWebsiteUpdate(const app::ProgramFiles& files, settings::TProgramSettings& settings, app::TCameraReturn& camera);
    ~TWebsiteUpdate() override;

    // Once the error log exists: the update reports to it, and its pictures
    // are made from then on.
    void Attach(TErrorLog& errorLog);

    TFtpClient& FtpClient() { return ftpClient_; }
    QTimer& Timer1() { return timer1_; }
    TUpdatePictures& Pictures() { return *pictures_; }
    UpdateState State() const { return state_; }
    // Whether an upload sequence is running, by FTP or SFTP.
    bool Running() const;
    // Whether the last upload sequence that ended did everything it set out to.
    bool LastUploadOk() const;
    bool Closing() const { return closing_; }
    bool Closed() const { return closed_; }

    // The start/stop button: starts with the interval field's text (minutes),
    // stops when active, and does nothing while stopping or closing.
    void StartStop(const QString& intervalText);
    // The interval timer's tick; skipped while an upload runs.
    void Tick();
    // A motion event's picture goes up at once, outside the timer, while the
    // update is active and no other upload runs; answers whether it started.
    bool UploadMotionPicture(const QImage& picture);

    // Quits an open FTP session before the wizard drives the client, then
    // shows the wizard.
    void HandOverToWizard();
    // Shows the wizard; it drives the same FTP client, so uploads and a close
    // wait while it shows.
    void ShowWizard();

    // The close: OnClosing (the settings are saved there), then, once any
    // running upload has ended, the stop pictures and the closing QUIT, then
    // the working pictures are deleted and OnClosed follows. Each upload it
    // waits for is given up after the account's time limit, and after 15 seconds
    // at most.
    void Close();
    // While the wizard shows, a close waits for it: answers true and closes
    // again (OnCloseAgain) once the wizard has ended.
    bool DeferClose();

    // What the main window shows: the state as it changes, and the lamp,
    // lit while the pictures go up.
    std::function<void(UpdateState)> OnStateChanged;
    std::function<void(bool uploading)> OnLamp;
    // The interval field's text was out of range; this is what counts.
    std::function<void(const QString& interval)> OnIntervalCorrected;
    std::function<void(const QString& text)> OnStatusText;
    // For what shows the update outside the window (the tray): started,
    // stopped, and the end of each upload sequence of a start or a tick, with
    // the error that ended it and when the next is due.
    std::function<void()> OnUpdateStarted;
    std::function<void()> OnUpdateStopped;
    std::function<void(bool ok, const QString& error, const QDateTime& nextDue)> OnUploadDone;
    // An upload sequence has ended.
    std::function<void()> OnSequenceFinished;
    // Shows the wizard modally.
    std::function<void()> OnShowWizard;
    std::function<void()> OnClosing;
    std::function<void()> OnClosed;
    std::function<void()> OnCloseAgain;

private:
    // What the running upload sequence is for.
    enum class Upload { None, Pictures, StopPictures, Quit };

    void StartUpdate(const QString& intervalText);
    void StopUpdate();
    void SetState(UpdateState state);
    void Lamp(bool uploading);
    // Produces the pictures and uploads them: the camera's when its frame
    // was saved, otherwise the stop pictures, so that no old picture goes up
    // beside a new time. A picture that cannot be made is reported and
    // nothing is uploaded. Answers whether an upload started.
    bool UploadPictures(bool atStart);
    void UploadStopPictures();
    // The two pictures of the page, from these local files.
    TUploadJob PicturesJob(TUploadPurpose asked, const QString& picture, const QString& caption) const;
    // Each job by the transport its account asks for.
    bool StartUpload(Upload purpose, const TUploadJob& job);
    void Wire(TUploadTransport& transport);
    bool StartQuit();
    void RequestDone(std::uint16_t error);
    void UploadFinished();
    void StopFinished();
    void ContinueClose();
    void BoundCloseWait();
    // Runs what waited for a running upload or the wizard: the wizard, a close.
    void RunDeferred();
    // Raises OnUploadDone once a start's or a tick's sequence has ended.
    void ReportUpload(bool picturesMade);
    // Whether the pictures of the sequence that just ended all went up, made
    // from a fresh frame.
    bool PicturesUploaded(bool picturesMade) const;
    // Panel 1 says when pictures went up, in place of an earlier failure.
    void ReportUploadedAt(const QString& what);

    app::ProgramFiles files_;
    settings::TProgramSettings& settings_;
    app::TCameraReturn& camera_;
    TErrorLog* errorLog_ = nullptr;
    std::unique_ptr<TUpdatePictures> pictures_;
    TFtpClient ftpClient_;
    std::unique_ptr<TUploadSequence> upload_;
    std::unique_ptr<TSftpSequence> sftp_;
    TUploadTransport* current_ = nullptr;  // the transport of the running or last job
    // The time limit of the last job's account: a close waits by it.
    int jobTimeoutSeconds_ = settings::kFtpTimeoutDefault;
    QTimer timer1_;
    // Bounds how long a close waits for the running upload.
    QTimer closeDeadline_;

    UpdateState state_ = UpdateState::Idle;
    Upload uploadPurpose_ = Upload::None;
    bool stopUploaded_ = false;
    bool pendingWizard_ = false;
    bool pendingClose_ = false;
    bool wizardShowing_ = false;
    bool closing_ = false;
    bool closeQuitSent_ = false;
    bool closed_ = false;
    QString uploadError_;          // what ended the last upload sequence
    // The last picture that could not be made, logged once while it repeats.
    QString pictureFailure_;
};
