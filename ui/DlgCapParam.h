#pragma once
// The capture parameters dialog: frame rate, capture time, index size, buffer
// size and audio of the main window's capture component, kept in the program
// settings file. Created for each showing and freed afterwards.

#include <QDialog>

#include <memory>

class QCheckBox;
class QLineEdit;
class QPushButton;
class TVideoCap;

namespace Ui {
class DlgCapParam;
}

class TDlgCapParam : public QDialog
{
    Q_OBJECT

public:
    // Fills the fields from videoCap, which OK then changes.
    explicit TDlgCapParam(TVideoCap* videoCap, QWidget* parent = nullptr);
    ~TDlgCapParam() override;

    // Full path of "Tarvo Lite.sif": in the executable's folder unless set.
    const QString& SettingsFileName() const { return settingsFileName_; }
    void SetSettingsFileName(const QString& fileName) { settingsFileName_ = fileName; }

    QCheckBox* CheckAudio() const;
    QLineEdit* edFrameRate() const;
    QLineEdit* edCapTime() const;
    QLineEdit* edIndexSize() const;
    QLineEdit* edBufferSize() const;
    QPushButton* OKBtn() const;
    QPushButton* CancelBtn() const;

    // Window handlers.
    void FormShow();
    // Writes the settings, then converts and applies them; raises on an
    // invalid number or a refused write, and the dialog then stays open.
    void OKBtnClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::unique_ptr<Ui::DlgCapParam> ui;
    TVideoCap* videoCap_;
    QString settingsFileName_;
    bool centred_ = false;
};
