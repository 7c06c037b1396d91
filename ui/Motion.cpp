#include "ui/Motion.h"

#include "ui/DialogOk.h"
#include "ui/MotionPictures.h"
#include "ui_Motion.h"

TfrmMotion::TfrmMotion(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::frmMotion>())
{
    ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    SetSettings(settings::MotionSettings{});
    connect(ui->BtnClearMask, &QPushButton::clicked, this, [this] { ui->MaskPicture->ClearMask(); });
    for (QCheckBox* box : {ui->CheckSnapshot, ui->CheckRecord})
        connect(box, &QCheckBox::toggled, this, [this] { FollowChoices(); });
    ConnectOkButton(ui->OKBtn, this, [this] {
        if (OnSave)
            OnSave(Settings());
    });
    connect(ui->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

TfrmMotion::~TfrmMotion() = default;

TMaskPicture* TfrmMotion::MaskPicture() const
{
    return ui->MaskPicture;
}

void TfrmMotion::SetSettings(const settings::MotionSettings& m)
{
    ui->CheckEnabled->setChecked(m.enabled);
    ui->EditSensitivity->setValue(m.sensitivity);
    ui->EditMinArea->setValue(m.minAreaPercent);
    ui->MaskPicture->SetMask(m.mask);
    ui->CheckSnapshot->setChecked(m.snapshot);
    ui->CheckSnapshotJpeg->setChecked(m.snapshotJpeg);
    ui->CheckRecord->setChecked(m.record);
    ui->EditRecordSeconds->setValue(m.recordSeconds);
    ui->CheckUpload->setChecked(m.upload);
    ui->EditQuietSeconds->setValue(m.quietSeconds);
    ui->CheckLogMotion->setChecked(m.logMotion);
    ui->CheckOutline->setChecked(m.outline);
    FollowChoices();
}

settings::MotionSettings TfrmMotion::Settings() const
{
    settings::MotionSettings m;
    m.enabled = ui->CheckEnabled->isChecked();
    m.sensitivity = ui->EditSensitivity->value();
    m.minAreaPercent = ui->EditMinArea->value();
    m.mask = ui->MaskPicture->Mask();
    m.snapshot = ui->CheckSnapshot->isChecked();
    m.snapshotJpeg = ui->CheckSnapshotJpeg->isChecked();
    m.record = ui->CheckRecord->isChecked();
    m.recordSeconds = ui->EditRecordSeconds->value();
    m.upload = ui->CheckUpload->isChecked();
    m.quietSeconds = ui->EditQuietSeconds->value();
    m.logMotion = ui->CheckLogMotion->isChecked();
    m.outline = ui->CheckOutline->isChecked();
    return m;
}

void TfrmMotion::ShowPicture(const QImage& frame)
{
    ui->MaskPicture->SetPicture(frame);
}

void TfrmMotion::FollowChoices()
{
    // What a choice does not use is shown but cannot be changed.
    ui->CheckSnapshotJpeg->setEnabled(ui->CheckSnapshot->isChecked());
    ui->EditRecordSeconds->setEnabled(ui->CheckRecord->isChecked());
}
