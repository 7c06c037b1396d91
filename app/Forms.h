#pragma once
// The windows created at launch, in their order, each living until the
// program ends: the main window, the About box, the log viewer, the network
// settings dialog and the three wizard pages. Only the main window is shown.

#include <QString>

#include <memory>

class TAboutDlg;
class TUploadRunner;
class TfrmNetwork;
class TfrmWizard1;
class TfrmWizard2;
class TfrmWizard3;
class TLogForm;
class TMain;
class TrayStatus;
struct TWizardContext;

class QWidget;

namespace app {
class ProgramFiles;
}

class TForms
{
public:
    // programFolder: where the program's files live; the executable's folder
    // when empty. Runs the main window's creation sequence, auto start
    // included. With closeOnTermination, a termination signal that arrives
    // during the creation (a start-up box open, say) closes the program as
    // soon as the main window exists; CloseOnTermination follows.
    explicit TForms(const QString& programFolder = QString(), bool closeOnTermination = false);
    // On these folders: a named profile's, say.
    explicit TForms(const app::ProgramFiles& files, bool closeOnTermination = false);
    ~TForms();

    TForms(const TForms&) = delete;
    TForms& operator=(const TForms&) = delete;

    TMain* Main() const { return main_.get(); }
    TAboutDlg* AboutDlg() const { return aboutDlg_.get(); }
    TLogForm* LogForm() const { return logForm_.get(); }
    TfrmNetwork* frmNetwork() const { return frmNetwork_.get(); }
    TfrmWizard1* frmWizard1() const { return frmWizard1_.get(); }
    TrayStatus* Tray() const { return tray_.get(); }

    // Shows the main window once the creation sequence has run: after the
    // auto start's upload when one runs. Started with the desktop session,
    // it opens minimised instead (ShowAtSessionStart).
    void ShowMain(bool sessionStart);
    // Started with the desktop session: hidden to the tray where the icon
    // shows, else minimised to the task bar, never hidden as the only way back.
    static void ShowAtSessionStart(QWidget& window, bool trayShown);

    // From now on SIGTERM and SIGINT close the main window as its close box
    // does (a modal dialog open at that moment is cancelled first).
    void CloseOnTermination();

private:
    void Create(const app::ProgramFiles& files, bool closeOnTermination);

    // Destroyed in reverse: the main window first, as it reports to the others.
    std::unique_ptr<TUploadRunner> dialogTransport_;  // outlives the dialogs that use it
    std::unique_ptr<TAboutDlg> aboutDlg_;
    std::unique_ptr<TLogForm> logForm_;
    std::unique_ptr<TfrmNetwork> frmNetwork_;
    std::unique_ptr<TWizardContext> wizard_;
    std::unique_ptr<TfrmWizard1> frmWizard1_;
    std::unique_ptr<TfrmWizard2> frmWizard2_;
    std::unique_ptr<TfrmWizard3> frmWizard3_;
    std::unique_ptr<TMain> main_;
    std::unique_ptr<TrayStatus> tray_;  // follows the main window's update from launch on
};
