#include "app/CaptureControls.h"

#include "app/CameraChoice.h"
#include "app/ProgramFiles.h"
#include "capture/videocap.h"
#include "platform/dialogs.h"
#include "platform/messages.h"
#include "ui/DlgCapDriver.h"
#include "ui/DlgCapParam.h"
#include "ui_Main.h"

#include <QCheckBox>
#include <QFileInfo>

namespace app {

QString ButtonStyle(bool red)
{
    return red ? QStringLiteral("QPushButton:enabled { color: rgb(255, 0, 0); }")
               : QStringLiteral("QPushButton:enabled { color: rgb(0, 128, 0); }");
}

void SetButtonColour(QPushButton* button, bool red)
{
    const QFont font = button->font();
    const QSize size = button->size();
    button->setStyleSheet(ButtonStyle(red));
    button->setFont(font);
    button->resize(size);
}

TCaptureControls::TCaptureControls(Ui::TMain& ui, TVideoCap& cap, const ProgramFiles& files,
                                   TDriverChoice& driverChoice, QWidget* window)
    : ui_(ui), cap_(cap), files_(files), driverChoice_(driverChoice), window_(window)
{
    SetRecordingLook(false);

    // Ticking a box from code runs its handler as a click does.
    connect(ui_.CheckPrev, &QCheckBox::toggled, this, [this] { CheckPrevClick(); });
    connect(ui_.CheckOverl, &QCheckBox::toggled, this, [this] { CheckOverlClick(); });
    connect(ui_.CheckFitWindow, &QCheckBox::toggled, this, [this] { CheckFitWindowClick(); });
    connect(ui_.CheckProportional, &QCheckBox::toggled, this, [this] { CheckProportionalClick(); });
    connect(ui_.Edit1, &QLineEdit::textChanged, this, [this] { Edit1Change(); });
    connect(ui_.btnSnapshot, &QPushButton::clicked, this, [this] { btnSnapshotClick(); });
    connect(ui_.menuSnapshot, &QAction::triggered, this, [this] { btnSnapshotClick(); });
    connect(ui_.BtStartStop, &QPushButton::clicked, this, [this] { BtStartStopClick(); });
    connect(ui_.menuVideo, &QAction::triggered, this, [this] { BtStartStopClick(); });
    connect(ui_.menuVideoDriver1, &QAction::triggered, this, [this] { SelectDriver(); });
    connect(ui_.menuCaptureparameter1, &QAction::triggered, this, [this] { menuCaptureparameter1Click(); });
    connect(ui_.menuVideoFormat1, &QAction::triggered, this, [this] { cap_.DlgVideoFormat(); });
    connect(ui_.menuVideoSource1, &QAction::triggered, this, [this] { cap_.DlgVideoSource(); });
    connect(ui_.menuVideoDisplay1, &QAction::triggered, this, [this] { cap_.DlgVideoDisplay(); });
    connect(ui_.menuVideoCompression1, &QAction::triggered, this, [this] { cap_.DlgVideoCompression(); });

    cap_.OnStatus = [this](TVideoCap*) { Video1Status(); };
    cap_.OnStatusCallback = [this](TVideoCap*, int id, const QString& text) { Video1StatusCallback(id, text); };
}

TCaptureControls::~TCaptureControls()
{
    cap_.OnStatus = nullptr;
    cap_.OnStatusCallback = nullptr;
}

void TCaptureControls::RestoreLocalDisplay()
{
    if (cap_.DriverOpen() && cap_.HasOverlay())
        TickBox(ui_.CheckOverl, &TCaptureControls::CheckOverlClick);
    else
        TickBox(ui_.CheckPrev, &TCaptureControls::CheckPrevClick);
    TickBox(ui_.CheckProportional, &TCaptureControls::CheckProportionalClick);
    TickBox(ui_.CheckFitWindow, &TCaptureControls::CheckFitWindowClick);
}

void TCaptureControls::SelectDriver()
{
    try {
        TDlgCapDriver::SelectDriver(cap_, window_);
    } catch (...) {
        driverChoice_.Remember(cap_);
        throw;
    }
    driverChoice_.Remember(cap_);
}

void TCaptureControls::TickBox(QCheckBox* box, void (TCaptureControls::*handler)())
{
    if (box->isChecked())
        (this->*handler)();
    else
        box->setChecked(true);  // runs the handler through toggled
}

void TCaptureControls::CheckPrevClick()
{
    cap_.SetVideoPreview(ui_.CheckPrev->isChecked());
}

void TCaptureControls::CheckOverlClick()
{
    cap_.SetVideoOverlay(ui_.CheckOverl->isChecked());
}

void TCaptureControls::CheckFitWindowClick()
{
    cap_.SetPreviewScaleToWindow(ui_.CheckFitWindow->isChecked());
}

void TCaptureControls::CheckProportionalClick()
{
    cap_.SetPreviewScaleProportional(ui_.CheckProportional->isChecked());
}

void TCaptureControls::Edit1Change()
{
    if (ui_.Edit1->text().isEmpty()) {
        ui_.Edit1->setText(QStringLiteral("15"));  // runs this rule again
        return;
    }
    bool ok = false;
    const int rate = ui_.Edit1->text().toInt(&ok);
    cap_.SetPreviewRate(ok && rate >= 1 && rate <= 30 ? static_cast<std::uint16_t>(rate) : 15);
}

void TCaptureControls::btnSnapshotClick()
{
    cap_.SetSingleImageFile(files_.SnapshotsFolder() + ui_.EditCapPicture->text());
    cap_.GrabFrameNoStop();
    if (!cap_.SaveAsDIB()) {
        platform::Dialogs().MessageBeep();
        platform::Dialogs().MessageDlg(QStringLiteral("Could not save picture. See Error Log"),
                                       platform::MsgDlgType::Error, platform::mbOK);
        return;
    }
    // Saving makes no other sign: the status bar says it, as a recording's start and end do.
    if (OnStatusText)
        OnStatusText(QStringLiteral("Snapshot saved: ") + QFileInfo(cap_.SingleImageFile()).fileName());
}

void TCaptureControls::EnableRecordingLocks(bool enabled)
{
    ui_.btnSnapshot->setEnabled(enabled);
    ui_.GroupBox1->setEnabled(enabled);
    ui_.GroupBox3->setEnabled(enabled);
    ui_.menuSnapshot->setEnabled(enabled);
    ui_.menuPeriodicUpdate->setEnabled(enabled);
    ui_.menuWizard->setEnabled(enabled);
}

void TCaptureControls::BtStartStopClick()
{
    if (cap_.CapturingNow()) {
        cap_.StopCapture();
        EnableRecordingLocks(true);
        return;
    }
    cap_.SetVideoFileName(files_.VideosFolder() + ui_.EditVideoFile->text());
    EnableRecordingLocks(false);
    // A capture that does not start gives the controls back at once.
    if (!cap_.StartCapture())
        EnableRecordingLocks(true);
}

void TCaptureControls::SetRecordingLook(bool recording)
{
    ui_.BtStartStop->setText(recording ? QStringLiteral("Stop Video") : QStringLiteral("Start Video"));
    SetButtonColour(ui_.BtStartStop, recording);
    ui_.menuVideo->setText(recording ? QStringLiteral("Stop Video Recording") : QStringLiteral("Start Video Recording"));
    if (OnRecordingLook)
        OnRecordingLook(recording);
}

void TCaptureControls::Video1StatusCallback(int id, const QString& text)
{
    if (id == platform::IDS_CAP_STAT_VIDEOCURRENT)
        return;
    if (OnStatusText)
        OnStatusText(text);
    if (id == platform::IDS_CAP_END) {
        SetRecordingLook(false);
        // A capture ended by its time limit or the stop key gives the controls
        // back too; a motion recording during the update took none.
        if (Idle())
            EnableRecordingLocks(true);
        if (cap_.BufferFileSize() != 0)
            cap_.SaveCapture();
        if (OnCaptureEnded)
            OnCaptureEnded();
    } else if (id == platform::IDS_CAP_BEGIN) {
        SetRecordingLook(true);
    }
}

void TCaptureControls::Video1Status()
{
    const bool driver = cap_.DriverIndex() != -1;
    ui_.CheckPrev->setEnabled(driver);
    // While the website update runs, compression stays locked.
    ui_.menuVideoCompression1->setEnabled(driver && Idle());
    ui_.Edit1->setText(QString::number(cap_.PreviewRate()));
    ui_.CheckOverl->setEnabled(cap_.HasOverlay());
    ui_.CheckPrev->setChecked(cap_.VideoPreview());
    ui_.CheckOverl->setChecked(cap_.VideoOverlay());
    ui_.menuVideoFormat1->setEnabled(cap_.HasDlgFormat());
    ui_.menuVideoDisplay1->setEnabled(cap_.HasDlgDisplay());
    ui_.menuVideoSource1->setEnabled(cap_.HasDlgSource());
    TickBox(ui_.CheckFitWindow, &TCaptureControls::CheckFitWindowClick);
}

void TCaptureControls::menuCaptureparameter1Click()
{
    TDlgCapParam dialog(&cap_, window_);
    dialog.SetSettingsFileName(files_.SettingsFile());
    dialog.exec();
}

}  // namespace app
