#pragma once

#include <QMainWindow>

#include <memory>

class QLabel;

namespace Ui {
class TMain;
}

class TMain : public QMainWindow
{
    Q_OBJECT

public:
    explicit TMain(QWidget* parent = nullptr);
    ~TMain() override;

    // The status bar's two panels: 0 shows pointer hints, 1 status and errors.
    QString StatusPanelText(int index) const;
    void SetStatusPanelText(int index, const QString& text);

    void FormResize();

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void InstallHints();

    std::unique_ptr<Ui::TMain> ui;
    QLabel* statusPanels_[2] = {nullptr, nullptr};
};
