#pragma once
// The drivers' own dialogs: video format, source (picture controls, applied
// live), display options and compression. Each is modal and answers true when
// the user accepted it. Object names let tests find and answer them.

#include "capture/engine/CaptureDevice.h"

#include <QSize>
#include <QString>

#include <memory>

class QWidget;

namespace platform::capture {

// The device may go away while a dialog shows (unplugged, closed by an
// error handler): from then on the dialog applies nothing and answers false.

// "CaptureFormatDialog": combo box "FrameSizeCombo".
bool ShowFormatDialog(QWidget* parent, const std::weak_ptr<CaptureDevice>& device, QString* error);
// "CaptureSourceDialog": one control per device control, named "Control<id>";
// Cancel puts the values back.
bool ShowSourceDialog(QWidget* parent, const std::weak_ptr<CaptureDevice>& device);
// "CaptureDisplayDialog": check box "ShowInfoCheck".
bool ShowDisplayDialog(QWidget* parent, const std::weak_ptr<CaptureDevice>& device);
// "CaptureCompressionDialog": combo box "CodecCombo"; codec is in and out.
bool ShowCompressionDialog(QWidget* parent, QString& codec);

}  // namespace platform::capture
