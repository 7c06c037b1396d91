#pragma once
// The dialog of the caption on the uploaded picture: on or off, the user's
// text, the place, the letters' size and colour, the box behind them.
// Created for each showing.

#include "settings/CaptionSettings.h"

#include <QDialog>

#include <functional>
#include <memory>

namespace Ui {
class frmCaption;
}

class TfrmCaption : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmCaption(QWidget* parent = nullptr);
    ~TfrmCaption() override;

    void SetSettings(const settings::CaptionSettings& caption);
    settings::CaptionSettings Settings() const;

    // OK: saves what the dialog shows. An exception keeps the dialog open.
    std::function<void(const settings::CaptionSettings&)> OnSave;

private:
    void ShowColour(const QColor& colour);
    void FollowChoices();

    std::unique_ptr<Ui::frmCaption> ui;
    QColor colour_;
};
