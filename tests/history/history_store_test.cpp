// The local history: keeping a picture (also on a full disk), retention that
// removes only the program's own names, and the days still owed a video.
#include "history/HistoryStore.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using history::HistoryStore;
using history::KeepStatus;

namespace {

const QDate kToday(2026, 12, 10);

// Creates each file (a name ending in '/' is a folder) under History/.
void Lay(const HistoryStore& store, const QStringList& names)
{
    for (const QString& name : names) {
        const QString path = store.Folder() + name;
        if (name.endsWith(QLatin1Char('/'))) {
            QDir().mkpath(path);
            continue;
        }
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("x");
    }
}

// Every file and folder under History/, relative, folders ending in '/'.
QStringList Left(const HistoryStore& store)
{
    QStringList names;
    const QDir root(store.Folder());
    for (const QFileInfo& info : root.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name)) {
        names << info.fileName() + (info.isDir() ? QStringLiteral("/") : QString());
        if (info.isDir()) {
            for (const QString& inner : QDir(info.filePath()).entryList(QDir::Files, QDir::Name))
                names << info.fileName() + QLatin1Char('/') + inner;
        }
    }
    return names;
}

TEST(HistoryStore, KeepsThePictureUnderItsTimeAndReportsAFullDiskAsSuch)
{
    QTemporaryDir data;
    const HistoryStore store(data.path());
    const QByteArray jpeg("\xFF\xD8\xFF picture bytes \xFF\xD9", 20);
    const QDateTime when(kToday, QTime(10, 15, 0));
    const QString path = store.Folder() + QStringLiteral("2026-12-10/10-15-00.jpg");

    struct Case {
        const char* name;
        std::function<void()> prepare;
        KeepStatus status;
    };
    const Case cases[] = {
        {"a normal day", [] {}, KeepStatus::Kept},
        {"the same second again replaces it", [] {}, KeepStatus::Kept},
        // Writes to /dev/full fail as a full disk does.
        {"a full disk",
         [&] {
             QFile::remove(path);
             ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), path));
         },
         KeepStatus::DiskFull},
        {"a day folder that cannot be made",
         [&] {
             QDir(store.Folder()).removeRecursively();
             QDir().mkpath(store.Folder());
             QFile blocker(store.Folder() + QStringLiteral("2026-12-10"));
             ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
         },
         KeepStatus::Failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        const history::KeepResult result = store.Keep(jpeg, when);
        EXPECT_EQ(result.status, c.status) << result.error.toStdString();
        EXPECT_EQ(result.path, path);
        if (c.status == KeepStatus::Kept) {
            QFile kept(path);
            ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
            EXPECT_EQ(kept.readAll(), jpeg);
        } else {
            EXPECT_FALSE(QFileInfo(path).isFile()) << "no partial picture is left";
            EXPECT_FALSE(result.error.isEmpty());
        }
    }
}

TEST(HistoryStore, RetentionRemovesOnlyTheProgramsOwnNamesPastTheLimits)
{
    QTemporaryDir data;
    const HistoryStore store(data.path());
    Lay(store, {
                   // pictures: 3 days kept, today included
                   "2026-12-08/10-00-00.jpg", "2026-12-07/10-00-00.jpg", "2026-12-07/23-59-59.jpg",
                   // a user's file keeps its (old) day folder
                   "2026-12-01/10-00-00.jpg", "2026-12-01/notes.txt", "2026-12-01/10-00-00.jpeg",
                   // videos: 5 days kept; a video being written counts as one
                   "2026-12-06.mp4", "2026-12-05.mp4", "2026-12-05.mp4.part",
                   // names that only look like the program's
                   "2026-1-01/10-00-00.jpg", "2026-13-01/", "holiday/10-00-00.jpg", "2026-01-01.mp4.bak",
                   "2026-01-01.MP4", "readme.txt",
               });
    const QStringList removed = store.ApplyRetention(kToday, {3, 5});
    EXPECT_EQ(Left(store), QStringList({
                               "2026-01-01.MP4", "2026-01-01.mp4.bak", "2026-1-01/", "2026-1-01/10-00-00.jpg",
                               "2026-12-01/", "2026-12-01/10-00-00.jpeg", "2026-12-01/notes.txt", "2026-12-06.mp4",
                               "2026-12-08/", "2026-12-08/10-00-00.jpg", "2026-13-01/", "holiday/",
                               "holiday/10-00-00.jpg", "readme.txt",
                           }));
    EXPECT_EQ(removed.size(), 6) << removed.join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(store.ApplyRetention(kToday, {3, 5}).isEmpty()) << "nothing more to do a second time";
}

TEST(HistoryStore, PastDaysWithPicturesAndNoVideoAreOwedOne)
{
    QTemporaryDir data;
    const HistoryStore store(data.path());
    Lay(store, {
                   "2026-12-10/08-00-00.jpg",                      // today: not over yet
                   "2026-12-09/08-00-00.jpg",                      // owed
                   "2026-12-08/08-00-00.jpg", "2026-12-08.mp4",    // made
                   "2026-12-07/notes.txt",                         // no pictures
                   "2026-12-06/08-00-00.jpg", "2026-12-06.mp4.part",  // cut off while being made
                   "2026-11-01/08-00-00.jpg",                      // past the video limit
                   "2026-1-02/08-00-00.jpg",                       // not the program's
               });
    EXPECT_EQ(store.DaysWithoutVideo(kToday, 30), QList<QDate>({QDate(2026, 12, 6), QDate(2026, 12, 9)}));
}

}  // namespace
