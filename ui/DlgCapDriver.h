#pragma once
// The capture driver selection dialog: a drop-down list of the installed
// drivers. Created for each showing and freed afterwards.

#include <QDialog>

#include <memory>

class QComboBox;
class QPushButton;
class TVideoCap;

namespace Ui {
class DlgCapDriver;
}

class TDlgCapDriver : public QDialog
{
    Q_OBJECT

public:
    explicit TDlgCapDriver(QWidget* parent = nullptr);
    ~TDlgCapDriver() override;

    QComboBox* ComboBox1() const;
    QPushButton* OKBtn() const;
    QPushButton* CancelBtn() const;

    // The whole driver selection for the main window's menu command: lists
    // the drivers, closes the driver, shows the dialog, stores the chosen
    // index on OK and opens the driver again whatever the answer (which
    // raises "No capture driver selected" when none is chosen).
    static void SelectDriver(TVideoCap& videoCap, QWidget* parent);

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::unique_ptr<Ui::DlgCapDriver> ui;
    bool centred_ = false;
};
