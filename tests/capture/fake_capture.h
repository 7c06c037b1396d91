#pragma once
// A recording capture service: its capture windows record every message that
// reaches them (past the component's subclassing), answer like a driver, and
// fail on demand.

#include "capture/engine/CaptureService.h"

#include <QRect>
#include <QString>

#include <map>
#include <memory>
#include <vector>

namespace testsupport {

struct CapCall {
    std::uint32_t msg = 0;
    platform::WPARAM wParam = 0;
    platform::LPARAM lParam = 0;
    QString text;  // file name messages
};

struct FakeCaptureState {
    std::map<unsigned, std::pair<QString, QString>> drivers;  // index -> name, version
    std::vector<unsigned> descriptionQueries;

    bool failCreate = false;
    int created = 0;
    int destroyed = 0;
    QString createName;
    std::uint32_t createStyle = 0;
    QRect createRect;
    platform::WindowHandle createParent = 0;
    int createId = 0;

    std::vector<CapCall> calls;
    // Answers replacing the default ones, by message.
    std::map<std::uint32_t, platform::LRESULT> answers;

    platform::CAPDRIVERCAPS caps{};
    platform::CAPSTATUS status{};
    platform::CAPTUREPARMS parms{};
    platform::WAVEFORMATEX wave{};
    platform::LPARAM userData = 0;
    std::map<std::uint32_t, platform::LPARAM> callbacks;  // SET_CALLBACK_ message -> routine
    QRect geometry;
    platform::WindowHandle window = 0;

    std::vector<std::uint32_t> Messages() const;
    // The calls of one message, in order.
    std::vector<CapCall> CallsOf(std::uint32_t msg) const;
    bool Sent(std::uint32_t msg) const { return !CallsOf(msg).empty(); }
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
