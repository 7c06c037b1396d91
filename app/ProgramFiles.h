#pragma once
// The program folder and the files the program keeps in it. Every working
// file is addressed by full path; none depends on the current directory.

#include <QString>

namespace app {

// The program's name, used in captions and in its settings file name.
inline constexpr char kProgramName[] = "Tarvo Lite";

class ProgramFiles
{
public:
    // folder: with or without a trailing separator.
    explicit ProgramFiles(const QString& folder);
    // The folder of the running executable.
    static ProgramFiles OfExecutable();

    // Ends in a separator.
    const QString& Folder() const { return folder_; }
    QString File(const QString& name) const { return folder_ + name; }

    QString SettingsFile() const { return File(QStringLiteral("Tarvo Lite.sif")); }
    QString DriverSettingsFile() const { return File(QStringLiteral("vcap.sif")); }
    QString ErrorLog() const { return File(QStringLiteral("Error.log")); }
    QString CaptureBmp() const { return File(QStringLiteral("Capture.bmp")); }
    QString CaptureJpg() const { return File(QStringLiteral("Capture.jpg")); }
    QString DateTimeBmp() const { return File(QStringLiteral("datetime.bmp")); }
    QString StopCapJpg() const { return File(QStringLiteral("stopcap.jpg")); }
    QString StopTimeBmp() const { return File(QStringLiteral("stoptime.bmp")); }
    QString HelpFile() const { return File(QStringLiteral("TarvoLt.chm")); }
    // Sub-folders, ending in a separator.
    QString SnapshotsFolder() const { return File(QStringLiteral("Snapshots/")); }
    QString VideosFolder() const { return File(QStringLiteral("Videos/")); }
    QString ServerFolder() const { return File(QStringLiteral("Server/")); }

    // At every start: "Snapshots" and "Videos", an empty "Capture.bmp" and an
    // empty "Error.log", each only when absent. Failures are ignored here;
    // they surface when the files are used.
    void CreateWorkingFiles() const;
    // At close: the working pictures and two foreign leftovers, each if present.
    void DeleteWorkingPictures() const;

private:
    QString folder_;
};

}  // namespace app
