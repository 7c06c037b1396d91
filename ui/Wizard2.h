#pragma once
// Page 2 of the configuration wizard: a summary of the answers of page 1.

#include <QWidget>

#include <memory>

struct TWizardContext;

namespace Ui {
class frmWizard2;
}

class TfrmWizard2 : public QWidget
{
    Q_OBJECT

public:
    explicit TfrmWizard2(TWizardContext& context, QWidget* parent = nullptr);
    ~TfrmWizard2() override;

    // Window handlers.
    void FormShow();
    void BitBtnBackClick();
    void BitBtnNextClick();
    void btnCancelWizardClick();
    void FormClose();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<Ui::frmWizard2> ui;
    TWizardContext& context_;
    bool centred_ = false;
};
