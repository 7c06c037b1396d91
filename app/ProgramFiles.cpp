#include "app/ProgramFiles.h"

#include "platform/application.h"

#include <QDir>
#include <QFile>

namespace app {

ProgramFiles::ProgramFiles(const QString& folder) : folder_(QDir::fromNativeSeparators(folder))
{
    if (!folder_.endsWith(QLatin1Char('/')))
        folder_ += QLatin1Char('/');
}

ProgramFiles ProgramFiles::OfExecutable()
{
    return ProgramFiles(platform::Application::ProgramFolder());
}

void ProgramFiles::CreateWorkingFiles() const
{
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
