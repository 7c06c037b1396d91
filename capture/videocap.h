#pragma once
// The capture component: a control that owns a capture engine of the capture
// service, connects it to a driver chosen by index, shows preview or overlay
// (unscaled, stretched, or stretched keeping the aspect ratio), grabs and
// saves frames, records AVI video and turns the engine's handlers into
// events.

#include "capture/engine/CaptureService.h"
#include "platform/exception.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

TARVO_DECLARE_EXCEPTION(ENoDriverException, Exception);
TARVO_DECLARE_EXCEPTION(ENoCapWindowException, Exception);
TARVO_DECLARE_EXCEPTION(ENotConnectException, Exception);
TARVO_DECLARE_EXCEPTION(ENoOverlayException, Exception);
TARVO_DECLARE_EXCEPTION(EBufferFileError, Exception);

class TVideoCap;

enum class TChannel { Stereo, Mono };
enum class TFrequency { f8000Hz, f11025Hz, f22050Hz, f44100Hz };
enum class TResolution { r8Bit, r16Bit };

// The audio format of streaming capture.
class TAudioFormat
{
public:
    TChannel Channels() const { return channels_; }
    void SetChannels(TChannel value) { channels_ = value; }
    TFrequency Frequency() const { return frequency_; }
    void SetFrequency(TFrequency value) { frequency_ = value; }
    TResolution Resolution() const { return resolution_; }
    void SetResolution(TResolution value) { resolution_ = value; }

    // Writes this format into the audio format of the capture engine of window.
    void SetAudioFormat(platform::WindowHandle window) const;

private:
    TChannel channels_ = TChannel::Mono;
    TFrequency frequency_ = TFrequency::f8000Hz;
    TResolution resolution_ = TResolution::r8Bit;
};

// An event whose assignment the component notices, so that it can install or
// remove the matching handler of an open capture engine at once.
template <class Signature>
class TCapEvent;

template <class... Args>
class TCapEvent<void(Args...)>
{
public:
    using Function = std::function<void(Args...)>;

    explicit TCapEvent(std::function<void()> changed) : changed_(std::move(changed)) {}
    TCapEvent(const TCapEvent&) = delete;

    TCapEvent& operator=(Function f)
    {
        fn_ = std::move(f);
        changed_();
        return *this;
    }
    TCapEvent& operator=(std::nullptr_t) { return *this = Function(); }
    explicit operator bool() const { return static_cast<bool>(fn_); }
    void operator()(Args... args) const { fn_(args...); }

private:
    Function fn_;
    std::function<void()> changed_;
};

using TCapStatusProc = std::function<void(TVideoCap* Sender)>;
using TCapStatusCallback = void(TVideoCap* Sender, int nID, const QString& status);
using TVideoStream = void(TVideoCap* sender, platform::VIDEOHDR* lpVhdr);
using TAudioStream = void(TVideoCap* sender, platform::WAVEHDR* lpWHdr);
using TError = void(TVideoCap* sender, int nID, const QString& errorstr);

using TNotifyEvent = std::function<void(TVideoCap* Sender)>;
using TMouseEvent =
    std::function<void(TVideoCap* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y)>;
using TMouseMoveEvent =
    std::function<void(TVideoCap* Sender, Qt::MouseButtons Buttons, Qt::KeyboardModifiers Shift, int X, int Y)>;

class TVideoCap : public QWidget
{
    Q_OBJECT

public:
    explicit TVideoCap(QWidget* owner = nullptr);
    ~TVideoCap() override;

    // Driver selection and the capture window.
    bool DriverOpen() const { return engine_ != nullptr; }
    void SetDriverOpen(bool value);
    int DriverIndex() const { return driverIndex_; }
    void SetDriverIndex(int value);
    QString DriverName() const { return driverName_; }
    void SetDriverName(const QString& value);
    // Which device the selected index names: its name and where it is
    // attached ("Fake Cam (usb-0000:00:14.0-1)"); empty when none. Indexes
    // move as cameras come and go; this does not.
    QString DriverIdentity() const { return driverIdentity_; }

    bool OpenDriver();
    void CloseDriver();
    void FreeDriverInfo();
    bool ReadDriverCaps();
    bool HasOverlay();
    bool HasDlgSource();
    bool HasDlgFormat();
    bool HasDlgDisplay();
    bool UpdateStatus(bool raiseEvent);
    std::uint16_t ImageWidth() const;
    std::uint16_t ImageHeight() const;
    void SizeCaptureWindow();
    // The capture engine's handle; 0 while the driver is closed.
    platform::WindowHandle CaptureWindow() const { return engine_ ? engine_->Handle() : 0; }

    // Preview, overlay and scaling.
    bool VideoPreview() const;
    void SetVideoPreview(bool value);
    bool VideoOverlay() const;
    void SetVideoOverlay(bool value);
    bool PreviewScaleToWindow() const { return previewScaleToWindow_; }
    void SetPreviewScaleToWindow(bool value);
    bool PreviewScaleProportional() const { return previewScaleProportional_; }
    void SetPreviewScaleProportional(bool value);
    // The smallest picture OnFrameCallback needs: its frames come as small as
    // the engine makes them cheaply, at least this large (the header's
    // dwWidth and dwHeight tell the size). Empty (the default): full size.
    QSize FrameCallbackSize() const { return frameCallbackSize_; }
    void SetFrameCallbackSize(QSize value);
    std::uint16_t PreviewRate() const { return previewRate_; }
    void SetPreviewRate(std::uint16_t value);

    // Capture parameters.
    std::uint32_t MicroSecPerFrame() const { return microSecPerFrame_; }
    void SetMicroSecPerFrame(std::uint32_t value);
    std::uint16_t FrameRate() const;
    void SetFrameRate(std::uint16_t value);
    bool CapAudio() const { return capAudio_; }
    void SetCapAudio(bool value) { capAudio_ = value; }
    QString VideoFileName() const { return videoFileName_; }
    void SetVideoFileName(const QString& value) { videoFileName_ = value; }
    QString SingleImageFile() const { return singleImageFile_; }
    void SetSingleImageFile(const QString& value) { singleImageFile_ = value; }
    std::uint16_t CapTimeLimit() const { return capTimeLimit_; }
    void SetCapTimeLimit(std::uint16_t value) { capTimeLimit_ = value; }
    std::uint32_t CapIndexSize() const { return capIndexSize_; }
    void SetCapIndexSize(std::uint32_t value);
    bool CapToFile() const { return capToFile_; }
    void SetCapToFile(bool value) { capToFile_ = value; }
    TAudioFormat* CapAudioFormat() const { return capAudioFormat_.get(); }
    void SetCapAudioFormat(const TAudioFormat& value) { *capAudioFormat_ = value; }
    std::uint16_t BufferFileSize() const { return bufferFileSize_; }
    void SetBufferFileSize(std::uint16_t value);
    // Path of the attached buffer file; empty when none.
    QString BufferFileName() const { return bufferFileName_; }

    // Frames, files and capture. A grab answers true only for a frame the
    // camera took after the grab was asked for. SaveAsDIB answers false and
    // writes nothing when the last grab failed, the camera is lost or has
    // been silent for 5 s: an old frame never passes for a new one.
    bool GrabFrame();
    bool GrabFrameNoStop();
    // As GrabFrameNoStop, but a frame the camera took within one frame
    // interval before the call will do: no wait while the preview runs.
    bool GrabRecentFrame();
    bool SaveAsDIB();
    // The frame SaveAsDIB would write, in memory (RGB888); a null picture
    // where SaveAsDIB would answer false.
    QImage GrabbedFrame();
    bool StartCapture();
    bool StopCapture();
    bool CapturingNow();
    bool SaveCapture();
    bool DlgVideoFormat();
    bool DlgVideoSource();
    bool DlgVideoDisplay();
    bool DlgVideoCompression();
    void SetupBufferFile(bool attach);

    // Privacy masks: areas filled in every frame as it leaves the camera,
    // before the preview, grabs, saved pictures, recordings and the frame
    // events see it. Kept while the driver is closed, in place before the
    // first frame of every opening.
    const platform::capture::PrivacyMask& PrivacyMask() const { return privacyMask_; }
    void SetPrivacyMask(const platform::capture::PrivacyMask& value);
    // While the masks are edited, the preview shows the picture unfilled with
    // outlines round these areas, and UnmaskedFrame answers the newest frame
    // as the camera took it (a null picture otherwise); every other consumer
    // still gets filled frames.
    bool PrivacyMaskEditing() const { return maskEditing_; }
    void SetPrivacyMaskEditing(bool editing, const QList<QRectF>& outlines = {});
    QImage UnmaskedFrame();

    // Events.
    TCapStatusProc OnStatus;
    TCapEvent<TCapStatusCallback> OnStatusCallback;
    TCapEvent<TVideoStream> OnVideoStream;
    TCapEvent<TVideoStream> OnFrameCallback;
    TCapEvent<TAudioStream> OnAudioStream;
    TCapEvent<TError> OnError;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseUp;
    TMouseEvent OnMouseDown;
    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    // Asked before the selected device is opened: a non-empty answer says why
    // this program may not take it (another instance holds it), and the open
    // fails with that text as for a busy device.
    std::function<QString(const QString& identity)> OnClaim;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    bool DriverDialog(platform::DriverDialog which, bool full);
    // The engine's handler of each event, installed while the event is assigned.
    void InstallStatusHandler();
    void InstallErrorHandler();
    void InstallFrameHandler();
    void InstallVideoStreamHandler();
    void InstallWaveStreamHandler();
    // Mouse input over the video, raised as the control's own.
    void VideoMouse(QMouseEvent* event);

    int driverIndex_ = -1;
    QString driverName_;
    QString driverIdentity_;
    bool connecting_ = false;
    QString connectError_;  // why the driver refused to connect
    platform::CaptureEngine* engine_ = nullptr;
    std::unique_ptr<platform::CAPDRIVERCAPS> driverCaps_;
    std::unique_ptr<platform::CAPSTATUS> capStatus_;
    bool previewScaleToWindow_ = false;
    bool previewScaleProportional_ = false;
    QSize frameCallbackSize_;
    std::uint16_t previewRate_ = 30;
    std::uint32_t microSecPerFrame_ = 66667;
    QString videoFileName_ = QStringLiteral("Video.avi");
    QString bufferFileName_;
    std::uint16_t bufferFileSize_ = 0;
    QString singleImageFile_ = QStringLiteral("Capture.bmp");
    bool capAudio_ = false;
    std::uint16_t capTimeLimit_ = 0;
    std::uint32_t capIndexSize_ = 0;
    bool capToFile_ = true;
    std::unique_ptr<TAudioFormat> capAudioFormat_;
    platform::capture::PrivacyMask privacyMask_;
    bool maskEditing_ = false;
    QList<QRectF> maskOutlines_;
    bool pressed_ = false;
};

// The index of the installed driver with this identity (DriverIdentity), or -1.
int FindDriverIndex(const QString& identity);

// The installed drivers, one line (name + " " + version) per index, up to the
// first index without a driver.
std::unique_ptr<QStringList> GetDriverList();

// Rounding of the component's computed integers: nearest, halves to even.
std::uint32_t RoundedQuotient(std::uint64_t numerator, std::uint64_t denominator);
