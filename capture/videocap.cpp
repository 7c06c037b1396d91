#include "capture/videocap.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMouseEvent>
#include <QTemporaryFile>

#include <algorithm>
#include <cmath>
#include <utility>

using namespace platform;

namespace {

TARVO_DECLARE_EXCEPTION(ERangeError, Exception);

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
    CaptureEngine* engine = EngineOf(window);
    if (!engine)
        return;
    WAVEFORMATEX format{};
    engine->GetAudioFormat(format);
    static const std::uint32_t rates[] = {8000, 11025, 22050, 44100};
    format.nSamplesPerSec = rates[int(frequency_)];
    format.nChannels = channels_ == TChannel::Mono ? 1 : 2;
    format.wBitsPerSample = resolution_ == TResolution::r8Bit ? 8 : 16;
    format.nBlockAlign = std::uint16_t(format.nChannels * format.wBitsPerSample / 8);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    engine->SetAudioFormat(format);
}

TVideoCap::TVideoCap(QWidget* owner)
    : QWidget(owner),
      OnStatusCallback([this] { InstallStatusHandler(); }),
      OnVideoStream([this] { InstallVideoStreamHandler(); }),
      OnFrameCallback([this] { InstallFrameHandler(); }),
      OnAudioStream([this] { InstallWaveStreamHandler(); }),
      OnError([this] { InstallErrorHandler(); }),
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

// Each handler is installed while its event is assigned, and removed with it.
void TVideoCap::InstallStatusHandler()
{
    if (engine_)
        engine_->SetStatusHandler(!OnStatusCallback ? CaptureEngine::TextHandler() : [this](int id, const QString& text) {
            if (OnStatusCallback)
                OnStatusCallback(this, id, text);
        });
}

void TVideoCap::InstallErrorHandler()
{
    // The driver tells why a connect fails through the error handler.
    if (engine_)
        engine_->SetErrorHandler(!OnError ? CaptureEngine::TextHandler() : [this](int id, const QString& text) {
            if (connecting_)
                connectError_ = text;
            if (OnError)
                OnError(this, id, text);
        });
}

void TVideoCap::SetFrameCallbackSize(QSize value)
{
    if (value == frameCallbackSize_)
        return;
    frameCallbackSize_ = value;
    if (engine_)
        engine_->SetFrameHandlerSize(value);
}

void TVideoCap::InstallFrameHandler()
{
    if (engine_)
        engine_->SetFrameHandlerSize(frameCallbackSize_);
    if (engine_)
        engine_->SetFrameHandler(!OnFrameCallback ? CaptureEngine::VideoHandler() : [this](VIDEOHDR* header) {
            if (OnFrameCallback)
                OnFrameCallback(this, header);
        });
}

void TVideoCap::InstallVideoStreamHandler()
{
    if (engine_)
        engine_->SetVideoStreamHandler(!OnVideoStream ? CaptureEngine::VideoHandler() : [this](VIDEOHDR* header) {
            if (OnVideoStream)
                OnVideoStream(this, header);
        });
}

void TVideoCap::InstallWaveStreamHandler()
{
    if (engine_)
        engine_->SetWaveStreamHandler(!OnAudioStream ? CaptureEngine::WaveHandler() : [this](WAVEHDR* header) {
            if (OnAudioStream)
                OnAudioStream(this, header);
        });
}

// Mouse input over the video goes to the control, so that its mouse events
// work there too; double clicks of the right and middle buttons stay with
// the video.
void TVideoCap::VideoMouse(QMouseEvent* event)
{
    if (event->type() == QEvent::MouseButtonDblClick && event->button() != Qt::LeftButton)
        return;
    const QPoint at = event->position().toPoint();
    const QPointF local(std::int16_t(at.x()), std::int16_t(at.y()));
    const Qt::MouseButtons buttons = event->buttons() & (Qt::LeftButton | Qt::RightButton | Qt::MiddleButton);
    const Qt::KeyboardModifiers modifiers = event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier);
    QMouseEvent copy(event->type(), local, mapToGlobal(local), event->button(), buttons, modifiers);
    QCoreApplication::sendEvent(this, &copy);
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
    if (engine_)
        return true;
    if (driverIndex_ == -1) {
        ENoDriverException e(QStringLiteral("No capture driver selected"));
        UpdateStatus(true);
        throw e;
    }
    if (OnClaim) {
        // No status event here: its handler asks for the caps, which would open again.
        if (const QString refused = OnClaim(driverIdentity_); !refused.isEmpty())
            throw ENotConnectException(QStringLiteral("Can not connect capture driver with capture window: ") + refused);
    }
    engine_ = CreateCaptureEngine(objectName(), this, QRect(0, 0, width(), height()));
    if (!engine_) {
        ENoCapWindowException e(QStringLiteral("Can not create capture window"));
        UpdateStatus(true);
        throw e;
    }
    engine_->SetMouseHandler([this](QMouseEvent* event) { VideoMouse(event); });
    // Before the driver connects: no frame may come out unmasked.
    engine_->SetPrivacyMask(privacyMask_);
    if (maskEditing_)
        engine_->SetMaskEditing(true, maskOutlines_);
    if (OnStatusCallback)
        InstallStatusHandler();
    if (OnFrameCallback)
        InstallFrameHandler();
    if (OnError)
        InstallErrorHandler();
    if (OnVideoStream)
        InstallVideoStreamHandler();
    if (OnAudioStream)
        InstallWaveStreamHandler();

    // The index travels as 16 bits; a window must not stay behind a failure.
    if (driverIndex_ < 0 || driverIndex_ > 65535) {
        CloseDriver();
        RangeError();
    }
    // The driver tells why a connect fails through the error handler.
    connecting_ = true;
    connectError_.clear();
    const bool connected = engine_->ConnectDriver(unsigned(driverIndex_));
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
    engine_->SetScale(previewScaleToWindow_);
    engine_->SetPreviewRate(RoundedQuotient(1000, previewRate_));
    UpdateStatus(true);
    SizeCaptureWindow();
    return true;
}

void TVideoCap::CloseDriver()
{
    if (!engine_)
        return;
    // A recording into the buffer file must reach the video file before the
    // buffer file goes.
    if (!bufferFileName_.isEmpty() && CapturingNow()) {
        StopCapture();
        SaveCapture();
    }
    SetupBufferFile(false);
    engine_->DisconnectDriver();
    CaptureEngine* engine = std::exchange(engine_, nullptr);
    engine->Destroy();
}

void TVideoCap::SetPrivacyMask(const platform::capture::PrivacyMask& value)
{
    if (value == privacyMask_)
        return;
    privacyMask_ = value;
    if (engine_)
        engine_->SetPrivacyMask(privacyMask_);
}

void TVideoCap::SetPrivacyMaskEditing(bool editing, const QList<QRectF>& outlines)
{
    maskEditing_ = editing;
    maskOutlines_ = editing ? outlines : QList<QRectF>();
    if (engine_)
        engine_->SetMaskEditing(maskEditing_, maskOutlines_);
}

QImage TVideoCap::UnmaskedFrame()
{
    return engine_ && maskEditing_ ? engine_->UnmaskedFrame() : QImage();
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
    const bool wasOpen = engine_ != nullptr;
    if (!wasOpen)
        OpenDriver();
    if (!engine_)
        return false;
    auto caps = std::make_unique<CAPDRIVERCAPS>();
    const bool ok = engine_->GetDriverCaps(*caps);
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
    if (engine_) {
        if (!capStatus_)
            capStatus_ = std::make_unique<CAPSTATUS>();
        result = engine_->GetStatus(*capStatus_);
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
    if (!engine_)
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
    engine_->Move(0, 0, w, h, true);
}

// ---- preview, overlay, scaling ---------------------------------------------

bool TVideoCap::VideoPreview() const
{
    return engine_ && capStatus_ && capStatus_->fLiveWindow;
}

void TVideoCap::SetVideoPreview(bool value)
{
    if (value == VideoPreview())
        return;
    if (value && !engine_)
        OpenDriver();
    if (engine_)
        engine_->SetPreview(value);
    UpdateStatus(true);
    update();
}

bool TVideoCap::VideoOverlay() const
{
    return engine_ && capStatus_ && capStatus_->fOverlayWindow;
}

void TVideoCap::SetVideoOverlay(bool value)
{
    if (value == VideoOverlay())
        return;
    if (!HasOverlay())
        throw ENoOverlayException(QStringLiteral("Driver has no overlay mode"));
    if (value) {
        if (!engine_)
            OpenDriver();
        GrabFrame();
    }
    if (engine_)
        engine_->SetOverlay(value);
    UpdateStatus(true);
    update();
}

void TVideoCap::SetPreviewScaleToWindow(bool value)
{
    if (value == previewScaleToWindow_)
        return;
    previewScaleToWindow_ = value;
    if (engine_) {
        engine_->SetScale(value);
        SizeCaptureWindow();
    }
    update();
}

void TVideoCap::SetPreviewScaleProportional(bool value)
{
    if (value == previewScaleProportional_)
        return;
    previewScaleProportional_ = value;
    if (engine_)
        SizeCaptureWindow();
    update();
}

void TVideoCap::SetPreviewRate(std::uint16_t value)
{
    if (value == previewRate_)
        return;
    previewRate_ = std::clamp<std::uint16_t>(value, 1, 30);
    if (engine_)
        engine_->SetPreviewRate(RoundedQuotient(1000, previewRate_));
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
    if (engine_)
        SetupBufferFile(true);
}

// ---- frames, files, capture ---------------------------------------------------

bool TVideoCap::GrabFrame()
{
    if (!engine_)
        return false;
    const bool ok = engine_->GrabFrame(true);
    if (ok)
        UpdateStatus(true);
    return ok;
}

bool TVideoCap::GrabFrameNoStop()
{
    if (!engine_)
        return false;
    const bool ok = engine_->GrabFrame(false);
    if (ok)
        UpdateStatus(true);
    return ok;
}

bool TVideoCap::GrabRecentFrame()
{
    if (!engine_)
        return false;
    const bool ok = engine_->GrabRecentFrame();
    if (ok)
        UpdateStatus(true);
    return ok;
}

bool TVideoCap::SaveAsDIB()
{
    if (!engine_)
        return false;
    return engine_->SaveDib(singleImageFile_);
}

QImage TVideoCap::GrabbedFrame()
{
    return engine_ ? engine_->GrabbedFrame() : QImage();
}

bool TVideoCap::StartCapture()
{
    if (!engine_)
        return false;
    CAPTUREPARMS parms{};
    engine_->GetSequenceSetup(parms);
    if (bufferFileName_.isEmpty())
        engine_->SetCaptureFile(videoFileName_);
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
    engine_->SetSequenceSetup(parms);
    if (capAudio_)
        capAudioFormat_->SetAudioFormat(engine_->Handle());
    const bool ok = engine_->StartSequence(capToFile_);
    UpdateStatus(true);
    return ok;
}

bool TVideoCap::StopCapture()
{
    if (!engine_)
        return false;
    const bool ok = engine_->Stop();
    UpdateStatus(true);
    return ok;
}

bool TVideoCap::CapturingNow()
{
    if (!engine_)
        return false;
    UpdateStatus(false);
    return capStatus_ && capStatus_->fCapturingNow;
}

bool TVideoCap::SaveCapture()
{
    return engine_ && engine_->SaveCaptureAs(videoFileName_);
}

bool TVideoCap::DriverDialog(platform::DriverDialog which, bool full)
{
    if (driverIndex_ == -1)
        return false;
    const bool wasOpen = engine_ != nullptr;
    if (!wasOpen)
        OpenDriver();
    const bool ok = engine_ && engine_->ShowDialog(which);
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
    return DriverDialog(platform::DriverDialog::VideoFormat, true);
}

bool TVideoCap::DlgVideoSource()
{
    return DriverDialog(platform::DriverDialog::VideoSource, true);
}

bool TVideoCap::DlgVideoDisplay()
{
    return DriverDialog(platform::DriverDialog::VideoDisplay, true);
}

bool TVideoCap::DlgVideoCompression()
{
    return DriverDialog(platform::DriverDialog::VideoCompression, false);
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
    // Without an engine there is nothing to allocate the file for.
    if (wanted != 0) {
        if (engine_)
            engine_->SetCaptureFile(bufferFileName_);
        if (!engine_ || !engine_->AllocateFile(std::uint64_t(wanted) * 1048576))
            throw EBufferFileError(QStringLiteral("Could not create tmp file"));
    } else {
        if (engine_)
            engine_->SetCaptureFile(videoFileName_);
        QFile::remove(bufferFileName_);
        bufferFileName_.clear();
    }
}

// ---- window events ------------------------------------------------------------

void TVideoCap::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (engine_ && previewScaleToWindow_)
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
