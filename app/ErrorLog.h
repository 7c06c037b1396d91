#pragma once
// Error reporting: status-bar panel 1, the optional beep for FTP failures and
// the error log "Error.log", whose in-memory copy is the log viewer's text.

#include <QDateTime>
#include <QString>

#include <functional>

class TLogForm;

class TErrorLog
{
public:
    // The viewer holds the in-memory log and knows the log file. The newest
    // log also notes each file that has to be rewritten in place (a folder
    // without room for a temporary file), once per file.
    explicit TErrorLog(TLogForm& viewer);
    ~TErrorLog();
    TErrorLog(const TErrorLog&) = delete;
    TErrorLog& operator=(const TErrorLog&) = delete;

    // "Log Errors": whether error lines reach the log.
    bool LogErrors() const { return logErrors_; }
    void SetLogErrors(bool on) { logErrors_ = on; }
    // "Beep on Errors": whether an FTP failure beeps.
    bool ErrorBeep() const { return errorBeep_; }
    void SetErrorBeep(bool on) { errorBeep_ = on; }

    // Shows a text in status-bar panel 1.
    std::function<void(const QString&)> OnStatusText;
    // Closes and deselects the capture driver when the device is gone.
    std::function<void()> OnDeviceNotDetected;
    // The clock of the log lines; the current local time unless set.
    std::function<QDateTime()> Now;

    // The date and time that starts every log line.
    QString Stamp() const;
    // What a tick that could not save its frame reports.
    static QString FrameNotSaved();

    // Appends a finished line when "Log Errors" is on and writes the whole log
    // over "Error.log". The first entry of a run starts from the file's lines,
    // so entries of earlier runs stay. A failed write keeps the line in memory
    // and says so in panel 1; answers whether the file now holds the log.
    bool Append(const QString& line);

    // The capture component's error event.
    void CaptureError(int errorId, const QString& text);
    // A lost camera is back and open again.
    void CaptureReturned(const QString& driverName);
    // A failed FTP request, with the client's error message.
    void FtpError(const QString& errorMessage);
    // Something worth a line that is no failure.
    void Note(const QString& text);
    // A frame that could not be saved for the website update, when it starts
    // (atStart) or at a tick; the log line only when toLog.
    void FrameSaveFailed(bool atStart, bool toLog = true);
    // Any other failure: panel 1 and the " :   Error = " line.
    void Error(const QString& text);
    // A motion event: one line whatever "Log Errors" says; the caller asks
    // only when the user wants motion logged.
    void Motion(const QString& text);

private:
    void Status(const QString& text);
    // Append without looking at "Log Errors".
    bool Write(const QString& line);

    TLogForm& viewer_;
    bool fileRead_ = false;
    bool logErrors_ = true;
    bool errorBeep_ = false;
};
