#pragma once
// The video capture window service: a driver list, capture windows answering
// the WM_CAP_ message set with their records, and the few window services the
// capture component needs around them (send, move, subclass, destroy).
//
// Drivers, indexes 0..9: every V4L2 capture device in node order, then the
// built-in test-pattern camera, which is always present. Messages are sent
// synchronously on the GUI thread; every callback a capture window installs
// is called on the GUI thread, also while a streaming capture runs on its
// worker thread.

#include "platform/messages.h"

#include <QString>

#include <cstdint>
#include <memory>

class QWidget;

namespace platform {

using LRESULT = LPARAM;
using WNDPROC = LRESULT (*)(WindowHandle, std::uint32_t, WPARAM, LPARAM);

// Window messages the capture window forwards or answers.
constexpr std::uint32_t WM_SIZE = 0x0005;
constexpr std::uint32_t WM_MOUSEMOVE = 0x0200;
constexpr std::uint32_t WM_LBUTTONDOWN = 0x0201;
constexpr std::uint32_t WM_LBUTTONUP = 0x0202;
constexpr std::uint32_t WM_LBUTTONDBLCLK = 0x0203;
constexpr std::uint32_t WM_RBUTTONDOWN = 0x0204;
constexpr std::uint32_t WM_RBUTTONUP = 0x0205;
constexpr std::uint32_t WM_RBUTTONDBLCLK = 0x0206;
constexpr std::uint32_t WM_MBUTTONDOWN = 0x0207;
constexpr std::uint32_t WM_MBUTTONUP = 0x0208;
constexpr std::uint32_t WM_MBUTTONDBLCLK = 0x0209;

// Key state flags in wParam of the mouse messages.
constexpr WPARAM MK_LBUTTON = 0x01;
constexpr WPARAM MK_RBUTTON = 0x02;
constexpr WPARAM MK_SHIFT = 0x04;
constexpr WPARAM MK_CONTROL = 0x08;
constexpr WPARAM MK_MBUTTON = 0x10;

constexpr std::uint32_t WS_CHILD = 0x40000000;
constexpr std::uint32_t WS_VISIBLE = 0x10000000;

constexpr int GWL_WNDPROC = -4;
constexpr int GWL_HWNDPARENT = -8;
constexpr int GWL_USERDATA = -21;

constexpr std::uint32_t WM_CAP_START = WM_USER;
constexpr std::uint32_t WM_CAP_SET_CALLBACK_ERROR = WM_CAP_START + 2;
constexpr std::uint32_t WM_CAP_SET_CALLBACK_STATUS = WM_CAP_START + 3;
constexpr std::uint32_t WM_CAP_SET_CALLBACK_FRAME = WM_CAP_START + 5;
constexpr std::uint32_t WM_CAP_SET_CALLBACK_VIDEOSTREAM = WM_CAP_START + 6;
constexpr std::uint32_t WM_CAP_SET_CALLBACK_WAVESTREAM = WM_CAP_START + 7;
constexpr std::uint32_t WM_CAP_GET_USER_DATA = WM_CAP_START + 8;
constexpr std::uint32_t WM_CAP_SET_USER_DATA = WM_CAP_START + 9;
constexpr std::uint32_t WM_CAP_DRIVER_CONNECT = WM_CAP_START + 10;
constexpr std::uint32_t WM_CAP_DRIVER_DISCONNECT = WM_CAP_START + 11;
constexpr std::uint32_t WM_CAP_DRIVER_GET_CAPS = WM_CAP_START + 14;
constexpr std::uint32_t WM_CAP_FILE_SET_CAPTURE_FILE = WM_CAP_START + 20;
constexpr std::uint32_t WM_CAP_FILE_GET_CAPTURE_FILE = WM_CAP_START + 21;
constexpr std::uint32_t WM_CAP_FILE_ALLOCATE = WM_CAP_START + 22;
constexpr std::uint32_t WM_CAP_FILE_SAVEAS = WM_CAP_START + 23;
constexpr std::uint32_t WM_CAP_FILE_SAVEDIB = WM_CAP_START + 25;
constexpr std::uint32_t WM_CAP_SET_AUDIOFORMAT = WM_CAP_START + 35;
constexpr std::uint32_t WM_CAP_GET_AUDIOFORMAT = WM_CAP_START + 36;
constexpr std::uint32_t WM_CAP_DLG_VIDEOFORMAT = WM_CAP_START + 41;
constexpr std::uint32_t WM_CAP_DLG_VIDEOSOURCE = WM_CAP_START + 42;
constexpr std::uint32_t WM_CAP_DLG_VIDEODISPLAY = WM_CAP_START + 43;
constexpr std::uint32_t WM_CAP_DLG_VIDEOCOMPRESSION = WM_CAP_START + 46;
constexpr std::uint32_t WM_CAP_SET_PREVIEW = WM_CAP_START + 50;
constexpr std::uint32_t WM_CAP_SET_OVERLAY = WM_CAP_START + 51;
constexpr std::uint32_t WM_CAP_SET_PREVIEWRATE = WM_CAP_START + 52;
constexpr std::uint32_t WM_CAP_SET_SCALE = WM_CAP_START + 53;
constexpr std::uint32_t WM_CAP_GET_STATUS = WM_CAP_START + 54;
constexpr std::uint32_t WM_CAP_GRAB_FRAME = WM_CAP_START + 60;
constexpr std::uint32_t WM_CAP_GRAB_FRAME_NOSTOP = WM_CAP_START + 61;
constexpr std::uint32_t WM_CAP_SEQUENCE = WM_CAP_START + 62;
constexpr std::uint32_t WM_CAP_SEQUENCE_NOFILE = WM_CAP_START + 63;
constexpr std::uint32_t WM_CAP_SET_SEQUENCE_SETUP = WM_CAP_START + 64;
constexpr std::uint32_t WM_CAP_GET_SEQUENCE_SETUP = WM_CAP_START + 65;
constexpr std::uint32_t WM_CAP_STOP = WM_CAP_START + 68;
constexpr std::uint32_t WM_CAP_ABORT = WM_CAP_START + 69;

// Status and error ids passed to the callbacks.
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

using CAPSTATUSCALLBACK = LRESULT (*)(WindowHandle, int nID, const char* text);
using CAPERRORCALLBACK = LRESULT (*)(WindowHandle, int nID, const char* text);
using CAPVIDEOCALLBACK = LRESULT (*)(WindowHandle, VIDEOHDR* hdr);
using CAPWAVECALLBACK = LRESULT (*)(WindowHandle, WAVEHDR* hdr);

// The error text reported when a connected device disappears.
inline QString DeviceNotDetectedText() { return QStringLiteral("Capture device was not detected."); }

// A window of this service. Each one has a handle, a window procedure that
// can be replaced (subclassing), a user-data slot and a parent.
class CaptureWindowObject
{
public:
    explicit CaptureWindowObject(WindowHandle parent);
    virtual ~CaptureWindowObject();
    CaptureWindowObject(const CaptureWindowObject&) = delete;
    CaptureWindowObject& operator=(const CaptureWindowObject&) = delete;

    WindowHandle Handle() const { return handle_; }
    WindowHandle Parent() const { return parent_; }

    // The window's own procedure: what reaches it past any subclassing.
    virtual LRESULT WindowProc(std::uint32_t msg, WPARAM wParam, LPARAM lParam) = 0;
    virtual void Move(int x, int y, int width, int height, bool repaint) = 0;
    // Ends the window; the default deletes it at once.
    virtual void Destroy() { delete this; }

    // Sends a message through the current (possibly subclassed) procedure.
    LRESULT Dispatch(std::uint32_t msg, WPARAM wParam, LPARAM lParam);

private:
    WindowHandle handle_ = 0;
    WindowHandle parent_ = 0;
};

// The window of a plain widget, registered on demand, so that capture windows
// can have it as parent and send it the mouse messages, which it turns into
// Qt mouse events of the widget. The handle lives as long as the widget.
WindowHandle WidgetWindow(QWidget* widget);
// The widget of a capture window or widget window, or null.
QWidget* WindowWidget(WindowHandle window);

// Window services over the windows of this service.
LRESULT SendMessage(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);
std::intptr_t GetWindowLong(WindowHandle window, int index);
// Answers the previous value; 0 for an unknown window or index.
std::intptr_t SetWindowLong(WindowHandle window, int index, std::intptr_t value);
LRESULT CallWindowProc(WNDPROC proc, WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);
bool MoveWindow(WindowHandle window, int x, int y, int width, int height, bool repaint);
bool DestroyWindow(WindowHandle window);
bool IsCaptureWindow(WindowHandle window);

// The provider of drivers and capture windows; tests install their own.
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
    virtual WindowHandle CreateCaptureWindow(const QString& name, std::uint32_t style, int x, int y, int width,
                                             int height, WindowHandle parent, int id) = 0;
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
// A new capture window, a child of parent; 0 on failure.
WindowHandle capCreateCaptureWindowA(const char* name, std::uint32_t style, int x, int y, int width, int height,
                                     WindowHandle parent, int id);

}  // namespace platform
