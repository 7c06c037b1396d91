#include "ui/Caption.h"

#include "ui/DialogOk.h"
#include "ui_Caption.h"

#include <QColorDialog>
#include <QPixmap>

TfrmCaption::TfrmCaption(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::frmCaption>())
{
    ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    // The spin box's lowest value stands for letters scaled with the picture.
    ui->SpinFontSize->setMinimum(settings::kCaptionFontMin - 1);
    ui->SpinFontSize->setMaximum(settings::kCaptionFontMax);
    SetSettings(settings::CaptionSettings{});
    connect(ui->CheckCaption, &QCheckBox::toggled, this, [this] { FollowChoices(); });
    connect(ui->BtnTextColour, &QPushButton::clicked, this, [this] {
        const QColor chosen = QColorDialog::getColor(colour_, this, tr("Text Colour"));
        if (chosen.isValid())
            ShowColour(chosen);
    });
    ConnectOkButton(ui->OKBtn, this, [this] {
        if (OnSave)
            OnSave(Settings());
    });
    connect(ui->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

TfrmCaption::~TfrmCaption() = default;

void TfrmCaption::SetSettings(const settings::CaptionSettings& c)
{
    ui->CheckCaption->setChecked(c.enabled);
    ui->EditText->setText(c.text);
    ui->ComboPosition->setCurrentIndex(int(c.position));
    ui->SpinFontSize->setValue(c.fontSize > 0 ? c.fontSize : ui->SpinFontSize->minimum());
    ui->CheckBox->setChecked(c.box);
    ShowColour(c.textColour);
    FollowChoices();
}

settings::CaptionSettings TfrmCaption::Settings() const
{
    settings::CaptionSettings c;
    c.enabled = ui->CheckCaption->isChecked();
    c.text = ui->EditText->text();
    c.position = settings::CaptionSettings::Position(ui->ComboPosition->currentIndex());
    c.fontSize = ui->SpinFontSize->value() == ui->SpinFontSize->minimum() ? 0 : ui->SpinFontSize->value();
    c.textColour = colour_;
    c.box = ui->CheckBox->isChecked();
    return c;
}

void TfrmCaption::ShowColour(const QColor& colour)
{
    colour_ = colour;
    QPixmap swatch(16, 12);
    swatch.fill(colour);
    ui->BtnTextColour->setIcon(QIcon(swatch));
    ui->BtnTextColour->setText(colour.name());
}

void TfrmCaption::FollowChoices()
{
    // Shown while the caption is off, but not to be changed.
    const bool on = ui->CheckCaption->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(ui->EditText), static_cast<QWidget*>(ui->ComboPosition),
                       static_cast<QWidget*>(ui->SpinFontSize), static_cast<QWidget*>(ui->BtnTextColour),
                       static_cast<QWidget*>(ui->CheckBox)})
        w->setEnabled(on);
}
