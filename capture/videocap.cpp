#include "capture/videocap.h"

#include <QDir>
#include <QFile>
#include <QMouseEvent>
#include <QTemporaryFile>

#include <algorithm>
#include <cmath>

using namespace platform;

namespace {

TARVO_DECLARE_EXCEPTION(ERangeError, Exception);

constexpr int kCaptureWindowId = 5001;
constexpr int kDescriptionSize = 80;
constexpr std::uint32_t kMinIndexSize = 1800;
constexpr std::uint32_t kMaxIndexSize = 324000;
constexpr std::uint32_t kUnlimitedIndexSize = 100000;
constexpr std::uint32_t kMinMicroSecPerFrame = 33333;

[[noreturn]] void RangeError()
{
    throw ERangeError(QStringLiteral("Range check error"));
}

bool DriverDescription(unsigned index, QString* name, QString* version)
{
    char n[kDescriptionSize] = {};
    char v[kDescriptionSize] = {};
    if (!capGetDriverDescriptionA(index, n, kDescriptionSize, v, kDescriptionSize))
        return false;
    if (name)
        *name = QString::fromLocal8Bit(n);
    if (version)
        *version = QString::fromLocal8Bit(v);
    return true;
}

TVideoCap* ComponentOf(WindowHandle window)
{
    return reinterpret_cast<TVideoCap*>(SendMessage(window, WM_CAP_GET_USER_DATA, 0, 0));
}

QString CallbackText(const char* text)
{
    return text ? QString::fromLocal8Bit(text) : QString();
}

LRESULT StatusCallbackProc(WindowHandle window, int id, const char* text)
{
    if (TVideoCap* c = ComponentOf(window); c && c->OnStatusCallback)
        c->OnStatusCallback(c, id, CallbackText(text));
    return 1;
}

LRESULT FrameCallbackProc(WindowHandle window, VIDEOHDR* header)
{
    if (TVideoCap* c = ComponentOf(window); c && c->OnFrameCallback)
        c->OnFrameCallback(c, header);
    return 1;
}

LRESULT VideoStreamCallbackProc(WindowHandle window, VIDEOHDR* header)
{
    if (TVideoCap* c = ComponentOf(window); c && c->OnVideoStream)
        c->OnVideoStream(c, header);
    return 1;
}

LRESULT WaveStreamCallbackProc(WindowHandle window, WAVEHDR* header)
{
    if (TVideoCap* c = ComponentOf(window); c && c->OnAudioStream)
        c->OnAudioStream(c, header);
    return 1;
}

// Mouse input over the video goes to the control, so that its mouse events
// work there too; everything else reaches the capture window as before.
LRESULT CaptureWindowProc(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
        SendMessage(WindowHandle(GetWindowLong(window, GWL_HWNDPARENT)), msg, wParam, lParam);
        return 1;
    default:
        return CallWindowProc(reinterpret_cast<WNDPROC>(GetWindowLong(window, GWL_USERDATA)), window, msg, wParam,
                              lParam);
    }
}

QByteArray FileNameParam(const QString& name)
{
    return QFile::encodeName(name);
}

LPARAM TextParam(const QByteArray& bytes)
{
    return reinterpret_cast<LPARAM>(bytes.constData());
}

}  // namespace

std::uint32_t RoundedQuotient(std::uint64_t numerator, std::uint64_t denominator)
{
    std::uint64_t q = numerator / denominator;
    const std::uint64_t twiceRest = 2 * (numerator % denominator);
    if (twiceRest > denominator || (twiceRest == denominator && (q & 1)))
        ++q;
    return std::uint32_t(q);
}

void TAudioFormat::SetAudioFormat(WindowHandle window) const
{
    if (!window)
        return;
    WAVEFORMATEX format{};
    SendMessage(window, WM_CAP_GET_AUDIOFORMAT, sizeof(WAVEFORMATEX), reinterpret_cast<LPARAM>(&format));
    static const std::uint32_t rates[] = {8000, 11025, 22050, 44100};
    format.nSamplesPerSec = rates[int(frequency_)];
    format.nChannels = channels_ == TChannel::Mono ? 1 : 2;
    format.wBitsPerSample = resolution_ == TResolution::r8Bit ? 8 : 16;
    format.nBlockAlign = std::uint16_t(format.nChannels * format.wBitsPerSample / 8);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    SendMessage(window, WM_CAP_SET_AUDIOFORMAT, sizeof(WAVEFORMATEX), reinterpret_cast<LPARAM>(&format));
}

LRESULT TVideoCap::ErrorCallbackProc(WindowHandle window, int id, const char* text)
{
    TVideoCap* c = ComponentOf(window);
    if (!c)
        return 1;
    if (c->connecting_)
        c->connectError_ = CallbackText(text);
    if (c->OnError)
        c->OnError(c, id, CallbackText(text));
    return 1;
}

TVideoCap::TVideoCap(QWidget* owner)
    : QWidget(owner),
      OnStatusCallback([this] {
          InstallCallback(WM_CAP_SET_CALLBACK_STATUS, bool(OnStatusCallback), reinterpret_cast<void*>(&StatusCallbackProc));
      }),
      OnVideoStream([this] {
          InstallCallback(WM_CAP_SET_CALLBACK_VIDEOSTREAM, bool(OnVideoStream),
                          reinterpret_cast<void*>(&VideoStreamCallbackProc));
      }),
      OnFrameCallback([this] {
          InstallCallback(WM_CAP_SET_CALLBACK_FRAME, bool(OnFrameCallback), reinterpret_cast<void*>(&FrameCallbackProc));
      }),
      OnAudioStream([this] {
          InstallCallback(WM_CAP_SET_CALLBACK_WAVESTREAM, bool(OnAudioStream),
                          reinterpret_cast<void*>(&WaveStreamCallbackProc));
      }),
      OnError([this] {
          InstallCallback(WM_CAP_SET_CALLBACK_ERROR, bool(OnError), reinterpret_cast<void*>(&ErrorCallbackProc));
      }),
      capAudioFormat_(std::make_unique<TAudioFormat>())
{
    resize(100, 100);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
    setAutoFillBackground(true);
    setMouseTracking(true);
}

TVideoCap::~TVideoCap()
{
    try {
        CloseDriver();
    } catch (...) {
        // Nothing may escape a destructor; the window is gone either way.
    }
    FreeDriverInfo();
}

LRESULT TVideoCap::Send(std::uint32_t msg, WPARAM wParam, LPARAM lParam) const
{
    return SendMessage(capWindow_, msg, wParam, lParam);
}

void TVideoCap::InstallCallback(std::uint32_t message, bool assigned, void* routine)
{
    if (capWindow_)
        Send(message, 0, assigned ? reinterpret_cast<LPARAM>(routine) : 0);
}

// ---- driver selection ----------------------------------------------------

void TVideoCap::SetDriverIndex(int value)
{
    if (value == driverIndex_)
        return;
    CloseDriver();
    FreeDriverInfo();
    if (value >= 0) {
        QString name;
        if (DriverDescription(unsigned(value), &name, nullptr)) {
            driverName_ = name;
            GetDriverIdentity(unsigned(value), driverIdentity_);
        } else {
            value = -1;
        }
    }
    if (value == -1) {
        driverName_.clear();
        driverIdentity_.clear();
    }
    driverIndex_ = value;
}

void TVideoCap::SetDriverName(const QString& value)
{
    if (value == driverName_)
        return;
    // Every index is probed: drivers need not sit in one block.
    for (unsigned index = 0; index < 10; ++index) {
        QString name;
        if (DriverDescription(index, &name, nullptr) && name == value) {
            driverName_ = value;
            SetDriverIndex(int(index));
            return;
        }
    }
    driverName_.clear();
    SetDriverIndex(-1);
}

void TVideoCap::SetDriverOpen(bool value)
{
    if (value == DriverOpen())
        return;
    if (value)
        OpenDriver();
    else
        CloseDriver();
}

bool TVideoCap::OpenDriver()
{
    if (capWindow_)
        return true;
    if (driverIndex_ == -1) {
        ENoDriverException e(QStringLiteral("No capture driver selected"));
        UpdateStatus(true);
        throw e;
    }
    const QByteArray name = objectName().toLocal8Bit();
    capWindow_ = capCreateCaptureWindowA(name.constData(), WS_CHILD | WS_VISIBLE, 0, 0, width(), height(),
                                         WidgetWindow(this), kCaptureWindowId);
    if (!capWindow_) {
        ENoCapWindowException e(QStringLiteral("Can not create capture window"));
        UpdateStatus(true);
        throw e;
    }
    Send(WM_CAP_SET_USER_DATA, 0, reinterpret_cast<LPARAM>(this));
    const std::intptr_t previous = SetWindowLong(capWindow_, GWL_WNDPROC, reinterpret_cast<std::intptr_t>(&CaptureWindowProc));
    SetWindowLong(capWindow_, GWL_USERDATA, previous);

    if (OnStatusCallback)
        InstallCallback(WM_CAP_SET_CALLBACK_STATUS, true, reinterpret_cast<void*>(&StatusCallbackProc));
    if (OnFrameCallback)
        InstallCallback(WM_CAP_SET_CALLBACK_FRAME, true, reinterpret_cast<void*>(&FrameCallbackProc));
    if (OnError)
        InstallCallback(WM_CAP_SET_CALLBACK_ERROR, true, reinterpret_cast<void*>(&ErrorCallbackProc));
    if (OnVideoStream)
        InstallCallback(WM_CAP_SET_CALLBACK_VIDEOSTREAM, true, reinterpret_cast<void*>(&VideoStreamCallbackProc));
    if (OnAudioStream)
        InstallCallback(WM_CAP_SET_CALLBACK_WAVESTREAM, true, reinterpret_cast<void*>(&WaveStreamCallbackProc));

    // The index travels as 16 bits; a window must not stay behind a failure.
    if (driverIndex_ < 0 || driverIndex_ > 65535) {
        CloseDriver();
        RangeError();
    }
    // The driver tells why a connect fails through the error callback.
    connecting_ = true;
    connectError_.clear();
    const bool connected = Send(WM_CAP_DRIVER_CONNECT, WPARAM(driverIndex_)) != 0;
    connecting_ = false;
    if (!connected) {
        QString message = QStringLiteral("Can not connect capture driver with capture window");
        if (!connectError_.isEmpty())
            message += QStringLiteral(": ") + connectError_;
        ENotConnectException e(message);
        CloseDriver();
        UpdateStatus(true);
        throw e;
    }
    SetupBufferFile(true);
    Send(WM_CAP_SET_SCALE, previewScaleToWindow_);
    Send(WM_CAP_SET_PREVIEWRATE, RoundedQuotient(1000, previewRate_));
    UpdateStatus(true);
    SizeCaptureWindow();
    return true;
}

void TVideoCap::CloseDriver()
{
    if (!capWindow_)
        return;
    // A recording into the buffer file must reach the video file before the
    // buffer file goes.
    if (!bufferFileName_.isEmpty() && CapturingNow()) {
        StopCapture();
        SaveCapture();
    }
    SetupBufferFile(false);
    Send(WM_CAP_DRIVER_DISCONNECT);
    SetWindowLong(capWindow_, GWL_WNDPROC, GetWindowLong(capWindow_, GWL_USERDATA));
    DestroyWindow(capWindow_);
    capWindow_ = 0;
}

void TVideoCap::FreeDriverInfo()
{
    driverCaps_.reset();
    capStatus_.reset();
}

bool TVideoCap::ReadDriverCaps()
{
    if (driverCaps_)
        return true;
    if (driverIndex_ == -1)
        return false;
    const bool wasOpen = capWindow_ != 0;
    if (!wasOpen)
        OpenDriver();
    if (!capWindow_)
        return false;
    auto caps = std::make_unique<CAPDRIVERCAPS>();
    const bool ok = Send(WM_CAP_DRIVER_GET_CAPS, sizeof(CAPDRIVERCAPS), reinterpret_cast<LPARAM>(caps.get())) != 0;
    if (ok)
        driverCaps_ = std::move(caps);
    if (!wasOpen)
        CloseDriver();
    return ok;
}

bool TVideoCap::HasOverlay()
{
    return ReadDriverCaps() && driverCaps_->fHasOverlay;
}

bool TVideoCap::HasDlgSource()
{
    return ReadDriverCaps() && driverCaps_->fHasDlgVideoSource;
}

bool TVideoCap::HasDlgFormat()
{
    return ReadDriverCaps() && driverCaps_->fHasDlgVideoFormat;
}

bool TVideoCap::HasDlgDisplay()
{
    return ReadDriverCaps() && driverCaps_->fHasDlgVideoDisplay;
}

bool TVideoCap::UpdateStatus(bool raiseEvent)
{
    bool result = false;
    if (capWindow_) {
        if (!capStatus_)
            capStatus_ = std::make_unique<CAPSTATUS>();
        result = Send(WM_CAP_GET_STATUS, sizeof(CAPSTATUS), reinterpret_cast<LPARAM>(capStatus_.get())) != 0;
    }
    if (raiseEvent && OnStatus)
        OnStatus(this);
    return result;
}

std::uint16_t TVideoCap::ImageWidth() const
{
    if (!capStatus_)
        return 0;
    if (capStatus_->uiImageWidth > 65535)
        RangeError();
    return std::uint16_t(capStatus_->uiImageWidth);
}

std::uint16_t TVideoCap::ImageHeight() const
{
    if (!capStatus_)
        return 0;
    if (capStatus_->uiImageHeight > 65535)
        RangeError();
    return std::uint16_t(capStatus_->uiImageHeight);
}

void TVideoCap::SizeCaptureWindow()
{
    if (!capWindow_)
        return;
    int w = width();
    int h = height();
    if (!previewScaleToWindow_) {
        w = ImageWidth();
        h = ImageHeight();
    } else if (previewScaleProportional_ && ImageWidth() > 0 && ImageHeight() > 0 && height() > 0) {
        // Without a picture size or a control height there is no ratio to
        // keep: the picture then fills the control.
        const float controlRatio = float(width()) / float(height());
        const float pictureRatio = float(ImageWidth()) / float(ImageHeight());
        if (controlRatio > pictureRatio) {
            h = height();
            w = int(std::nearbyint(float(height()) * pictureRatio));
        } else {
            w = width();
            h = int(std::nearbyint(float(width()) / pictureRatio));
        }
    }
    MoveWindow(capWindow_, 0, 0, w, h, true);
}

// ---- preview, overlay, scaling ---------------------------------------------

bool TVideoCap::VideoPreview() const
{
    return capWindow_ && capStatus_ && capStatus_->fLiveWindow;
}

void TVideoCap::SetVideoPreview(bool value)
{
    if (value == VideoPreview())
        return;
    if (value && !capWindow_)
        OpenDriver();
    Send(WM_CAP_SET_PREVIEW, value);
    UpdateStatus(true);
    update();
}

bool TVideoCap::VideoOverlay() const
{
    return capWindow_ && capStatus_ && capStatus_->fOverlayWindow;
}

void TVideoCap::SetVideoOverlay(bool value)
{
    if (value == VideoOverlay())
        return;
    if (!HasOverlay())
        throw ENoOverlayException(QStringLiteral("Driver has no overlay mode"));
    if (value) {
        if (!capWindow_)
            OpenDriver();
        GrabFrame();
    }
    Send(WM_CAP_SET_OVERLAY, value);
    UpdateStatus(true);
    update();
}

void TVideoCap::SetPreviewScaleToWindow(bool value)
{
    if (value == previewScaleToWindow_)
        return;
    previewScaleToWindow_ = value;
    if (capWindow_) {
        Send(WM_CAP_SET_SCALE, value);
        SizeCaptureWindow();
    }
    update();
}

void TVideoCap::SetPreviewScaleProportional(bool value)
{
    if (value == previewScaleProportional_)
        return;
    previewScaleProportional_ = value;
    if (capWindow_)
        SizeCaptureWindow();
    update();
}

void TVideoCap::SetPreviewRate(std::uint16_t value)
{
    if (value == previewRate_)
        return;
    previewRate_ = std::clamp<std::uint16_t>(value, 1, 30);
    if (capWindow_)
        Send(WM_CAP_SET_PREVIEWRATE, RoundedQuotient(1000, previewRate_));
}

// ---- capture parameters -----------------------------------------------------

void TVideoCap::SetMicroSecPerFrame(std::uint32_t value)
{
    if (value == microSecPerFrame_)
        return;
    microSecPerFrame_ = std::max(value, kMinMicroSecPerFrame);
}

std::uint16_t TVideoCap::FrameRate() const
{
    if (microSecPerFrame_ == 0)
        return 0;
    // A period of 15 us or less would not fit: the rate reads as its maximum.
    return std::uint16_t(std::min<std::uint32_t>(RoundedQuotient(1000000, microSecPerFrame_), 65535));
}

void TVideoCap::SetFrameRate(std::uint16_t value)
{
    if (value == 0)
        return;
    microSecPerFrame_ = RoundedQuotient(1000000, value);
}

void TVideoCap::SetCapIndexSize(std::uint32_t value)
{
    capIndexSize_ = value == 0 ? 0 : std::clamp(value, kMinIndexSize, kMaxIndexSize);
}

void TVideoCap::SetBufferFileSize(std::uint16_t value)
{
    if (value == bufferFileSize_)
        return;
    bufferFileSize_ = value;
    if (capWindow_)
        SetupBufferFile(true);
}

// ---- frames, files, capture ---------------------------------------------------

bool TVideoCap::GrabFrame()
{
    if (!capWindow_)
        return false;
    const bool ok = Send(WM_CAP_GRAB_FRAME) != 0;
    if (ok)
        UpdateStatus(true);
    return ok;
}

bool TVideoCap::GrabFrameNoStop()
{
    if (!capWindow_)
        return false;
    const bool ok = Send(WM_CAP_GRAB_FRAME_NOSTOP) != 0;
    if (ok)
        UpdateStatus(true);
    return ok;
}

bool TVideoCap::SaveAsDIB()
{
    if (!capWindow_)
        return false;
    const QByteArray name = FileNameParam(singleImageFile_);
    return Send(WM_CAP_FILE_SAVEDIB, 0, TextParam(name)) != 0;
}

bool TVideoCap::StartCapture()
{
    if (!capWindow_)
        return false;
    CAPTUREPARMS parms{};
    Send(WM_CAP_GET_SEQUENCE_SETUP, sizeof(CAPTUREPARMS), reinterpret_cast<LPARAM>(&parms));
    if (bufferFileName_.isEmpty()) {
        const QByteArray name = FileNameParam(videoFileName_);
        Send(WM_CAP_FILE_SET_CAPTURE_FILE, 0, TextParam(name));
    }
    const std::uint32_t driverIndexSize = parms.dwIndexSize;
    parms.dwRequestMicroSecPerFrame = microSecPerFrame_;
    parms.fLimitEnabled = capTimeLimit_ != 0;
    parms.wTimeLimit = capTimeLimit_;
    parms.fCaptureAudio = capAudio_ ? 1 : 0;
    parms.fMCIControl = 0;
    parms.fYield = 1;
    parms.vKeyAbort = 27;
    parms.fAbortLeftMouse = 0;
    parms.fAbortRightMouse = 0;
    std::uint64_t indexSize;
    if (capTimeLimit_ != 0) {
        indexSize = std::uint64_t(FrameRate()) * capTimeLimit_ + (capAudio_ ? 5ull * capTimeLimit_ : 0);
    } else {
        // Unlimited: an unset CapIndexSize asks for a generous index rather
        // than the smallest one.
        indexSize = (driverIndexSize == 0 || capIndexSize_ == 0) ? kUnlimitedIndexSize : capIndexSize_;
    }
    parms.dwIndexSize = std::uint32_t(std::clamp<std::uint64_t>(indexSize, kMinIndexSize, kMaxIndexSize));
    Send(WM_CAP_SET_SEQUENCE_SETUP, sizeof(CAPTUREPARMS), reinterpret_cast<LPARAM>(&parms));
    if (capAudio_)
        capAudioFormat_->SetAudioFormat(capWindow_);
    const bool ok = Send(capToFile_ ? WM_CAP_SEQUENCE : WM_CAP_SEQUENCE_NOFILE) != 0;
    UpdateStatus(true);
    return ok;
}

bool TVideoCap::StopCapture()
{
    if (!capWindow_)
        return false;
    const bool ok = Send(WM_CAP_STOP) != 0;
    UpdateStatus(true);
    return ok;
}

bool TVideoCap::CapturingNow()
{
    if (!capWindow_)
        return false;
    UpdateStatus(false);
    return capStatus_ && capStatus_->fCapturingNow;
}

bool TVideoCap::SaveCapture()
{
    const QByteArray name = FileNameParam(videoFileName_);
    return Send(WM_CAP_FILE_SAVEAS, 0, TextParam(name)) != 0;
}

bool TVideoCap::DriverDialog(std::uint32_t message, bool full)
{
    if (driverIndex_ == -1)
        return false;
    const bool wasOpen = capWindow_ != 0;
    if (!wasOpen)
        OpenDriver();
    const bool ok = Send(message) != 0;
    if (full && ok)
        UpdateStatus(true);
    if (!wasOpen)
        CloseDriver();
    if (full && ok) {
        SizeCaptureWindow();
        update();
    }
    return ok;
}

bool TVideoCap::DlgVideoFormat()
{
    return DriverDialog(WM_CAP_DLG_VIDEOFORMAT, true);
}

bool TVideoCap::DlgVideoSource()
{
    return DriverDialog(WM_CAP_DLG_VIDEOSOURCE, true);
}

bool TVideoCap::DlgVideoDisplay()
{
    return DriverDialog(WM_CAP_DLG_VIDEODISPLAY, true);
}

bool TVideoCap::DlgVideoCompression()
{
    return DriverDialog(WM_CAP_DLG_VIDEOCOMPRESSION, false);
}

void TVideoCap::SetupBufferFile(bool attach)
{
    if (bufferFileName_.isEmpty() && bufferFileSize_ == 0)
        return;
    const std::uint16_t wanted = attach ? bufferFileSize_ : 0;
    if (bufferFileName_.isEmpty()) {
        QTemporaryFile file(QDir::temp().filePath(QStringLiteral("capXXXXXX.tmp")));
        file.setAutoRemove(false);
        if (!file.open())
            throw EBufferFileError(QStringLiteral("Could not create tmp file"));
        bufferFileName_ = file.fileName();
    }
    if (wanted != 0) {
        const QByteArray name = FileNameParam(bufferFileName_);
        Send(WM_CAP_FILE_SET_CAPTURE_FILE, 0, TextParam(name));
        if (!Send(WM_CAP_FILE_ALLOCATE, 0, LPARAM(std::uint64_t(wanted) * 1048576)))
            throw EBufferFileError(QStringLiteral("Could not create tmp file"));
    } else {
        const QByteArray name = FileNameParam(videoFileName_);
        Send(WM_CAP_FILE_SET_CAPTURE_FILE, 0, TextParam(name));
        QFile::remove(bufferFileName_);
        bufferFileName_.clear();
    }
}

// ---- window events ------------------------------------------------------------

void TVideoCap::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (capWindow_ && previewScaleToWindow_)
        SizeCaptureWindow();
}

void TVideoCap::mousePressEvent(QMouseEvent* event)
{
    pressed_ = event->button() == Qt::LeftButton;
    if (OnMouseDown) {
        const QPoint p = event->position().toPoint();
        OnMouseDown(this, event->button(), event->modifiers(), p.x(), p.y());
    }
}

void TVideoCap::mouseReleaseEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(p);
    pressed_ = false;
    if (OnMouseUp)
        OnMouseUp(this, event->button(), event->modifiers(), p.x(), p.y());
    if (click && OnClick)
        OnClick(this);
}

void TVideoCap::mouseDoubleClickEvent(QMouseEvent* event)
{
    pressed_ = false;
    if (event->button() == Qt::LeftButton && OnDblClick)
        OnDblClick(this);
}

void TVideoCap::mouseMoveEvent(QMouseEvent* event)
{
    if (OnMouseMove) {
        const QPoint p = event->position().toPoint();
        OnMouseMove(this, event->buttons(), event->modifiers(), p.x(), p.y());
    }
}

int FindDriverIndex(const QString& identity)
{
    for (unsigned index = 0; index < 10 && !identity.isEmpty(); ++index) {
        QString found;
        if (GetDriverIdentity(index, found) && found == identity)
            return int(index);
    }
    return -1;
}

std::unique_ptr<QStringList> GetDriverList()
{
    auto list = std::make_unique<QStringList>();
    list->reserve(10);
    for (unsigned index = 0; index < 10; ++index) {
        QString name;
        QString version;
        if (!DriverDescription(index, &name, &version))
            break;
        list->append(name + QLatin1Char(' ') + version);
    }
    return list;
}
