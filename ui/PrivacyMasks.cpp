#include "ui/PrivacyMasks.h"

#include "ui/DialogOk.h"
#include "ui/MotionPictures.h"
#include "ui_PrivacyMasks.h"

TfrmPrivacyMasks::TfrmPrivacyMasks(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::frmPrivacyMasks>())
{
    ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    connect(ui->BtnClearMask, &QPushButton::clicked, this, [this] { ui->MaskPicture->ClearMask(); });
    connect(ui->MaskPicture, &TMaskPicture::MaskChanged, this, [this] {
        if (OnAreasChanged)
            OnAreasChanged(Settings().areas);
    });
    ConnectOkButton(ui->OKBtn, this, [this] {
        if (OnSave)
            OnSave(Settings());
    });
    connect(ui->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

TfrmPrivacyMasks::~TfrmPrivacyMasks() = default;

TMaskPicture* TfrmPrivacyMasks::MaskPicture() const
{
    return ui->MaskPicture;
}

void TfrmPrivacyMasks::SetSettings(const settings::PrivacyMaskSettings& masks)
{
    ui->RadioBlurred->setChecked(masks.fill == settings::PrivacyMaskSettings::Fill::Blurred);
    ui->RadioBlack->setChecked(masks.fill != settings::PrivacyMaskSettings::Fill::Blurred);
    QList<QRect> areas;
    for (const QRectF& a : masks.areas)
        areas << settings::PrivacyAreaInThousandths(a);  // outwards: never smaller
    ui->MaskPicture->SetMask(areas);
}

settings::PrivacyMaskSettings TfrmPrivacyMasks::Settings() const
{
    settings::PrivacyMaskSettings masks;
    masks.fill = ui->RadioBlurred->isChecked() ? settings::PrivacyMaskSettings::Fill::Blurred
                                               : settings::PrivacyMaskSettings::Fill::Black;
    for (const QRect& r : ui->MaskPicture->Mask())
        masks.areas << settings::PrivacyAreaFromThousandths(r);
    return masks;
}

void TfrmPrivacyMasks::ShowPicture(const QImage& picture)
{
    ui->MaskPicture->SetPicture(picture);
}
