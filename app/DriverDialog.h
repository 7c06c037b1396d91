#pragma once
// The capture driver selection: a drop-down list of the installed drivers
// with OK and Cancel, created for each showing.

#include <QDialog>

class QComboBox;

class TDriverDialog : public QDialog
{
    Q_OBJECT

public:
    explicit TDriverDialog(QWidget* parent = nullptr);

    QComboBox* ComboBox1() const { return comboBox1_; }

private:
    QComboBox* comboBox1_ = nullptr;
};
