#pragma once
// The video capture service: a driver list, and capture engines that connect
// to a driver, show its preview or overlay as a child of the capture
// component, grab and save frames and record AVI video.
//
// Drivers, indexes 0..9: every V4L2 capture device in node order, then the
// built-in test-pattern camera, which is always present. Engines are called
// on the GUI thread; every handler an engine is given is called on the GUI
// thread, also while a streaming capture runs on its worker thread.

#include "capture/engine/PrivacyMask.h"
#include "platform/messages.h"

#include <QImage>
#include <QList>
#include <QRectF>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QMouseEvent;
class QRect;
class QWidget;

namespace platform {

// Status and error ids passed to the status and error handlers.
constexpr int IDS_CAP_BEGIN = 300;          // capture starts
constexpr int IDS_CAP_END = 301;            // capture ended
constexpr int IDS_CAP_STAT_VIDEOCURRENT = 510;  // frames captured so far
constexpr int IDS_CAP_CANTOPEN = 405;       // capture file cannot be opened
constexpr int IDS_CAP_WRITEERROR = 409;     // writing the capture file failed
constexpr int IDS_CAP_SAVEASERROR = 410;
constexpr int IDS_CAP_NO_AUDIO_CAP = 416;   // no audio input: video only
constexpr int IDS_CAP_COMPRESSOR_ERROR = 418;
constexpr int IDS_CAP_DRIVER_ERROR = 434;   // the device went away or failed

// The records, with the field layout and size the component relies on.
#pragma pack(push, 4)
struct CAPDRIVERCAPS {
    std::uint32_t wDeviceIndex;
    std::int32_t fHasOverlay;
    std::int32_t fHasDlgVideoSource;
    std::int32_t fHasDlgVideoFormat;
    std::int32_t fHasDlgVideoDisplay;
    std::int32_t fCaptureInitialized;
    std::int32_t fDriverSuppliesPalettes;
    std::uint32_t hVideoIn;
    std::uint32_t hVideoOut;
    std::uint32_t hVideoExtIn;
    std::uint32_t hVideoExtOut;
};

struct CAPSTATUS {
    std::uint32_t uiImageWidth;
    std::uint32_t uiImageHeight;
    std::int32_t fLiveWindow;
    std::int32_t fOverlayWindow;
    std::int32_t fScale;
    std::int32_t ptScrollX;
    std::int32_t ptScrollY;
    std::int32_t fUsingDefaultPalette;
    std::int32_t fAudioHardware;
    std::int32_t fCapFileExists;
    std::uint32_t dwCurrentVideoFrame;
    std::uint32_t dwCurrentVideoFramesDropped;
    std::uint32_t dwCurrentWaveSamples;
    std::uint32_t dwCurrentTimeElapsedMS;
    std::uint32_t hPalCurrent;
    std::int32_t fCapturingNow;
    std::uint32_t dwReturn;
    std::uint32_t wNumVideoAllocated;
    std::uint32_t wNumAudioAllocated;
};

struct CAPTUREPARMS {
    std::uint32_t dwRequestMicroSecPerFrame;
    std::int32_t fMakeUserHitOKToCapture;
    std::uint32_t wPercentDropForError;
    std::int32_t fYield;
    std::uint32_t dwIndexSize;
    std::uint32_t wChunkGranularity;
    std::int32_t fUsingDOSMemory;
    std::uint32_t wNumVideoRequested;
    std::int32_t fCaptureAudio;
    std::uint32_t wNumAudioRequested;
    std::uint32_t vKeyAbort;
    std::int32_t fAbortLeftMouse;
    std::int32_t fAbortRightMouse;
    std::int32_t fLimitEnabled;
    std::uint32_t wTimeLimit;
    std::int32_t fMCIControl;
    std::int32_t fStepMCIDevice;
    std::uint32_t dwMCIStartTime;
    std::uint32_t dwMCIStopTime;
    std::int32_t fStepCaptureAt2x;
    std::uint32_t wStepCaptureAverageFrames;
    std::uint32_t dwAudioBufferSize;
    std::int32_t fDisableWriteCache;
    std::uint32_t AVStreamMaster;
};
#pragma pack(pop)

#pragma pack(push, 1)
struct WAVEFORMATEX {
    std::uint16_t wFormatTag;
    std::uint16_t nChannels;
    std::uint32_t nSamplesPerSec;
    std::uint32_t nAvgBytesPerSec;
    std::uint16_t nBlockAlign;
    std::uint16_t wBitsPerSample;
    std::uint16_t cbSize;
};
#pragma pack(pop)

constexpr std::uint16_t WAVE_FORMAT_PCM = 1;

static_assert(sizeof(CAPDRIVERCAPS) == 44);
static_assert(sizeof(CAPSTATUS) == 76);
static_assert(sizeof(CAPTUREPARMS) == 96);
static_assert(sizeof(WAVEFORMATEX) == 18);

// A video buffer: packed RGB24 rows, top row first, for the frame
// and video stream callbacks.
struct VIDEOHDR {
    std::uint8_t* lpData;
    std::uint32_t dwBufferLength;
    std::uint32_t dwBytesUsed;
    std::uint32_t dwTimeCaptured;  // ms since the capture began
    std::uintptr_t dwUser;
    std::uint32_t dwFlags;
    std::uintptr_t dwReserved[4];
    // The picture in lpData: the frame callback may get it smaller than the
    // camera's frames (see SetFrameHandlerSize); 0 where not told.
    std::uint32_t dwWidth;
    std::uint32_t dwHeight;
};

struct WAVEHDR {
    std::uint8_t* lpData;
    std::uint32_t dwBufferLength;
    std::uint32_t dwBytesRecorded;
    std::uintptr_t dwUser;
    std::uint32_t dwFlags;
    std::uint32_t dwLoops;
    WAVEHDR* lpNext;
    std::uintptr_t reserved;
};

constexpr std::uint32_t VHDR_DONE = 0x01;
constexpr std::uint32_t VHDR_KEYFRAME = 0x08;

// The error text reported when a connected device disappears.
inline QString DeviceNotDetectedText() { return QStringLiteral("Capture device was not detected."); }

enum class DriverDialog { VideoFormat, VideoSource, VideoDisplay, VideoCompression };

// One capture engine. Each has a handle by which the component names it;
// the handle dies with Destroy.
class CaptureEngine
{
public:
    using TextHandler = std::function<void(int id, const QString& text)>;
    using VideoHandler = std::function<void(VIDEOHDR* header)>;
    using WaveHandler = std::function<void(WAVEHDR* header)>;
    using MouseHandler = std::function<void(QMouseEvent* event)>;

    CaptureEngine();
    virtual ~CaptureEngine();
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    WindowHandle Handle() const { return handle_; }

    // Handlers: an empty one removes the one installed.
    virtual void SetStatusHandler(TextHandler handler) = 0;
    virtual void SetErrorHandler(TextHandler handler) = 0;
    virtual void SetFrameHandler(VideoHandler handler) = 0;
    // The size the frame handler needs at least: its frames come as small
    // as the engine makes them cheaply while still as large as this. Empty:
    // the camera's full size.
    virtual void SetFrameHandlerSize(QSize size) { (void)size; }
    virtual void SetVideoStreamHandler(VideoHandler handler) = 0;
    virtual void SetWaveStreamHandler(WaveHandler handler) = 0;
    // Mouse input over the picture is handed on, not handled.
    virtual void SetMouseHandler(MouseHandler handler) = 0;

    // Each answers whether the engine did what was asked.
    virtual bool ConnectDriver(unsigned index) = 0;
    virtual bool DisconnectDriver() = 0;
    virtual bool GetDriverCaps(CAPDRIVERCAPS& caps) = 0;
    virtual bool GetStatus(CAPSTATUS& status) = 0;
    virtual bool SetPreview(bool on) = 0;
    virtual bool SetOverlay(bool on) = 0;
    virtual bool SetPreviewRate(unsigned ms) = 0;
    virtual bool SetScale(bool on) = 0;
    virtual bool GrabFrame(bool stopPreview) = 0;
    // A grab without stopping the preview that may take a frame the camera
    // took within one frame interval before it was asked for.
    virtual bool GrabRecentFrame() { return GrabFrame(false); }
    virtual bool SaveDib(const QString& path) = 0;
    // The frame SaveDib would write, in memory; a null picture where it
    // would answer false.
    virtual QImage GrabbedFrame() { return {}; }
    virtual bool SetCaptureFile(const QString& path) = 0;
    virtual bool AllocateFile(std::uint64_t bytes) = 0;
    virtual bool SaveCaptureAs(const QString& path) = 0;
    virtual bool GetAudioFormat(WAVEFORMATEX& format) = 0;
    virtual bool SetAudioFormat(const WAVEFORMATEX& format) = 0;
    virtual bool GetSequenceSetup(CAPTUREPARMS& parms) = 0;
    virtual bool SetSequenceSetup(const CAPTUREPARMS& parms) = 0;
    virtual bool StartSequence(bool toFile) = 0;
    virtual bool Stop() = 0;
    virtual bool ShowDialog(DriverDialog which) = 0;
    virtual void Move(int x, int y, int width, int height, bool repaint) = 0;
    // The widget showing the picture, if the engine has one.
    virtual QWidget* Widget() { return nullptr; }

    // The privacy mask, filled into every frame as the camera delivers it,
    // before the preview, grabs, saved pictures, recordings and the frame
    // handlers see it; kept across connects.
    virtual void SetPrivacyMask(const capture::PrivacyMask& mask) { (void)mask; }
    // While the mask is edited, the preview shows the picture unfilled with
    // outlines round these areas, and UnmaskedFrame answers the last frame as
    // the camera delivered it; everything else still gets filled frames.
    virtual void SetMaskEditing(bool editing, const QList<QRectF>& outlines)
    {
        (void)editing;
        (void)outlines;
    }
    // A null picture unless the mask is being edited.
    virtual QImage UnmaskedFrame() { return {}; }

    // Ends the engine: the handle dies at once, and no handler is called
    // after this, even when the engine itself finishes later.
    void Destroy();

protected:
    // The engine's own end; the default deletes it at once.
    virtual void Release() { delete this; }

private:
    WindowHandle handle_ = 0;
};

// The engine of a handle, or null.
CaptureEngine* EngineOf(WindowHandle window);
// The widget of an engine's handle, or null.
QWidget* WindowWidget(WindowHandle window);

// The provider of drivers and capture engines; tests install their own.
class CaptureService
{
public:
    virtual ~CaptureService() = default;
    virtual bool GetDriverDescription(unsigned index, QString& name, QString& version) = 0;
    // Which device an index names (its name and where it is attached), so a
    // stored choice can be found again when indexes move; the name by default.
    virtual bool GetDriverIdentity(unsigned index, QString& identity)
    {
        QString version;
        return GetDriverDescription(index, identity, version);
    }
    // A new engine showing its picture in geometry of parent; null on failure.
    virtual CaptureEngine* CreateEngine(const QString& name, QWidget* parent, const QRect& geometry) = 0;
};

CaptureService& CaptureServiceInstance();
// Installs a service and answers the previous one; null restores the real one.
std::unique_ptr<CaptureService> SetCaptureService(std::unique_ptr<CaptureService> service);
// The service of real drivers (V4L2 devices, then the test-pattern camera).
std::unique_ptr<CaptureService> CreateDeviceCaptureService();

// TRUE and the two texts (cut to the buffer sizes, NUL-terminated) for an
// installed driver index; FALSE otherwise.
bool capGetDriverDescriptionA(unsigned index, char* name, int nameSize, char* version, int versionSize);
// The identity of an installed driver index; false otherwise.
bool GetDriverIdentity(unsigned index, QString& identity);
// A new engine of the installed service; null on failure.
CaptureEngine* CreateCaptureEngine(const QString& name, QWidget* parent, const QRect& geometry);

}  // namespace platform
