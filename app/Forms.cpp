#include "app/Forms.h"

#include "app/Main.h"
#include "ui/AboutDlg.h"
#include "ui/HtmlHelpBridge.h"
#include "ui/LogForm.h"
#include "ui/Network.h"
#include "platform/signals.h"

#include <QApplication>

TForms::TForms(const QString& programFolder)
{
    main_ = std::make_unique<TMain>(programFolder);
    apphelp::SetMainWindow(main_.get());
    aboutDlg_ = std::make_unique<TAboutDlg>();
    logForm_ = std::make_unique<TLogForm>();
    frmNetwork_ = std::make_unique<TfrmNetwork>();

    // The creation sequence reports to the log viewer and fills the network
    // dialog, so it runs once both exist.
    main_->AttachForms(logForm_.get(), frmNetwork_.get());
    main_->FormCreate();

    // The wizard pages TfrmWizard1..3 are created here. Creating page 1 puts
    // the FTP client into passive mode, whatever "Passive_Mode" holds, until
    // the network dialog's OK applies the stored value; until the pages
    // exist, the launch does that in their place.
    main_->FtpClient().SetPassiveMode(true);
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
    main_.reset();
    apphelp::SetMainWindow(nullptr);
}
