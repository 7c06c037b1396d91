#include "app/Forms.h"

#include "app/Main.h"
#include "app/TrayStatus.h"
#include "ui/AboutDlg.h"
#include "ui/HtmlHelpBridge.h"
#include "ui/LogForm.h"
#include "ui/Network.h"
#include "ui/Wizard1.h"
#include "ui/Wizard2.h"
#include "ui/Wizard3.h"
#include "platform/signals.h"

#include <QApplication>

TForms::TForms(const QString& programFolder)
{
    main_ = std::make_unique<TMain>(programFolder);
    tray_ = TrayStatus::Attach(*main_);  // before an auto start can report
    apphelp::SetMainWindow(main_.get());
    aboutDlg_ = std::make_unique<TAboutDlg>();
    logForm_ = std::make_unique<TLogForm>();
    frmNetwork_ = std::make_unique<TfrmNetwork>();

    // The creation sequence reports to the log viewer and fills the network
    // dialog, so it runs once both exist.
    main_->AttachForms(logForm_.get(), frmNetwork_.get());
    main_->FormCreate();

    // The wizard pages drive the main window's FTP client and fill the
    // network dialog. Creating page 1 puts the client into passive mode,
    // whatever "Passive_Mode" holds, until the network dialog's OK applies
    // the stored value.
    wizard_ = std::make_unique<TWizardContext>();
    wizard_->FtpClient = &main_->FtpClient();
    wizard_->frmNetwork = frmNetwork_.get();
    wizard_->MainWindow = main_.get();
    QString folder = main_->Files().Folder();
    folder.chop(1);  // without its closing separator
    wizard_->ProgramFolder = folder;
    wizard_->SettingsFileName = main_->Files().SettingsFile();
    wizard_->FirstRun = main_->FirstRun();
    frmWizard1_ = std::make_unique<TfrmWizard1>(*wizard_);
    frmWizard2_ = std::make_unique<TfrmWizard2>(*wizard_);
    frmWizard3_ = std::make_unique<TfrmWizard3>(*wizard_);

    // The wizard ends by Finish or a confirmed cancel clearing the first-run
    // flag, which the close then saves.
    main_->OnShowWizard = [this] {
        wizard_->FirstRun = main_->FirstRun();
        frmWizard1_->ShowModal();
        main_->SetFirstRun(wizard_->FirstRun);
    };
}

void TForms::CloseOnTermination()
{
    TMain* main = main_.get();
    platform::SetTerminationHandler([main](int) {
        main->SetClosingFromOutside(true);
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
        main->close();
    });
}

TForms::~TForms()
{
    platform::SetTerminationHandler(nullptr);
    main_->OnShowWizard = nullptr;
    tray_.reset();
    main_.reset();
    apphelp::SetMainWindow(nullptr);
}
