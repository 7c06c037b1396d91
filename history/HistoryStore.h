#pragma once
// The local history of the website update in the data folder:
//   History/YYYY-MM-DD/HH-MM-SS.jpg   the picture a tick (or a motion event) made
//   History/YYYY-MM-DD.mp4            that day's time-lapse
// Retention removes only names of these patterns, never anything else that
// lies in History/.

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace history {

struct Retention {
    int pictureDays = 7;  // today included
    int videoDays = 30;
};

enum class KeepStatus { Kept, DiskFull, Failed };

struct KeepResult {
    KeepStatus status = KeepStatus::Failed;
    QString path;   // the picture's file
    QString error;  // what went wrong, for the error log
};

class HistoryStore
{
public:
    // dataFolder: the program's data folder; History/ lies in it.
    explicit HistoryStore(const QString& dataFolder);

    // Ends in a separator.
    const QString& Folder() const { return folder_; }
    QString DayFolder(const QDate& day) const;
    QString VideoFile(const QDate& day) const;

    // Stores the JPEG bytes the tick made under their local time. A picture
    // of the same second is replaced. A full disk answers DiskFull and
    // leaves no partial file; the caller decides how often to tell.
    KeepResult Keep(const QByteArray& jpeg, const QDateTime& when) const;

    // The day's pictures, full paths, in time order.
    QStringList DayPictures(const QDate& day) const;
    // The same for any folder: the files named like pictures, in time order.
    static QStringList PicturesIn(const QString& dayFolder);

    // Removes pictures of days older than pictureDays and videos older than
    // videoDays, counted back from today; a day folder goes once nothing
    // else is left in it. Answers the paths removed.
    QStringList ApplyRetention(const QDate& today, const Retention& keep) const;

    // Days before today that have pictures and no video, oldest first; only
    // days whose video retention would still keep.
    QList<QDate> DaysWithoutVideo(const QDate& today, int videoDays) const;

    // Whether a file name is one of this program's: a day folder
    // ("2026-12-07"), a video ("2026-12-07.mp4", also while it is being
    // written: ".mp4.part") or a picture ("10-15-00.jpg").
    static QDate DayOfFolderName(const QString& name);
    static QDate DayOfVideoName(const QString& name);
    static bool IsPictureName(const QString& name);

private:
    QString folder_;
};

}  // namespace history
