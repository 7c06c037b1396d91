#pragma once
// The program's folders and the files it keeps in them. Every working file
// is addressed by full path; none depends on the current directory.
//
// The data folder holds what the program writes: the settings files, the
// error log, snapshots, videos and the working pictures. The shipped folder
// holds what comes with the program: the help file, the stop pictures and
// Server/. A program folder the user can write to is both. Installed
// system-wide (a folder the user cannot write to, or the shipped files kept
// apart in ../share/tarvo-lite), the data folder is the user's own
// $XDG_DATA_HOME/tarvo-lite and the shipped files are read where they were
// installed.

#include <QString>

namespace app {

// The program's name, used in captions and in its settings file name.
inline constexpr char kProgramName[] = "Tarvo Lite";

class ProgramFiles
{
public:
    // Everything in one folder, with or without a trailing separator.
    explicit ProgramFiles(const QString& folder);
    ProgramFiles(const QString& dataFolder, const QString& shippedFolder);
    // The folders for an executable in programFolder, by the rule above;
    // userDataHome: $XDG_DATA_HOME or its default.
    static ProgramFiles ForProgram(const QString& programFolder, const QString& userDataHome);
    // A named profile's folders: its data in "profiles/<name>" under the
    // default data folder, the shipped files where the default reads them.
    static ProgramFiles ForProfile(const ProgramFiles& defaultFiles, const QString& profile);
    // The folders of the running executable, for a profile when one is named.
    static ProgramFiles OfExecutable(const QString& profile = QString());

    // The profile's name; empty for the default data folder.
    const QString& Profile() const { return profile_; }
    // The data folder used without a profile; ends in a separator.
    const QString& DefaultFolder() const { return default_; }

    // The data folder; ends in a separator.
    const QString& Folder() const { return folder_; }
    // The shipped files' folder; ends in a separator.
    const QString& ShippedFolder() const { return shipped_; }
    // Whether the data folder is apart from the program (installed system-wide).
    bool SeparateDataFolder() const { return folder_ != shipped_; }
    QString File(const QString& name) const { return folder_ + name; }

    QString SettingsFile() const { return File(QStringLiteral("Tarvo Lite.sif")); }
    QString DriverSettingsFile() const { return File(QStringLiteral("vcap.sif")); }
    QString ErrorLog() const { return File(QStringLiteral("Error.log")); }
    QString CaptureBmp() const { return File(QStringLiteral("Capture.bmp")); }
    QString CaptureJpg() const { return File(QStringLiteral("Capture.jpg")); }
    QString DateTimeBmp() const { return File(QStringLiteral("datetime.bmp")); }
    QString StopCapJpg() const { return shipped_ + QStringLiteral("stopcap.jpg"); }
    QString StopTimeBmp() const { return shipped_ + QStringLiteral("stoptime.bmp"); }
    QString HelpFile() const { return shipped_ + QStringLiteral("TarvoLt.chm"); }
    // Sub-folders, ending in a separator.
    QString SnapshotsFolder() const { return File(QStringLiteral("Snapshots/")); }
    QString VideosFolder() const { return File(QStringLiteral("Videos/")); }
    QString ServerFolder() const { return shipped_ + QStringLiteral("Server/"); }

    // At every start: the data folder itself, "Snapshots" and "Videos", an
    // empty "Capture.bmp" and an empty "Error.log", each only when absent. Failures are ignored here;
    // they surface when the files are used.
    void CreateWorkingFiles() const;
    // At close: the working pictures and two foreign leftovers, each if present.
    void DeleteWorkingPictures() const;

private:
    QString folder_;
    QString shipped_;
    QString default_ = folder_;
    QString profile_;
};

}  // namespace app
