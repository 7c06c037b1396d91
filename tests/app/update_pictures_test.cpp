#include "app/ErrorLog.h"
#include "app/PictureCaption.h"
#include "app/UpdatePictures.h"
#include "platform/locale.h"
#include "tests/support/fake_dialogs.h"
#include "ui/LogForm.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

#include <jpeglib.h>

namespace {

// What a reader of the uploaded picture sees, decoded by the codec itself.
struct DecodedJpeg {
    bool ok = false;
    int width = 0;
    int height = 0;
    int components = 0;
    bool progressive = false;
    int firstLuminanceQuant = 0;
    QImage image;
};

DecodedJpeg Decode(const QString& path)
{
    DecodedJpeg out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    QByteArray data = f.readAll();
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(data.constData()), static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK) {
        out.progressive = jpeg_has_multiple_scans(&cinfo);
        out.components = cinfo.num_components;
        out.firstLuminanceQuant = cinfo.quant_tbl_ptrs[0] ? cinfo.quant_tbl_ptrs[0]->quantval[0] : 0;
        cinfo.out_color_space = JCS_RGB;
        jpeg_start_decompress(&cinfo);
        out.width = static_cast<int>(cinfo.output_width);
        out.height = static_cast<int>(cinfo.output_height);
        out.image = QImage(out.width, out.height, QImage::Format_RGB888);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = out.image.scanLine(static_cast<int>(cinfo.output_scanline));
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
        out.ok = true;
    }
    jpeg_destroy_decompress(&cinfo);
    return out;
}

bool Near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) < 12 && std::abs(a.green() - b.green()) < 12 && std::abs(a.blue() - b.blue()) < 12;
}

class UpdatePictures : public ::testing::Test
{
protected:
    UpdatePictures()
    {
        viewer_.SetProgramFolder(dir_.path());
        log_.Now = [this] { return now_; };
        log_.OnStatusText = [this](const QString& text) { status_ = text; };
        pictures_.Now = [this] { return now_; };
    }

    // A frame as the capture component grabs it: left half red, right half blue.
    static QImage Frame(int width = 320, int height = 240)
    {
        QImage frame(width, height, QImage::Format_RGB888);
        frame.fill(QColor(0, 0, 255));
        QPainter(&frame).fillRect(0, 0, width / 2, height, QColor(255, 0, 0));
        return frame;
    }
    // The same, saved as a bitmap file.
    bool SaveFrame(const QString& path, int width = 320, int height = 240) { return Frame(width, height).save(path, "BMP"); }

    void WriteFile(const QString& path, const QByteArray& bytes)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    QByteArray ReadFile(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    testsupport::ScopedFakeDialogs dialogs_;
    QTemporaryDir dir_;
    app::ProgramFiles files_{dir_.path()};
    TLogForm viewer_;
    TErrorLog log_{viewer_};
    TUpdatePictures pictures_{files_, log_};
    QDateTime now_{QDate(2026, 5, 4), QTime(13, 2, 1)};
    QString status_;
};

TEST_F(UpdatePictures, AFrameBecomesABaselineColourJpegOfTheSameSizeAtQuality90)
{
    ASSERT_TRUE(SaveFrame(files_.CaptureBmp()));
    EXPECT_TRUE(BmpToJpeg(files_.CaptureBmp(), files_.CaptureJpg()));
    const DecodedJpeg jpeg = Decode(files_.CaptureJpg());
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, 320);
    EXPECT_EQ(jpeg.height, 240);
    EXPECT_EQ(jpeg.components, 3);
    EXPECT_FALSE(jpeg.progressive);
    // Quality 90 scales the standard luminance table's 16 to 3.
    EXPECT_EQ(jpeg.firstLuminanceQuant, 3);
    // Channels are not swapped: red stays red, blue stays blue.
    EXPECT_TRUE(Near(jpeg.image.pixelColor(40, 120), QColor(255, 0, 0))) << jpeg.image.pixelColor(40, 120).name().toStdString();
    EXPECT_TRUE(Near(jpeg.image.pixelColor(280, 120), QColor(0, 0, 255)));

    // The same picture as libjpeg's own encoder at its defaults, on a frame
    // with a camera's noise, where encoder settings show in the output.
    QImage noisy(320, 240, QImage::Format_RGB888);
    quint32 x = 2463534242u;
    for (int y = 0; y < noisy.height(); ++y)
        for (int i = 0; i < noisy.width() * 3; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            noisy.scanLine(y)[i] = uchar(std::clamp(i * 255 / 959 + int(x % 17) - 8, 0, 255));
        }
    ASSERT_TRUE(noisy.save(files_.CaptureBmp(), "BMP"));
    ASSERT_TRUE(BmpToJpeg(files_.CaptureBmp(), files_.CaptureJpg()));
    const QString peer = files_.File(QStringLiteral("cjpeg.jpg"));
    QProcess cjpeg;
    cjpeg.start(QStringLiteral("cjpeg"), {QStringLiteral("-quality"), QStringLiteral("90"), QStringLiteral("-outfile"),
                                          peer, files_.CaptureBmp()});
    ASSERT_TRUE(cjpeg.waitForFinished(30000) && cjpeg.exitCode() == 0);
    EXPECT_EQ(QFileInfo(files_.CaptureJpg()).size(), QFileInfo(peer).size());
    EXPECT_EQ(Decode(files_.CaptureJpg()).image, Decode(peer).image);
}

TEST_F(UpdatePictures, OddSizesAndLargeFramesEncode)
{
    for (const QSize size : {QSize(1, 1), QSize(17, 3), QSize(1600, 1200)}) {
        ASSERT_TRUE(SaveFrame(files_.CaptureBmp(), size.width(), size.height()));
        BmpToJpeg(files_.CaptureBmp(), files_.CaptureJpg());
        const DecodedJpeg jpeg = Decode(files_.CaptureJpg());
        EXPECT_TRUE(jpeg.ok);
        EXPECT_EQ(QSize(jpeg.width, jpeg.height), size);
    }
}

TEST_F(UpdatePictures, AnEmptyOrDamagedBitmapIsAnErrorAndTheOldJpegStays)
{
    WriteFile(files_.CaptureJpg(), "previous picture");
    ASSERT_TRUE(SaveFrame(files_.CaptureBmp()));
    QByteArray bmp = ReadFile(files_.CaptureBmp());
    const QList<QByteArray> bad = {QByteArray(), bmp.left(30), bmp.left(bmp.size() / 2), QByteArray(4000, 'x')};
    for (const QByteArray& content : bad) {
        WriteFile(files_.CaptureBmp(), content);
        EXPECT_THROW(BmpToJpeg(files_.CaptureBmp(), files_.CaptureJpg()), EPictureError) << content.size();
        EXPECT_EQ(ReadFile(files_.CaptureJpg()), QByteArray("previous picture"));
    }
    EXPECT_THROW(BmpToJpeg(files_.File(QStringLiteral("missing.bmp")), files_.CaptureJpg()), EPictureError);
    // A valid bitmap wider than a JPEG can be: the codec's own error, no crash.
    ASSERT_TRUE(SaveFrame(files_.CaptureBmp(), 70000, 1));
    EXPECT_THROW(BmpToJpeg(files_.CaptureBmp(), files_.CaptureJpg()), EPictureError);
    EXPECT_EQ(ReadFile(files_.CaptureJpg()), QByteArray("previous picture"));
    // Nothing but the two files is left in the folder.
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

TEST_F(UpdatePictures, TheCaptionIsARedBand178By18FromTheLeftEdge)
{
    TDateTimeCaption caption;
    caption.Draw(platform::DateTimeToStr(now_));
    const QImage& picture = caption.Picture();
    EXPECT_EQ(picture.size(), QSize(178, 18));
    for (int y = 0; y < 18; ++y)
        EXPECT_EQ(picture.pixelColor(0, y), QColor(255, 0, 0)) << y;
    // There is text on it, in a dark colour.
    int dark = 0;
    for (int x = 0; x < 178; ++x)
        for (int y = 0; y < 18; ++y)
            dark += picture.pixelColor(x, y).red() < 100;
    EXPECT_GT(dark, 20);

    caption.Save(files_.DateTimeBmp());
    QImage saved(files_.DateTimeBmp(), "BMP");
    EXPECT_EQ(saved.size(), QSize(178, 18));
    EXPECT_EQ(saved.pixelColor(0, 0), QColor(255, 0, 0));
}

TEST_F(UpdatePictures, AShorterCaptionLeavesNothingOfTheLongerOne)
{
    TDateTimeCaption reused;
    reused.Draw(QStringLiteral("88/88/8888 88:88:88 WWWWWWWWWWWWWW"));
    reused.Draw(QStringLiteral("1/1/26"));
    TDateTimeCaption fresh;
    fresh.Draw(QStringLiteral("1/1/26"));
    EXPECT_EQ(reused.Picture(), fresh.Picture());
}

TEST_F(UpdatePictures, ProducingWritesBothPicturesFromTheGrabbedFrame)
{
    int grabs = 0;
    pictures_.OnGrabFrame = [&] {
        ++grabs;
        return Frame();
    };
    int drawn = 0;
    pictures_.OnCaptionDrawn = [&](const QImage& image) { drawn += image.size() == QSize(178, 18); };
    pictures_.Produce(TUpdatePictures::Moment::Tick);
    EXPECT_EQ(grabs, 1);
    const DecodedJpeg jpeg = Decode(files_.CaptureJpg());
    EXPECT_EQ(jpeg.width, 320);
    EXPECT_TRUE(Near(jpeg.image.pixelColor(10, 10), QColor(255, 0, 0)));
    EXPECT_TRUE(Near(jpeg.image.pixelColor(310, 10), QColor(0, 0, 255)));
    // Encoded from memory: no bitmap written on the way.
    EXPECT_FALSE(QFile::exists(files_.CaptureBmp()));
    EXPECT_EQ(QImage(files_.DateTimeBmp(), "BMP").size(), QSize(178, 18));
    EXPECT_EQ(drawn, 1);
    EXPECT_TRUE(viewer_.Lines().isEmpty());
}

TEST_F(UpdatePictures, AFrameThatCannotBeSavedIsReportedOncePerOutageAndThePreviousJpegKept)
{
    WriteFile(files_.CaptureJpg(), "previous picture");
    bool cameraBack = false;
    pictures_.OnGrabFrame = [&] { return cameraBack ? Frame() : QImage(); };
    EXPECT_FALSE(pictures_.Produce(TUpdatePictures::Moment::Start));
    EXPECT_FALSE(pictures_.Produce(TUpdatePictures::Moment::Tick));
    const QString d = platform::DateTimeToStr(now_);
    EXPECT_EQ(viewer_.Lines(), QStringList({d + QStringLiteral(" :   Could not save captured frame to disk")}));
    EXPECT_EQ(status_, QStringLiteral("ERROR: Could not save captured frame to disk"));
    EXPECT_EQ(dialogs_->beeps, 0);
    EXPECT_TRUE(dialogs_->shown.empty());
    EXPECT_EQ(ReadFile(files_.CaptureJpg()), QByteArray("previous picture"));
    // The caption is still fresh.
    EXPECT_EQ(QImage(files_.DateTimeBmp(), "BMP").size(), QSize(178, 18));

    // A good frame ends the outage; the next failure is a new one.
    cameraBack = true;
    EXPECT_TRUE(pictures_.Produce(TUpdatePictures::Moment::Tick));
    cameraBack = false;
    EXPECT_FALSE(pictures_.Produce(TUpdatePictures::Moment::Tick));
    ASSERT_EQ(viewer_.Lines().size(), 2);
    EXPECT_EQ(viewer_.Lines()[1], d + QStringLiteral(" :   Error = Could not save captured frame to disk"));
}

TEST_F(UpdatePictures, ADamagedFrameEndsTheCycleBeforeTheCaption)
{
    // Beyond the encoder's largest width.
    pictures_.OnGrabFrame = [] { return Frame(70000, 1); };
    EXPECT_THROW(pictures_.Produce(TUpdatePictures::Moment::Tick), EPictureError);
    EXPECT_FALSE(QFile::exists(files_.CaptureJpg()));
    EXPECT_FALSE(QFile::exists(files_.DateTimeBmp()));
}


// --- the caption on the picture ----------------------------------------------

// Where a picture differs from the plain grey it was made of.
QRect Changed(const QImage& picture, int threshold)
{
    QRect box;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            if (std::abs(qGray(picture.pixel(x, y)) - 100) > threshold)
                box |= QRect(x, y, 1, 1);
    return box;
}

// Pixels of area where two pictures differ by more than a JPEG's error.
int Differing(const QImage& a, const QImage& b, const QRect& area)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += std::abs(qGray(a.pixel(x, y)) - qGray(b.pixel(x, y))) > 64;
    return n;
}

// Each position at three camera sizes on a plain grey picture: the caption is
// inside the picture at its place, scaled with the height, its text inside
// its box, and it reads the time: the band matches a rendering of the
// expected text and not one of another time.
TEST_F(UpdatePictures, TheCaptionSitsWhereChosenAtEverySizeAndReadsTheTime)
{
    using Position = settings::CaptionSettings::Position;
    const QString expected = QStringLiteral("Garden - ") + platform::DateTimeToStr(now_);
    const QString other = QStringLiteral("Garden - ") + platform::DateTimeToStr(now_.addSecs(4 * 3600 + 5 * 60 + 47));
    QImage frame;
    pictures_.OnGrabFrame = [&] { return frame; };
    QList<int> heights;

    for (const QSize size : {QSize(320, 240), QSize(640, 480), QSize(1920, 1080)}) {
        frame = QImage(size, QImage::Format_RGB888);
        frame.fill(QColor(100, 100, 100));
        settings::CaptionSettings caption;
        caption.text = QStringLiteral("Garden - ");
        pictures_.SetPictureCaption(caption);
        pictures_.Produce(TUpdatePictures::Moment::Tick);
        EXPECT_TRUE(Changed(Decode(files_.CaptureJpg()).image, 24).isEmpty()) << "off by default";

        caption.enabled = true;
        int height = 0;
        for (const Position position : {Position::TopLeft, Position::TopRight, Position::BottomLeft,
                                        Position::BottomRight, Position::TopBand, Position::BottomBand}) {
            const std::string what = std::to_string(size.width()) + " position " + std::to_string(int(position));
            caption.position = position;
            pictures_.SetPictureCaption(caption);
            pictures_.Produce(TUpdatePictures::Moment::Tick);
            const QImage jpeg = Decode(files_.CaptureJpg()).image;
            const QRect box = Changed(jpeg, 24);
            ASSERT_FALSE(box.isEmpty()) << what;

            const int edge = size.height() / 40 + 3;  // a corner's caption keeps this close to its edges
            const bool band = position == Position::TopBand || position == Position::BottomBand;
            const bool top = position == Position::TopLeft || position == Position::TopRight || position == Position::TopBand;
            const bool left = position == Position::TopLeft || position == Position::BottomLeft;
            EXPECT_TRUE(top ? box.top() <= edge : box.bottom() >= size.height() - 1 - edge) << what;
            EXPECT_TRUE(top ? box.bottom() < size.height() / 2 : box.top() > size.height() / 2) << what;
            if (band) {
                EXPECT_TRUE(box.left() == 0 && box.right() == size.width() - 1) << what;
            } else {
                EXPECT_TRUE(left ? box.left() <= edge && box.left() > 0 : box.right() >= size.width() - 1 - edge
                                                                          && box.right() < size.width() - 1)
                    << what;
                EXPECT_TRUE(left ? box.right() < size.width() - 1 - edge : box.left() > edge) << what;
            }
            // The letters, white, inside the dark box: nothing cut off.
            const QRect letters = Changed(jpeg, 100);
            EXPECT_TRUE(box.adjusted(1, 1, -1, -1).contains(letters)) << what;
            if (height) {
                EXPECT_EQ(box.height(), height) << what;
            }
            height = box.height();

            QImage right = frame.copy();
            DrawPictureCaption(right, caption, expected);
            QImage wrong = frame.copy();
            DrawPictureCaption(wrong, caption, other);
            const int offRight = Differing(jpeg, right, box);
            const int offWrong = Differing(jpeg, wrong, box);
            EXPECT_LT(offRight * 10, std::max(10, offWrong)) << what << ": " << offRight << " vs " << offWrong;
        }
        heights << height;
    }
    // Larger pictures, larger letters: a 1080p caption reads as well as a 240p one.
    EXPECT_GT(heights[2], 3 * heights[0]);
    EXPECT_GT(heights[1], heights[0]);
}

// Yellow letters without a box, chosen too large for a long text at 320 x 240:
// smaller letters, the whole text inside the picture, the picture untouched
// around them.
TEST_F(UpdatePictures, ALongCaptionInItsOwnColourShrinksToFitAndLeavesThePictureAroundIt)
{
    QImage frame(320, 240, QImage::Format_RGB888);
    frame.fill(QColor(100, 100, 100));
    pictures_.OnGrabFrame = [&] { return frame; };
    settings::CaptionSettings caption;
    caption.enabled = true;
    caption.position = settings::CaptionSettings::Position::TopLeft;
    caption.fontSize = 40;
    caption.textColour = QColor(255, 255, 0);
    caption.box = false;
    caption.text = QStringLiteral("The camera by the garden gate, looking north - ");
    pictures_.SetPictureCaption(caption);
    pictures_.Produce(TUpdatePictures::Moment::Tick);

    const QImage jpeg = Decode(files_.CaptureJpg()).image;
    const QRect letters = Changed(jpeg, 40);
    ASSERT_FALSE(letters.isEmpty());
    EXPECT_GT(letters.left(), 0);
    EXPECT_LT(letters.right(), 319);
    EXPECT_LT(letters.height(), 40);
    int yellow = 0;
    for (int y = letters.top(); y <= letters.bottom(); ++y)
        for (int x = letters.left(); x <= letters.right(); ++x) {
            const QColor p = jpeg.pixelColor(x, y);
            yellow += p.red() > 160 && p.green() > 160 && p.blue() < p.red() - 60;
        }
    EXPECT_GT(yellow, 30) << "thin letters lose some colour to the JPEG's halved colour resolution";
    EXPECT_TRUE(Changed(jpeg.copy(0, letters.bottom() + 8, 320, 240 - letters.bottom() - 8), 12).isEmpty())
        << "no box: the picture below the letters is as it was";
}

}  // namespace
