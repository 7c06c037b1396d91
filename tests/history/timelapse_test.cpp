// A day's time-lapse: pictures of a day folder to an MP4 a browser plays,
// read back with libavformat; bad pictures skipped, never ending the video.
#include "history/Timelapse.h"
#include "tests/support/capture_files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QBuffer>
#include <QImage>
#include <QTemporaryDir>

using history::TimelapseMaker;
using history::TimelapseStatus;

namespace {

QByteArray Jpeg(QSize size)
{
    QImage image(size, QImage::Format_RGB888);
    image.fill(QColor(128, 128, 128));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 90);
    return bytes;
}

void Put(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

TEST(Timelapse, MakesAPlayableVideoOfTheDaysGoodPictures)
{
    const QByteArray vga = Jpeg({320, 240});
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, QByteArray>> files;
        bool cancelAtOnce;
        TimelapseStatus status;
        int frames;
        int skipped;
        QSize size;
    };
    const Case cases[] = {
        {"a normal day",
         {{"08-00-00.jpg", vga}, {"08-01-00.jpg", vga}, {"08-02-00.jpg", vga}, {"notes.txt", "x"}},
         false, TimelapseStatus::Made, 3, 0, {320, 240}},
        {"a day with bad pictures",
         {{"07-59-00.jpg", QByteArray()},
          {"08-00-00.jpg", vga},
          {"08-01-00.jpg", vga.left(vga.size() / 2)},
          {"08-02-00.jpg", QByteArray("GIF89a not a picture")},
          {"08-03-00.jpg", vga}},
         false, TimelapseStatus::Made, 2, 3, {320, 240}},
        {"a camera wider than 1920 is halved",
         {{"12-00-00.jpg", Jpeg({2048, 128})}}, false, TimelapseStatus::Made, 1, 0, {1024, 64}},
        {"an empty day", {{"08-00-00.jpg", QByteArray()}}, false, TimelapseStatus::NoPictures, 0, 1, {}},
        {"cancelled", {{"08-00-00.jpg", vga}, {"08-01-00.jpg", vga}}, true, TimelapseStatus::Cancelled, 1, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir data;
        const QString day = data.filePath(QStringLiteral("2026-12-07"));
        QDir().mkpath(day);
        for (const auto& [name, bytes] : c.files)
            Put(day + QLatin1Char('/') + QLatin1String(name), bytes);
        const QString video = data.filePath(QStringLiteral("2026-12-07.mp4"));

        TimelapseMaker maker;
        QList<int> progress;
        QStringList notes;
        maker.OnProgress = [&](int percent) {
            progress << percent;
            if (c.cancelAtOnce)
                maker.Cancel();
        };
        maker.OnNote = [&](const QString& note) { notes << note; };
        const history::TimelapseResult result = maker.Make(day, video);

        EXPECT_EQ(result.status, c.status) << result.error.toStdString();
        EXPECT_EQ(result.frames, c.frames);
        EXPECT_EQ(result.skipped, c.skipped);
        EXPECT_EQ(notes.size(), c.skipped) << notes.join(QLatin1Char('\n')).toStdString();
        EXPECT_FALSE(QFile::exists(video + QStringLiteral(".part")));
        if (c.status != TimelapseStatus::Made) {
            EXPECT_FALSE(QFile::exists(video));
            continue;
        }
        EXPECT_EQ(progress.constLast(), 100);
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));

        QImage first;
        const testsupport::AviInfo mp4 = testsupport::ReadVideo(video, QStringLiteral("mp4"), &first);
        ASSERT_TRUE(mp4.opened) << mp4.error.toStdString();
        EXPECT_EQ(mp4.videoCodec, QStringLiteral("h264"));
        EXPECT_EQ(mp4.videoPackets, c.frames);
        EXPECT_EQ(QSize(mp4.width, mp4.height), c.size);
        EXPECT_TRUE(mp4.firstFrameDecodes);
        // The index before the data, so that a browser starts playing at once.
        QFile file(video);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        EXPECT_LT(bytes.indexOf("moov"), bytes.indexOf("mdat"));
        // The time in the bottom-left corner of a grey picture: dark box, bright digits.
        int dark = 0, bright = 0;
        for (int y = first.height() * 3 / 4; y < first.height(); ++y) {
            for (int x = 0; x < first.width() / 4; ++x) {
                const int grey = qGray(first.pixel(x, y));
                dark += grey < 40;
                bright += grey > 215;
            }
        }
        EXPECT_GT(dark, 0);
        EXPECT_GT(bright, 0);
    }
}

}  // namespace
