#include "ui/Wizard1.h"

#include "ftp/FtpCli.h"
#include "platform/application.h"
#include "platform/dialogs.h"
#include "ui/DigitFilter.h"
#include "ui/ErrorLook.h"
#include "ui/ConnectionTest.h"
#include "ui/ServerCheck.h"
#include "ui/Wizard2.h"
#include "ui/Wizard3.h"
#include "ui_Wizard1.h"

#include <QComboBox>
#include <QCloseEvent>
#include <QEventLoop>
#include <QPointer>
#include <QProxyStyle>
#include <QScreen>
#include <QShowEvent>

namespace {

const QString kProgramName = QStringLiteral("Tarvo Lite");

// A colour value of the platform: blue in the high byte, red in the low one.
QColor ColorFromValue(unsigned value)
{
    return QColor(value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF);
}

void SetBaseColor(QWidget* w, const QColor& color)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Base, color);
    w->setPalette(p);
}

void SetTextColor(QWidget* w, const QColor& color)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, color);
    w->setPalette(p);
}

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

// Runs a handler from a click: what it lets escape goes to the standard error box.
template <typename F>
void Guarded(F&& handler)
{
    try {
        handler();
    } catch (const std::exception& e) {
        platform::ShowUnhandledException(e);
    }
}

}  // namespace

QString TWizardContext::ProgramFolderPath() const
{
    return ProgramFolder.isEmpty() ? platform::Application::ProgramFolder() : ProgramFolder;
}

void TWizardContext::FocusMainWindow() const
{
    if (MainWindow && MainWindow->isVisible())
        MainWindow->activateWindow();
}

QColor WizardMemoColor() { return ColorFromValue(16776176); }

QString WizardCaption(int step)
{
    return kProgramName + QStringLiteral(" - Setup and Configuration Wizard - Step ") + QString::number(step);
}

bool ConfirmCancelWizard()
{
    platform::Dialogs().MessageBeep();
    const int answer = platform::Dialogs().MessageDlg(
        QStringLiteral("If you cancel this Wizard it will not start\r"
                       "again unless you run it from the menu \"File\".\r"
                       "Do you really want to Cancel ?"),
        platform::MsgDlgType::Warning, platform::mbYes | platform::mbNo);
    return answer == platform::mrYes;
}

void CentreOnScreenOnce(QWidget* page, bool& centred)
{
    if (centred || !page->screen())
        return;
    centred = true;
    page->move(page->screen()->availableGeometry().center() - page->rect().center());
}

TfrmWizard1::TfrmWizard1(TWizardContext& context, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::frmWizard1>()), context_(context)
{
    ui->setupUi(this);
    // Single border, system menu and minimise only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(531, 423);

    SetBaseColor(ui->Memo1, WizardMemoColor());
    SetBaseColor(ui->MemoNoGo, Qt::yellow);
    SetTextColor(ui->lblFTPaccess, Qt::blue);
    SetTextColor(ui->lblNetwork, Qt::blue);
    auto* plusStyle = new PlusPasswordStyle;
    plusStyle->setParent(this);
    ui->edPassword->setStyle(plusStyle);
    ui->BitBtnBack->setIcon(style()->standardIcon(QStyle::SP_ArrowLeft));
    ui->BitBtnNext->setIcon(style()->standardIcon(QStyle::SP_ArrowRight));

    // Clicks by the user only: unchecking a box from code is no answer.
    connect(ui->cbYesFTP, &QCheckBox::clicked, this, [this] { cbYesFTPClick(); });
    connect(ui->cbNoFTP, &QCheckBox::clicked, this, [this] { cbNoFTPClick(); });
    connect(ui->BitBtnNext, &QPushButton::clicked, this, [this] { Guarded([this] { BitBtnNextClick(); }); });
    connect(ui->BitBtnBack, &QPushButton::clicked, this, [this] { BitBtnBackClick(); });
    connect(ui->btnCancelWizard, &QPushButton::clicked, this, [this] { btnCancelWizardClick(); });
    // A server elsewhere than the usual port gets its own field, not "host:port".
    InstallDigitFilter(ui->edPort);
    FitDigits(ui->edPort, 5);
    connect(ui->cbSecurity, &QComboBox::activated, this,
            [this](int choice) { ui->edPort->setText(SuggestedPort(choice, TypedPort())); });

    setWindowTitle(WizardCaption(1));
    checker_.SetTransport(context_.Transport);
    connectionTest_ = new TConnectionTest(this, TConnectionTest::Lines::Window);
    connectionTest_->setGeometry(16, 388, 200, 25);
    connectionTest_->hide();
    // Left of Back in the row of buttons.
    connectionTest_->PlaceInTabOrder(ui->edRemoteFolder, ui->BitBtnBack);
    setTabOrder(ui->BitBtnBack, ui->BitBtnNext);
    setTabOrder(ui->BitBtnNext, ui->btnCancelWizard);
    connectionTest_->SetTransport(context_.Transport);
    connectionTest_->OnGetAccount = [this] { return TypedAccount(); };
    // A host key met for the first time is offered for trust as Next does.
    connectionTest_->OnEnded = [this](const TUploadResult& result) {
        if (result.hostKeyState != TUploadResult::HostKey::Unknown || !TrustHostKey(result.hostKey))
            return;
        const settings::FtpAccount tested = TypedAccount();
        testedKey_ = {tested.host, tested.port, result.hostKey};
    };
    SetErrorLook(ui->lblHostKeyNeeded, true);
    context_.frmWizard1 = this;
}

TfrmWizard1::~TfrmWizard1()
{
    if (loop_)
        loop_->exit();
    if (context_.frmWizard1 == this)
        context_.frmWizard1 = nullptr;
}

QCheckBox* TfrmWizard1::cbYesFTP() const { return ui->cbYesFTP; }
QCheckBox* TfrmWizard1::cbNoFTP() const { return ui->cbNoFTP; }
QLineEdit* TfrmWizard1::edFTPhost() const { return ui->edFTPhost; }
QLineEdit* TfrmWizard1::edUserID() const { return ui->edUserID; }
QLineEdit* TfrmWizard1::edPassword() const { return ui->edPassword; }
QLineEdit* TfrmWizard1::edRemoteFolder() const { return ui->edRemoteFolder; }
QLineEdit* TfrmWizard1::edPort() const { return ui->edPort; }

settings::FtpAccount TfrmWizard1::TypedAccount() const
{
    settings::FtpAccount account = context_.Settings ? context_.Settings->account : settings::FtpAccount{};
    account.host = ui->edFTPhost->text();
    account.userId = ui->edUserID->text();
    account.password = ui->edPassword->text();
    account.remoteFolder = ui->edRemoteFolder->text().trimmed();
    const int choice = ui->cbSecurity->currentIndex();
    ApplyConnectionChoice(choice, account);
    account.port = SuggestedPort(choice, TypedPort());
    PinTestedHostKey(account);
    return account;
}

void TfrmWizard1::PinTestedHostKey(settings::FtpAccount& account) const
{
    if (account.Sftp() && !testedKey_.key.isEmpty() && account.host == testedKey_.host &&
        account.port == testedKey_.port)
        account.ssh.hostKey = testedKey_.key;
}

bool TfrmWizard1::TrustHostKey(const QString& hostKey)
{
    TServerCheck check;
    check.hostKeyState = TUploadResult::HostKey::Unknown;
    check.hostKey = hostKey;
    const bool trusted = !AskToTrustHostKey(check).isEmpty();
    ui->lblHostKeyNeeded->setVisible(!trusted);
    return trusted;
}

QString TfrmWizard1::TypedPort() const
{
    const QString port = ui->edPort->text();
    return port.isEmpty() ? QStringLiteral("21") : port;
}
QComboBox* TfrmWizard1::cbSecurity() const { return ui->cbSecurity; }

int TfrmWizard1::ShowModal()
{
    if (loop_)
        return platform::mrNone;
    modalResult_ = platform::mrNone;
    QPointer<TfrmWizard1> self(this);
    QEventLoop loop;
    loop_ = &loop;
    show();
    raise();
    activateWindow();
    if (modalResult_ == platform::mrNone)
        loop.exec(QEventLoop::DialogExec);
    if (!self)
        return platform::mrOk;
    loop_ = nullptr;
    hide();
    if (context_.frmWizard2)
        context_.frmWizard2->hide();
    if (context_.frmWizard3)
        context_.frmWizard3->hide();
    return modalResult_;
}

void TfrmWizard1::SetModalResult(int result)
{
    modalResult_ = result;
    if (result != platform::mrNone && loop_)
        loop_->exit();
}

void TfrmWizard1::FormShow()
{
    if (context_.Settings) {
        ui->cbSecurity->setCurrentIndex(ConnectionChoice(context_.Settings->account));
        const QString& port = context_.Settings->account.port;
        ui->edPort->setText(port.isEmpty() ? QStringLiteral("21") : port);
        // Optional, so shown as stored: Next keeps it unless it is changed here.
        ui->edRemoteFolder->setText(context_.Settings->account.remoteFolder);
    }
    if (context_.frmWizard2)
        context_.frmWizard2->hide();
    if (context_.frmWizard3)
        context_.frmWizard3->hide();
}

void TfrmWizard1::cbYesFTPClick()
{
    if (ui->cbYesFTP->isChecked()) {
        ui->cbNoFTP->setChecked(false);
        ui->lblNetwork->show();
        ui->GroupBoxFTPaccount->show();
        connectionTest_->show();
        ui->MemoNoGo->hide();
    }
    ui->BitBtnNext->setEnabled(true);
    ui->BitBtnBack->setEnabled(true);
}

void TfrmWizard1::cbNoFTPClick()
{
    if (ui->cbNoFTP->isChecked()) {
        ui->cbYesFTP->setChecked(false);
        ui->lblNetwork->hide();
        ui->GroupBoxFTPaccount->hide();
        ui->lblHostKeyNeeded->hide();
        connectionTest_->Close();
        connectionTest_->hide();
        ui->MemoNoGo->show();
    }
    ui->BitBtnNext->setEnabled(true);
    ui->BitBtnBack->setEnabled(true);
}

void TfrmWizard1::BitBtnNextClick()
{
    // The transport is wanted for the check and the uploads now.
    connectionTest_->Close();
    if (ui->cbNoFTP->isChecked()) {
        EndWizard();
        return;
    }
    if (!ui->cbYesFTP->isChecked())
        return;

    const QString host = ui->edFTPhost->text();
    const QString user = ui->edUserID->text();
    const QString password = ui->edPassword->text();
    if (host.isEmpty() || user.isEmpty() || password.isEmpty()) {
        platform::Dialogs().MessageBeep();
        platform::Dialogs().MessageDlg(QStringLiteral("All questions must be answered and valid and complete \r"
                                                      "information must be entered in the Account fields."),
                                       platform::MsgDlgType::Error, platform::mbOK);
        return;
    }

    if (context_.Settings)
        context_.Settings->SaveLogin(host, user, password, ui->edRemoteFolder->text().trimmed());
    ApplySecurityChoice();
}

void TfrmWizard1::ApplySecurityChoice()
{
    settings::TProgramSettings* stored = context_.Settings;
    if (!stored) {
        if (context_.frmWizard2)
            context_.frmWizard2->show();
        return;
    }
    settings::FtpAccount account = stored->account;
    const int choice = ui->cbSecurity->currentIndex();
    ApplyConnectionChoice(choice, account);
    account.port = SuggestedPort(choice, TypedPort());
    PinTestedHostKey(account);
    // SFTP always has a host key to judge; FTP a certificate only with TLS.
    if ((account.Sftp() || account.tls.mode != ftpPlain) &&
        checker_.Start(account, {ui->BitBtnNext, ui->BitBtnBack, ui->btnCancelWizard},
                       [this, account](const TServerCheck& check) mutable {
                           if (check.Untrusted()) {
                               const QString print = AskToTrust(check);
                               if (!print.isEmpty())
                                   account.tls.fingerprint = print;
                           } else if (check.hostKeyState == TUploadResult::HostKey::Unknown) {
                               // The uploads would be refused without it: the page stays.
                               if (!TrustHostKey(check.hostKey))
                                   return;
                               account.ssh.hostKey = check.hostKey;
                           }
                           Guarded([&] { StoreSecurityChoice(account); });
                       }))
        return;
    StoreSecurityChoice(account);
}

void TfrmWizard1::StoreSecurityChoice(const settings::FtpAccount& account)
{
    if (settings::TProgramSettings* stored = context_.Settings) {
        // A file that never had TLS or SFTP keeps its keys as they were.
        if (account.port != stored->account.port || !(account.tls == stored->account.tls))
            stored->SaveSecurity(account.tls, account.port);
        if (!(account.ssh == stored->account.ssh))
            stored->SaveSsh(account.ssh);
    }
    if (context_.frmWizard2)
        context_.frmWizard2->show();
}

void TfrmWizard1::BitBtnBackClick()
{
    if (ui->cbNoFTP->isChecked()) {
        EndWizard();
        return;
    }
    ResetAnswers();
}

void TfrmWizard1::ResetAnswers()
{
    ui->BitBtnNext->setEnabled(false);
    ui->BitBtnBack->setEnabled(false);
    ui->GroupBoxFTPaccount->hide();
    ui->lblHostKeyNeeded->hide();
    connectionTest_->Close();
    connectionTest_->hide();
    ui->lblNetwork->hide();
    ui->cbYesFTP->setChecked(false);
    ui->cbNoFTP->setChecked(false);
    ui->MemoNoGo->hide();
}

void TfrmWizard1::btnCancelWizardClick()
{
    if (ui->cbNoFTP->isChecked()) {
        EndWizard();
        return;
    }
    if (ConfirmCancelWizard()) {
        context_.Settings->firstRun = false;
        close();
    }
}

void TfrmWizard1::EndWizard()
{
    SetModalResult(platform::mrOk);
    close();
    context_.FocusMainWindow();
}

void TfrmWizard1::FormClose()
{
    SetModalResult(platform::mrOk);
    context_.FocusMainWindow();
}

void TfrmWizard1::showEvent(QShowEvent* event)
{
    CentreOnScreenOnce(this, centred_);
    if (!event->spontaneous())
        FormShow();
    QWidget::showEvent(event);
}

void TfrmWizard1::closeEvent(QCloseEvent* event)
{
    // The wizard ends: a running check is no longer wanted.
    checker_.Cancel();
    connectionTest_->Close();
    FormClose();
    QWidget::closeEvent(event);
}
