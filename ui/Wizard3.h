#pragma once
// Page 3 of the configuration wizard: Finish uploads the web page and the
// stop pictures from "Server", stores the account and ends the wizard.

#include "platform/exception.h"

#include <QWidget>

#include <memory>

class QTemporaryDir;
class TGauge;
struct TWizardContext;

// The platform's input/output error: a folder that is not there.
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
    // True from Finish until the uploads have ended and the account is saved.
    bool Uploading() const { return uploading_; }

    // Window handlers.
    void FormShow();
    void BitBtnBackClick();
    // Starts the uploads of the web page and the stop pictures; once they
    // have ended, stores the account and ends the wizard. With several
    // cameras on this server it first offers their index page, which then
    // follows as a job of its own into the login folder. Raises EInOutError
    // when "Server" is missing; a settings file that refuses a write is
    // reported in the standard error box. The buttons are given back first.
    void BitBtnFinishClick();
    void btnCancelWizardClick();
    void FormClose();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void AdvanceGauge();
    void SetBusy(bool busy);
    void GiveBack();
    bool PrepareIndex(const QString& serverFolder);
    void UploadIndex();
    void UploadsDone();

    std::unique_ptr<Ui::frmWizard3> ui;
    TWizardContext& context_;
    bool uploading_ = false;
    bool centred_ = false;
    // The index page written for this Finish, until its upload has ended.
    std::unique_ptr<QTemporaryDir> indexFolder_;
};
