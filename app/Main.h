#pragma once
// The main window: live picture, local capture controls, the error log and
// the website update.

#include "app/ProgramFiles.h"
#include "ftp/FtpCli.h"

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
class TUpdatePictures;
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
    // Whether an upload sequence is running (possibly with this call nested in it).
    bool SequenceRunning() const { return sequenceRunning_; }
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

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void InstallHints();
    void ConnectControls();
    void LoadSettings();
    void SaveSettings();
    void FormClose();

    void TickBox(QCheckBox* box, void (TMain::*handler)());
    void SetRecordingLook(bool recording);
    void EnableRecordingLocks(bool enabled);

    void StartUpdate();
    void StopUpdate();
    void CloseTimeStop();
    void SetActiveLook(bool active);
    void LockForUpdate(bool locked);
    void SetLamp(bool uploading);
    // Produces the pictures; a picture that cannot be made is reported and
    // answers false (that cycle uploads nothing).
    bool ProducePictures(bool atStart);
    void UploadSequence(const QString& picture, const QString& caption);
    void OpenConnection();
    void UploadPair(const QString& picture, const QString& caption);
    // One blocking request; answers the success flag afterwards.
    bool FtpStep(void (TCustomFtpCli::*start)());
    // Runs what was asked while a sequence ran: a start/stop, the wizard, a close.
    void RunDeferred();
    // Shows the wizard; it drives the same FTP client, so uploads and a close
    // wait while it shows.
    void ShowWizard();
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
    QTimer timer1_;
    TURL* kelnaURL_ = nullptr;
    TLogForm* logForm_ = nullptr;
    TfrmNetwork* frmNetwork_ = nullptr;
    std::unique_ptr<TErrorLog> errorLog_;
    std::unique_ptr<TUpdatePictures> updatePictures_;

    bool firstRun_ = true;
    bool autoStart_ = false;
    bool shownOnce_ = false;
    int requestsDone_ = 0;
    bool sequenceRunning_ = false;
    bool pendingToggle_ = false;
    bool pendingWizard_ = false;
    bool pendingClose_ = false;
    bool wizardShowing_ = false;
    bool closed_ = false;
    bool closingFromOutside_ = false;
    QString uploadError_;  // what ended the last upload sequence
};
