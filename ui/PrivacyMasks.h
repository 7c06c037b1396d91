#pragma once
// The privacy masks dialog: areas drawn over a still of the camera's picture,
// filled black or blurred. Created for each showing.

#include "settings/PrivacyMaskSettings.h"

#include <QDialog>

#include <functional>
#include <memory>

class TMaskPicture;

namespace Ui {
class frmPrivacyMasks;
}

class TfrmPrivacyMasks : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmPrivacyMasks(QWidget* parent = nullptr);
    ~TfrmPrivacyMasks() override;

    void SetSettings(const settings::PrivacyMaskSettings& masks);
    settings::PrivacyMaskSettings Settings() const;
    // The picture behind the areas, as the camera took it; shown scaled.
    void ShowPicture(const QImage& picture);
    TMaskPicture* MaskPicture() const;

    // The areas as they are drawn now, at every change.
    std::function<void(const QList<QRectF>& areas)> OnAreasChanged;
    // OK: saves what the dialog shows. An exception keeps the dialog open.
    std::function<void(const settings::PrivacyMaskSettings&)> OnSave;

private:
    std::unique_ptr<Ui::frmPrivacyMasks> ui;
};
