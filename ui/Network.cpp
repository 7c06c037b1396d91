#include "ui/Network.h"

#include "ftp/FtpCli.h"
#include "platform/application.h"
#include "ui/ConnectionTest.h"
#include "ui/DialogOk.h"
#include "ui/DigitFilter.h"
#include "ui/ServerCheck.h"
#include "ui_Network.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QProxyStyle>
#include <QScreen>
#include <QShowEvent>
#include <QValidator>

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

// The time limit field: a text the settings would not use as it stands
// cannot be confirmed. It stays editable, so that a number can be corrected
// digit by digit; the digit filter has refused other keys already.
class TimeoutValidator : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString& input, int& /*position*/) const override
    {
        return settings::FtpTimeoutInRange(input) ? Acceptable : Intermediate;
    }
};

}  // namespace

TfrmNetwork::TfrmNetwork(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::frmNetwork>())
{
    ui->setupUi(this);
    SetSettingsFileName(platform::Application::ProgramFolder() + QStringLiteral("/Tarvo Lite.sif"));

    auto* plusStyle = new PlusPasswordStyle;
    plusStyle->setParent(this);
    ui->edPassword->setStyle(plusStyle);

    InstallDigitFilter(ui->edPort);
    InstallDigitFilter(ui->edTimeout);
    FitDigits(ui->edPort, 5);
    FitDigits(ui->edTimeout, 4);
    ui->edTimeout->setValidator(new TimeoutValidator(ui->edTimeout));
    connect(ui->edPort, &QLineEdit::textChanged, this, [this] { edPortChange(); });
    connect(ui->edTimeout, &QLineEdit::textChanged, this, [this] { edTimeoutChange(); });
    ConnectOkButton(ui->OKBtn, this, [this] { OKBtnClick(); });
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    // The user's choice only: loading the stored one suggests nothing.
    connect(ui->cbSecurity, &QComboBox::activated, this, [this] { cbSecurityChange(); });
    connect(ui->cbSecurity, &QComboBox::currentIndexChanged, this, [this] { ShowChoiceFields(); });
    ShowChoiceFields();
    connect(ui->btnKeyFile, &QPushButton::clicked, this, [this] { btnKeyFileClick(); });
    connect(ui->btnCheckServer, &QPushButton::clicked, this, [this] { btnCheckServerClick(); });

    // Above OK and Cancel, with the values as typed.
    connectionTest_ = new TConnectionTest(this);
    ui->mainLayout->insertWidget(ui->mainLayout->count() - 1, connectionTest_);
    // As laid out: the fields, the test, then OK and Cancel.
    connectionTest_->PlaceInTabOrder(ui->btnCheckServer, ui->OKBtn);
    setTabOrder(ui->OKBtn, ui->btnCancel);
    connectionTest_->OnGetAccount = [this] { return TypedAccount(); };
    // A host key met for the first time is offered for trust as Check server does.
    connectionTest_->OnEnded = [this](const TUploadResult& result) {
        if (result.hostKeyState != TUploadResult::HostKey::Unknown)
            return;
        TServerCheck check;
        check.hostKeyState = result.hostKeyState;
        check.hostKey = result.hostKey;
        const QString print = AskToTrustHostKey(check);
        if (!print.isEmpty())
            ui->edHostKey->setText(print);  // kept by OK
    };
}

TfrmNetwork::~TfrmNetwork() = default;

void TfrmNetwork::SetTransport(TUploadRunner* transport)
{
    checker_.SetTransport(transport);
    connectionTest_->SetTransport(transport);
}

QLineEdit* TfrmNetwork::edFTPhost() const { return ui->edFTPhost; }
QLineEdit* TfrmNetwork::edPort() const { return ui->edPort; }
QLineEdit* TfrmNetwork::edTimeout() const { return ui->edTimeout; }
QLineEdit* TfrmNetwork::edUserID() const { return ui->edUserID; }
QLineEdit* TfrmNetwork::edPassword() const { return ui->edPassword; }
QLineEdit* TfrmNetwork::edRemoteFolder() const { return ui->edRemoteFolder; }
QCheckBox* TfrmNetwork::CheckBoxPassive() const { return ui->CheckBoxPassive; }
QCheckBox* TfrmNetwork::CheckAutoStart() const { return ui->CheckAutoStart; }
QCheckBox* TfrmNetwork::chkSessionStart() const { return ui->chkSessionStart; }
QCheckBox* TfrmNetwork::CheckSafeUpload() const { return ui->CheckSafeUpload; }
QComboBox* TfrmNetwork::cbSecurity() const { return ui->cbSecurity; }
QLineEdit* TfrmNetwork::edFingerprint() const { return ui->edFingerprint; }
QPushButton* TfrmNetwork::btnCheckServer() const { return ui->btnCheckServer; }
QLineEdit* TfrmNetwork::edHostKey() const { return ui->edHostKey; }
QLineEdit* TfrmNetwork::edKeyFile() const { return ui->edKeyFile; }

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
        // A stored limit the program would not use as it stands shows as the one it uses.
        ui->edTimeout->setText(settings::FtpTimeoutInRange(a.timeout) ? a.timeout
                                                                      : QString::number(a.TimeoutSeconds()));
        ui->edUserID->setText(a.userId);
        ui->edRemoteFolder->setText(a.remoteFolder);
        ui->CheckAutoStart->setChecked(a.autoStart);
        ui->CheckBoxPassive->setChecked(a.passiveMode);
        ui->CheckSafeUpload->setChecked(a.safeUpload);
        ui->cbSecurity->setCurrentIndex(ConnectionChoice(a));
        ui->edFingerprint->setText(a.tls.fingerprint);
        ui->edHostKey->setText(a.ssh.hostKey);
        ui->edKeyFile->setText(a.ssh.keyFile);
    }
    if (ui->edPort->text().isEmpty())
        ui->edPort->setText(QStringLiteral("21"));
    ui->edPassword->setText(settings_->account.password);
    const bool sessionHooks = OnGetSessionStart && OnSetSessionStart;
    ui->chkSessionStart->setVisible(sessionHooks);
    if (sessionHooks)
        ui->chkSessionStart->setChecked(OnGetSessionStart());
}

settings::FtpAccount TfrmNetwork::TypedAccount() const
{
    settings::FtpAccount typed;
    typed.host = ui->edFTPhost->text();
    typed.port = ui->edPort->text();
    typed.timeout = ui->edTimeout->text();
    typed.userId = ui->edUserID->text();
    typed.password = ui->edPassword->text();
    typed.remoteFolder = ui->edRemoteFolder->text().trimmed();
    typed.autoStart = ui->CheckAutoStart->isChecked();
    typed.passiveMode = ui->CheckBoxPassive->isChecked();
    typed.safeUpload = ui->CheckSafeUpload->isChecked();
    typed.tls = settings_->account.tls;  // kept while SFTP is chosen
    ApplyConnectionChoice(ui->cbSecurity->currentIndex(), typed);
    typed.ssh.hostKey = ui->edHostKey->text().trimmed();
    typed.ssh.keyFile = ui->edKeyFile->text().trimmed();
    // Kept in the openssl tool's form when it is a fingerprint at all;
    // anything else stays as typed and matches no certificate.
    const QString typedPrint = ui->edFingerprint->text().trimmed();
    const QString print = TlsNormalizeFingerprint(typedPrint);
    typed.tls.fingerprint = print.isEmpty() ? typedPrint : print;
    return typed;
}

void TfrmNetwork::OKBtnClick()
{
    if (!ui->edTimeout->hasAcceptableInput()) {
        ui->edTimeout->setFocus();
        throw Exception(QStringLiteral("The FTP time-out must be %1 to %2 seconds.")
                            .arg(settings::kFtpTimeoutMin)
                            .arg(settings::kFtpTimeoutMax));
    }
    settings_->SaveAccount(TypedAccount(), UpdateInterval());

    const settings::FtpAccount& accepted = settings_->account;
    SetUpdateInterval(settings_->updateInterval);
    ui->CheckAutoStart->setChecked(accepted.autoStart);
    ui->edFingerprint->setText(accepted.tls.fingerprint);
    ui->edHostKey->setText(accepted.ssh.hostKey);

    // The account is saved by now; a refused autostart entry is reported alone.
    if (OnGetSessionStart && OnSetSessionStart && ui->chkSessionStart->isChecked() != OnGetSessionStart()) {
        if (const QString error = OnSetSessionStart(ui->chkSessionStart->isChecked()); !error.isEmpty()) {
            ui->chkSessionStart->setChecked(OnGetSessionStart());
            throw Exception(error);
        }
    }

    if (ui->edPort->text().isEmpty())
        ui->edPort->setText(QStringLiteral("21"));
}

void TfrmNetwork::edPortChange()
{
    if (ui->edPort->text().isEmpty())
        ui->edPort->setText(QStringLiteral("21"));
}

void TfrmNetwork::cbSecurityChange()
{
    ui->edPort->setText(SuggestedPort(ui->cbSecurity->currentIndex(), ui->edPort->text()));
}

void TfrmNetwork::btnCheckServerClick()
{
    checker_.Start(TypedAccount(), {ui->OKBtn, ui->btnCancel, ui->btnCheckServer}, [this](const TServerCheck& check) {
        const QString print = ReportServerCheck(check);
        if (!print.isEmpty())  // kept by OK
            (ui->cbSecurity->currentIndex() == kSftpChoice ? ui->edHostKey : ui->edFingerprint)->setText(print);
    });
}

void TfrmNetwork::ShowChoiceFields()
{
    // Shown only where they mean something: the dialog then fits a laptop's screen.
    const int choice = ui->cbSecurity->currentIndex();
    const bool sftp = choice == kSftpChoice;
    const bool tls = choice == ftpExplicitTls || choice == ftpImplicitTls;
    ui->CheckBoxPassive->setVisible(!sftp);
    for (QWidget* w : std::initializer_list<QWidget*>{ui->lblFingerprint, ui->edFingerprint})
        w->setVisible(tls);
    for (QWidget* w : std::initializer_list<QWidget*>{ui->lblHostKey, ui->edHostKey, ui->lblKeyFile, ui->edKeyFile,
                                                       ui->btnKeyFile})
        w->setVisible(sftp);
}

void TfrmNetwork::btnKeyFileClick()
{
    const QString start = ui->edKeyFile->text().isEmpty() ? QDir::homePath() + QStringLiteral("/.ssh")
                                                          : ui->edKeyFile->text();
    const QString chosen = QFileDialog::getOpenFileName(this, QStringLiteral("SSH private key"), start);
    if (!chosen.isEmpty())
        ui->edKeyFile->setText(chosen);
}

void TfrmNetwork::done(int result)
{
    checker_.Cancel();
    connectionTest_->Close();
    QDialog::done(result);
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
