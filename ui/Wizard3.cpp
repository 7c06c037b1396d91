#include "ui/Wizard3.h"

#include "ftp/FtpCli.h"
#include "platform/application.h"
#include "platform/dialogs.h"
#include "ui/Gauge.h"
#include "ui/Wizard1.h"
#include "ui/Wizard2.h"
#include "ui_Wizard3.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QLineEdit>
#include <QShowEvent>
#include <QStyle>

namespace {

// What Finish uploads from "Server", and the names on the server.
struct UploadFile {
    const char* local;
    const char* host;
};
constexpr UploadFile kUploads[] = {
    {"tarvolt.html", "tarvolt.html"},
    {"stopcap.jpg", "Capture.jpg"},
    {"stoptime.bmp", "datetime.bmp"},
};

}  // namespace

TfrmWizard3::TfrmWizard3(TWizardContext& context, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::frmWizard3>()), context_(context)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(536, 233);
    QPalette memo = ui->Memo1->palette();
    memo.setColor(QPalette::Base, WizardMemoColor());
    ui->Memo1->setPalette(memo);
    QPalette wait = ui->lblWait->palette();
    wait.setColor(QPalette::Window, Qt::yellow);
    ui->lblWait->setPalette(wait);
    ui->BitBtnBack->setIcon(style()->standardIcon(QStyle::SP_ArrowLeft));
    ui->BitBtnFinish->setIcon(style()->standardIcon(QStyle::SP_DialogApplyButton));

    connect(ui->BitBtnBack, &QPushButton::clicked, this, [this] { BitBtnBackClick(); });
    connect(ui->BitBtnFinish, &QPushButton::clicked, this, [this] {
        try {
            BitBtnFinishClick();
        } catch (const std::exception& e) {
            platform::ShowUnhandledException(e);
        }
    });
    connect(ui->btnCancelWizard, &QPushButton::clicked, this, [this] { btnCancelWizardClick(); });
    context_.frmWizard3 = this;
}

TfrmWizard3::~TfrmWizard3()
{
    if (context_.frmWizard3 == this)
        context_.frmWizard3 = nullptr;
}

TGauge* TfrmWizard3::Gauge() const { return ui->Gauge; }

void TfrmWizard3::FormShow()
{
    setWindowTitle(WizardCaption(3));
    if (context_.frmWizard1)
        context_.frmWizard1->hide();
    if (context_.frmWizard2)
        context_.frmWizard2->hide();
}

void TfrmWizard3::BitBtnBackClick()
{
    if (context_.frmWizard2)
        context_.frmWizard2->show();
}

void TfrmWizard3::AdvanceGauge()
{
    ui->Gauge->SetProgress((ui->Gauge->Progress() + 20) % 100);
}

void TfrmWizard3::SetBusy(bool busy)
{
    uploading_ = busy;
    ui->lblWait->setVisible(busy);
    ui->Gauge->setVisible(busy);
    ui->BitBtnFinish->setEnabled(!busy);
    ui->btnCancelWizard->setEnabled(!busy);
    ui->BitBtnBack->setEnabled(!busy);
}

void TfrmWizard3::BitBtnFinishClick()
{
    if (uploading_)
        return;
    SetBusy(true);
    try {
        Finish();
    } catch (...) {
        // Give the page back so the user can fix the cause and finish again.
        QDir::setCurrent(context_.ProgramFolderPath());
        ui->Gauge->SetProgress(0);
        SetBusy(false);
        throw;
    }
    SetBusy(false);

    if (context_.frmWizard1)
        context_.frmWizard1->SetModalResult(platform::mrOk);
    close();
    context_.FocusMainWindow();
}

void TfrmWizard3::Finish()
{
    const QString programFolder = context_.ProgramFolderPath();
    const QString serverFolder = programFolder + QStringLiteral("/Server");
    // The client takes local names relative to the current folder.
    if (!QDir(serverFolder).exists() || !QDir::setCurrent(serverFolder))
        throw EInOutError(QStringLiteral("I/O error 3: the folder \"%1\" was not found.").arg(serverFolder));

    TFtpClient* client = context_.FtpClient;
    settings::TProgramSettings* programSettings = context_.Settings;
    if (client && programSettings) {
        client->SetHostName(programSettings->account.host);
        client->SetUserName(programSettings->account.userId);
        client->SetPassWord(programSettings->account.password);
    }
    // The results are not examined here: the client's own events report failures.
    for (const UploadFile& file : kUploads) {
        if (client) {
            client->SetHostFileName(QString::fromLatin1(file.host));
            client->SetLocalFileName(QString::fromLatin1(file.local));
            client->Upload();
        }
        AdvanceGauge();
    }
    if (client && client->IsConnected())
        client->Quit();
    QDir::setCurrent(programFolder);

    context_.FirstRun = false;
    AdvanceGauge();

    if (programSettings) {
        if (programSettings->account.port.isEmpty())
            programSettings->account.port = QStringLiteral("21");
        programSettings->SaveWizardAccount();
    }
    AdvanceGauge();
}

void TfrmWizard3::btnCancelWizardClick()
{
    if (ConfirmCancelWizard()) {
        context_.FirstRun = false;
        close();
    }
}

void TfrmWizard3::FormClose()
{
    if (context_.frmWizard1)
        context_.frmWizard1->SetModalResult(platform::mrOk);
    if (context_.MainWindow)
        context_.MainWindow->show();
    context_.FocusMainWindow();
}

void TfrmWizard3::showEvent(QShowEvent* event)
{
    CentreOnScreenOnce(this, centred_);
    if (!event->spontaneous())
        FormShow();
    QWidget::showEvent(event);
}

void TfrmWizard3::closeEvent(QCloseEvent* event)
{
    // Closing in the middle of the uploads would give the main window back
    // while the wizard still drives its FTP client.
    if (uploading_) {
        event->ignore();
        return;
    }
    FormClose();
    QWidget::closeEvent(event);
}
