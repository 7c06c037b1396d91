#pragma once
// The network settings dialog: the FTP account, passive mode and auto start.
// Created hidden at launch and kept for the whole run, so its fields keep
// their contents between showings and the main window and the wizard can
// read them. It applies the account to the FTP client and the update
// interval to the main window through its hooks, which the main window wires.

#include <QDialog>

#include <functional>
#include <memory>

class QCheckBox;
class QLineEdit;
class TFtpClient;

namespace Ui {
class frmNetwork;
}

// What OK applies to the FTP client.
struct FtpAccountSettings {
    QString hostName;
    QString port;
    int timeout = 15;  // seconds
    QString userName;
    QString passWord;
    bool passiveMode = true;
};

// Gives the account to the client's properties.
void ApplyFtpAccount(TFtpClient& client, const FtpAccountSettings& account);

class TfrmNetwork : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmNetwork(QWidget* parent = nullptr);
    ~TfrmNetwork() override;

    // Full path of "Tarvo Lite.sif": in the executable's folder unless set.
    const QString& SettingsFileName() const { return settingsFileName_; }
    void SetSettingsFileName(const QString& fileName) { settingsFileName_ = fileName; }

    // The working password: the FTP password in clear, as typed.
    const QString& WorkingPassword() const { return workingPassword_; }
    void SetWorkingPassword(const QString& password) { workingPassword_ = password; }

    // The main window's update interval field (read when saving, set when
    // loading and applying). Without OnGetUpdateInterval the dialog saves the
    // interval it last loaded.
    std::function<QString()> OnGetUpdateInterval;
    std::function<void(const QString&)> OnSetUpdateInterval;
    // The main window's FTP client, which OK gives the stored account to.
    TFtpClient* FtpClient() const { return ftpClient_; }
    void SetFtpClient(TFtpClient* client) { ftpClient_ = client; }
    // Raised after OK applied the stored account (to the client, when set).
    std::function<void(const FtpAccountSettings&)> OnApplyFtpSettings;

    QLineEdit* edFTPhost() const;
    QLineEdit* edPort() const;
    QLineEdit* edTimeout() const;
    QLineEdit* edUserID() const;
    QLineEdit* edPassword() const;
    QCheckBox* CheckBoxPassive() const;
    QCheckBox* CheckAutoStart() const;

    // Window handlers.
    void FormShow();
    // Saves, reads back and applies; raises EIniFileException when the
    // settings file refuses a write (nothing after it is applied).
    void OKBtnClick();
    void edPortChange();
    void edTimeoutChange();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QString UpdateInterval() const;
    void SetUpdateInterval(const QString& interval);

    std::unique_ptr<Ui::frmNetwork> ui;
    QString settingsFileName_;
    QString workingPassword_;
    QString updateInterval_ = QStringLiteral("5");
    TFtpClient* ftpClient_ = nullptr;
    bool centred_ = false;
};
