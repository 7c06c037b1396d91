#include "app/ProgramFiles.h"

#include "app/DesktopEntry.h"
#include "platform/application.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace app {
namespace {

QString WithSeparator(const QString& folder)
{
    QString out = QDir::fromNativeSeparators(folder);
    if (!out.endsWith(QLatin1Char('/')))
        out += QLatin1Char('/');
    return out;
}

// Whether a new file can be made here. Tried, not read from the mode: root
// may write where the mode says no, and a read-only mount refuses it.
bool CanCreateFiles(const QString& folder)
{
    QTemporaryFile probe(WithSeparator(folder) + QStringLiteral(".tarvo-probe-XXXXXX"));
    return probe.open();
}

}  // namespace

ProgramFiles::ProgramFiles(const QString& folder) : folder_(WithSeparator(folder)), shipped_(folder_) {}

ProgramFiles::ProgramFiles(const QString& dataFolder, const QString& shippedFolder)
    : folder_(WithSeparator(dataFolder)), shipped_(WithSeparator(shippedFolder))
{
}

ProgramFiles ProgramFiles::ForProgram(const QString& programFolder, const QString& userDataHome)
{
    // The Debian layout keeps the shipped files in /usr/share/tarvo-lite beside /usr/bin.
    const QString share = QDir::cleanPath(programFolder + QStringLiteral("/../share/") + QString::fromLatin1(kDesktopId));
    const bool sharedApart = !QFileInfo::exists(programFolder + QStringLiteral("/Server")) &&
                             QFileInfo::exists(share + QStringLiteral("/Server"));
    const QString shipped = sharedApart ? share : programFolder;
    if (!sharedApart && CanCreateFiles(programFolder))
        return ProgramFiles(programFolder);
    return ProgramFiles(userDataHome + QLatin1Char('/') + QString::fromLatin1(kDesktopId), shipped);
}

ProgramFiles ProgramFiles::ForProfile(const ProgramFiles& defaultFiles, const QString& profile)
{
    if (profile.isEmpty())
        return defaultFiles;
    ProgramFiles files(defaultFiles.DefaultFolder() + QStringLiteral("profiles/") + profile, defaultFiles.ShippedFolder());
    files.default_ = defaultFiles.DefaultFolder();
    files.profile_ = profile;
    return files;
}

ProgramFiles ProgramFiles::OfExecutable(const QString& profile)
{
    return ForProfile(ForProgram(platform::Application::ProgramFolder(), UserDataHome()), profile);
}

void ProgramFiles::CreateWorkingFiles() const
{
    QDir().mkpath(folder_);
    QDir folder(folder_);
    folder.mkdir(QStringLiteral("Snapshots"));
    folder.mkdir(QStringLiteral("Videos"));
    for (const QString& name : {CaptureBmp(), ErrorLog()}) {
        if (QFile::exists(name))
            continue;
        QFile file(name);
        file.open(QIODevice::WriteOnly | QIODevice::NewOnly);  // an empty placeholder, never a truncation
    }
}

void ProgramFiles::DeleteWorkingPictures() const
{
    for (const char* name : {"temp00.bmp", "TempRemoteFile.jpg", "Capture.jpg", "datetime.bmp"}) {
        const QString path = File(QString::fromLatin1(name));
        if (QFile::exists(path))
            QFile::remove(path);
    }
}

}  // namespace app
