#pragma once
// The two pictures of every website update: the camera frame as
// "Capture.jpg" and the date and time as "datetime.bmp".

#include "app/ProgramFiles.h"
#include "platform/exception.h"
#include "settings/CaptionSettings.h"

#include <QDateTime>
#include <QImage>
#include <QString>

#include <functional>

class TErrorLog;

// A picture that could not be read, encoded or written.
TARVO_DECLARE_EXCEPTION(EPictureError, Exception);

// Encodes the bitmap file as a baseline colour JPEG of the same size at the
// given quality, replacing jpegPath only once the new file is complete.
// Answers true; raises EPictureError for an unreadable bitmap or a failed
// encode or write, leaving an earlier JPEG file untouched.
bool BmpToJpeg(const QString& bmpPath, const QString& jpegPath, int quality = 90);
// The same for a picture in memory.
void ImageToJpeg(const QImage& image, const QString& jpegPath, int quality = 90);
// Writes the picture as a BMP file, replacing path once complete; raises
// EPictureError when it cannot.
void ImageToBmp(const QImage& image, const QString& path);

// The date/time caption: text on a red band, 178 x 18 pixels. The bitmap is
// made on the first drawing and kept for the run.
class TDateTimeCaption
{
public:
    static constexpr int kWidth = 178;
    static constexpr int kHeight = 18;

    // Five spaces, the text, five spaces, in Arial 12 points on red from the
    // top-left corner; the band is cleared to red first, so nothing of an
    // earlier, longer text stays visible.
    void Draw(const QString& dateTime);
    // Writes the picture as a BMP file (ImageToBmp).
    void Save(const QString& path) const { ImageToBmp(bitmap_, path); }
    const QImage& Picture() const { return bitmap_; }

private:
    QImage bitmap_;
};

class TUpdatePictures
{
public:
    enum class Moment { Start, Tick };

    TUpdatePictures(app::ProgramFiles files, TErrorLog& log);

    // Grabs one frame and answers it (the capture component's
    // GrabFrameNoStop, GrabbedFrame); a null picture where no frame could be
    // saved. Unassigned, no frame can be saved. The frame goes to the JPEG
    // encoder from memory, as a motion event's picture does.
    std::function<QImage()> OnGrabFrame;
    // Called after each caption drawing, to show it in the window's image.
    std::function<void(const QImage&)> OnCaptionDrawn;
    // The clock of the caption; the current local time unless set.
    std::function<QDateTime()> Now;

    // The caption drawn onto "Capture.jpg" while it is enabled: the user's
    // text and the same date and time as "datetime.bmp".
    void SetPictureCaption(const settings::CaptionSettings& caption) { pictureCaption_ = caption; }
    const settings::CaptionSettings& PictureCaption() const { return pictureCaption_; }

    // Produces "Capture.jpg" and "datetime.bmp"; answers whether the frame
    // was saved. A frame that cannot be saved keeps the previous picture and
    // is reported: in panel 1 each time, in the log once per outage. Raises
    // EPictureError when a picture cannot be encoded or written.
    bool Produce(Moment moment);
    // Produces both from a picture at hand (a motion event's) instead of a
    // grabbed frame; raises EPictureError as Produce does.
    void ProduceFrom(const QImage& picture);

    const TDateTimeCaption& Caption() const { return caption_; }

private:
    void WriteJpeg(const QImage& frame, const QDateTime& now);
    void DrawCaption(const QDateTime& now);

    app::ProgramFiles files_;
    TErrorLog& log_;
    TDateTimeCaption caption_;
    settings::CaptionSettings pictureCaption_;
    bool outage_ = false;
};
