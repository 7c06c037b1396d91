#pragma once
// The configuration wizard: three pages that ask for the FTP account, show a
// summary, upload the web page and the stop pictures and store the account.
// Page 1 is shown modally; the pages pass the turn among themselves and every
// way out ends page 1's modal showing.
//
// The pages work on things owned by the program, handed to them in one
// TWizardContext that outlives the pages. Creation order: fill the context,
// then create page 1, then pages 2 and 3. The account is the settings' only:
// the server check and the uploads are jobs for the context's transport,
// which takes a copy of it when each starts.

#include "settings/Settings.h"
#include "ui/CameraIndex.h"
#include "ui/ServerCheck.h"

#include <QColor>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QEventLoop;
class QLineEdit;
class QPushButton;
class TConnectionTest;
class TUploadRunner;
class TfrmWizard1;
class TfrmWizard2;
class TfrmWizard3;

namespace Ui {
class frmWizard1;
}

struct TWizardContext {
    // Runs the server check of page 1 and the uploads of Finish; without
    // one there is no check and Finish sends nothing.
    TUploadRunner* Transport = nullptr;
    // The program settings: page 1 and Finish save the account through them,
    // and their account is the one Finish uploads with; Finish and a
    // confirmed cancel clear their first-run flag. Required.
    settings::TProgramSettings* Settings = nullptr;
    // Focused (and shown, after page 3) when the wizard ends; may be null.
    QWidget* MainWindow = nullptr;
    // The folder that holds "Server"; empty: the executable's folder.
    QString ProgramFolder;
    // The cameras whose pictures go to the server of this account, this one
    // included; when there are several, Finish offers their index page in
    // the login folder. Unset: never offered.
    std::function<std::vector<TIndexCamera>(const settings::FtpAccount& account)> IndexCameras;

    // Filled in by the pages themselves.
    TfrmWizard1* frmWizard1 = nullptr;
    TfrmWizard2* frmWizard2 = nullptr;
    TfrmWizard3* frmWizard3 = nullptr;

    QString ProgramFolderPath() const;
    // Gives focus back to the main window, when there is one.
    void FocusMainWindow() const;
};

// Background of the pages' text at the top: colour value 16776176.
QColor WizardMemoColor();

// The pages' caption: program name and step.
QString WizardCaption(int step);

// Cancel Wizard on pages 2 and 3 (and page 1 unless answered No): beep and
// ask; true when the user confirmed.
bool ConfirmCancelWizard();

// Centres a page on its screen at its first showing.
void CentreOnScreenOnce(QWidget* page, bool& centred);

class TfrmWizard1 : public QWidget
{
    Q_OBJECT

public:
    explicit TfrmWizard1(TWizardContext& context, QWidget* parent = nullptr);
    ~TfrmWizard1() override;

    // Shows page 1 application-modal and returns once the wizard has ended
    // (mrOk), with all three pages hidden. A call while the wizard is already
    // showing returns mrNone at once.
    int ShowModal();
    bool Showing() const { return loop_ != nullptr; }
    // Setting a result other than mrNone ends the modal showing.
    int ModalResult() const { return modalResult_; }
    void SetModalResult(int result);

    QCheckBox* cbYesFTP() const;
    QCheckBox* cbNoFTP() const;
    QLineEdit* edFTPhost() const;
    QLineEdit* edUserID() const;
    QLineEdit* edPassword() const;
    // Where the uploads go on the server; empty: where the login starts.
    QLineEdit* edRemoteFolder() const;
    QLineEdit* edPort() const;
    // The protocol: FTP with its TLS choice (index = "FTP_Security") or SFTP
    // (kSftpChoice).
    QComboBox* cbSecurity() const;

    // Window handlers.
    void FormShow();
    void cbYesFTPClick();
    void cbNoFTPClick();
    // Raises EIniFileException when the settings file refuses a write. With
    // TLS chosen, page 2 follows once the server check has answered.
    void BitBtnNextClick();
    void BitBtnBackClick();
    void btnCancelWizardClick();
    void FormClose();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Modal result OK, close page 1, focus the main window.
    void EndWizard();
    void ResetAnswers();
    // The port field's text; an emptied field is the FTP port.
    QString TypedPort() const;
    // The account as the page's fields hold it, for the connection test.
    settings::FtpAccount TypedAccount() const;
    // Stores the protocol and TLS choice (and the port it suggests), then
    // shows page 2; with TLS or SFTP, checks the server first and asks
    // whether to trust a certificate or host key that is not trusted yet.
    void ApplySecurityChoice();
    void StoreSecurityChoice(const settings::FtpAccount& account);
    // A host key met for the first time: asks whether to trust it. Declined,
    // the page says that the upload needs a trusted key; answers whether it
    // is trusted now.
    bool TrustHostKey(const QString& hostKey);
    // The key trusted in a test, for the server it was met on, until Next
    // stores it.
    void PinTestedHostKey(settings::FtpAccount& account) const;

    std::unique_ptr<Ui::frmWizard1> ui;
    TWizardContext& context_;
    int modalResult_ = 0;
    QEventLoop* loop_ = nullptr;
    TServerChecker checker_;
    // Beside Back while the account is asked for; its lines open in a window.
    TConnectionTest* connectionTest_ = nullptr;
    struct TrustedKey {
        QString host;
        QString port;
        QString key;
    } testedKey_;
    bool centred_ = false;
};
