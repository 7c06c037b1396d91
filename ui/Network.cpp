#include "ui/Network.h"

#include "ftp/FtpCli.h"
#include "platform/application.h"
#include "platform/inifile.h"
#include "ui/DialogOk.h"
#include "ui/DigitFilter.h"
#include "ui_Network.h"

#include <QProxyStyle>
#include <QScreen>
#include <QShowEvent>

namespace {

const QString kSection = QStringLiteral("FTP Settings");

// Masks the password with one "+" per character.
class PlusPasswordStyle : public QProxyStyle
{
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '+';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

platform::IniFile SettingsFile(const QString& fileName)
{
    // The file holds the password in clear: readable by its owner only.
    return platform::IniFile(fileName, platform::ProfileFileMode::OwnerOnly);
}

}  // namespace

void ApplyFtpAccount(TFtpClient& client, const FtpAccountSettings& account)
{
    client.SetHostName(account.hostName);
    client.SetPort(account.port);
    client.SetTimeout(account.timeout);
    client.SetUserName(account.userName);
    client.SetPassWord(account.passWord);
    // The client itself keeps passive mode on for every connection through a proxy.
    client.SetPassiveMode(account.passiveMode);
}

TfrmNetwork::TfrmNetwork(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::frmNetwork>())
{
    ui->setupUi(this);
    settingsFileName_ = platform::Application::ProgramFolder() + QStringLiteral("/Tarvo Lite.sif");

    auto* plusStyle = new PlusPasswordStyle;
    plusStyle->setParent(this);
    ui->edPassword->setStyle(plusStyle);

    InstallDigitFilter(ui->edPort);
    InstallDigitFilter(ui->edTimeout);
    connect(ui->edPort, &QLineEdit::textChanged, this, [this] { edPortChange(); });
    connect(ui->edTimeout, &QLineEdit::textChanged, this, [this] { edTimeoutChange(); });
    ConnectOkButton(ui->OKBtn, this, [this] { OKBtnClick(); });
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TfrmNetwork::~TfrmNetwork() = default;

QLineEdit* TfrmNetwork::edFTPhost() const { return ui->edFTPhost; }
QLineEdit* TfrmNetwork::edPort() const { return ui->edPort; }
QLineEdit* TfrmNetwork::edTimeout() const { return ui->edTimeout; }
QLineEdit* TfrmNetwork::edUserID() const { return ui->edUserID; }
QLineEdit* TfrmNetwork::edPassword() const { return ui->edPassword; }
QCheckBox* TfrmNetwork::CheckBoxPassive() const { return ui->CheckBoxPassive; }
QCheckBox* TfrmNetwork::CheckAutoStart() const { return ui->CheckAutoStart; }

QString TfrmNetwork::UpdateInterval() const
{
    return OnGetUpdateInterval ? OnGetUpdateInterval() : updateInterval_;
}

void TfrmNetwork::SetUpdateInterval(const QString& interval)
{
    updateInterval_ = interval;
    if (OnSetUpdateInterval)
        OnSetUpdateInterval(interval);
}

void TfrmNetwork::FormShow()
{
    const platform::IniFile file = SettingsFile(settingsFileName_);
    if (file.Exists()) {
        ui->edFTPhost->setText(file.ReadString(kSection, QStringLiteral("FTP_Host"), QString()));
        ui->edPort->setText(file.ReadString(kSection, QStringLiteral("FTP_Port"), QStringLiteral("21")));
        ui->edTimeout->setText(file.ReadString(kSection, QStringLiteral("FTP_Timeout"), QStringLiteral("15")));
        ui->edUserID->setText(file.ReadString(kSection, QStringLiteral("User_ID"), QString()));
        workingPassword_ = file.ReadString(kSection, QStringLiteral("Password"), QString());
        SetUpdateInterval(file.ReadString(kSection, QStringLiteral("Update_Interval"), QStringLiteral("5")));
        ui->CheckAutoStart->setChecked(file.ReadBool(kSection, QStringLiteral("AutoStart"), false));
        ui->CheckBoxPassive->setChecked(file.ReadBool(kSection, QStringLiteral("Passive_Mode"), true));
    }
    if (ui->edPort->text().isEmpty())
        ui->edPort->setText(QStringLiteral("21"));
    ui->edPassword->setText(workingPassword_);
}

void TfrmNetwork::OKBtnClick()
{
    workingPassword_ = ui->edPassword->text();

    platform::IniFile file = SettingsFile(settingsFileName_);
    file.WriteString(kSection, QStringLiteral("FTP_Host"), ui->edFTPhost->text());
    file.WriteString(kSection, QStringLiteral("FTP_Port"), ui->edPort->text());
    file.WriteString(kSection, QStringLiteral("FTP_Timeout"), ui->edTimeout->text());
    file.WriteString(kSection, QStringLiteral("User_ID"), ui->edUserID->text());
    file.WriteString(kSection, QStringLiteral("Password"), workingPassword_);
    file.WriteString(kSection, QStringLiteral("Update_Interval"), UpdateInterval());
    file.WriteBool(kSection, QStringLiteral("AutoStart"), ui->CheckAutoStart->isChecked());
    file.WriteBool(kSection, QStringLiteral("Passive_Mode"), ui->CheckBoxPassive->isChecked());

    FtpAccountSettings account;
    account.hostName = file.ReadString(kSection, QStringLiteral("FTP_Host"), QString());
    account.port = file.ReadString(kSection, QStringLiteral("FTP_Port"), QStringLiteral("21"));
    account.timeout = file.ReadInteger(kSection, QStringLiteral("FTP_Timeout"), 15);
    account.userName = file.ReadString(kSection, QStringLiteral("User_ID"), QString());
    workingPassword_ = file.ReadString(kSection, QStringLiteral("Password"), QString());
    account.passWord = workingPassword_;
    account.passiveMode = file.ReadBool(kSection, QStringLiteral("Passive_Mode"), true);
    if (ftpClient_)
        ApplyFtpAccount(*ftpClient_, account);
    if (OnApplyFtpSettings)
        OnApplyFtpSettings(account);
    SetUpdateInterval(file.ReadString(kSection, QStringLiteral("Update_Interval"), QStringLiteral("5")));
    ui->CheckAutoStart->setChecked(file.ReadBool(kSection, QStringLiteral("AutoStart"), false));

    if (ui->edPort->text().isEmpty())
        ui->edPort->setText(QStringLiteral("21"));
}

void TfrmNetwork::edPortChange()
{
    if (ui->edPort->text().isEmpty())
        ui->edPort->setText(QStringLiteral("21"));
}

void TfrmNetwork::edTimeoutChange()
{
    if (ui->edTimeout->text().isEmpty())
        ui->edTimeout->setText(QStringLiteral("15"));
}

void TfrmNetwork::showEvent(QShowEvent* event)
{
    if (!centred_ && screen()) {
        // Centred on the screen at the first showing; later the user's place stands.
        centred_ = true;
        move(screen()->availableGeometry().center() - rect().center());
    }
    if (!event->spontaneous())
        FormShow();
    QDialog::showEvent(event);
}
