#include "ui/Network.h"

#include "ftp/FtpCli.h"
#include "platform/application.h"
#include "ui/DialogOk.h"
#include "ui/DigitFilter.h"
#include "ui_Network.h"

#include <QProxyStyle>
#include <QScreen>
#include <QShowEvent>

namespace {

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

}  // namespace

void ApplyFtpAccount(TFtpClient& client, const settings::FtpAccount& account)
{
    client.SetHostName(account.host);
    client.SetPort(account.port);
    client.SetTimeout(account.TimeoutSeconds());
    client.SetUserName(account.userId);
    client.SetPassWord(account.password);
    // The client itself keeps passive mode on for every connection through a proxy.
    client.SetPassiveMode(account.passiveMode);
}

TfrmNetwork::TfrmNetwork(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::frmNetwork>())
{
    ui->setupUi(this);
    SetSettingsFileName(platform::Application::ProgramFolder() + QStringLiteral("/Tarvo Lite.sif"));

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
QCheckBox* TfrmNetwork::CheckSafeUpload() const { return ui->CheckSafeUpload; }

void TfrmNetwork::SetSettings(settings::TProgramSettings* programSettings)
{
    settings_ = programSettings;
    ownSettings_.reset();
}

void TfrmNetwork::SetSettingsFileName(const QString& fileName)
{
    ownSettings_ = std::make_unique<settings::TProgramSettings>(fileName);
    settings_ = ownSettings_.get();
}

QString TfrmNetwork::UpdateInterval() const
{
    return OnGetUpdateInterval ? OnGetUpdateInterval() : settings_->updateInterval;
}

void TfrmNetwork::SetUpdateInterval(const QString& interval)
{
    if (OnSetUpdateInterval)
        OnSetUpdateInterval(interval);
}

void TfrmNetwork::FormShow()
{
    if (settings_->LoadAccount()) {
        const settings::FtpAccount& a = settings_->account;
        ui->edFTPhost->setText(a.host);
        ui->edPort->setText(a.port);
        ui->edTimeout->setText(a.timeout);
        ui->edUserID->setText(a.userId);
        SetUpdateInterval(settings_->updateInterval);
        ui->CheckAutoStart->setChecked(a.autoStart);
        ui->CheckBoxPassive->setChecked(a.passiveMode);
        ui->CheckSafeUpload->setChecked(a.safeUpload);
    }
    if (ui->edPort->text().isEmpty())
        ui->edPort->setText(QStringLiteral("21"));
    ui->edPassword->setText(settings_->account.password);
}

void TfrmNetwork::OKBtnClick()
{
    settings::FtpAccount typed;
    typed.host = ui->edFTPhost->text();
    typed.port = ui->edPort->text();
    typed.timeout = ui->edTimeout->text();
    typed.userId = ui->edUserID->text();
    typed.password = ui->edPassword->text();
    typed.autoStart = ui->CheckAutoStart->isChecked();
    typed.passiveMode = ui->CheckBoxPassive->isChecked();
    typed.safeUpload = ui->CheckSafeUpload->isChecked();
    settings_->SaveAccount(typed, UpdateInterval());

    const settings::FtpAccount& accepted = settings_->account;
    if (ftpClient_)
        ApplyFtpAccount(*ftpClient_, accepted);
    if (OnApplyFtpSettings)
        OnApplyFtpSettings(accepted);
    SetUpdateInterval(settings_->updateInterval);
    ui->CheckAutoStart->setChecked(accepted.autoStart);

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
