#include "history/HistoryStore.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace history {
namespace {

const QString kDayFormat = QStringLiteral("yyyy-MM-dd");
const QString kPictureFormat = QStringLiteral("HH-mm-ss");

// Qt's date parser accepts one-digit fields; the program only ever writes two.
QDate StrictDay(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    if (!pattern.match(text).hasMatch())
        return {};
    return QDate::fromString(text, kDayFormat);
}

bool RemoveFile(const QString& path, QStringList* removed)
{
    if (!QFile::remove(path))
        return false;
    removed->append(path);
    return true;
}

}  // namespace

HistoryStore::HistoryStore(const QString& dataFolder)
    : folder_(QDir(dataFolder).filePath(QStringLiteral("History")) + QLatin1Char('/'))
{
}

QString HistoryStore::DayFolder(const QDate& day) const
{
    return folder_ + day.toString(kDayFormat) + QLatin1Char('/');
}

QString HistoryStore::VideoFile(const QDate& day) const
{
    return folder_ + day.toString(kDayFormat) + QStringLiteral(".mp4");
}

QDate HistoryStore::DayOfFolderName(const QString& name)
{
    return StrictDay(name);
}

QDate HistoryStore::DayOfVideoName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^(.{10})\\.mp4(\\.part)?$"));
    const QRegularExpressionMatch match = pattern.match(name);
    return match.hasMatch() ? StrictDay(match.captured(1)) : QDate();
}

bool HistoryStore::IsPictureName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{2}-\\d{2}-\\d{2}\\.jpg$"));
    return pattern.match(name).hasMatch() && QTime::fromString(name.left(8), kPictureFormat).isValid();
}

KeepResult HistoryStore::Keep(const QByteArray& jpeg, const QDateTime& when) const
{
    KeepResult result;
    const QString folder = DayFolder(when.date());
    result.path = folder + when.time().toString(kPictureFormat) + QStringLiteral(".jpg");
    if (!QDir().mkpath(folder)) {
        result.error = QStringLiteral("could not create the folder %1").arg(QDir::toNativeSeparators(folder));
        return result;
    }
    QFile file(result.path);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    written = written && file.write(jpeg) == jpeg.size();
    written = written && file.flush();
    if (written) {
        file.close();
        written = file.error() == QFileDevice::NoError;
    }
    if (written) {
        result.status = KeepStatus::Kept;
        return result;
    }
    // Qt reports ENOSPC (and a full quota) as a resource error.
    result.status = file.error() == QFileDevice::ResourceError ? KeepStatus::DiskFull : KeepStatus::Failed;
    result.error = QStringLiteral("could not write %1: %2").arg(QDir::toNativeSeparators(result.path), file.errorString());
    file.close();
    // A cut picture would only be skipped later: better none at all.
    QFile::remove(result.path);
    return result;
}

QStringList HistoryStore::DayPictures(const QDate& day) const
{
    return PicturesIn(DayFolder(day));
}

QStringList HistoryStore::PicturesIn(const QString& dayFolder)
{
    QStringList pictures;
    const QDir dir(dayFolder);
    for (const QString& name : dir.entryList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Name)) {
        if (IsPictureName(name))
            pictures.append(dir.filePath(name));
    }
    return pictures;
}

QStringList HistoryStore::ApplyRetention(const QDate& today, const Retention& keep) const
{
    QStringList removed;
    const QDir root(folder_);
    const QDate oldestPictureDay = today.addDays(1 - qMax(1, keep.pictureDays));
    const QDate oldestVideoDay = today.addDays(1 - qMax(1, keep.videoDays));
    for (const QString& name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDate day = DayOfFolderName(name);
        if (!day.isValid() || day >= oldestPictureDay)
            continue;
        QDir dayDir(root.filePath(name));
        for (const QString& picture : dayDir.entryList(QDir::Files, QDir::Name)) {
            if (IsPictureName(picture))
                RemoveFile(dayDir.filePath(picture), &removed);
        }
        // Fails, as meant, while a file of the user's is still inside.
        if (root.rmdir(name))
            removed.append(root.filePath(name) + QLatin1Char('/'));
    }
    for (const QString& name : root.entryList(QDir::Files, QDir::Name)) {
        const QDate day = DayOfVideoName(name);
        if (day.isValid() && day < oldestVideoDay)
            RemoveFile(root.filePath(name), &removed);
    }
    return removed;
}

QList<QDate> HistoryStore::DaysWithoutVideo(const QDate& today, int videoDays) const
{
    QList<QDate> days;
    const QDir root(folder_);
    const QDate oldest = today.addDays(1 - qMax(1, videoDays));
    for (const QString& name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDate day = DayOfFolderName(name);
        if (!day.isValid() || day >= today || day < oldest || QFile::exists(VideoFile(day)))
            continue;
        if (!DayPictures(day).isEmpty())
            days.append(day);
    }
    return days;
}

}  // namespace history
