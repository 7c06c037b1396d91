#include "tests/capture/fake_capture.h"

#include <QFile>

using namespace platform;

namespace testsupport {
namespace {

class FakeWindow final : public CaptureWindowObject
{
public:
    FakeWindow(FakeCaptureState* s, WindowHandle parent) : CaptureWindowObject(parent), s_(s) {}
    ~FakeWindow() override
    {
        ++s_->destroyed;
        if (s_->window == Handle())
            s_->window = 0;
    }

    LRESULT WindowProc(std::uint32_t msg, WPARAM wParam, LPARAM lParam) override
    {
        CapCall call{msg, wParam, lParam, {}};
        if (msg == WM_CAP_FILE_SET_CAPTURE_FILE || msg == WM_CAP_FILE_SAVEAS || msg == WM_CAP_FILE_SAVEDIB)
            call.text = QFile::decodeName(reinterpret_cast<const char*>(lParam));
        s_->calls.push_back(call);
        const LRESULT answer = Answer(msg, wParam, lParam);
        auto it = s_->answers.find(msg);
        return it != s_->answers.end() ? it->second : answer;
    }

    void Move(int x, int y, int width, int height, bool) override { s_->geometry = QRect(x, y, width, height); }

private:
    LRESULT Answer(std::uint32_t msg, WPARAM wParam, LPARAM lParam)
    {
        switch (msg) {
        case WM_CAP_SET_USER_DATA: s_->userData = lParam; return 1;
        case WM_CAP_GET_USER_DATA: return s_->userData;
        case WM_CAP_SET_CALLBACK_STATUS:
        case WM_CAP_SET_CALLBACK_ERROR:
        case WM_CAP_SET_CALLBACK_FRAME:
        case WM_CAP_SET_CALLBACK_VIDEOSTREAM:
        case WM_CAP_SET_CALLBACK_WAVESTREAM: s_->callbacks[msg] = lParam; return 1;
        case WM_CAP_DRIVER_CONNECT: return s_->drivers.count(unsigned(wParam)) ? 1 : 0;
        case WM_CAP_DRIVER_GET_CAPS: *reinterpret_cast<CAPDRIVERCAPS*>(lParam) = s_->caps; return 1;
        case WM_CAP_GET_STATUS: *reinterpret_cast<CAPSTATUS*>(lParam) = s_->status; return 1;
        case WM_CAP_GET_SEQUENCE_SETUP: *reinterpret_cast<CAPTUREPARMS*>(lParam) = s_->parms; return 1;
        case WM_CAP_SET_SEQUENCE_SETUP: s_->parms = *reinterpret_cast<const CAPTUREPARMS*>(lParam); return 1;
        case WM_CAP_GET_AUDIOFORMAT: *reinterpret_cast<WAVEFORMATEX*>(lParam) = s_->wave; return 18;
        case WM_CAP_SET_AUDIOFORMAT: s_->wave = *reinterpret_cast<const WAVEFORMATEX*>(lParam); return 1;
        // The driver's picture state follows what it was told.
        case WM_CAP_SET_PREVIEW:
            s_->status.fLiveWindow = wParam != 0;
            if (wParam)
                s_->status.fOverlayWindow = 0;
            return 1;
        case WM_CAP_SET_OVERLAY:
            s_->status.fOverlayWindow = wParam != 0;
            if (wParam)
                s_->status.fLiveWindow = 0;
            return 1;
        case WM_CAP_GRAB_FRAME:
            s_->status.fLiveWindow = 0;
            s_->status.fOverlayWindow = 0;
            return 1;
        case WM_CAP_SEQUENCE:
        case WM_CAP_SEQUENCE_NOFILE: s_->status.fCapturingNow = 1; return 1;
        case WM_CAP_STOP: s_->status.fCapturingNow = 0; return 1;
        default: return 1;
        }
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

    WindowHandle CreateCaptureWindow(const QString& name, std::uint32_t style, int x, int y, int width, int height,
                                     WindowHandle parent, int id) override
    {
        s_->createName = name;
        s_->createStyle = style;
        s_->createRect = QRect(x, y, width, height);
        s_->createParent = parent;
        s_->createId = id;
        if (s_->failCreate)
            return 0;
        ++s_->created;
        auto* w = new FakeWindow(s_, parent);
        s_->window = w->Handle();
        return w->Handle();
    }

private:
    FakeCaptureState* s_;
};

}  // namespace

std::vector<std::uint32_t> FakeCaptureState::Messages() const
{
    std::vector<std::uint32_t> m;
    for (const CapCall& c : calls)
        m.push_back(c.msg);
    return m;
}

std::vector<CapCall> FakeCaptureState::CallsOf(std::uint32_t msg) const
{
    std::vector<CapCall> out;
    for (const CapCall& c : calls)
        if (c.msg == msg)
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
