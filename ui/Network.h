#pragma once
// The network settings dialog: the account (FTP, FTPS or SFTP) and its
// remote folder, passive mode, auto start and safe publishing.
// Created hidden at launch and kept for the whole run. It edits the account
// that the program settings hold (loaded or accepted); its fields are only
// what the user types. OK saves through the settings, where the next upload
// job takes the account from, and hands the update interval to the main
// window through its hooks.

#include "settings/Settings.h"
#include "ui/ServerCheck.h"

#include <QDialog>

#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class TConnectionTest;
class TUploadRunner;

namespace Ui {
class frmNetwork;
}

class TfrmNetwork : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmNetwork(QWidget* parent = nullptr);
    ~TfrmNetwork() override;

    // The program settings the dialog edits: the main window's, once set;
    // until then its own, on "Tarvo Lite.sif" in the executable's folder or
    // the file named here.
    settings::TProgramSettings& Settings() const { return *settings_; }
    void SetSettings(settings::TProgramSettings* programSettings);
    const QString& SettingsFileName() const { return settings_->FileName(); }
    void SetSettingsFileName(const QString& fileName);

    // Where "Check server" and the connection test run their connections;
    // without one they do nothing.
    void SetTransport(TUploadRunner* transport);

    // The working password: the FTP password in clear, as loaded or accepted.
    const QString& WorkingPassword() const { return settings_->account.password; }

    // The main window's update interval field: read when saving, set to the
    // saved value on OK. Showing or cancelling the dialog leaves it as the
    // user set it. Without OnGetUpdateInterval the dialog saves the interval
    // it last loaded.
    std::function<QString()> OnGetUpdateInterval;
    std::function<void(const QString&)> OnSetUpdateInterval;

    // "Start with the desktop session": whether it is on, asked when the
    // dialog shows, and the choice applied on OK (answers an error text,
    // empty on success). Without both hooks the check box is hidden.
    std::function<bool()> OnGetSessionStart;
    std::function<QString(bool)> OnSetSessionStart;

    QLineEdit* edFTPhost() const;
    QLineEdit* edPort() const;
    QLineEdit* edTimeout() const;
    QLineEdit* edUserID() const;
    QLineEdit* edPassword() const;
    // Where the uploads go on the server; empty: where the login starts.
    QLineEdit* edRemoteFolder() const;
    QCheckBox* CheckBoxPassive() const;
    QCheckBox* CheckAutoStart() const;
    QCheckBox* chkSessionStart() const;
    QCheckBox* CheckSafeUpload() const;
    // The protocol: FTP with its TLS choice (index = "FTP_Security") or SFTP
    // (kSftpChoice); the pinned certificate fingerprint, the pinned SSH host
    // key, the SSH key file, and the check that can pin a certificate or key.
    QComboBox* cbSecurity() const;
    QLineEdit* edFingerprint() const;
    QLineEdit* edHostKey() const;
    QLineEdit* edKeyFile() const;
    QPushButton* btnCheckServer() const;
    // The connection test ("Test", btnTest) with the values as typed.
    TConnectionTest* ConnectionTest() const { return connectionTest_; }

    // Window handlers.
    void FormShow();
    // Saves and reads back. Raises, saving nothing, when the time
    // limit field holds less than 1 or more than 3600 seconds; raises
    // EIniFileException when the settings file refuses a write (nothing after
    // it is applied).
    void OKBtnClick();
    void edPortChange();
    void edTimeoutChange();
    // A choice's usual port replaces another choice's (21, 990, 22).
    void cbSecurityChange();
    void btnKeyFileClick();
    // Starts the check; its report follows when the server has answered.
    void btnCheckServerClick();

    // A close during a check or a test gives it up.
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    settings::FtpAccount TypedAccount() const;
    // Only the fields of the chosen protocol are shown.
    void ShowChoiceFields();
    QString UpdateInterval() const;
    void SetUpdateInterval(const QString& interval);

    std::unique_ptr<Ui::frmNetwork> ui;
    std::unique_ptr<settings::TProgramSettings> ownSettings_;
    settings::TProgramSettings* settings_ = nullptr;
    TServerChecker checker_;
    TConnectionTest* connectionTest_ = nullptr;
    bool centred_ = false;
};
