#pragma once
// Checks on what the capture service writes: bitmap headers and AVI files as
// libavformat reads them back, with their first frame as a picture;
// answering modal driver dialogs.

#include <QDialog>
#include <QImage>
#include <QString>

#include <cstdint>
#include <functional>

namespace testsupport {

struct BmpInfo {
    bool valid = false;
    int width = 0;
    int height = 0;
    int bitsPerPixel = 0;
    std::int64_t fileSize = 0;
};
BmpInfo ReadBmpHeader(const QString& path);

struct AviInfo {
    bool opened = false;
    QString error;
    int width = 0;
    int height = 0;
    QString videoCodec;
    std::int64_t videoPackets = 0;  // non-empty video packets
    double durationSec = 0;
    bool hasAudio = false;
    bool firstFrameDecodes = false;
};
// firstFrame, when given, receives the first video frame decoded (RGB888).
AviInfo ReadAvi(const QString& path, QImage* firstFrame = nullptr);

// Answers the next modal dialog with this object name: act on it, then
// accept or reject it.
void AnswerDialog(const QString& objectName, std::function<void(QDialog*)> act, bool accept);

}  // namespace testsupport
