#pragma once
// AVI files written with libavformat: one video stream encoded by a
// libavcodec encoder, optionally one PCM audio stream.
//
// An existing file is emptied first, unless the caller pre-allocated it for
// this recording (a buffer file keeps its blocks); it is cut to the written
// length at the end. Every second the header sizes are brought up to date,
// so a process killed midway leaves a file that plays up to about then.
// Space for the closing index is kept in reserve while frames are written:
// when the disk fills up, DiskFull() turns true before the reserve is used,
// so the caller can still close the file into a playable AVI.

#include <QImage>
#include <QList>
#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>

namespace platform::capture {

struct AviCodec {
    QString name;         // libavcodec encoder name, e.g. "mjpeg"
    QString description;  // long name for the user
};

// Encoders that libavformat accepts in AVI.
QList<AviCodec> AviVideoCodecs();
// The encoder used when nothing else was chosen.
QString DefaultAviCodec();

class AviWriter
{
public:
    struct Video {
        QSize size;
        std::uint32_t microSecPerFrame = 66667;
        QString codec = QStringLiteral("mjpeg");
    };
    struct Audio {
        int sampleRate = 8000;
        int channels = 1;
        int bitsPerSample = 8;  // 8: unsigned samples, 16: signed little-endian
    };

    AviWriter();
    ~AviWriter();
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // Creates or empties the file at path (keeps it as it is when
    // preAllocated); false with error on failure.
    bool Open(const QString& path, const Video& video, const Audio* audio, QString* error, bool preAllocated = false);
    // A frame (RGB888 of the video size) at frame number index; frame numbers
    // must grow, skipped numbers become empty (repeated) frames.
    bool WriteVideo(const QImage& frame, std::int64_t index, QString* error);
    // Interleaved PCM samples in the audio format.
    bool WriteAudio(const std::uint8_t* data, int bytes, QString* error);
    // Finishes the file; safe to call twice.
    bool Close(QString* error);

    bool IsOpen() const;
    bool DiskFull() const;
    std::int64_t BytesWritten() const;
    std::int64_t VideoFrames() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

}  // namespace platform::capture
