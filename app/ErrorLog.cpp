#include "app/ErrorLog.h"

#include "platform/dialogs.h"
#include "platform/inifile.h"
#include "platform/locale.h"
#include "platform/profile.h"
#include "ui/LogForm.h"

#include <QDir>

namespace {
const QString kSeparator = QStringLiteral(" :   ");
const QString kDeviceNotDetected = QStringLiteral("Capture device was not detected.");
const QString kFrameNotSaved = QStringLiteral("Could not save captured frame to disk");

// The log that hears of files written in place.
TErrorLog* inPlaceLog = nullptr;

}  // namespace

TErrorLog::TErrorLog(TLogForm& viewer) : viewer_(viewer)
{
    inPlaceLog = this;
    platform::SetInPlaceWriteReport([](const QString& fileName) {
        if (inPlaceLog)
            inPlaceLog->Note(QDir::toNativeSeparators(fileName)
                             + QStringLiteral(" is written in place, as its folder allows no new files: "
                                              "a crash during a write can cut it short"));
    });
}

TErrorLog::~TErrorLog()
{
    if (inPlaceLog == this)
        inPlaceLog = nullptr;
}

QString TErrorLog::FrameNotSaved()
{
    return kFrameNotSaved;
}

QString TErrorLog::Stamp() const
{
    return platform::DateTimeToStr(Now ? Now() : QDateTime::currentDateTime());
}

void TErrorLog::Status(const QString& text)
{
    if (OnStatusText)
        OnStatusText(text);
}

bool TErrorLog::Append(const QString& line)
{
    if (!logErrors_)
        return true;
    return Write(line);
}

bool TErrorLog::Write(const QString& line)
{
    if (!fileRead_) {
        viewer_.ReloadFromFile();
        fileRead_ = true;
    }
    viewer_.AppendLine(line);
    if (viewer_.WriteLogFile())
        return true;
    Status(platform::UnableToWriteMessage(QDir::toNativeSeparators(viewer_.LogFileName())));
    return false;
}

void TErrorLog::CaptureError(int /*errorId*/, const QString& text)
{
    Status(text);
    if (!text.isEmpty())
        Append(Stamp() + kSeparator + QStringLiteral("Error = ") + text);
    if (text == kDeviceNotDetected) {
        platform::Dialogs().MessageBeep();
        if (OnDeviceNotDetected)
            OnDeviceNotDetected();
        platform::Dialogs().MessageDlg(
            QStringLiteral("Capture device was not detected. Connect camera before running this program."),
            platform::MsgDlgType::Warning, platform::mbOK);
    }
}

void TErrorLog::CaptureReturned(const QString& driverName)
{
    Note(QStringLiteral("Capture device is back: ") + driverName);
}

void TErrorLog::FtpError(const QString& errorMessage)
{
    if (errorBeep_)
        platform::Dialogs().MessageBeep();
    Status(errorMessage);
    Append(Stamp() + kSeparator + QStringLiteral("FTP Error = ") + errorMessage);
}

void TErrorLog::Note(const QString& text)
{
    Status(text);
    Append(Stamp() + kSeparator + text);
}

void TErrorLog::FrameSaveFailed(bool atStart, bool toLog)
{
    // Panel 1 first, so that a failed log write can still say so there.
    Status(QStringLiteral("ERROR: ") + kFrameNotSaved);
    if (toLog)
        Append(Stamp() + kSeparator + (atStart ? kFrameNotSaved : QStringLiteral("Error = ") + kFrameNotSaved));
}

void TErrorLog::Error(const QString& text)
{
    Status(text);
    Append(Stamp() + kSeparator + QStringLiteral("Error = ") + text);
}

void TErrorLog::Motion(const QString& text)
{
    Write(Stamp() + kSeparator + QStringLiteral("Motion = ") + text);
}
