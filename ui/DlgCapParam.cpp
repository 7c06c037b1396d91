#include "ui/DlgCapParam.h"

#include "capture/videocap.h"
#include "platform/application.h"
#include "settings/Settings.h"
#include "ui/DialogOk.h"
#include "ui/DigitFilter.h"
#include "ui_DlgCapParam.h"

#include <QScreen>
#include <QShowEvent>

namespace {

TARVO_DECLARE_EXCEPTION(EConvertError, Exception);
TARVO_DECLARE_EXCEPTION(ERangeError, Exception);

// The integer a field holds, read the way the settings file reads numbers;
// anything else is the standard conversion error.
int FieldInteger(const QString& text)
{
    const int a = platform::StrToIntDef(text, 0);
    if (a != platform::StrToIntDef(text, 1))
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return a;
}

std::uint16_t Word(int value)
{
    if (value < 0 || value > 65535)
        throw ERangeError(QStringLiteral("Range check error"));
    return std::uint16_t(value);
}

}  // namespace

TDlgCapParam::TDlgCapParam(TVideoCap* videoCap, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::DlgCapParam>()), videoCap_(videoCap)
{
    ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    settingsFileName_ = platform::Application::ProgramFolder() + QStringLiteral("/Tarvo Lite.sif");
    for (QLineEdit* edit : {ui->edFrameRate, ui->edCapTime, ui->edIndexSize, ui->edBufferSize})
        InstallDigitFilter(edit);

    if (videoCap_) {
        ui->CheckAudio->setChecked(videoCap_->CapAudio());
        ui->edFrameRate->setText(QString::number(videoCap_->FrameRate()));
        ui->edCapTime->setText(QString::number(videoCap_->CapTimeLimit()));
        ui->edIndexSize->setText(QString::number(videoCap_->CapIndexSize()));
        ui->edBufferSize->setText(QString::number(videoCap_->BufferFileSize()));
    }

    ConnectOkButton(ui->OKBtn, this, [this] { OKBtnClick(); });
    connect(ui->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

TDlgCapParam::~TDlgCapParam() = default;

QCheckBox* TDlgCapParam::CheckAudio() const { return ui->CheckAudio; }
QLineEdit* TDlgCapParam::edFrameRate() const { return ui->edFrameRate; }
QLineEdit* TDlgCapParam::edCapTime() const { return ui->edCapTime; }
QLineEdit* TDlgCapParam::edIndexSize() const { return ui->edIndexSize; }
QLineEdit* TDlgCapParam::edBufferSize() const { return ui->edBufferSize; }
QPushButton* TDlgCapParam::OKBtn() const { return ui->OKBtn; }
QPushButton* TDlgCapParam::CancelBtn() const { return ui->CancelBtn; }

void TDlgCapParam::FormShow()
{
    const settings::TProgramSettings file(settingsFileName_);
    if (!file.Exists())
        return;
    const settings::CaptureParameters p = file.ReadCaptureParameters();
    ui->edFrameRate->setText(p.frameRate);
    ui->edCapTime->setText(p.captureTime);
    ui->edIndexSize->setText(p.indexSize);
    ui->edBufferSize->setText(p.bufferSize);
    ui->CheckAudio->setChecked(p.captureAudio);
}

void TDlgCapParam::OKBtnClick()
{
    settings::CaptureParameters p;
    p.frameRate = ui->edFrameRate->text();
    p.captureTime = ui->edCapTime->text();
    p.indexSize = ui->edIndexSize->text();
    p.bufferSize = ui->edBufferSize->text();
    p.captureAudio = ui->CheckAudio->isChecked();
    settings::TProgramSettings(settingsFileName_).SaveCaptureParameters(p);

    setResult(QDialog::Rejected);  // stays open should a later step fail
    const int frameRate = FieldInteger(ui->edFrameRate->text());
    const int capTime = FieldInteger(ui->edCapTime->text());
    const int indexSize = FieldInteger(ui->edIndexSize->text());
    const int bufferSize = FieldInteger(ui->edBufferSize->text());

    if (!videoCap_)
        return;
    videoCap_->SetCapAudio(ui->CheckAudio->isChecked());
    videoCap_->SetFrameRate(Word(frameRate));
    videoCap_->SetCapTimeLimit(Word(capTime));
    if (indexSize < 0)
        throw ERangeError(QStringLiteral("Range check error"));
    videoCap_->SetCapIndexSize(std::uint32_t(indexSize));
    videoCap_->SetBufferFileSize(Word(bufferSize));
}

void TDlgCapParam::showEvent(QShowEvent* event)
{
    if (!centred_ && screen()) {
        centred_ = true;
        move(screen()->availableGeometry().center() - rect().center());
    }
    if (!event->spontaneous())
        FormShow();
    QDialog::showEvent(event);
}
