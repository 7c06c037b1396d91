#include "tests/capture/fake_capture.h"

using namespace platform;

namespace testsupport {
namespace {

class FakeEngine final : public CaptureEngine
{
public:
    explicit FakeEngine(FakeCaptureState* s) : s_(s) {}
    ~FakeEngine() override
    {
        ++s_->destroyed;
        if (s_->window == Handle())
            s_->window = 0;
    }

    void SetStatusHandler(TextHandler h) override { Record(CapOp::SetStatusHandler); s_->statusHandler = std::move(h); }
    void SetErrorHandler(TextHandler h) override { Record(CapOp::SetErrorHandler); s_->errorHandler = std::move(h); }
    void SetFrameHandler(VideoHandler h) override { Record(CapOp::SetFrameHandler); s_->frameHandler = std::move(h); }
    void SetVideoStreamHandler(VideoHandler h) override
    {
        Record(CapOp::SetVideoStreamHandler);
        s_->videoStreamHandler = std::move(h);
    }
    void SetWaveStreamHandler(WaveHandler h) override
    {
        Record(CapOp::SetWaveStreamHandler);
        s_->waveStreamHandler = std::move(h);
    }
    void SetMouseHandler(MouseHandler h) override { s_->mouseHandler = std::move(h); }

    bool ConnectDriver(unsigned index) override
    {
        return Answer(CapOp::ConnectDriver, s_->drivers.count(index) != 0, index);
    }
    bool DisconnectDriver() override { return Answer(CapOp::DisconnectDriver); }
    bool GetDriverCaps(CAPDRIVERCAPS& caps) override
    {
        caps = s_->caps;
        return Answer(CapOp::GetDriverCaps);
    }
    bool GetStatus(CAPSTATUS& status) override
    {
        status = s_->status;
        return Answer(CapOp::GetStatus);
    }
    // The driver's picture state follows what it was told.
    bool SetPreview(bool on) override
    {
        s_->status.fLiveWindow = on;
        if (on)
            s_->status.fOverlayWindow = 0;
        return Answer(CapOp::SetPreview, true, on);
    }
    bool SetOverlay(bool on) override
    {
        s_->status.fOverlayWindow = on;
        if (on)
            s_->status.fLiveWindow = 0;
        return Answer(CapOp::SetOverlay, true, on);
    }
    bool SetPreviewRate(unsigned ms) override { return Answer(CapOp::SetPreviewRate, true, ms); }
    bool SetScale(bool on) override { return Answer(CapOp::SetScale, true, on); }
    bool GrabFrame(bool stopPreview) override
    {
        if (!stopPreview)
            return Answer(CapOp::GrabFrameNoStop);
        s_->status.fLiveWindow = 0;
        s_->status.fOverlayWindow = 0;
        return Answer(CapOp::GrabFrame);
    }
    bool SaveDib(const QString& path) override { return Answer(CapOp::SaveDib, true, 0, path); }
    bool SetCaptureFile(const QString& path) override { return Answer(CapOp::SetCaptureFile, true, 0, path); }
    bool AllocateFile(std::uint64_t bytes) override { return Answer(CapOp::AllocateFile, true, bytes); }
    bool SaveCaptureAs(const QString& path) override { return Answer(CapOp::SaveCaptureAs, true, 0, path); }
    bool GetAudioFormat(WAVEFORMATEX& format) override
    {
        format = s_->wave;
        return Answer(CapOp::GetAudioFormat);
    }
    bool SetAudioFormat(const WAVEFORMATEX& format) override
    {
        s_->wave = format;
        return Answer(CapOp::SetAudioFormat);
    }
    bool GetSequenceSetup(CAPTUREPARMS& parms) override
    {
        parms = s_->parms;
        return Answer(CapOp::GetSequenceSetup);
    }
    bool SetSequenceSetup(const CAPTUREPARMS& parms) override
    {
        s_->parms = parms;
        return Answer(CapOp::SetSequenceSetup);
    }
    bool StartSequence(bool toFile) override
    {
        s_->status.fCapturingNow = 1;
        return Answer(toFile ? CapOp::Sequence : CapOp::SequenceNoFile);
    }
    bool Stop() override
    {
        s_->status.fCapturingNow = 0;
        return Answer(CapOp::Stop);
    }
    bool ShowDialog(DriverDialog which) override
    {
        switch (which) {
        case DriverDialog::VideoFormat: return Answer(CapOp::DlgVideoFormat);
        case DriverDialog::VideoSource: return Answer(CapOp::DlgVideoSource);
        case DriverDialog::VideoDisplay: return Answer(CapOp::DlgVideoDisplay);
        case DriverDialog::VideoCompression: return Answer(CapOp::DlgVideoCompression);
        }
        return false;
    }
    void Move(int x, int y, int width, int height, bool) override { s_->geometry = QRect(x, y, width, height); }

private:
    void Record(CapOp op, std::uint64_t value = 0, const QString& text = QString())
    {
        s_->calls.push_back(CapCall{op, value, text});
    }
    bool Answer(CapOp op, bool answer = true, std::uint64_t value = 0, const QString& text = QString())
    {
        Record(op, value, text);
        auto it = s_->answers.find(op);
        return it != s_->answers.end() ? it->second : answer;
    }

    FakeCaptureState* s_;
};

class FakeService final : public CaptureService
{
public:
    explicit FakeService(FakeCaptureState* s) : s_(s) {}

    bool GetDriverDescription(unsigned index, QString& name, QString& version) override
    {
        s_->descriptionQueries.push_back(index);
        auto it = s_->drivers.find(index);
        if (it == s_->drivers.end())
            return false;
        name = it->second.first;
        version = it->second.second;
        return true;
    }

    CaptureEngine* CreateEngine(const QString& name, QWidget* parent, const QRect& geometry) override
    {
        s_->createName = name;
        s_->createRect = geometry;
        s_->createParent = parent;
        if (s_->failCreate)
            return nullptr;
        ++s_->created;
        auto* engine = new FakeEngine(s_);
        s_->window = engine->Handle();
        return engine;
    }

private:
    FakeCaptureState* s_;
};

}  // namespace

std::vector<CapOp> FakeCaptureState::Messages() const
{
    std::vector<CapOp> m;
    for (const CapCall& c : calls)
        m.push_back(c.op);
    return m;
}

std::vector<CapCall> FakeCaptureState::CallsOf(CapOp op) const
{
    std::vector<CapCall> out;
    for (const CapCall& c : calls)
        if (c.op == op)
            out.push_back(c);
    return out;
}

ScopedFakeCapture::ScopedFakeCapture()
{
    state_.status.uiImageWidth = 320;
    state_.status.uiImageHeight = 240;
    previous_ = SetCaptureService(std::make_unique<FakeService>(&state_));
}

ScopedFakeCapture::~ScopedFakeCapture()
{
    SetCaptureService(std::move(previous_));
}

}  // namespace testsupport
