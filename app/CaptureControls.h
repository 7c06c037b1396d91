#pragma once
// The window's local capture controls: picture mode and scaling, frame rate,
// snapshot, manual recording and the video menus. The main window owns the
// widgets; this wires them to the capture component and keeps their rules.

#include <QObject>
#include <QString>

#include <functional>

class QCheckBox;
class QPushButton;
class QWidget;
class TVideoCap;

namespace Ui {
class TMain;
}

namespace app {

class ProgramFiles;
class TDriverChoice;

// A start/stop button's font: green to start, red to stop; a disabled button
// keeps the style's grey.
QString ButtonStyle(bool red);
// Gives a start/stop button that colour. Its font and size stay as they are:
// a style sheet set on a shown button would otherwise let it lose the
// window's font for the application's larger one, and its caption no
// longer fits.
void SetButtonColour(QPushButton* button, bool red);

class TCaptureControls : public QObject
{
public:
    // window: the parent of the capture dialogs.
    TCaptureControls(Ui::TMain& ui, TVideoCap& cap, const ProgramFiles& files, TDriverChoice& driverChoice,
                     QWidget* window);
    ~TCaptureControls() override;

    // Ticks the picture mode the driver offers (overlay, else preview) and
    // the scaling.
    void RestoreLocalDisplay();
    // Closes the driver, lets the user choose and reopens it whatever the
    // answer; without a driver the reopening raises. Only this choice
    // changes the driver that is kept for the next run.
    void SelectDriver();

    // Whether the website update is idle: only then does a capture that ends
    // give the controls back, and only then is compression offered.
    std::function<bool()> UpdateIdle;
    // The capture's status lines, for the status bar.
    std::function<void(const QString&)> OnStatusText;
    // A recording has ended (saved, when it had a buffer file).
    std::function<void()> OnCaptureEnded;
    // The recording controls took the recording look, or the idle one.
    std::function<void(bool recording)> OnRecordingLook;

private:
    void TickBox(QCheckBox* box, void (TCaptureControls::*handler)());
    void CheckPrevClick();
    void CheckOverlClick();
    void CheckFitWindowClick();
    void CheckProportionalClick();
    void Edit1Change();
    void btnSnapshotClick();
    void BtStartStopClick();
    void EnableRecordingLocks(bool enabled);
    void SetRecordingLook(bool recording);
    void Video1Status();
    void Video1StatusCallback(int id, const QString& text);
    void menuCaptureparameter1Click();
    bool Idle() const { return !UpdateIdle || UpdateIdle(); }

    Ui::TMain& ui_;
    TVideoCap& cap_;
    const ProgramFiles& files_;
    TDriverChoice& driverChoice_;
    QWidget* window_;
};

}  // namespace app
