#include "ui/Wizard3.h"

#include "platform/application.h"
#include "platform/dialogs.h"
#include "ui/CameraIndex.h"
#include "ui/Gauge.h"
#include "ui/Wizard1.h"
#include "ui/Wizard2.h"
#include "ui_Wizard3.h"
#include "upload/UploadRunner.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QShowEvent>
#include <QStyle>
#include <QTemporaryDir>

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
    platform::Dialogs().SetCursor(busy ? platform::Cursor::HourGlass : platform::Cursor::Default);
}

void TfrmWizard3::GiveBack()
{
    // The page as it was, so that the user can fix the cause and finish again.
    ui->Gauge->SetProgress(0);
    SetBusy(false);
}

void TfrmWizard3::BitBtnFinishClick()
{
    if (uploading_)
        return;
    indexFolder_.reset();
    const QString serverFolder = context_.ProgramFolderPath() + QStringLiteral("/Server");
    const bool withIndex = PrepareIndex(serverFolder);
    SetBusy(true);
    if (!QDir(serverFolder).exists()) {
        GiveBack();
        throw EInOutError(QStringLiteral("I/O error 3: the folder \"%1\" was not found.").arg(serverFolder));
    }
    if (withIndex && !indexFolder_) {
        GiveBack();
        throw EInOutError(QStringLiteral("I/O error 2: the camera index could not be made from \"%1\".")
                              .arg(serverFolder + QLatin1Char('/') + kCameraIndexName));
    }

    TUploadJob job;
    job.purpose = TUploadPurpose::WizardPage;
    if (context_.Settings)
        job.account = context_.Settings->account;
    for (const UploadFile& file : kUploads)
        job.files.push_back({serverFolder + QLatin1Char('/') + QString::fromLatin1(file.local), QString::fromLatin1(file.host)});
    // Stored directly: nothing on the server shows these files yet.
    job.safe = false;
    // The results are not examined here: the transport reports failures.
    TUploadRunner* transport = context_.Transport;
    // The index starts once the runner has let go of this job.
    const auto next = [this](const TUploadResult&) { QMetaObject::invokeMethod(this, [this] { UploadIndex(); }, Qt::QueuedConnection); };
    if (transport && transport->Start(job, next,
                                      [this](std::size_t, bool) { AdvanceGauge(); }))
        return;
    for (std::size_t i = 0; i < job.files.size(); ++i)
        AdvanceGauge();
    UploadIndex();
}

bool TfrmWizard3::PrepareIndex(const QString& serverFolder)
{
    if (!context_.IndexCameras || !context_.Settings)
        return false;
    const std::vector<TIndexCamera> cameras = context_.IndexCameras(context_.Settings->account);
    if (!CameraIndexOffered(cameras))
        return false;
    const int answer = platform::Dialogs().MessageDlg(
        QStringLiteral("%1 camera profiles upload to this server. Upload a page that shows all their pictures (%2) "
                       "to the folder the login starts in as well?")
            .arg(cameras.size())
            .arg(kCameraIndexName),
        platform::MsgDlgType::Confirmation, platform::mbYes | platform::mbNo);
    if (answer != platform::mrYes)
        return false;

    // Made now, so that a missing template is told before anything is sent.
    QFile templateFile(serverFolder + QLatin1Char('/') + kCameraIndexName);
    if (!templateFile.open(QIODevice::ReadOnly))
        return true;
    const QByteArray page = CameraIndexPage(QString::fromUtf8(templateFile.readAll()), cameras).toUtf8();
    auto folder = std::make_unique<QTemporaryDir>();
    QFile out(folder->filePath(kCameraIndexName));
    if (!folder->isValid() || !out.open(QIODevice::WriteOnly) || out.write(page) != page.size() || !out.flush())
        return true;
    indexFolder_ = std::move(folder);
    return true;
}

void TfrmWizard3::UploadIndex()
{
    if (!indexFolder_) {
        UploadsDone();
        return;
    }
    TUploadJob job;
    job.purpose = TUploadPurpose::WizardPage;
    job.account = context_.Settings->account;
    job.account.remoteFolder.clear();  // the login folder
    job.files.push_back({indexFolder_->filePath(kCameraIndexName), kCameraIndexName});
    // Under a temporary name first: visitors may be looking at the old index.
    job.safe = true;
    const auto done = [this] {
        indexFolder_.reset();
        UploadsDone();
    };
    TUploadRunner* transport = context_.Transport;
    if (transport && transport->Start(job, [done](const TUploadResult&) { done(); }, [this](std::size_t, bool) { AdvanceGauge(); }))
        return;
    done();
}

void TfrmWizard3::UploadsDone()
{
    try {
        context_.Settings->firstRun = false;
        AdvanceGauge();
        if (settings::TProgramSettings* programSettings = context_.Settings) {
            if (programSettings->account.port.isEmpty())
                programSettings->account.port = QStringLiteral("21");
            programSettings->SaveWizardAccount();
        }
        AdvanceGauge();
    } catch (const std::exception& e) {
        GiveBack();
        platform::ShowUnhandledException(e);
        return;
    }
    SetBusy(false);

    if (context_.frmWizard1)
        context_.frmWizard1->SetModalResult(platform::mrOk);
    close();
    context_.FocusMainWindow();
}

void TfrmWizard3::btnCancelWizardClick()
{
    if (ConfirmCancelWizard()) {
        context_.Settings->firstRun = false;
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
    // Closing in the middle of the uploads would end the wizard before it
    // has saved the account.
    if (uploading_) {
        event->ignore();
        return;
    }
    FormClose();
    QWidget::closeEvent(event);
}
