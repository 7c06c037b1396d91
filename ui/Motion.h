#pragma once
// The motion detection dialog: detection on or off, sensitivity, the
// smallest area, the mask drawn on the live picture, the actions on motion
// and the quiet time. Created for each showing.

#include "settings/MotionSettings.h"

#include <QDialog>

#include <functional>
#include <memory>

class TMaskPicture;

namespace Ui {
class frmMotion;
}

class TfrmMotion : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmMotion(QWidget* parent = nullptr);
    ~TfrmMotion() override;

    void SetSettings(const settings::MotionSettings& motion);
    settings::MotionSettings Settings() const;
    // The live picture behind the mask; shown scaled.
    void ShowPicture(const QImage& frame);
    TMaskPicture* MaskPicture() const;

    // OK: saves what the dialog shows. An exception keeps the dialog open.
    std::function<void(const settings::MotionSettings&)> OnSave;

private:
    void FollowChoices();

    std::unique_ptr<Ui::frmMotion> ui;
};
