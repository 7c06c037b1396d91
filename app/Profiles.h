#pragma once
// Named profiles: one camera each, one process each. A profile is a data
// folder of its own under the default one's "profiles/"; the settings, the
// log, the history and the account stay in it. One process runs a profile at
// a time, and a camera is taken by one profile at a time.

#include <QLockFile>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QLocalServer;

namespace app {

class ProgramFiles;

// Why a profile name is refused; empty when it is a good one (letters,
// digits, space, "-" and "_"; not blank, at most 64 characters).
QString ProfileNameError(const QString& name);

// The profiles' parent folder beside a default data folder; ends in a separator.
QString ProfilesFolder(const ProgramFiles& defaultFiles);
// The profiles made so far, sorted.
QStringList ProfileNames(const ProgramFiles& defaultFiles);

// The program's title for a profile: "Tarvo Lite", or "Tarvo Lite — Garden".
QString ProgramTitle(const QString& profile);

// One running process per data folder: a lock file in it that a crashed
// process does not leave held, and a local server through which a second
// start asks the running one to show its window.
class TProfileInstance
{
public:
    explicit TProfileInstance(const QString& dataFolder);
    ~TProfileInstance();
    TProfileInstance(const TProfileInstance&) = delete;
    TProfileInstance& operator=(const TProfileInstance&) = delete;

    // Takes the folder; false when a live process holds it.
    bool Acquire();
    // After a failed Acquire: asks the holder to show its window; false when
    // it could not be reached.
    bool AskRunningToShow() const;

    // Raised in the holder when a second start asked for its window.
    std::function<void()> OnShowRequested;

private:
    QString serverName_;
    QLockFile lock_;
    std::unique_ptr<QLocalServer> server_;
};

// A camera taken by this process, so that another profile does not take it
// too. The claims live beside the profiles, one lock file per camera identity.
class TCameraClaim
{
public:
    // claimsFolder: shared by all profiles; holder: this profile's name as shown.
    TCameraClaim(QString claimsFolder, QString holder);
    ~TCameraClaim();

    // Takes the camera with this identity (giving up one taken before);
    // empty when taken, otherwise why not: "This camera is in use by the
    // profile Front door."
    QString Take(const QString& identity);
    void Release();

private:
    QString folder_;
    QString holder_;
    QString identity_;
    std::unique_ptr<QLockFile> lock_;
};

// The folder of the camera claims for a default data folder.
QString CameraClaimsFolder(const ProgramFiles& defaultFiles);

}  // namespace app
