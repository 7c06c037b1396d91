#include "app/UpdatePictures.h"

#include "app/ErrorLog.h"
#include "app/PictureCaption.h"
#include "platform/locale.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QSaveFile>

#include <cmath>
#include <cstdlib>

#include <turbojpeg.h>

namespace {

// One compressor for the run, made on first use (TurboJPEG: libjpeg's
// encoder with its defaults, without the per-row calls).
class Compressor
{
public:
    Compressor() : handle_(tjInitCompress()) {}
    ~Compressor() { tjDestroy(handle_); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // Baseline JPEG, 4:2:0, at quality; false with the codec's message.
    bool Encode(const uchar* pixels, int width, int height, int pitch, TJPF format, bool bottomUp, int quality,
                QByteArray* out, QString* message)
    {
        if (!handle_) {
            *message = QString::fromLocal8Bit(tjGetErrorStr2(nullptr));
            return false;
        }
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        // The accurate DCT, as libjpeg's defaults: TurboJPEG would take the fast one.
        const int flags = TJFLAG_ACCURATEDCT | (bottomUp ? TJFLAG_BOTTOMUP : 0);
        if (tjCompress2(handle_, pixels, width, pitch, height, format, &jpeg, &size, TJSAMP_420, quality, flags) != 0) {
            *message = QString::fromLocal8Bit(tjGetErrorStr2(handle_));
            tjFree(jpeg);
            return false;
        }
        *out = QByteArray(reinterpret_cast<const char*>(jpeg), qsizetype(size));
        tjFree(jpeg);
        return true;
    }

private:
    tjhandle handle_;
};

Compressor& SharedCompressor()
{
    static thread_local Compressor compressor;
    return compressor;
}

QString Native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

// Writes data over path through a temporary file in the same folder, or in
// place when the folder is read-only but the file is not.
void WriteAtomically(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
        throw EPictureError(QStringLiteral("Unable to write to %1").arg(Native(path)));
}

quint32 Le32(const QByteArray& d, int at)
{
    return static_cast<quint32>(static_cast<uchar>(d[at])) | static_cast<quint32>(static_cast<uchar>(d[at + 1])) << 8
           | static_cast<quint32>(static_cast<uchar>(d[at + 2])) << 16 | static_cast<quint32>(static_cast<uchar>(d[at + 3])) << 24;
}

quint16 Le16(const QByteArray& d, int at)
{
    return static_cast<quint16>(static_cast<uchar>(d[at]) | static_cast<uchar>(d[at + 1]) << 8);
}

// The image reader fills the missing rows of a cut-off bitmap instead of
// failing, so an uncompressed bitmap must hold all the pixel rows its header
// announces.
bool PixelRowsComplete(const QString& bmpPath)
{
    QFile file(bmpPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(30);
    if (head.size() < 30 || !head.startsWith("BM"))
        return false;
    const quint32 pixelOffset = Le32(head, 10);
    const quint32 headerSize = Le32(head, 14);
    qint64 width = 0, height = 0, bitCount = 0;
    if (headerSize == 12) {
        width = Le16(head, 18);
        height = Le16(head, 20);
        bitCount = Le16(head, 24);
    } else {
        const QByteArray info = head + file.read(4);
        if (info.size() < 34)
            return false;
        width = static_cast<qint32>(Le32(info, 18));
        height = std::abs(static_cast<qint64>(static_cast<qint32>(Le32(info, 22))));
        bitCount = Le16(info, 28);
        const quint32 compression = Le32(info, 30);
        if (compression != 0 && compression != 3)
            return true;  // run-length data: its length is not fixed by the header
    }
    const qint64 rowBytes = (width * bitCount + 31) / 32 * 4;
    return file.size() >= static_cast<qint64>(pixelOffset) + rowBytes * height;
}

// The pixel rows of an uncompressed 24-bit bitmap, where they lie in the
// file: the capture component writes these, and they go to the encoder as
// they are. False for any other kind of bitmap or a cut-off file.
struct Bmp24Rows {
    const uchar* first = nullptr;
    int width = 0;
    int height = 0;
    int pitch = 0;
    bool bottomUp = true;
};

bool FindBmp24Rows(const QByteArray& file, Bmp24Rows* rows)
{
    if (file.size() < 54 || !file.startsWith("BM") || Le32(file, 14) < 40)
        return false;
    const qint64 offset = Le32(file, 10);
    const qint32 width = static_cast<qint32>(Le32(file, 18));
    const qint32 height = static_cast<qint32>(Le32(file, 22));
    if (Le16(file, 28) != 24 || Le32(file, 30) != 0 || width <= 0 || height == 0 || width > 65535)
        return false;
    rows->width = width;
    rows->height = std::abs(height);
    rows->pitch = (width * 3 + 3) & ~3;
    rows->bottomUp = height > 0;
    if (offset + qint64(rows->pitch) * rows->height > file.size())
        return false;
    rows->first = reinterpret_cast<const uchar*>(file.constData()) + offset;
    return true;
}

}  // namespace

bool BmpToJpeg(const QString& bmpPath, const QString& jpegPath, int quality)
{
    QFile file(bmpPath);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    Bmp24Rows rows;
    if (!FindBmp24Rows(bytes, &rows)) {
        // Any other bitmap goes through the image reader.
        QImageReader reader(bmpPath, "bmp");
        const QImage bitmap = reader.read();
        if (bitmap.isNull() || bitmap.width() <= 0 || bitmap.height() <= 0 || !PixelRowsComplete(bmpPath))
            throw EPictureError(
                QStringLiteral("Bitmap image is not valid: %1 (%2)").arg(Native(bmpPath), reader.errorString()));
        ImageToJpeg(bitmap, jpegPath, quality);
        return true;
    }
    QByteArray jpeg;
    QString message;
    if (!SharedCompressor().Encode(rows.first, rows.width, rows.height, rows.pitch, TJPF_BGR, rows.bottomUp, quality,
                                   &jpeg, &message))
        throw EPictureError(QStringLiteral("JPEG error: %1").arg(message));
    WriteAtomically(jpegPath, jpeg);
    return true;
}

void ImageToJpeg(const QImage& image, const QString& jpegPath, int quality)
{
    if (image.isNull())
        throw EPictureError(QStringLiteral("JPEG error: no picture"));
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    QByteArray jpeg;
    QString message;
    if (!SharedCompressor().Encode(rgb.constBits(), rgb.width(), rgb.height(), int(rgb.bytesPerLine()), TJPF_RGB,
                                   false, quality, &jpeg, &message))
        throw EPictureError(QStringLiteral("JPEG error: %1").arg(message));
    WriteAtomically(jpegPath, jpeg);
}

void TDateTimeCaption::Draw(const QString& dateTime)
{
    if (bitmap_.isNull()) {
        bitmap_ = QImage(kWidth, kHeight, QImage::Format_RGB32);
        // 96 dots per inch, as the points of the caption font assume.
        const int dotsPerMeter = qRound(96 / 0.0254);
        bitmap_.setDotsPerMeterX(dotsPerMeter);
        bitmap_.setDotsPerMeterY(dotsPerMeter);
    }
    const QColor red(255, 0, 0);
    bitmap_.fill(red);

    QPainter painter(&bitmap_);
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(12);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.setBackgroundMode(Qt::OpaqueMode);
    painter.setBackground(red);
    const QString text = QStringLiteral("     ") + dateTime + QStringLiteral("     ");
    painter.drawText(QRect(0, 0, kWidth, kHeight), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
}

void ImageToBmp(const QImage& image, const QString& path)
{
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        throw EPictureError(QStringLiteral("Unable to write to %1").arg(Native(path)));
    QImageWriter writer(&file, "bmp");
    if (image.isNull() || !writer.write(image.convertToFormat(QImage::Format_RGB888)) || !file.commit())
        throw EPictureError(QStringLiteral("Unable to write to %1").arg(Native(path)));
}

TUpdatePictures::TUpdatePictures(app::ProgramFiles files, TErrorLog& log) : files_(std::move(files)), log_(log) {}

bool TUpdatePictures::Produce(Moment moment)
{
    const QImage frame = OnGrabFrame ? OnGrabFrame() : QImage();
    const bool saved = !frame.isNull();
    // One moment for both pictures: the caption on the frame and the
    // date/time picture say the same.
    const QDateTime now = Now ? Now() : QDateTime::currentDateTime();
    if (saved)
        WriteJpeg(frame, now);
    else
        log_.FrameSaveFailed(moment == Moment::Start, !outage_);
    outage_ = !saved;
    DrawCaption(now);
    return saved;
}

void TUpdatePictures::ProduceFrom(const QImage& picture)
{
    const QDateTime now = Now ? Now() : QDateTime::currentDateTime();
    WriteJpeg(picture, now);
    DrawCaption(now);
}

void TUpdatePictures::WriteJpeg(const QImage& frame, const QDateTime& now)
{
    if (!pictureCaption_.enabled) {
        ImageToJpeg(frame, files_.CaptureJpg());
        return;
    }
    QImage captioned = frame.convertToFormat(QImage::Format_RGB888);
    DrawPictureCaption(captioned, pictureCaption_, pictureCaption_.text + platform::DateTimeToStr(now));
    ImageToJpeg(captioned, files_.CaptureJpg());
}

void TUpdatePictures::DrawCaption(const QDateTime& now)
{
    caption_.Draw(platform::DateTimeToStr(now));
    if (OnCaptionDrawn)
        OnCaptionDrawn(caption_.Picture());
    caption_.Save(files_.DateTimeBmp());
}
