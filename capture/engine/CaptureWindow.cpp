#include "capture/engine/CaptureWindow.h"

#include "capture/engine/AudioInput.h"
#include "capture/engine/AviWriter.h"
#include "capture/engine/DeviceDialogs.h"
#include "capture/engine/FrameConvert.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QSaveFile>
#include <QWaitCondition>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <climits>
#include <cstring>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform::capture {
namespace {

constexpr int kGrabTimeoutMs = 3000;
constexpr int kNoFrameLostMs = int(FramePacer::kNoFrameLostMs);
constexpr int kWatchEveryMs = 1000;
// A tick may wait this long for a frame that is just due, so that timer
// jitter does not skip frames when the preview rate meets the camera's.
constexpr int kTickWaitMs = 5;

// Frames are read into a few buffers in turn rather than into new images: a
// new HD frame every read comes from the heap and fragments it. One still
// shared (the frame shown, a picture being saved or queued) is never written
// over; spare serves when every one is.
QImage& FreeFrameBuffer(std::array<QImage, 3>& buffers, QImage& spare)
{
    for (QImage& buffer : buffers) {
        if (buffer.isNull() || buffer.isDetached())
            return buffer;
    }
    return spare;
}

// Frames in the callbacks are packed RGB24 rows, top row first.
QByteArray Packed(const QImage& frame)
{
    const int rowBytes = frame.width() * 3;
    QByteArray bytes(rowBytes * frame.height(), Qt::Uninitialized);
    for (int y = 0; y < frame.height(); ++y)
        std::memcpy(bytes.data() + y * rowBytes, frame.constScanLine(y), rowBytes);
    return bytes;
}

void PutLe16(char* p, std::uint16_t v) { qToLittleEndian(v, p); }
void PutLe32(char* p, std::uint32_t v) { qToLittleEndian(v, p); }

}  // namespace

namespace {

// Writes the pieces in order, as many per call as the system takes.
bool WritePieces(int fd, std::vector<iovec>& pieces)
{
    std::size_t at = 0;
    while (at < pieces.size()) {
        const int count = int(std::min<std::size_t>(pieces.size() - at, IOV_MAX));
        ssize_t n = ::writev(fd, pieces.data() + at, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        // Past the pieces written whole; into the one cut short.
        while (at < pieces.size() && std::size_t(n) >= pieces[at].iov_len)
            n -= ssize_t(pieces[at++].iov_len);
        if (n > 0) {
            pieces[at].iov_base = static_cast<char*>(pieces[at].iov_base) + n;
            pieces[at].iov_len -= std::size_t(n);
        }
    }
    return true;
}

}  // namespace

namespace {

// Bitmap pixels are BGR. A 32-bit pixel (captions, pictures read back) holds
// B, G, R, X in memory: its first three bytes, copied four at a time into a
// buffer kept for the next picture, where Qt's general conversion takes half
// a millisecond more at 640 x 480, most of it making a new image. Other
// formats take Qt's vectorised conversion.
QImage Bgr888(const QImage& image)
{
    const QImage::Format format = image.format();
    if (Q_BYTE_ORDER != Q_LITTLE_ENDIAN || (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32))
        return image.convertToFormat(QImage::Format_BGR888);
    const int w = image.width();
    const int h = image.height();
    const qsizetype rowBytes = (qsizetype(w) * 3 + 3) & ~qsizetype(3);
    thread_local std::vector<uchar> kept;
    if (kept.size() < std::size_t(rowBytes * h) + 1)
        kept.resize(std::size_t(rowBytes * h) + 1);  // the last 4-byte store runs one past the row
    for (int y = 0; y < h; ++y) {
        const uchar* in = image.constScanLine(y);
        uchar* out = kept.data() + y * rowBytes;
        for (int x = 0; x < w; ++x, in += 4, out += 3)
            std::memcpy(out, in, 4);
    }
    return QImage(kept.data(), w, h, rowBytes, QImage::Format_BGR888);
}

}  // namespace

bool WriteBmp24(const QImage& image, const QString& path)
{
    if (image.isNull() || path.isEmpty())
        return false;
    const QImage bgr = Bgr888(image);
    const int w = bgr.width();
    const int h = bgr.height();
    const int rowSize = (w * 3 + 3) & ~3;
    const std::uint32_t imageSize = std::uint32_t(rowSize) * h;
    char header[54] = {};
    char* p = header;
    p[0] = 'B';
    p[1] = 'M';
    PutLe32(p + 2, 54 + imageSize);
    PutLe32(p + 10, 54);
    PutLe32(p + 14, 40);
    PutLe32(p + 18, std::uint32_t(w));
    PutLe32(p + 22, std::uint32_t(h));  // positive: rows bottom-up
    PutLe16(p + 26, 1);
    PutLe16(p + 28, 24);
    PutLe32(p + 30, 0);  // no compression
    PutLe32(p + 34, imageSize);
    PutLe32(p + 38, 2835);  // 72 dpi
    PutLe32(p + 42, 2835);
    // The rows go from the picture to the file as they are, bottom row first,
    // each padded to four bytes: no copy of the whole picture.
    static const char padding[4] = {};
    const std::size_t pad = std::size_t(rowSize - w * 3);
    std::vector<iovec> pieces;
    pieces.reserve(1 + std::size_t(h) * (pad ? 2 : 1));
    pieces.push_back({header, sizeof header});
    for (int y = h - 1; y >= 0; --y) {
        pieces.push_back({const_cast<uchar*>(bgr.constScanLine(y)), std::size_t(w) * 3});
        if (pad)
            pieces.push_back({const_cast<char*>(padding), pad});
    }
    // Beside the target, then renamed over it: a reader never sees half a
    // bitmap, and a failure leaves the old one.
    const QFileInfo target(path);
    const QByteArray temp = QFile::encodeName(target.absolutePath() + QStringLiteral("/.") + target.fileName()
                                              + QStringLiteral(".XXXXXX"));
    QByteArray name = temp;
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, 0644) == 0 && WritePieces(fd, pieces);
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(name.constData(), QFile::encodeName(target.absoluteFilePath()).constData()) == 0;
    if (!ok)
        ::unlink(name.constData());
    return ok;
}

// One streaming capture: a worker thread reading and writing frames, and an
// optional one for audio. Everything it reports is posted to the window.
struct CaptureWindow::Sequence {
    std::uint64_t id = 0;
    std::thread video;
    std::thread audio;
    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> frames{0};
    std::atomic<std::uint32_t> dropped{0};
    std::atomic<std::uint32_t> elapsedMs{0};
    std::atomic<std::uint32_t> waveSamples{0};

    QMutex frameMutex;
    QWaitCondition frameReady;
    QImage latest;
    std::uint64_t latestCount = 0;
    bool fresh = false;

    QMutex writerMutex;
    AviWriter writer;
    bool toFile = false;
    AudioInput audioInput;
    bool withAudio = false;
    CAPTUREPARMS parms{};
    QEventLoop* modalLoop = nullptr;
};

CaptureWindow::CaptureWindow(QWidget* parent, const QString& name)
    : QWidget(parent), name_(name), codec_(DefaultAviCodec())
{
    setObjectName(name.isEmpty() ? QStringLiteral("CaptureWindow") : name + QStringLiteral("CaptureWindow"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    captureFile_ = QDir::temp().filePath(QStringLiteral("capture.avi"));

    parms_.dwRequestMicroSecPerFrame = 66667;
    parms_.wPercentDropForError = 10;
    parms_.dwIndexSize = 34952;
    parms_.wNumVideoRequested = 4;
    parms_.vKeyAbort = 27;
    parms_.fAbortLeftMouse = 1;
    parms_.fAbortRightMouse = 1;
    parms_.wTimeLimit = 30;
    parms_.wStepCaptureAverageFrames = 3;

    waveFormat_.wFormatTag = WAVE_FORMAT_PCM;
    waveFormat_.nChannels = 1;
    waveFormat_.nSamplesPerSec = 11025;
    waveFormat_.wBitsPerSample = 8;
    waveFormat_.nBlockAlign = 1;
    waveFormat_.nAvgBytesPerSec = 11025;

    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
    connect(&watchdog_, &QTimer::timeout, this, [this] { Watch(); });
}

CaptureWindow::~CaptureWindow()
{
    if (sequence_) {
        sequence_->stop = true;
        FinishSequence();
    }
    Disconnect();
}

void CaptureWindow::Release()
{
    // Nothing reaches the owner from here on, also not what is still queued.
    statusCallback_ = nullptr;
    errorCallback_ = nullptr;
    frameCallback_ = nullptr;
    videoStreamCallback_ = nullptr;
    waveStreamCallback_ = nullptr;
    mouseHandler_ = nullptr;
    if (sequence_) {
        sequence_->stop = true;
        FinishSequence();
    }
    Disconnect();
    hide();
    // The caller may be running inside one of this window's own events.
    deleteLater();
}

void CaptureWindow::Move(int x, int y, int width, int height, bool repaint)
{
    setGeometry(x, y, std::max(0, width), std::max(0, height));
    if (repaint)
        update();
}

bool CaptureWindow::DisconnectDriver()
{
    if (!Connected())
        return false;
    Disconnect();
    return true;
}

bool CaptureWindow::GetDriverCaps(CAPDRIVERCAPS& caps)
{
    if (!Connected())
        return false;
    FillCaps(caps);
    return true;
}

bool CaptureWindow::GetStatus(CAPSTATUS& status)
{
    if (!Connected())
        return false;
    FillStatus(status);
    return true;
}

bool CaptureWindow::SetCaptureFile(const QString& path)
{
    if (path.isEmpty() || Capturing())
        return false;
    captureFile_ = path;
    return true;
}

bool CaptureWindow::GetAudioFormat(WAVEFORMATEX& format)
{
    format = waveFormat_;
    return true;
}

bool CaptureWindow::SetAudioFormat(const WAVEFORMATEX& f)
{
    if (Capturing())
        return false;
    const bool valid = f.wFormatTag == WAVE_FORMAT_PCM && (f.nChannels == 1 || f.nChannels == 2)
                       && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) && f.nSamplesPerSec >= 4000
                       && f.nSamplesPerSec <= 48000 && f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8
                       && f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
    if (!valid)
        return false;
    waveFormat_ = f;
    waveFormat_.cbSize = 0;
    return true;
}

bool CaptureWindow::SetPreviewRate(unsigned ms)
{
    previewMs_ = std::max<unsigned>(1, ms);
    if (!Capturing())
        ApplyFrameInterval();
    RestartTimer();
    return true;
}

bool CaptureWindow::SetScale(bool on)
{
    scale_ = on;
    update();
    return true;
}

bool CaptureWindow::GetSequenceSetup(CAPTUREPARMS& parms)
{
    parms = parms_;
    return true;
}

bool CaptureWindow::SetSequenceSetup(const CAPTUREPARMS& parms)
{
    if (Capturing())
        return false;
    parms_ = parms;
    return true;
}

bool CaptureWindow::ShowDialog(DriverDialog which)
{
    switch (which) {
    case DriverDialog::VideoFormat: return FormatDialog();
    case DriverDialog::VideoSource: return SourceDialog();
    case DriverDialog::VideoDisplay: return DisplayDialog();
    case DriverDialog::VideoCompression: return CompressionDialog();
    }
    return false;
}

bool CaptureWindow::Connect(unsigned index)
{
    if (Capturing())
        return false;
    const QList<DriverEntry> drivers = EnumerateDrivers();
    if (index >= unsigned(drivers.size()))
        return false;
    Disconnect();
    QString error;
    std::unique_ptr<CaptureDevice> device = drivers[int(index)].open(&error);
    if (device) {
        device = MaskedDevice(std::move(device), mask_);
        device->SetFrameInterval(previewMs_ * 1000);
    }
    if (!device || !device->Start(&error)) {
        // At once: the owner destroys this window when the connect fails,
        // and a posted error would die with it.
        if (!error.isEmpty() && errorCallback_)
            errorCallback_(IDS_CAP_DRIVER_ERROR, error);
        return false;
    }
    device_ = std::move(device);
    driverIndex_ = index;
    lost_ = false;
    lastFrame_ = QImage();
    frameValid_ = false;
    sinceFrame_.start();
    watchdog_.start(kWatchEveryMs);
    update();
    return true;
}

void CaptureWindow::Disconnect()
{
    if (sequence_) {
        sequence_->stop = true;
        FinishSequence();
    }
    preview_ = false;
    overlay_ = false;
    timer_.stop();
    watchdog_.stop();
    if (device_) {
        device_->Stop();
        device_.reset();
    }
    lastFrame_ = QImage();
    frameBuffers_ = {};
    frameValid_ = false;
    update();
}

void CaptureWindow::FillCaps(CAPDRIVERCAPS& caps) const
{
    caps = CAPDRIVERCAPS{};
    caps.wDeviceIndex = driverIndex_;
    caps.fHasOverlay = device_->HasOverlay();
    caps.fHasDlgVideoSource = !device_->Controls().isEmpty();
    caps.fHasDlgVideoFormat = 1;
    caps.fHasDlgVideoDisplay = device_->HasDisplayOptions();
    caps.fCaptureInitialized = 1;
}

void CaptureWindow::FillStatus(CAPSTATUS& status) const
{
    status = CAPSTATUS{};
    const QSize size = device_->FrameSize();
    status.uiImageWidth = std::uint32_t(size.width());
    status.uiImageHeight = std::uint32_t(size.height());
    status.fLiveWindow = preview_;
    status.fOverlayWindow = overlay_;
    status.fScale = scale_;
    status.fAudioHardware = audioHardware_;
    status.fCapFileExists = QFileInfo::exists(captureFile_);
    status.fCapturingNow = Capturing();
    if (sequence_) {
        status.dwCurrentVideoFrame = sequence_->frames;
        status.dwCurrentVideoFramesDropped = sequence_->dropped;
        status.dwCurrentTimeElapsedMS = sequence_->elapsedMs;
        status.dwCurrentWaveSamples = sequence_->waveSamples;
    } else {
        status.dwCurrentVideoFrame = lastFrames_;
        status.dwCurrentVideoFramesDropped = lastDropped_;
        status.dwCurrentTimeElapsedMS = lastElapsedMs_;
        status.dwCurrentWaveSamples = lastWaveSamples_;
    }
    status.wNumVideoAllocated = parms_.wNumVideoRequested;
}

bool CaptureWindow::SetPreview(bool on)
{
    if (!Connected())
        return false;
    preview_ = on;
    if (on)
        overlay_ = false;
    RestartTimer();
    if (on)
        Tick();
    return true;
}

bool CaptureWindow::SetOverlay(bool on)
{
    if (!Connected() || !device_->HasOverlay())
        return false;
    overlay_ = on;
    if (on)
        preview_ = false;
    RestartTimer();
    if (on)
        Tick();
    return true;
}

void CaptureWindow::RestartTimer()
{
    if (!Connected() || (!preview_ && !overlay_)) {
        timer_.stop();
        return;
    }
    // Overlay shows every frame the camera delivers; preview at its own rate.
    const int interval = overlay_ ? std::max(1, 1000 / device_->NominalRate()) : int(previewMs_);
    if (!timer_.isActive() || timer_.interval() != interval)
        timer_.start(interval);
}

void CaptureWindow::Tick()
{
    if (!Connected() || lost_)
        return;
    if (sequence_) {
        QMutexLocker lock(&sequence_->frameMutex);
        if (!sequence_->fresh)
            return;
        GotFrame(sequence_->latest);
        sequence_->fresh = false;
    } else if (!ReadInto(kTickWaitMs, Need())) {
        return;
    }
    update();
    // Overlay frames pass through memory here as preview frames do, so the
    // owner sees them too.
    CallFrameCallback(lastFrame_, 0);
}

QSize CaptureWindow::Need() const
{
    QSize need(1, 1);  // nobody looks: the smallest
    if (preview_ || overlay_) {
        // Unscaled, the window shows the camera's pixels one to one.
        if (!scale_)
            return {};
        need = need.expandedTo(size() * devicePixelRatio());
    }
    if (frameCallback_) {
        if (frameHandlerSize_.isEmpty())
            return {};
        need = need.expandedTo(frameHandlerSize_);
    }
    return need;
}

bool CaptureWindow::ReadInto(int timeoutMs, QSize atLeast)
{
    QString error;
    QImage spare;
    QImage& frame = FreeFrameBuffer(frameBuffers_, spare);
    switch (device_->ReadFrame(frame, timeoutMs, &error, atLeast)) {
    case CaptureDevice::ReadResult::Frame:
        GotFrame(frame);
        return true;
    case CaptureDevice::ReadResult::NoFrame:
        return false;
    case CaptureDevice::ReadResult::Lost:
        DeviceLost(error);
        return false;
    }
    return false;
}

void CaptureWindow::GotFrame(const QImage& frame)
{
    lastFrame_ = frame;
    frameValid_ = true;
    sinceFrame_.start();
}

void CaptureWindow::Watch()
{
    if (!Connected() || lost_ || Capturing())
        return;
    // Preview and overlay read frames themselves; an idle stream is read
    // here, so a camera that stops delivering is noticed all the same.
    if (!timer_.isActive()) {
        QString error;
        QImage spare;
        QImage& frame = FreeFrameBuffer(frameBuffers_, spare);
        const auto got = device_->ReadFrame(frame, 0, &error, Need());
        if (got == CaptureDevice::ReadResult::Lost) {
            DeviceLost(error);
            return;
        }
        // Kept, so that the last frame read is the one the window holds; a
        // failed grab stays failed until the next grab.
        if (got == CaptureDevice::ReadResult::Frame) {
            lastFrame_ = frame;
            sinceFrame_.start();
        }
    }
    if (sinceFrame_.elapsed() > kNoFrameLostMs)
        DeviceLost(QString());
}

void CaptureWindow::ApplyFrameInterval()
{
    if (!Connected())
        return;
    const std::uint32_t us = sequence_ ? sequence_->parms.dwRequestMicroSecPerFrame : previewMs_ * 1000;
    device_->SetFrameInterval(us);
}

void CaptureWindow::DeviceLost(const QString& why)
{
    Q_UNUSED(why);
    if (lost_)
        return;
    lost_ = true;
    frameValid_ = false;
    preview_ = false;
    overlay_ = false;
    timer_.stop();
    PostError(IDS_CAP_DRIVER_ERROR, DeviceNotDetectedText());
}

bool CaptureWindow::Grab(bool stopPreview)
{
    if (!Connected() || lost_)
        return false;
    if (stopPreview) {
        preview_ = false;
        overlay_ = false;
        timer_.stop();
    }
    // The frame must be taken after the grab was asked for: a camera that
    // nobody read holds frames from long before.
    bool got = false;
    if (sequence_) {
        Sequence* s = sequence_.get();
        QMutexLocker lock(&s->frameMutex);
        const std::uint64_t asked = s->latestCount;
        QDeadlineTimer deadline(kGrabTimeoutMs);
        while (s->latestCount == asked && !s->stop && s->frameReady.wait(&s->frameMutex, deadline)) {
        }
        got = s->latestCount != asked;
        if (got)
            GotFrame(s->latest);
    } else {
        device_->Drain();
        // A camera that says nothing within the time-out fails the grab.
        QElapsedTimer clock;
        clock.start();
        while (!got && !lost_ && clock.elapsed() < kGrabTimeoutMs)
            got = ReadInto(kGrabTimeoutMs - int(clock.elapsed()), QSize());
    }
    if (!got) {
        frameValid_ = false;
        return false;
    }
    update();
    CallFrameCallback(lastFrame_, 0);
    return true;
}

bool CaptureWindow::GrabRecentFrame()
{
    if (!Connected() || lost_)
        return false;
    if (sequence_ || !TakeRecent())
        return Grab(false);
    update();
    CallFrameCallback(lastFrame_, 0);
    return true;
}

// A frame the camera took within one frame interval is as new as any it
// could deliver: the newest one waiting, or the one the preview just read.
// Waiting for the next would only add up to an interval of latency.
bool CaptureWindow::TakeRecent()
{
    ReadInto(0, Need());
    if (lost_ || !frameValid_)
        return false;
    const int age = device_->LastFrameAgeMs();
    const int rate = std::max(1, device_->NominalRate());
    return age >= 0 && age <= (1000 + rate - 1) / rate;
}

QImage CaptureWindow::GrabbedFrame()
{
    if (!Connected() || lost_)
        return {};
    if (lastFrame_.isNull() && !Grab(false))
        return {};
    // An old frame beside the current time would pass for a picture of now.
    if (!frameValid_ || sinceFrame_.elapsed() > kNoFrameLostMs)
        return {};
    if (lastFrame_.size() != device_->FrameSize()) {
        // The frame the preview shows, made whole: the same picture, not the
        // next one. Gone (a newer frame was read since), a new one is
        // grabbed whole, except from inside the frame handler, which a grab
        // would call again.
        QImage spare;
        QImage& full = FreeFrameBuffer(frameBuffers_, spare);
        if (device_->RereadFull(full))
            lastFrame_ = full;
        else if (inFrameCallback_ || !Grab(false))
            return {};
    }
    return lastFrame_;
}

bool CaptureWindow::SaveDib(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QImage frame = GrabbedFrame();
    return !frame.isNull() && WriteBmp24(frame, path);
}

bool CaptureWindow::AllocateFile(std::uint64_t bytes)
{
    if (Capturing() || captureFile_.isEmpty())
        return false;
    const QByteArray name = QFile::encodeName(captureFile_);
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        PostError(IDS_CAP_CANTOPEN, QStringLiteral("Cannot open the capture file %1.").arg(captureFile_));
        return false;
    }
    int rc = 0;
    if (bytes > 0) {
        rc = posix_fallocate(fd, 0, off_t(bytes));
        if (rc == EOPNOTSUPP || rc == EINVAL)
            rc = ::ftruncate(fd, off_t(bytes)) == 0 ? 0 : errno;
    }
    ::close(fd);
    if (rc != 0) {
        PostError(IDS_CAP_CANTOPEN, QStringLiteral("Cannot allocate %1 bytes for the capture file %2.")
                                        .arg(bytes)
                                        .arg(captureFile_));
        return false;
    }
    allocatedFile_ = captureFile_;
    return true;
}

bool CaptureWindow::SaveCaptureAs(const QString& path)
{
    if (path.isEmpty() || Capturing() || !QFileInfo::exists(captureFile_))
        return false;
    if (QFileInfo(path).absoluteFilePath() == QFileInfo(captureFile_).absoluteFilePath())
        return true;
    // Copy beside the target first, so a failed copy leaves the old file.
    QFile source(captureFile_);
    QSaveFile target(path);
    if (!source.open(QIODevice::ReadOnly) || !target.open(QIODevice::WriteOnly)) {
        PostError(IDS_CAP_SAVEASERROR, QStringLiteral("Cannot save the capture file as %1.").arg(path));
        return false;
    }
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(1 << 20);
        if (chunk.isEmpty() || target.write(chunk) != chunk.size()) {
            target.cancelWriting();
            PostError(IDS_CAP_SAVEASERROR, QStringLiteral("Cannot save the capture file as %1.").arg(path));
            return false;
        }
    }
    if (!target.commit()) {
        PostError(IDS_CAP_SAVEASERROR, QStringLiteral("Cannot save the capture file as %1.").arg(path));
        return false;
    }
    return true;
}

bool CaptureWindow::StartSequence(bool toFile)
{
    if (!Connected() || lost_ || Capturing())
        return false;
    std::unique_ptr<Sequence> seq = PrepareSequence(toFile);
    if (!seq)
        return false;
    lastFrames_ = lastDropped_ = lastElapsedMs_ = lastWaveSamples_ = 0;
    sequence_ = std::move(seq);
    ApplyFrameInterval();
    Sequence* s = sequence_.get();
    CaptureDevice* device = device_.get();
    qApp->installEventFilter(this);
    PostStatus(IDS_CAP_BEGIN, QStringLiteral("Capture Start"));
    if (s->withAudio)
        s->audio = std::thread([this, s] { RecordAudio(s); });
    s->video = std::thread([this, s, device] { RecordVideo(s, device); });
    if (!parms_.fYield) {
        // Without yield the caller waits for the end, as with a modal capture.
        QEventLoop loop;
        s->modalLoop = &loop;
        loop.exec();
    }
    return true;
}

std::unique_ptr<CaptureWindow::Sequence> CaptureWindow::PrepareSequence(bool toFile)
{
    static std::uint64_t nextId = 1;
    auto seq = std::make_unique<Sequence>();
    seq->id = nextId++;
    seq->parms = parms_;
    seq->toFile = toFile;
    const std::uint32_t usPerFrame = std::max<std::uint32_t>(1000, parms_.dwRequestMicroSecPerFrame);
    seq->parms.dwRequestMicroSecPerFrame = usPerFrame;

    AviWriter::Audio audioFormat;
    audioFormat.sampleRate = int(waveFormat_.nSamplesPerSec);
    audioFormat.channels = waveFormat_.nChannels;
    audioFormat.bitsPerSample = waveFormat_.wBitsPerSample;
    if (parms_.fCaptureAudio) {
        QString why;
        seq->withAudio = seq->audioInput.Open(audioFormat.sampleRate, audioFormat.channels,
                                              audioFormat.bitsPerSample, &why);
        audioHardware_ = seq->withAudio;
        if (!seq->withAudio)
            PostError(IDS_CAP_NO_AUDIO_CAP, why);
    }
    if (toFile) {
        AviWriter::Video video;
        video.size = device_->FrameSize();
        video.microSecPerFrame = usPerFrame;
        video.codec = codec_;
        QString error;
        const bool preAllocated = allocatedFile_ == captureFile_;
        allocatedFile_.clear();
        if (!seq->writer.Open(captureFile_, video, seq->withAudio ? &audioFormat : nullptr, &error, preAllocated)) {
            PostError(IDS_CAP_CANTOPEN, error);
            return nullptr;
        }
    }
    return seq;
}

// The audio worker: samples go to the file as they come.
void CaptureWindow::RecordAudio(Sequence* s)
{
    QByteArray samples;
    const int blockAlign = std::max(1, int(waveFormat_.nBlockAlign));
    while (!s->stop) {
        QString error;
        if (!s->audioInput.Read(samples, &error)) {
            if (!s->stop)
                PostError(IDS_CAP_NO_AUDIO_CAP, error);
            break;
        }
        if (s->toFile) {
            QMutexLocker lock(&s->writerMutex);
            if (!s->writer.WriteAudio(reinterpret_cast<const std::uint8_t*>(samples.constData()), samples.size(),
                                      &error)) {
                PostError(IDS_CAP_WRITEERROR, error);
                s->stop = true;
                break;
            }
        }
        s->waveSamples += std::uint32_t(samples.size() / blockAlign);
        QMetaObject::invokeMethod(this, [this, samples] {
            if (!waveStreamCallback_)
                return;
            QByteArray copy = samples;
            WAVEHDR hdr{};
            hdr.lpData = reinterpret_cast<std::uint8_t*>(copy.data());
            hdr.dwBufferLength = hdr.dwBytesRecorded = std::uint32_t(copy.size());
            hdr.dwFlags = 1;
            waveStreamCallback_(&hdr);
        }, Qt::QueuedConnection);
    }
    s->audioInput.Close();
}

// The video worker: a frame whenever one is due, numbered by the clock.
void CaptureWindow::RecordVideo(Sequence* s, CaptureDevice* device)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto elapsedUs = [&] {
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    };
    const bool limited = s->parms.fLimitEnabled && s->parms.wTimeLimit > 0;
    FramePacer pacer(s->parms.dwRequestMicroSecPerFrame, limited ? std::int64_t(s->parms.wTimeLimit) * 1000 : 0);
    std::array<QImage, 3> buffers;
    while (!s->stop) {
        if (pacer.LimitReached(elapsedUs()))
            break;
        const std::int64_t waitUs = pacer.WaitUs(elapsedUs());
        if (waitUs > 0) {
            // Short naps keep Stop responsive.
            std::this_thread::sleep_for(std::chrono::microseconds(std::min<std::int64_t>(waitUs, 50000)));
            continue;
        }
        QString error;
        QImage spare;
        QImage& frame = FreeFrameBuffer(buffers, spare);
        const auto got = device->ReadFrame(frame, 200, &error);
        if (got == CaptureDevice::ReadResult::Lost
            || (got == CaptureDevice::ReadResult::NoFrame && pacer.Silent(elapsedUs()))) {
            QMetaObject::invokeMethod(this, [this] { DeviceLost(QString()); }, Qt::QueuedConnection);
            break;
        }
        if (got == CaptureDevice::ReadResult::NoFrame)
            continue;
        const std::int64_t nowUs = elapsedUs();
        const FramePacer::Slot slot = pacer.Arrived(nowUs);
        if (pacer.LimitReached(nowUs))
            break;
        s->dropped += slot.dropped;
        if (!StoreFrame(s, frame, slot.index, nowUs))
            break;
        pacer.Written(slot);
        ReportFrame(s, pacer, frame, nowUs);
    }
    EndRecording(s, elapsedUs());
}

bool CaptureWindow::StoreFrame(Sequence* s, const QImage& frame, std::int64_t index, std::int64_t nowUs)
{
    if (s->toFile) {
        QMutexLocker lock(&s->writerMutex);
        QString error;
        if (!s->writer.WriteVideo(frame, index, &error)) {
            PostError(IDS_CAP_WRITEERROR, error);
            return false;
        }
        if (s->writer.DiskFull()) {
            PostError(IDS_CAP_WRITEERROR, QStringLiteral("The disk is full; the capture ended with what was written."));
            s->frames++;
            return false;
        }
    }
    s->frames++;
    s->elapsedMs = std::uint32_t(nowUs / 1000);
    QMutexLocker lock(&s->frameMutex);
    s->latest = frame;
    ++s->latestCount;
    s->fresh = true;
    s->frameReady.wakeAll();
    return true;
}

void CaptureWindow::ReportFrame(Sequence* s, FramePacer& pacer, const QImage& frame, std::int64_t nowUs)
{
    const std::uint32_t timeMs = std::uint32_t(nowUs / 1000);
    QMetaObject::invokeMethod(this, [this, frame, timeMs] {
        if (!videoStreamCallback_)
            return;
        QByteArray data = Packed(frame);
        VIDEOHDR hdr{};
        hdr.lpData = reinterpret_cast<std::uint8_t*>(data.data());
        hdr.dwBufferLength = hdr.dwBytesUsed = std::uint32_t(data.size());
        hdr.dwTimeCaptured = timeMs;
        hdr.dwFlags = VHDR_DONE | VHDR_KEYFRAME;
        hdr.dwWidth = std::uint32_t(frame.width());
        hdr.dwHeight = std::uint32_t(frame.height());
        videoStreamCallback_(&hdr);
    }, Qt::QueuedConnection);
    if (pacer.StatusDue(timeMs)) {
        PostStatus(IDS_CAP_STAT_VIDEOCURRENT, QStringLiteral("Captured %1 frames (%2 dropped) %3 sec.")
                                                  .arg(s->frames.load())
                                                  .arg(s->dropped.load())
                                                  .arg(timeMs / 1000.0, 0, 'f', 3));
    }
}

// The end of the video worker: the audio worker joined, the file closed, and
// the window told to finish.
void CaptureWindow::EndRecording(Sequence* s, std::int64_t elapsedUs)
{
    s->elapsedMs = std::uint32_t(elapsedUs / 1000);
    s->stop = true;
    {
        QMutexLocker lock(&s->frameMutex);
        s->frameReady.wakeAll();
    }
    if (s->audio.joinable())
        s->audio.join();
    if (s->toFile) {
        QMutexLocker lock(&s->writerMutex);
        QString error;
        if (!s->writer.Close(&error))
            PostError(IDS_CAP_WRITEERROR, error);
    }
    const std::uint64_t id = s->id;
    QMetaObject::invokeMethod(this, [this, id] {
        if (sequence_ && sequence_->id == id)
            FinishSequence();
    }, Qt::QueuedConnection);
}

bool CaptureWindow::Stop()
{
    if (!sequence_)
        return false;
    sequence_->stop = true;
    FinishSequence();
    return true;
}

void CaptureWindow::FinishSequence()
{
    if (!sequence_)
        return;
    std::unique_ptr<Sequence> s = std::move(sequence_);
    s->stop = true;
    if (s->video.joinable())
        s->video.join();
    if (s->audio.joinable())
        s->audio.join();
    if (s->toFile)
        s->writer.Close(nullptr);
    qApp->removeEventFilter(this);
    ApplyFrameInterval();
    // The capture watched the camera itself; the idle watch starts afresh.
    sinceFrame_.start();
    lastFrames_ = s->frames;
    lastDropped_ = s->dropped;
    lastElapsedMs_ = s->elapsedMs;
    lastWaveSamples_ = s->waveSamples;
    if (!s->latest.isNull())
        lastFrame_ = s->latest;
    if (s->modalLoop)
        s->modalLoop->quit();
    PostStatus(IDS_CAP_STAT_VIDEOCURRENT, QStringLiteral("Captured %1 frames (%2 dropped) %3 sec.")
                                              .arg(lastFrames_)
                                              .arg(lastDropped_)
                                              .arg(lastElapsedMs_ / 1000.0, 0, 'f', 3));
    PostStatus(IDS_CAP_END, QStringLiteral("Capture End"));
}

bool CaptureWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (sequence_) {
        bool abort = false;
        if (event->type() == QEvent::KeyPress && parms_.vKeyAbort == 27)
            abort = static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape;
        else if (event->type() == QEvent::MouseButtonPress) {
            const auto button = static_cast<QMouseEvent*>(event)->button();
            abort = (button == Qt::LeftButton && parms_.fAbortLeftMouse)
                    || (button == Qt::RightButton && parms_.fAbortRightMouse);
        }
        if (abort) {
            const std::uint64_t id = sequence_->id;
            sequence_->stop = true;
            QMetaObject::invokeMethod(this, [this, id] {
                if (sequence_ && sequence_->id == id)
                    FinishSequence();
            }, Qt::QueuedConnection);
        }
    }
    return QWidget::eventFilter(watched, event);
}

// The dialogs run a modal loop in which an error handler may close the
// driver and destroy this window: after it nothing here may be touched.
bool CaptureWindow::FormatDialog()
{
    if (!Connected() || Capturing())
        return false;
    QPointer<CaptureWindow> self(this);
    QString error;
    const bool accepted = ShowFormatDialog(this, device_, &error);
    if (!self)
        return false;
    if (!error.isEmpty())
        PostError(IDS_CAP_DRIVER_ERROR, error);
    if (accepted) {
        lastFrame_ = QImage();
        frameValid_ = false;
        update();
    }
    return accepted;
}

bool CaptureWindow::SourceDialog()
{
    if (!Connected() || device_->Controls().isEmpty())
        return false;
    QPointer<CaptureWindow> self(this);
    const bool accepted = ShowSourceDialog(this, device_);
    return self && accepted;
}

bool CaptureWindow::DisplayDialog()
{
    if (!Connected() || !device_->HasDisplayOptions())
        return false;
    QPointer<CaptureWindow> self(this);
    const bool accepted = ShowDisplayDialog(this, device_);
    return self && accepted;
}

bool CaptureWindow::CompressionDialog()
{
    if (!Connected() || Capturing())
        return false;
    return ShowCompressionDialog(this, codec_);
}

void CaptureWindow::CallFrameCallback(const QImage& shown, std::uint32_t timeMs)
{
    if (!frameCallback_ || shown.isNull())
        return;
    // The handler gets its frames at one size, whatever the window needed
    // (a grab reads whole frames, a recording records them).
    const QImage* framePtr = &shown;
    if (!frameHandlerSize_.isEmpty()) {
        const QSize target = ShrunkSize(device_->FrameSize(), FrameDivisor(device_->FrameSize(), frameHandlerSize_));
        for (int divisor : kFrameDivisors) {
            if (shown.size() != target && ShrunkSize(shown.size(), divisor) == target) {
                ShrinkRgb(shown, divisor, handlerFrame_);
                framePtr = &handlerFrame_;
                break;
            }
        }
    }
    const QImage& frame = *framePtr;
    // Rows without padding go to the handler as they are, with no copy a
    // frame: it reads them before this returns, and only reads them.
    QByteArray packed;
    const uchar* bits = frame.constBits();
    qsizetype size = frame.sizeInBytes();
    if (frame.bytesPerLine() != qsizetype(frame.width()) * 3) {
        packed = Packed(frame);
        bits = reinterpret_cast<const uchar*>(packed.constData());
        size = packed.size();
    }
    VIDEOHDR hdr{};
    hdr.lpData = const_cast<std::uint8_t*>(bits);
    hdr.dwBufferLength = hdr.dwBytesUsed = std::uint32_t(size);
    hdr.dwTimeCaptured = timeMs;
    hdr.dwFlags = VHDR_DONE | VHDR_KEYFRAME;
    hdr.dwWidth = std::uint32_t(frame.width());
    hdr.dwHeight = std::uint32_t(frame.height());
    // The handler may end this window.
    QPointer<CaptureWindow> self(this);
    inFrameCallback_ = true;
    frameCallback_(&hdr);
    if (self)
        inFrameCallback_ = false;
}

void CaptureWindow::PostStatus(int id, const QString& text)
{
    QMetaObject::invokeMethod(this, [this, id, text] {
        if (statusCallback_)
            statusCallback_(id, text);
    }, Qt::QueuedConnection);
}

void CaptureWindow::PostError(int id, const QString& text)
{
    QMetaObject::invokeMethod(this, [this, id, text] {
        if (errorCallback_)
            errorCallback_(id, text);
    }, Qt::QueuedConnection);
}

void CaptureWindow::SetPrivacyMask(const PrivacyMask& mask)
{
    mask_->Set(mask);
    // The frame in hand may still be handed out as a recent one.
    ApplyPrivacyMask(lastFrame_, mask);
    update();
}

void CaptureWindow::SetMaskEditing(bool editing, const QList<QRectF>& outlines)
{
    maskEditing_ = editing;
    maskOutlines_ = editing ? outlines : QList<QRectF>();
    mask_->SetKeepUnmasked(editing);
    update();
}

QImage CaptureWindow::UnmaskedFrame()
{
    return maskEditing_ ? mask_->Unmasked() : QImage();
}

void CaptureWindow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    QImage shown = lastFrame_;
    if (maskEditing_) {
        // The user must see what the areas cover; only this window shows it.
        const QImage unmasked = mask_->Unmasked();
        if (unmasked.size() == shown.size())
            shown = unmasked;
    }
    if (shown.isNull()) {
        p.fillRect(rect(), Qt::black);
        return;
    }
    if (scale_) {
        // Frames come at most twice the window's size, already averaged by
        // the smaller decode: the painter's plain scaling shows them without
        // blocks, at a fraction of the cost of its smooth one.
        p.drawImage(rect(), shown);
        PaintMaskOutlines(p, shown.size());
        return;
    }
    p.drawImage(0, 0, shown);
    const QRect picture(0, 0, shown.width(), shown.height());
    if (!picture.contains(rect())) {
        const QRegion rest = QRegion(rect()).subtracted(picture);
        for (const QRect& r : rest)
            p.fillRect(r, Qt::black);
    }
    PaintMaskOutlines(p, shown.size());
}

void CaptureWindow::PaintMaskOutlines(QPainter& p, QSize picture)
{
    if (!maskEditing_ || maskOutlines_.isEmpty())
        return;
    const QSize shown = scale_ ? size() : picture;
    p.setBrush(Qt::NoBrush);
    for (const QRectF& area : maskOutlines_) {
        const QRect r = MaskPixels(area, shown);
        if (r.isEmpty())
            continue;
        // Yellow on a dark line: seen on any picture.
        p.setPen(QPen(Qt::black, 3));
        p.drawRect(r.adjusted(1, 1, -1, -1));
        p.setPen(QPen(QColor(255, 255, 0), 1));
        p.drawRect(r.adjusted(1, 1, -2, -2));
    }
}

void CaptureWindow::MouseMessage(QMouseEvent* event)
{
    if (event->type() != QEvent::MouseMove && event->button() != Qt::LeftButton
        && event->button() != Qt::RightButton && event->button() != Qt::MiddleButton) {
        event->ignore();
        return;
    }
    if (mouseHandler_)
        mouseHandler_(event);
    event->accept();
}

void CaptureWindow::mousePressEvent(QMouseEvent* e) { MouseMessage(e); }
void CaptureWindow::mouseReleaseEvent(QMouseEvent* e) { MouseMessage(e); }
void CaptureWindow::mouseDoubleClickEvent(QMouseEvent* e) { MouseMessage(e); }
void CaptureWindow::mouseMoveEvent(QMouseEvent* e) { MouseMessage(e); }

}  // namespace platform::capture
