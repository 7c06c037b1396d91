#include "ui/Wizard2.h"

#include "platform/dialogs.h"
#include "ui/Wizard1.h"
#include "ui/Wizard3.h"
#include "ui_Wizard2.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLineEdit>
#include <QShowEvent>
#include <QStyle>

TfrmWizard2::TfrmWizard2(TWizardContext& context, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::frmWizard2>()), context_(context)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(531, 252);
    QPalette p = ui->Memo1->palette();
    p.setColor(QPalette::Base, WizardMemoColor());
    ui->Memo1->setPalette(p);
    ui->BitBtnBack->setIcon(style()->standardIcon(QStyle::SP_ArrowLeft));
    ui->BitBtnNext->setIcon(style()->standardIcon(QStyle::SP_ArrowRight));

    connect(ui->BitBtnBack, &QPushButton::clicked, this, [this] { BitBtnBackClick(); });
    connect(ui->BitBtnNext, &QPushButton::clicked, this, [this] { BitBtnNextClick(); });
    connect(ui->btnCancelWizard, &QPushButton::clicked, this, [this] { btnCancelWizardClick(); });
    context_.frmWizard2 = this;
}

TfrmWizard2::~TfrmWizard2()
{
    if (context_.frmWizard2 == this)
        context_.frmWizard2 = nullptr;
}

void TfrmWizard2::FormShow()
{
    setWindowTitle(WizardCaption(2));
    const TfrmWizard1* page1 = context_.frmWizard1;
    if (page1 && page1->cbYesFTP()->isChecked()) {
        ui->lblFTPaccess2->setText(QStringLiteral("Yes"));
        ui->lblFTPhost2->setText(page1->edFTPhost()->text());
        ui->lblUserID2->setText(page1->edUserID()->text());
        // Dots, one per character, as a password field shows it: the
        // summary may be read over the user's shoulder.
        ui->lblPassword2->setText(QString(page1->edPassword()->text().size(), QChar(0x25CF)));
    } else {
        const QString na = QStringLiteral("Not applicable");
        ui->lblFTPaccess2->setText(QStringLiteral("No"));
        ui->lblFTPhost2->setText(na);
        ui->lblUserID2->setText(na);
        ui->lblPassword2->setText(na);
    }
    if (context_.frmWizard1)
        context_.frmWizard1->hide();
    if (context_.frmWizard3)
        context_.frmWizard3->hide();
}

void TfrmWizard2::BitBtnBackClick()
{
    if (context_.frmWizard1)
        context_.frmWizard1->show();
}

void TfrmWizard2::BitBtnNextClick()
{
    if (context_.frmWizard3)
        context_.frmWizard3->show();
}

void TfrmWizard2::btnCancelWizardClick()
{
    if (ConfirmCancelWizard()) {
        context_.Settings->firstRun = false;
        close();
    }
}

void TfrmWizard2::FormClose()
{
    if (context_.frmWizard1)
        context_.frmWizard1->SetModalResult(platform::mrOk);
    context_.FocusMainWindow();
}

void TfrmWizard2::showEvent(QShowEvent* event)
{
    CentreOnScreenOnce(this, centred_);
    if (!event->spontaneous())
        FormShow();
    QWidget::showEvent(event);
}

void TfrmWizard2::closeEvent(QCloseEvent* event)
{
    FormClose();
    QWidget::closeEvent(event);
}
