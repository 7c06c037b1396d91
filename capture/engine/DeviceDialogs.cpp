#include "capture/engine/DeviceDialogs.h"

#include "capture/engine/AviWriter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include <map>

namespace platform::capture {
namespace {

QDialogButtonBox* AddButtons(QDialog& dialog, QVBoxLayout* layout)
{
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->setObjectName(QStringLiteral("Buttons"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    return buttons;
}

}  // namespace

bool ShowFormatDialog(QWidget* parent, const std::weak_ptr<CaptureDevice>& weak, QString* error)
{
    std::shared_ptr<CaptureDevice> shown = weak.lock();
    if (!shown)
        return false;
    QDialog dialog(parent ? parent->window() : nullptr);
    dialog.setObjectName(QStringLiteral("CaptureFormatDialog"));
    dialog.setWindowTitle(QStringLiteral("Video Format"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* form = new QFormLayout;
    auto* sizes = new QComboBox(&dialog);
    sizes->setObjectName(QStringLiteral("FrameSizeCombo"));
    const QList<QSize> offered = shown->FrameSizes();
    for (const QSize& s : offered) {
        sizes->addItem(QStringLiteral("%1 x %2").arg(s.width()).arg(s.height()), s);
        if (s == shown->FrameSize())
            sizes->setCurrentIndex(sizes->count() - 1);
    }
    shown.reset();
    form->addRow(QStringLiteral("Image size:"), sizes);
    form->addRow(QStringLiteral("Format:"), new QLabel(QStringLiteral("RGB 24 bit"), &dialog));
    layout->addLayout(form);
    AddButtons(dialog, layout);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const std::shared_ptr<CaptureDevice> live = weak.lock();
    if (!live)
        return false;
    const QSize chosen = sizes->currentData().toSize();
    if (chosen.isValid() && chosen != live->FrameSize() && !live->SetFrameSize(chosen, error))
        return false;
    return true;
}

bool ShowSourceDialog(QWidget* parent, const std::weak_ptr<CaptureDevice>& weak)
{
    std::shared_ptr<CaptureDevice> shown = weak.lock();
    if (!shown)
        return false;
    auto set = [weak](std::uint32_t id, int value) {
        if (const std::shared_ptr<CaptureDevice> device = weak.lock())
            device->SetControl(id, value);
    };
    QDialog dialog(parent ? parent->window() : nullptr);
    dialog.setObjectName(QStringLiteral("CaptureSourceDialog"));
    dialog.setWindowTitle(QStringLiteral("Video Source"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* form = new QFormLayout;
    const QList<DeviceControl> controls = shown->Controls();
    shown.reset();
    std::map<std::uint32_t, int> original;
    for (const DeviceControl& c : controls) {
        original[c.id] = c.value;
        const QString name = QStringLiteral("Control%1").arg(c.id);
        const std::uint32_t id = c.id;
        switch (c.type) {
        case DeviceControl::Type::Boolean: {
            auto* box = new QCheckBox(&dialog);
            box->setObjectName(name);
            box->setChecked(c.value != 0);
            QObject::connect(box, &QCheckBox::toggled, &dialog, [set, id](bool on) { set(id, on); });
            form->addRow(c.name, box);
            break;
        }
        case DeviceControl::Type::Menu: {
            auto* combo = new QComboBox(&dialog);
            combo->setObjectName(name);
            for (int i = 0; i < c.menu.size(); ++i)
                combo->addItem(c.menu[i], c.minimum + i);
            combo->setCurrentIndex(c.value - c.minimum);
            QObject::connect(combo, &QComboBox::currentIndexChanged, &dialog, [set, id, combo](int) {
                set(id, combo->currentData().toInt());
            });
            form->addRow(c.name, combo);
            break;
        }
        case DeviceControl::Type::Integer: {
            auto* slider = new QSlider(Qt::Horizontal, &dialog);
            slider->setObjectName(name);
            slider->setRange(c.minimum, c.maximum);
            slider->setSingleStep(std::max(1, c.step));
            slider->setValue(c.value);
            slider->setMinimumWidth(200);
            QObject::connect(slider, &QSlider::valueChanged, &dialog,
                             [set, id](int v) { set(id, v); });
            form->addRow(c.name, slider);
            break;
        }
        }
    }
    layout->addLayout(form);
    AddButtons(dialog, layout);
    const bool accepted = dialog.exec() == QDialog::Accepted;
    if (weak.expired())
        return false;
    if (!accepted)
        for (const auto& [id, value] : original)
            set(id, value);
    return accepted;
}

bool ShowDisplayDialog(QWidget* parent, const std::weak_ptr<CaptureDevice>& weak)
{
    std::shared_ptr<CaptureDevice> shown = weak.lock();
    if (!shown)
        return false;
    QDialog dialog(parent ? parent->window() : nullptr);
    dialog.setObjectName(QStringLiteral("CaptureDisplayDialog"));
    dialog.setWindowTitle(QStringLiteral("Video Display"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* info = new QCheckBox(QStringLiteral("Show frame counter and time"), &dialog);
    info->setObjectName(QStringLiteral("ShowInfoCheck"));
    info->setChecked(shown->ShowInfo());
    shown.reset();
    layout->addWidget(info);
    AddButtons(dialog, layout);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const std::shared_ptr<CaptureDevice> live = weak.lock();
    if (!live)
        return false;
    live->SetShowInfo(info->isChecked());
    return true;
}

bool ShowCompressionDialog(QWidget* parent, QString& codec)
{
    QDialog dialog(parent ? parent->window() : nullptr);
    dialog.setObjectName(QStringLiteral("CaptureCompressionDialog"));
    dialog.setWindowTitle(QStringLiteral("Video Compression"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* form = new QFormLayout;
    auto* combo = new QComboBox(&dialog);
    combo->setObjectName(QStringLiteral("CodecCombo"));
    for (const AviCodec& c : AviVideoCodecs()) {
        combo->addItem(QStringLiteral("%1 (%2)").arg(c.description, c.name), c.name);
        if (c.name == codec)
            combo->setCurrentIndex(combo->count() - 1);
    }
    form->addRow(QStringLiteral("Compressor:"), combo);
    layout->addLayout(form);
    AddButtons(dialog, layout);
    if (dialog.exec() != QDialog::Accepted || combo->currentIndex() < 0)
        return false;
    codec = combo->currentData().toString();
    return true;
}

}  // namespace platform::capture
