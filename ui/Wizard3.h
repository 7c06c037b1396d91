#pragma once
// Page 3 of the configuration wizard: Finish uploads the web page and the
// stop pictures from "Server", stores the account and ends the wizard.

#include "platform/exception.h"

#include <QWidget>

#include <memory>

class TGauge;
struct TWizardContext;

// The platform's input/output error: a folder that cannot be made current.
TARVO_DECLARE_EXCEPTION(EInOutError, Exception);

namespace Ui {
class frmWizard3;
}

class TfrmWizard3 : public QWidget
{
    Q_OBJECT

public:
    explicit TfrmWizard3(TWizardContext& context, QWidget* parent = nullptr);
    ~TfrmWizard3() override;

    TGauge* Gauge() const;
    // True while Finish is uploading.
    bool Uploading() const { return uploading_; }

    // Window handlers.
    void FormShow();
    void BitBtnBackClick();
    // Raises EInOutError when "Server" is missing and EIniFileException when
    // the settings file refuses a write; the buttons are given back first.
    void BitBtnFinishClick();
    void btnCancelWizardClick();
    void FormClose();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void AdvanceGauge();
    void SetBusy(bool busy);
    void Finish();

    std::unique_ptr<Ui::frmWizard3> ui;
    TWizardContext& context_;
    bool uploading_ = false;
    bool centred_ = false;
};
