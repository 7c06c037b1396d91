#include "capture/engine/CaptureService.h"

#include "capture/engine/CaptureDevice.h"
#include "capture/engine/CaptureWindow.h"

#include <QRect>
#include <QWidget>

#include <cstring>
#include <unordered_map>

namespace platform {
namespace {

// GUI-thread only: engines live on the GUI thread and their workers never
// touch the registry.
struct Registry {
    std::unordered_map<WindowHandle, CaptureEngine*> engines;
    // Apart from the notification windows' range, never reused in a run.
    WindowHandle next = 0x70000001;
};

Registry& registry()
{
    static Registry r;
    return r;
}

class DeviceCaptureService final : public CaptureService
{
public:
    bool GetDriverDescription(unsigned index, QString& name, QString& version) override
    {
        const QList<capture::DriverEntry> drivers = capture::EnumerateDrivers();
        if (index >= unsigned(drivers.size()))
            return false;
        name = drivers[index].name;
        version = drivers[index].version;
        return true;
    }

    bool GetDriverIdentity(unsigned index, QString& identity) override
    {
        const QList<capture::DriverEntry> drivers = capture::EnumerateDrivers();
        if (index >= unsigned(drivers.size()))
            return false;
        identity = drivers[index].identity;
        return true;
    }

    CaptureEngine* CreateEngine(const QString& name, QWidget* parent, const QRect& geometry) override
    {
        auto* window = new capture::CaptureWindow(parent, name);
        window->Move(geometry.x(), geometry.y(), geometry.width(), geometry.height(), false);
        window->show();
        return window;
    }
};

std::unique_ptr<CaptureService>& serviceSlot()
{
    static std::unique_ptr<CaptureService> s;
    return s;
}

void CopyText(const QString& text, char* buffer, int size)
{
    if (!buffer || size <= 0)
        return;
    const QByteArray bytes = text.toLocal8Bit();
    const int n = std::min<int>(bytes.size(), size - 1);
    std::memcpy(buffer, bytes.constData(), n);
    buffer[n] = '\0';
}

}  // namespace

CaptureEngine::CaptureEngine()
{
    Registry& r = registry();
    handle_ = r.next++;
    r.engines.emplace(handle_, this);
}

CaptureEngine::~CaptureEngine()
{
    registry().engines.erase(handle_);
}

void CaptureEngine::Destroy()
{
    registry().engines.erase(handle_);
    Release();
}

CaptureEngine* EngineOf(WindowHandle window)
{
    auto& e = registry().engines;
    auto it = e.find(window);
    return it == e.end() ? nullptr : it->second;
}

QWidget* WindowWidget(WindowHandle window)
{
    CaptureEngine* engine = EngineOf(window);
    return engine ? engine->Widget() : nullptr;
}

CaptureService& CaptureServiceInstance()
{
    auto& slot = serviceSlot();
    if (!slot)
        slot = CreateDeviceCaptureService();
    return *slot;
}

std::unique_ptr<CaptureService> SetCaptureService(std::unique_ptr<CaptureService> service)
{
    auto& slot = serviceSlot();
    std::unique_ptr<CaptureService> previous = std::move(slot);
    slot = std::move(service);
    return previous;
}

std::unique_ptr<CaptureService> CreateDeviceCaptureService()
{
    return std::make_unique<DeviceCaptureService>();
}

bool capGetDriverDescriptionA(unsigned index, char* name, int nameSize, char* version, int versionSize)
{
    QString n;
    QString v;
    if (!CaptureServiceInstance().GetDriverDescription(index, n, v))
        return false;
    CopyText(n, name, nameSize);
    CopyText(v, version, versionSize);
    return true;
}

bool GetDriverIdentity(unsigned index, QString& identity)
{
    return CaptureServiceInstance().GetDriverIdentity(index, identity);
}

CaptureEngine* CreateCaptureEngine(const QString& name, QWidget* parent, const QRect& geometry)
{
    return CaptureServiceInstance().CreateEngine(name, parent, geometry);
}

}  // namespace platform
