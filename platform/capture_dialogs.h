#pragma once
// The drivers' own dialogs: video format, source (picture controls, applied
// live), display options and compression. Each is modal and answers true when
// the user accepted it. Object names let tests find and answer them.

#include "platform/capture_device.h"

#include <QSize>
#include <QString>

class QWidget;

namespace platform::capture {

// "CaptureFormatDialog": combo box "FrameSizeCombo".
bool ShowFormatDialog(QWidget* parent, CaptureDevice& device, QString* error);
// "CaptureSourceDialog": one control per device control, named "Control<id>";
// Cancel puts the values back.
bool ShowSourceDialog(QWidget* parent, CaptureDevice& device);
// "CaptureDisplayDialog": check box "ShowInfoCheck".
bool ShowDisplayDialog(QWidget* parent, CaptureDevice& device);
// "CaptureCompressionDialog": combo box "CodecCombo"; codec is in and out.
bool ShowCompressionDialog(QWidget* parent, QString& codec);

}  // namespace platform::capture
