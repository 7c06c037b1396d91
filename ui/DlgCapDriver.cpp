#include "ui/DlgCapDriver.h"

#include "capture/videocap.h"
#include "ui_DlgCapDriver.h"

#include <QScreen>

TDlgCapDriver::TDlgCapDriver(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::DlgCapDriver>())
{
    ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

TDlgCapDriver::~TDlgCapDriver() = default;

QComboBox* TDlgCapDriver::ComboBox1() const { return ui->ComboBox1; }
QPushButton* TDlgCapDriver::OKBtn() const { return ui->OKBtn; }
QPushButton* TDlgCapDriver::CancelBtn() const { return ui->CancelBtn; }

void TDlgCapDriver::SelectDriver(TVideoCap& videoCap, QWidget* parent)
{
    TDlgCapDriver dialog(parent);
    const std::unique_ptr<QStringList> drivers = GetDriverList();
    dialog.ComboBox1()->addItems(*drivers);
    videoCap.SetDriverOpen(false);
    dialog.ComboBox1()->setCurrentIndex(videoCap.DriverIndex() < dialog.ComboBox1()->count() ? videoCap.DriverIndex()
                                                                                             : -1);
    if (dialog.exec() == QDialog::Accepted)
        videoCap.SetDriverIndex(dialog.ComboBox1()->currentIndex());
    videoCap.SetDriverOpen(true);
}

void TDlgCapDriver::showEvent(QShowEvent* event)
{
    if (!centred_ && screen()) {
        centred_ = true;
        move(screen()->availableGeometry().center() - rect().center());
    }
    QDialog::showEvent(event);
}
