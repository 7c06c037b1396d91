#pragma once
// The main window: live picture, local capture controls, the error log and
// the website update.

#include "app/ProgramFiles.h"
#include "ftp/FtpCli.h"
#include "settings/Settings.h"
#include "upload/UploadJob.h"

#include <QDateTime>
#include <QMainWindow>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class TErrorLog;
class TfrmNetwork;
class TLogForm;
class TMotionWatch;
class TUpdatePictures;
namespace app {
class TCameraReturn;
}
class TUploadSequence;
class TURL;
class TVideoCap;

namespace Ui {
class TMain;
}

class TMain : public QMainWindow
{
    Q_OBJECT

public:
    // programFolder: where the settings, the log and the working files live;
    // the executable's folder when empty.
    explicit TMain(const QString& programFolder = QString(), QWidget* parent = nullptr);
    // Writes the driver index back to "vcap.sif".
    ~TMain() override;

    // The log viewer and the network dialog, created after the main window;
    // both must be attached before FormCreate.
    void AttachForms(TLogForm* logForm, TfrmNetwork* frmNetwork);
    // The creation sequence: working files, driver, settings, capture
    // display, help file and the optional auto start. Failures are shown in
    // the standard error box once the sequence has run to its end.
    void FormCreate();

    const app::ProgramFiles& Files() const { return files_; }
    TVideoCap* VideoCap1() const { return videoCap1_; }
    TFtpClient& FtpClient() { return ftpClient_; }
    QTimer& Timer1() { return timer1_; }
    TErrorLog& ErrorLog() { return *errorLog_; }
    TUpdatePictures& UpdatePictures() { return *updatePictures_; }
    TMotionWatch& MotionWatch() { return *motion_; }
    // The program settings as loaded or accepted; the dialogs and the wizard
    // save through them, the close saves them.
    settings::TProgramSettings& ProgramSettings() { return programSettings_; }
    TLogForm* LogForm() const { return logForm_; }
    TfrmNetwork* frmNetwork() const { return frmNetwork_; }

    // The status bar's two panels: 0 shows pointer hints, 1 status and errors.
    QString StatusPanelText(int index) const;
    void SetStatusPanelText(int index, const QString& text);

    // Program-wide flags.
    bool FirstRun() const { return firstRun_; }
    void SetFirstRun(bool value) { firstRun_ = value; }
    bool AutoStart() const { return autoStart_; }
    // The FTP client's success flag: 1 when the last finished request
    // succeeded, 0 when it failed.
    int FtpTag() const { return ftpClient_.Tag(); }
    // Whether an upload sequence is running.
    bool SequenceRunning() const;
    // Whether the website update is on: from the start until Stop is pressed.
    bool UpdateActive() const { return update_ == Update::Active; }
    // Whether the close-time work has been done.
    bool Closed() const { return closed_; }

    // Shows wizard page 1 modally: at the first showing on a first run and
    // from "Run Configuration &Wizard...". Unassigned, there is no wizard.
    std::function<void()> OnShowWizard;
    // Whether the close came from outside (a termination signal): errors are
    // then logged instead of shown in boxes nobody will answer.
    void SetClosingFromOutside(bool value) { closingFromOutside_ = value; }

    // The website update's progress, for what shows it outside the window
    // (the tray): started, stopped, and the end of each upload sequence of a
    // start or a tick, with the error that ended it and when the next is due.
    std::function<void()> OnUpdateStarted;
    std::function<void()> OnUpdateStopped;
    std::function<void(bool ok, const QString& error, const QDateTime& nextDue)> OnUploadDone;

    void FormResize();

    // Menu handlers of the window frame.
    void menuExitClick();
    void menuAbout1Click();
    void menuNetworkClick();
    void menuMotionClick();
    void menuWizardClick();
    void GotoWebsite1Click();
    void menuHelp2Click();
    void menuHelpIndexClick();

    // Error reporting.
    void menuViewErrorLogClick();
    void menuLogErrorsClick();
    void menuErrorBeepClick();
    void VideoCap1Error(int errorId, const QString& text);

    // Local capture controls.
    void CheckPrevClick();
    void CheckOverlClick();
    void CheckFitWindowClick();
    void CheckProportionalClick();
    void Edit1Change();
    void btnSnapshotClick();
    void BtStartStopClick();
    void Video1Status();
    void Video1StatusCallback(int id, const QString& text);
    void menuVideoDriver1Click();
    void menuCaptureparameter1Click();
    void menuVideoFormat1Click();
    void menuVideoSource1Click();
    void menuVideoDisplay1Click();
    void menuVideoCompression1Click();

    // Website update.
    void BitBtnFrameCapClick();
    void Timer1Timer();
    void FtpClientRequestDone(TFtpRequest rqType, std::uint16_t error);
    void FtpClientCommand(QString& command);
    // Quits an open FTP session before the wizard drives the client, then
    // shows the wizard.
    void WizardHandOver();

signals:
    // The close-time work is done; the program may end.
    void CloseCompleted();
    // An upload sequence has ended.
    void SequenceFinished();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void InstallHints();
    void ConnectControls();
    void LoadSettings();
    // Ticks the picture mode the driver offers (overlay, else preview) and the scaling.
    void RestoreLocalDisplay();
    // Keeps the driver the user just chose (index and identity) for the next run.
    void RememberChosenDriver();
    void SaveSettings();
    // The close: saves the settings, then (once any running upload has
    // ended) the stop upload and the closing QUIT, then deletes the working
    // pictures. Each upload it waits for is given up after the FTP time
    // limit, and after 15 seconds at most.
    void FormClose();
    void ContinueClose();
    void BoundCloseWait();

    void TickBox(QCheckBox* box, void (TMain::*handler)());
    void SetRecordingLook(bool recording);
    void EnableRecordingLocks(bool enabled);

    enum class Update {
        Idle,      // no update; the button reads "Start"
        Active,    // ticks upload; the button reads "Stop"
        Stopping,  // Stop pressed: the stop pictures go up once the running upload has ended
    };
    // What the running upload sequence is for.
    enum class Upload { None, Pictures, StopPictures, Quit };

    void StartUpdate();
    void StopUpdate();
    void SetActiveLook(bool active);
    void LockForUpdate(bool locked);
    void SetLamp(bool uploading);
    // Produces the pictures and uploads them: the camera's when its frame
    // was saved, otherwise the stop pictures, so that no old picture goes up
    // beside a new time. A picture that cannot be made is reported and
    // nothing is uploaded. Answers whether an upload started.
    bool UploadPictures(bool atStart);
    void UploadStopPictures();
    // The two pictures of the page, from these local files.
    TUploadJob PicturesJob(TUploadPurpose asked, const QString& picture, const QString& caption) const;
    bool StartUpload(Upload purpose, const TUploadJob& job);
    // Gives the accepted account to the FTP client, or once the running
    // sequence has ended.
    void ApplyAccount();
    void UploadFinished();
    void StopFinished();
    // Runs what waited for a running upload or the wizard: the wizard, a close.
    void RunDeferred();
    // Shows the wizard; it drives the same FTP client, so uploads and a close
    // wait while it shows.
    void ShowWizard();
    // A motion event's picture goes up at once, outside the timer, while the
    // update is active and no other upload runs; answers whether it started.
    bool UploadMotionPicture(const QImage& picture);
    // Raises OnUploadDone once a start's or a tick's sequence has ended.
    void ReportUpload(bool picturesMade);
    // Reports an error that ended an operation: a box, or a log line when
    // nobody is there to answer it.
    void ReportFailure(const QString& message);

    app::ProgramFiles files_;
    std::unique_ptr<Ui::TMain> ui;
    QLabel* statusPanels_[2] = {nullptr, nullptr};
    TVideoCap* videoCap1_ = nullptr;
    TFtpClient ftpClient_;
    std::unique_ptr<TUploadSequence> upload_;
    QTimer timer1_;
    // Bounds how long a close waits for the running upload.
    QTimer closeDeadline_;
    TURL* kelnaURL_ = nullptr;
    TLogForm* logForm_ = nullptr;
    TfrmNetwork* frmNetwork_ = nullptr;
    std::unique_ptr<TErrorLog> errorLog_;
    std::unique_ptr<TUpdatePictures> updatePictures_;
    std::unique_ptr<TMotionWatch> motion_;
    std::unique_ptr<app::TCameraReturn> cameraReturn_;
    settings::TProgramSettings programSettings_;
    // The last picture that could not be made, logged once while it repeats.
    QString pictureFailure_;
    // The driver as the user chose it: a lost device does not change it.
    int chosenDriverIndex_ = -1;
    QString chosenDriverIdentity_;

    bool firstRun_ = true;
    bool autoStart_ = false;
    bool shownOnce_ = false;
    Update update_ = Update::Idle;
    Upload uploadPurpose_ = Upload::None;
    bool stopUploaded_ = false;
    bool pendingWizard_ = false;
    bool pendingClose_ = false;
    bool wizardShowing_ = false;
    bool closing_ = false;
    bool closeQuitSent_ = false;
    bool closed_ = false;
    bool closingFromOutside_ = false;
    bool accountPending_ = false;  // accepted during a sequence, not yet the client's
    QString uploadError_;  // what ended the last upload sequence
};
