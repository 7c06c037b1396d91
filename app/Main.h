#pragma once
// The main window: live picture, local capture controls, the error log and
// the website update; the capture controls' rules and the update live in
// their own classes, this keeps the widgets, menus and what they show.

#include "app/CameraChoice.h"
#include "app/ProgramFiles.h"
#include "app/WebsiteUpdate.h"
#include "settings/Settings.h"

#include <QMainWindow>

#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class TErrorLog;
class TfrmNetwork;
class TLogForm;
class TMotionWatch;
class TPrivacyMasks;
class TStatusHints;
class TUpdatePictures;
class TURL;
class TVideoCap;

namespace app {
class TCameraClaim;
class TCameraShare;
class TProfileMenu;
class TCaptureControls;
}

namespace Ui {
class TMain;
}

class TMain : public QMainWindow
{
    Q_OBJECT

public:
    // programFolder: where the settings, the log, the working files and the
    // shipped files live; when empty, the folders of the running executable
    // (app::ProgramFiles::OfExecutable).
    explicit TMain(const QString& programFolder = QString(), QWidget* parent = nullptr);
    // On these folders: a named profile's, say.
    explicit TMain(const app::ProgramFiles& files, QWidget* parent = nullptr);
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
    TWebsiteUpdate& WebsiteUpdate() { return *update_; }
    TFtpClient& FtpClient() { return update_->FtpClient(); }
    QTimer& Timer1() { return update_->Timer1(); }
    TErrorLog& ErrorLog() { return *errorLog_; }
    TUpdatePictures& UpdatePictures() { return update_->Pictures(); }
    TMotionWatch& MotionWatch() { return *motion_; }
    TPrivacyMasks& PrivacyMasks() { return *privacy_; }
    // "Release the camera between updates".
    app::TCameraShare& CameraShare() { return *cameraShare_; }
    // The program settings as loaded or accepted; the dialogs and the wizard
    // save through them, the close saves them.
    settings::TProgramSettings& ProgramSettings() { return programSettings_; }
    TLogForm* LogForm() const { return logForm_; }
    // "New Camera Profile..." and "Open Camera Profile".
    app::TProfileMenu& ProfileMenu() { return *profileMenu_; }
    // A second start of this profile: the window comes to the front, also from the tray.
    void BringToFront();
    TfrmNetwork* frmNetwork() const { return frmNetwork_; }

    // The status bar's two panels: 0 shows pointer hints, 1 status and errors.
    QString StatusPanelText(int index) const;
    void SetStatusPanelText(int index, const QString& text);
    // Where no tray shows the update's state: while uploads fail, panel 1 in
    // the error colour and the caption ending in " — upload failing".
    void ShowUploadFailing(bool failing);

    // Program-wide flags.
    bool FirstRun() const { return programSettings_.firstRun; }
    bool AutoStart() const { return autoStart_; }
    // Whether the last upload sequence that ended did everything it set out to.
    bool LastUploadOk() const { return update_->LastUploadOk(); }
    // Whether an upload sequence is running.
    bool SequenceRunning() const { return update_->Running(); }
    // Whether the website update is on: from the start until Stop is pressed.
    bool UpdateActive() const { return update_->State() == TWebsiteUpdate::UpdateState::Active; }
    // Whether the close-time work has been done.
    bool Closed() const { return update_->Closed(); }

    // Shows wizard page 1 modally: at the first showing on a first run and
    // from "Run Configuration &Wizard...". Unassigned, there is no wizard.
    std::function<void()> OnShowWizard;
    // Whether the close came from outside (a termination signal): errors are
    // then logged instead of shown in boxes nobody will answer.
    void SetClosingFromOutside(bool value) { closingFromOutside_ = value; }
    // Started with the desktop session into the tray: hidden, yet running.
    void SetStartedHidden() { startedHidden_ = true; }

    void FormResize();

    // Menu handlers of the window frame.
    void menuExitClick();
    void menuAbout1Click();
    void menuNetworkClick();
    void menuMotionClick();
    void menuPrivacyMasksClick();
    void menuCaptionClick();
    void menuWizardClick();
    void GotoWebsite1Click();
    void menuHelp2Click();
    void menuHelpIndexClick();

    // Error reporting.
    void menuViewErrorLogClick();
    void VideoCap1Error(int errorId, const QString& text);

    // Website update.
    void BitBtnFrameCapClick();
    void Timer1Timer();

signals:
    // The close-time work is done; the program may end.
    void CloseCompleted();
    // An upload sequence has ended.
    void SequenceFinished();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void InstallHints();
    void ConnectControls();
    void LoadSettings();
    void SaveSettings();
    // The close runs with the website update; the window goes once it is done.
    void FormClose();
    void CloseDone();
    // Releases the camera or takes it back as the window's state now allows.
    void FollowCameraShare();

    void ShowUpdateState(TWebsiteUpdate::UpdateState state);
    void SetActiveLook(bool active);
    void LockForUpdate(bool locked);
    void SetLamp(bool uploading);
    void SetCaption();
    // Reports an error that ended an operation: a box, or a log line when
    // nobody is there to answer it.
    void ReportFailure(const QString& message);

    app::ProgramFiles files_;
    std::unique_ptr<Ui::TMain> ui;
    QLabel* statusPanels_[2] = {nullptr, nullptr};
    TStatusHints* hints_ = nullptr;
    TVideoCap* videoCap1_ = nullptr;
    TURL* kelnaURL_ = nullptr;
    TLogForm* logForm_ = nullptr;
    TfrmNetwork* frmNetwork_ = nullptr;
    std::unique_ptr<TErrorLog> errorLog_;
    std::unique_ptr<TMotionWatch> motion_;
    std::unique_ptr<TPrivacyMasks> privacy_;
    std::unique_ptr<app::TCameraReturn> cameraReturn_;
    settings::TProgramSettings programSettings_;
    std::unique_ptr<TWebsiteUpdate> update_;
    std::unique_ptr<app::TCaptureControls> capture_;
    std::unique_ptr<app::TCameraShare> cameraShare_;
    // The camera taken, so that no other profile takes it too.
    std::unique_ptr<app::TCameraClaim> cameraClaim_;
    app::TProfileMenu* profileMenu_ = nullptr;
    // The driver as the user chose it: a lost device does not change it.
    app::TDriverChoice driverChoice_;

    bool autoStart_ = false;
    bool shownOnce_ = false;
    bool closingFromOutside_ = false;
    bool startedHidden_ = false;
    bool uploadFailing_ = false;
};
