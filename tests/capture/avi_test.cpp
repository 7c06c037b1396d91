// The AVI writer on its own: compressors, skipped frames, audio, reuse of a
// pre-allocated file.
#include "capture/engine/AviWriter.h"
#include "tests/support/capture_files.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>

using platform::capture::AviCodec;
using platform::capture::AviVideoCodecs;
using platform::capture::AviWriter;
using testsupport::ReadAvi;

namespace {

QImage Frame(int shade)
{
    QImage img(160, 120, QImage::Format_RGB888);
    img.fill(QColor(shade, 255 - shade, 128));
    return img;
}

TEST(AviWriter, OffersMjpegAndUncompressedAmongTheCompressors)
{
    const QList<AviCodec> codecs = AviVideoCodecs();
    auto has = [&](const char* name) {
        return std::any_of(codecs.begin(), codecs.end(), [&](const AviCodec& c) { return c.name == QLatin1String(name); });
    };
    EXPECT_TRUE(has("mjpeg"));
    EXPECT_TRUE(has("rawvideo"));
    EXPECT_FALSE(has("aac")) << "video compressors only";
}

TEST(AviWriter, SkippedFrameNumbersKeepTheTimeline)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("gaps.avi"));
    AviWriter writer;
    AviWriter::Video video;
    video.size = QSize(160, 120);
    video.microSecPerFrame = 100000;  // 10 frames per second
    QString error;
    ASSERT_TRUE(writer.Open(path, video, nullptr, &error)) << error.toStdString();
    for (int index : {0, 1, 2, 9})
        ASSERT_TRUE(writer.WriteVideo(Frame(index * 20), index, &error));
    EXPECT_TRUE(writer.WriteVideo(Frame(0), 5, &error)) << "an old frame number is ignored";
    ASSERT_TRUE(writer.Close(&error)) << error.toStdString();
    EXPECT_TRUE(writer.Close(&error)) << "closing twice is harmless";

    const testsupport::AviInfo avi = ReadAvi(path);
    ASSERT_TRUE(avi.opened);
    EXPECT_EQ(avi.videoPackets, 4);
    EXPECT_NEAR(avi.durationSec, 1.0, 0.05) << "ten frame periods";
    EXPECT_EQ(QFileInfo(path).size(), writer.BytesWritten());
}

TEST(AviWriter, AudioGoesIntoItsOwnPcmStream)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sound.avi"));
    AviWriter writer;
    AviWriter::Video video;
    video.size = QSize(160, 120);
    AviWriter::Audio audio;  // 8000 Hz, 8 bits, mono
    QString error;
    ASSERT_TRUE(writer.Open(path, video, &audio, &error)) << error.toStdString();
    const QByteArray second(8000, char(0x80));
    for (int i = 0; i < 15; ++i) {
        ASSERT_TRUE(writer.WriteVideo(Frame(i * 10), i, &error));
        if (i % 5 == 0) {
            ASSERT_TRUE(writer.WriteAudio(reinterpret_cast<const std::uint8_t*>(second.constData()), 8000 / 3, &error));
        }
    }
    ASSERT_TRUE(writer.Close(&error));
    const testsupport::AviInfo avi = ReadAvi(path);
    ASSERT_TRUE(avi.opened);
    EXPECT_TRUE(avi.hasAudio);
    EXPECT_EQ(avi.videoPackets, 15);
}

TEST(AviWriter, APreAllocatedFileIsOverwrittenAndCutToTheRecording)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("buffer.tmp"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(4 * 1024 * 1024));
    }
    AviWriter writer;
    AviWriter::Video video;
    video.size = QSize(160, 120);
    QString error;
    ASSERT_TRUE(writer.Open(path, video, nullptr, &error, true));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(writer.WriteVideo(Frame(i * 40), i, &error));
    ASSERT_TRUE(writer.Close(&error));
    EXPECT_LT(QFileInfo(path).size(), 1024 * 1024);
    EXPECT_EQ(ReadAvi(path).videoPackets, 5);
}

TEST(AviWriter, UnknownCompressorIsRefusedBeforeTheFileIsTouched)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("none.avi"));
    AviWriter writer;
    AviWriter::Video video;
    video.size = QSize(160, 120);
    video.codec = QStringLiteral("no-such-codec");
    QString error;
    EXPECT_FALSE(writer.Open(path, video, nullptr, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("no-such-codec")));
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(writer.WriteVideo(Frame(0), 0, &error));
}

}  // namespace
