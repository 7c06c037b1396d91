#include "app/UpdatePictures.h"

#include "app/ErrorLog.h"
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
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace {

// libjpeg reports fatal errors through error_exit, which must not return.
// We jump back to the encoder with the codec's message; only plain data
// lives in the frame that the jump crosses.
struct JpegErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

extern "C" void JpegErrorExit(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

extern "C" void JpegSilentMessage(j_common_ptr) {}

// Compressed bytes collect in a QByteArray owned by the caller.
struct ByteArrayDestination {
    jpeg_destination_mgr pub;
    QByteArray* data;
};

constexpr qsizetype kInitialOutput = 64 * 1024;

extern "C" void DestinationInit(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<ByteArrayDestination*>(cinfo->dest);
    dest->data->resize(kInitialOutput);
    dest->pub.next_output_byte = reinterpret_cast<JOCTET*>(dest->data->data());
    dest->pub.free_in_buffer = static_cast<size_t>(dest->data->size());
}

extern "C" boolean DestinationEmpty(j_compress_ptr cinfo)
{
    // Called when the whole buffer is full: double it.
    auto* dest = reinterpret_cast<ByteArrayDestination*>(cinfo->dest);
    const qsizetype used = dest->data->size();
    dest->data->resize(used * 2);
    dest->pub.next_output_byte = reinterpret_cast<JOCTET*>(dest->data->data()) + used;
    dest->pub.free_in_buffer = static_cast<size_t>(used);
    return TRUE;
}

extern "C" void DestinationTerm(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<ByteArrayDestination*>(cinfo->dest);
    dest->data->resize(dest->data->size() - static_cast<qsizetype>(dest->pub.free_in_buffer));
}

// Encodes 24-bit RGB rows; false with the codec's message on failure.
bool EncodeRgb(const uchar* pixels, int width, int height, qsizetype stride, int quality, QByteArray* out,
               char* message, size_t messageSize)
{
    jpeg_compress_struct cinfo;
    JpegErrorManager err;
    ByteArrayDestination dest;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JpegErrorExit;
    err.pub.output_message = JpegSilentMessage;
    if (setjmp(err.jump)) {
        std::snprintf(message, messageSize, "%s", err.message);
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);

    dest.pub.init_destination = DestinationInit;
    dest.pub.empty_output_buffer = DestinationEmpty;
    dest.pub.term_destination = DestinationTerm;
    dest.data = out;
    cinfo.dest = &dest.pub;

    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);  // baseline tables
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + static_cast<qsizetype>(cinfo.next_scanline) * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
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

}  // namespace

bool BmpToJpeg(const QString& bmpPath, const QString& jpegPath, int quality)
{
    QImageReader reader(bmpPath, "bmp");
    QImage bitmap = reader.read();
    if (bitmap.isNull() || bitmap.width() <= 0 || bitmap.height() <= 0 || !PixelRowsComplete(bmpPath))
        throw EPictureError(QStringLiteral("Bitmap image is not valid: %1 (%2)").arg(Native(bmpPath), reader.errorString()));

    const QImage rgb = bitmap.convertToFormat(QImage::Format_RGB888);
    QByteArray jpeg;
    char message[JMSG_LENGTH_MAX + 1] = {};
    if (!EncodeRgb(rgb.constBits(), rgb.width(), rgb.height(), rgb.bytesPerLine(), quality, &jpeg, message,
                   sizeof message))
        throw EPictureError(QStringLiteral("JPEG error: %1").arg(QString::fromLocal8Bit(message)));
    WriteAtomically(jpegPath, jpeg);
    return true;
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

void TDateTimeCaption::Save(const QString& path) const
{
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        throw EPictureError(QStringLiteral("Unable to write to %1").arg(Native(path)));
    QImageWriter writer(&file, "bmp");
    if (bitmap_.isNull() || !writer.write(bitmap_.convertToFormat(QImage::Format_RGB888)) || !file.commit())
        throw EPictureError(QStringLiteral("Unable to write to %1").arg(Native(path)));
}

TUpdatePictures::TUpdatePictures(app::ProgramFiles files, TErrorLog& log) : files_(std::move(files)), log_(log) {}

bool TUpdatePictures::Produce(Moment moment)
{
    const bool saved = OnGrabFrame && OnGrabFrame(files_.CaptureBmp());
    if (saved)
        BmpToJpeg(files_.CaptureBmp(), files_.CaptureJpg());
    else
        log_.FrameSaveFailed(moment == Moment::Start, !outage_);
    outage_ = !saved;

    caption_.Draw(platform::DateTimeToStr(Now ? Now() : QDateTime::currentDateTime()));
    if (OnCaptionDrawn)
        OnCaptionDrawn(caption_.Picture());
    caption_.Save(files_.DateTimeBmp());
    return saved;
}
