#pragma once
// The capture engine of the real drivers: a child widget that paints preview
// or overlay frames, grabs, saves bitmaps and runs streaming capture into an
// AVI file on a worker thread. Internal to the capture service.

#include "capture/engine/CaptureService.h"
#include "capture/engine/CaptureDevice.h"
#include "capture/engine/FramePacer.h"
#include "capture/engine/MaskedDevice.h"

#include <QElapsedTimer>
#include <QImage>
#include <QMutex>
#include <QTimer>
#include <QWidget>

class QPainter;

#include <array>
#include <atomic>
#include <memory>
#include <thread>

namespace platform::capture {

class CaptureWindow final : public QWidget, public CaptureEngine
{
    Q_OBJECT

public:
    CaptureWindow(QWidget* parent, const QString& name);
    ~CaptureWindow() override;

    void SetStatusHandler(TextHandler handler) override { statusCallback_ = std::move(handler); }
    void SetErrorHandler(TextHandler handler) override { errorCallback_ = std::move(handler); }
    void SetFrameHandler(VideoHandler handler) override { frameCallback_ = std::move(handler); }
    void SetFrameHandlerSize(QSize size) override { frameHandlerSize_ = size; }
    void SetVideoStreamHandler(VideoHandler handler) override { videoStreamCallback_ = std::move(handler); }
    void SetWaveStreamHandler(WaveHandler handler) override { waveStreamCallback_ = std::move(handler); }
    void SetMouseHandler(MouseHandler handler) override { mouseHandler_ = std::move(handler); }

    bool ConnectDriver(unsigned index) override { return Connect(index); }
    bool DisconnectDriver() override;
    bool GetDriverCaps(CAPDRIVERCAPS& caps) override;
    bool GetStatus(CAPSTATUS& status) override;
    bool SetPreview(bool on) override;
    bool SetOverlay(bool on) override;
    bool SetPreviewRate(unsigned ms) override;
    bool SetScale(bool on) override;
    bool GrabFrame(bool stopPreview) override { return Grab(stopPreview); }
    bool GrabRecentFrame() override;
    bool SaveDib(const QString& path) override;
    QImage GrabbedFrame() override;
    bool SetCaptureFile(const QString& path) override;
    bool AllocateFile(std::uint64_t bytes) override;
    bool SaveCaptureAs(const QString& path) override;
    bool GetAudioFormat(WAVEFORMATEX& format) override;
    bool SetAudioFormat(const WAVEFORMATEX& format) override;
    bool GetSequenceSetup(CAPTUREPARMS& parms) override;
    bool SetSequenceSetup(const CAPTUREPARMS& parms) override;
    bool StartSequence(bool toFile) override;
    bool Stop() override;
    bool ShowDialog(DriverDialog which) override;
    void Move(int x, int y, int width, int height, bool repaint) override;
    QWidget* Widget() override { return this; }
    void SetPrivacyMask(const PrivacyMask& mask) override;
    void SetMaskEditing(bool editing, const QList<QRectF>& outlines) override;
    QImage UnmaskedFrame() override;

    // The codec streaming capture uses (libavcodec encoder name).
    QString Codec() const { return codec_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void Release() override;

private:
    struct Sequence;

    bool Connect(unsigned index);
    void Disconnect();
    bool Connected() const { return device_ != nullptr; }
    bool Capturing() const { return sequence_ != nullptr; }

    void FillCaps(CAPDRIVERCAPS& caps) const;
    void FillStatus(CAPSTATUS& status) const;

    void RestartTimer();
    void Tick();
    // Keeps an idle stream drained and notices a camera that went silent.
    void Watch();
    // The smallest picture that serves everyone looking at the frames the
    // preview and the idle watch read; empty for full size.
    QSize Need() const;
    // Reads one frame into lastFrame_, at least of atLeast (empty: full
    // size); false when the device failed.
    bool ReadInto(int timeoutMs, QSize atLeast);
    void GotFrame(const QImage& frame);
    // The camera's pace: the capture rate while recording, else the preview rate.
    void ApplyFrameInterval();
    bool Grab(bool stopPreview);
    bool TakeRecent();
    // The parts of a recording: its set-up (audio input, file), the two
    // workers, and what the video worker does with each frame and at the end.
    std::unique_ptr<Sequence> PrepareSequence(bool toFile);
    void RecordAudio(Sequence* s);
    void RecordVideo(Sequence* s, CaptureDevice* device);
    bool StoreFrame(Sequence* s, const QImage& frame, std::int64_t index, std::int64_t nowUs);
    void ReportFrame(Sequence* s, FramePacer& pacer, const QImage& frame, std::int64_t nowUs);
    void EndRecording(Sequence* s, std::int64_t elapsedUs);
    void FinishSequence();

    bool FormatDialog();
    bool SourceDialog();
    bool DisplayDialog();
    bool CompressionDialog();

    void DeviceLost(const QString& why);
    void CallFrameCallback(const QImage& frame, std::uint32_t timeMs);
    // Status and error callbacks travel through the event queue, so they
    // keep their order whichever thread reports them.
    void PostStatus(int id, const QString& text);
    void PostError(int id, const QString& text);

    void MouseMessage(QMouseEvent* event);
    // The outlines of the areas being edited, over the picture as shown.
    void PaintMaskOutlines(QPainter& painter, QSize picture);

    QString name_;
    TextHandler statusCallback_;
    TextHandler errorCallback_;
    VideoHandler frameCallback_;
    QSize frameHandlerSize_;  // empty: full size
    QImage handlerFrame_;     // a frame made smaller for the frame handler
    bool inFrameCallback_ = false;
    VideoHandler videoStreamCallback_;
    WaveHandler waveStreamCallback_;
    MouseHandler mouseHandler_;

    unsigned driverIndex_ = 0;
    // Every device is opened wrapped in the mask (MaskedDevice).
    std::shared_ptr<MaskState> mask_ = std::make_shared<MaskState>();
    bool maskEditing_ = false;
    QList<QRectF> maskOutlines_;
    // Shared with the driver dialogs, which must notice when it is gone.
    std::shared_ptr<CaptureDevice> device_;
    bool lost_ = false;
    // The last frame is a picture of now: no grab failed since, and the
    // camera delivered within the loss time-out.
    bool frameValid_ = false;
    QElapsedTimer sinceFrame_;
    QTimer watchdog_;
    bool preview_ = false;
    bool overlay_ = false;
    bool scale_ = false;
    unsigned previewMs_ = 66;
    QTimer timer_;
    // RGB888; what the window shows, possibly smaller than the camera's
    // frames, and, at full size, what SAVEDIB writes.
    QImage lastFrame_;
    // The preview's and the grabs' frames are read into these in turn.
    std::array<QImage, 3> frameBuffers_;

    QString captureFile_;
    QString allocatedFile_;  // pre-allocated for the next capture: not to be emptied
    CAPTUREPARMS parms_{};
    WAVEFORMATEX waveFormat_{};
    QString codec_;
    bool audioHardware_ = false;

    std::unique_ptr<Sequence> sequence_;
    // Totals of the last capture, kept for the status record afterwards.
    std::uint32_t lastFrames_ = 0;
    std::uint32_t lastDropped_ = 0;
    std::uint32_t lastElapsedMs_ = 0;
    std::uint32_t lastWaveSamples_ = 0;
};

// Writes a 24-bit bottom-up bitmap file of an image; false on failure, and
// then the file is left as it was.
bool WriteBmp24(const QImage& image, const QString& path);

}  // namespace platform::capture
