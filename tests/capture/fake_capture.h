#pragma once
// A recording capture service: its engines record every call the component
// makes, answer like a driver, and fail on demand.

#include "capture/engine/CaptureService.h"

#include <QRect>
#include <QString>

#include <map>
#include <memory>
#include <vector>

class QWidget;

namespace testsupport {

enum class CapOp {
    SetStatusHandler,
    SetErrorHandler,
    SetFrameHandler,
    SetVideoStreamHandler,
    SetWaveStreamHandler,
    ConnectDriver,
    DisconnectDriver,
    GetDriverCaps,
    GetStatus,
    SetPreview,
    SetOverlay,
    SetPreviewRate,
    SetScale,
    GrabFrame,
    GrabFrameNoStop,
    SaveDib,
    SetCaptureFile,
    AllocateFile,
    SaveCaptureAs,
    GetAudioFormat,
    SetAudioFormat,
    GetSequenceSetup,
    SetSequenceSetup,
    Sequence,
    SequenceNoFile,
    Stop,
    DlgVideoFormat,
    DlgVideoSource,
    DlgVideoDisplay,
    DlgVideoCompression,
};

struct CapCall {
    CapOp op = CapOp::GetStatus;
    std::uint64_t value = 0;  // driver index, on/off, rate or byte count
    QString text;             // file names
};

struct FakeCaptureState {
    std::map<unsigned, std::pair<QString, QString>> drivers;  // index -> name, version
    std::vector<unsigned> descriptionQueries;

    bool failCreate = false;
    int created = 0;
    int destroyed = 0;
    QString createName;
    QRect createRect;
    QWidget* createParent = nullptr;

    std::vector<CapCall> calls;
    // Answers replacing the default ones, by call.
    std::map<CapOp, bool> answers;

    platform::CAPDRIVERCAPS caps{};
    platform::CAPSTATUS status{};
    platform::CAPTUREPARMS parms{};
    platform::WAVEFORMATEX wave{};
    // The handlers installed now.
    platform::CaptureEngine::TextHandler statusHandler;
    platform::CaptureEngine::TextHandler errorHandler;
    platform::CaptureEngine::VideoHandler frameHandler;
    platform::CaptureEngine::VideoHandler videoStreamHandler;
    platform::CaptureEngine::WaveHandler waveStreamHandler;
    platform::CaptureEngine::MouseHandler mouseHandler;
    QRect geometry;
    platform::WindowHandle window = 0;

    std::vector<CapOp> Messages() const;
    // The calls of one kind, in order.
    std::vector<CapCall> CallsOf(CapOp op) const;
    bool Sent(CapOp op) const { return !CallsOf(op).empty(); }
};

// Installs the recording service for its lifetime.
class ScopedFakeCapture
{
public:
    ScopedFakeCapture();
    ~ScopedFakeCapture();
    FakeCaptureState* operator->() { return &state_; }
    FakeCaptureState& operator*() { return state_; }

private:
    FakeCaptureState state_;
    std::unique_ptr<platform::CaptureService> previous_;
};

}  // namespace testsupport
