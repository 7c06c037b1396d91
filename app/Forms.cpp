#include "app/Forms.h"

#include "app/DesktopEntry.h"
#include "app/ErrorLog.h"
#include "app/Main.h"
#include "app/ProgramFiles.h"
#include "app/TrayStatus.h"
#include "ui/AboutDlg.h"
#include "ui/HtmlHelpBridge.h"
#include "ui/LogForm.h"
#include "ui/Network.h"
#include "ui/Wizard1.h"
#include "ui/Wizard2.h"
#include "ui/Wizard3.h"
#include "platform/signals.h"
#include "upload/UploadRunner.h"

#include <QApplication>
#include <QCoreApplication>

namespace {

// Cancels whatever modal box or dialog is open, so that the code waiting for
// it goes on.
void CloseModalWidget()
{
    if (QWidget* modal = QApplication::activeModalWidget())
        modal->close();
}

}  // namespace

TForms::TForms(const QString& programFolder, bool closeOnTermination)
{
    Create(programFolder.isEmpty() ? app::ProgramFiles::OfExecutable() : app::ProgramFiles(programFolder), closeOnTermination);
}

TForms::TForms(const app::ProgramFiles& files, bool closeOnTermination)
{
    Create(files, closeOnTermination);
}

void TForms::Create(const app::ProgramFiles& files, bool closeOnTermination)
{
    bool terminated = false;
    if (closeOnTermination) {
        // Until the main window exists a signal is only remembered.
        platform::SetTerminationHandler([this, &terminated](int) {
            terminated = true;
            // What the creation sequence still has to report goes to the log.
            if (main_)
                main_->SetClosingFromOutside(true);
            CloseModalWidget();
        });
    }
    main_ = std::make_unique<TMain>(files);
    tray_ = TrayStatus::Attach(*main_);  // before an auto start can report
    apphelp::SetMainWindow(main_.get());
    aboutDlg_ = std::make_unique<TAboutDlg>();
    logForm_ = std::make_unique<TLogForm>();
    frmNetwork_ = std::make_unique<TfrmNetwork>();
    // "Start with the desktop session": an autostart entry for this executable's real path.
    // Each profile starts with the session on its own entry.
    const QString profile = files.Profile();
    frmNetwork_->OnGetSessionStart = [profile] {
        return app::SessionStartEnabled(app::UserConfigHome(), QCoreApplication::applicationFilePath(), profile);
    };
    frmNetwork_->OnSetSessionStart = [profile](bool on) {
        return app::SetSessionStart(app::UserConfigHome(), QCoreApplication::applicationFilePath(), on, profile);
    };

    // The creation sequence reports to the log viewer and fills the network
    // dialog, so it runs once both exist.
    main_->AttachForms(logForm_.get(), frmNetwork_.get());
    main_->FormCreate();

    // The dialogs' jobs (the server check, the wizard's uploads) run on a
    // transport of their own. The check shows its outcome; the wizard's
    // failures go to the log, as the update's do.
    dialogTransport_ = std::make_unique<TUploadRunner>();
    dialogTransport_->OnFailure = [this](TUploadPurpose asked, const QString& message) {
        if (asked == TUploadPurpose::WizardPage)
            main_->ErrorLog().FtpError(message);
    };
    frmNetwork_->SetTransport(dialogTransport_.get());

    // The wizard pages save the account through the main window's settings.
    wizard_ = std::make_unique<TWizardContext>();
    wizard_->Transport = dialogTransport_.get();
    wizard_->Settings = &main_->ProgramSettings();
    wizard_->MainWindow = main_.get();
    // The wizard uploads the shipped Server/ folder.
    QString folder = main_->Files().ShippedFolder();
    folder.chop(1);  // without its closing separator
    wizard_->ProgramFolder = folder;
    frmWizard1_ = std::make_unique<TfrmWizard1>(*wizard_);
    frmWizard2_ = std::make_unique<TfrmWizard2>(*wizard_);
    frmWizard3_ = std::make_unique<TfrmWizard3>(*wizard_);

    // The wizard ends by Finish or a confirmed cancel clearing the first-run
    // flag, which the close then saves.
    main_->OnShowWizard = [this] {
        frmWizard1_->ShowModal();
    };

    if (closeOnTermination) {
        CloseOnTermination();
        if (terminated) {
            main_->SetClosingFromOutside(true);
            main_->close();
        }
    }
}

void TForms::ShowMain(bool sessionStart)
{
    TMain* main = main_.get();
    if (sessionStart) {
        const bool trayShown = tray_ && tray_->IconShown();
        if (trayShown)
            main->SetStartedHidden();
        ShowAtSessionStart(*main, trayShown);
        return;
    }
    // An auto start uploads before the window shows.
    if (main->SequenceRunning())
        QObject::connect(main, &TMain::SequenceFinished, main, [main] { main->show(); }, Qt::SingleShotConnection);
    else
        main->show();
}

void TForms::ShowAtSessionStart(QWidget& window, bool trayShown)
{
    if (!trayShown)
        window.showMinimized();
}

void TForms::CloseOnTermination()
{
    TMain* main = main_.get();
    platform::SetTerminationHandler([main](int) {
        main->SetClosingFromOutside(true);
        CloseModalWidget();
        main->close();
    });
}

TForms::~TForms()
{
    platform::SetTerminationHandler(nullptr);
    main_->OnShowWizard = nullptr;
    if (dialogTransport_)
        dialogTransport_->OnFailure = nullptr;
    tray_.reset();
    main_.reset();
    apphelp::SetMainWindow(nullptr);
}
