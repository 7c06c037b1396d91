#include "capture/engine/CaptureService.h"

#include "capture/engine/CaptureDevice.h"
#include "capture/engine/CaptureWindow.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPointer>
#include <QWidget>

#include <cstring>
#include <unordered_map>

namespace platform {
namespace {

// GUI-thread only: capture windows live on the GUI thread and their workers
// never touch the registry.
struct Entry {
    CaptureWindowObject* object = nullptr;  // null for a widget window
    QPointer<QWidget> widget;               // widget windows only
    WNDPROC proc = nullptr;
    std::intptr_t userData = 0;
    WindowHandle parent = 0;
};

struct Registry {
    std::unordered_map<WindowHandle, Entry> windows;
    std::unordered_map<QWidget*, WindowHandle> widgetWindows;
    // Apart from the notification windows' range, never reused in a run.
    WindowHandle next = 0x70000001;
};

Registry& registry()
{
    static Registry r;
    return r;
}

Entry* find(WindowHandle window)
{
    auto& w = registry().windows;
    auto it = w.find(window);
    return it == w.end() ? nullptr : &it->second;
}

LRESULT ObjectWindowProc(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    Entry* e = find(window);
    return e && e->object ? e->object->WindowProc(msg, wParam, lParam) : 0;
}

Qt::MouseButtons ButtonsFromKeys(WPARAM keys)
{
    Qt::MouseButtons b;
    if (keys & MK_LBUTTON) b |= Qt::LeftButton;
    if (keys & MK_RBUTTON) b |= Qt::RightButton;
    if (keys & MK_MBUTTON) b |= Qt::MiddleButton;
    return b;
}

Qt::KeyboardModifiers ModifiersFromKeys(WPARAM keys)
{
    Qt::KeyboardModifiers m;
    if (keys & MK_SHIFT) m |= Qt::ShiftModifier;
    if (keys & MK_CONTROL) m |= Qt::ControlModifier;
    return m;
}

// A widget window turns mouse messages into the widget's own mouse events.
LRESULT WidgetWindowProc(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    Entry* e = find(window);
    if (!e || !e->widget)
        return 0;
    QEvent::Type type;
    Qt::MouseButton button = Qt::NoButton;
    switch (msg) {
    case WM_MOUSEMOVE: type = QEvent::MouseMove; break;
    case WM_LBUTTONDOWN: type = QEvent::MouseButtonPress; button = Qt::LeftButton; break;
    case WM_LBUTTONUP: type = QEvent::MouseButtonRelease; button = Qt::LeftButton; break;
    case WM_LBUTTONDBLCLK: type = QEvent::MouseButtonDblClick; button = Qt::LeftButton; break;
    case WM_RBUTTONDOWN: type = QEvent::MouseButtonPress; button = Qt::RightButton; break;
    case WM_RBUTTONUP: type = QEvent::MouseButtonRelease; button = Qt::RightButton; break;
    case WM_RBUTTONDBLCLK: type = QEvent::MouseButtonDblClick; button = Qt::RightButton; break;
    case WM_MBUTTONDOWN: type = QEvent::MouseButtonPress; button = Qt::MiddleButton; break;
    case WM_MBUTTONUP: type = QEvent::MouseButtonRelease; button = Qt::MiddleButton; break;
    case WM_MBUTTONDBLCLK: type = QEvent::MouseButtonDblClick; button = Qt::MiddleButton; break;
    default: return 0;
    }
    const QPointF local(static_cast<std::int16_t>(LoWord(lParam)), static_cast<std::int16_t>(HiWord(lParam)));
    QWidget* w = e->widget;
    QMouseEvent event(type, local, w->mapToGlobal(local), button, ButtonsFromKeys(wParam), ModifiersFromKeys(wParam));
    QCoreApplication::sendEvent(w, &event);
    return 0;
}

WindowHandle Register(Entry entry)
{
    Registry& r = registry();
    const WindowHandle h = r.next++;
    r.windows.emplace(h, std::move(entry));
    return h;
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

    WindowHandle CreateCaptureWindow(const QString& name, std::uint32_t style, int x, int y, int width, int height,
                                     WindowHandle parent, int id) override
    {
        if (parent != 0 && !find(parent))
            return 0;
        auto* window = new capture::CaptureWindow(parent, name, id);
        window->Move(x, y, width, height, false);
        if (style & WS_VISIBLE)
            window->show();
        return window->Handle();
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

CaptureWindowObject::CaptureWindowObject(WindowHandle parent) : parent_(parent)
{
    Entry e;
    e.object = this;
    e.proc = &ObjectWindowProc;
    e.parent = parent;
    handle_ = Register(std::move(e));
}

CaptureWindowObject::~CaptureWindowObject()
{
    registry().windows.erase(handle_);
}

LRESULT CaptureWindowObject::Dispatch(std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    return SendMessage(handle_, msg, wParam, lParam);
}

WindowHandle WidgetWindow(QWidget* widget)
{
    if (!widget)
        return 0;
    Registry& r = registry();
    auto it = r.widgetWindows.find(widget);
    if (it != r.widgetWindows.end())
        return it->second;
    Entry e;
    e.widget = widget;
    e.proc = &WidgetWindowProc;
    const WindowHandle h = Register(std::move(e));
    r.widgetWindows.emplace(widget, h);
    QObject::connect(widget, &QObject::destroyed, [widget, h] {
        Registry& reg = registry();
        reg.widgetWindows.erase(widget);
        reg.windows.erase(h);
    });
    return h;
}

QWidget* WindowWidget(WindowHandle window)
{
    Entry* e = find(window);
    if (!e)
        return nullptr;
    if (e->widget)
        return e->widget;
    return dynamic_cast<QWidget*>(e->object);
}

LRESULT SendMessage(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    Entry* e = find(window);
    if (!e || !e->proc)
        return 0;
    return e->proc(window, msg, wParam, lParam);
}

std::intptr_t GetWindowLong(WindowHandle window, int index)
{
    Entry* e = find(window);
    if (!e)
        return 0;
    switch (index) {
    case GWL_WNDPROC: return reinterpret_cast<std::intptr_t>(e->proc);
    case GWL_USERDATA: return e->userData;
    case GWL_HWNDPARENT: return static_cast<std::intptr_t>(e->parent);
    default: return 0;
    }
}

std::intptr_t SetWindowLong(WindowHandle window, int index, std::intptr_t value)
{
    Entry* e = find(window);
    if (!e)
        return 0;
    std::intptr_t previous = 0;
    switch (index) {
    case GWL_WNDPROC:
        previous = reinterpret_cast<std::intptr_t>(e->proc);
        e->proc = value ? reinterpret_cast<WNDPROC>(value) : (e->object ? &ObjectWindowProc : &WidgetWindowProc);
        break;
    case GWL_USERDATA:
        previous = e->userData;
        e->userData = value;
        break;
    default: break;
    }
    return previous;
}

LRESULT CallWindowProc(WNDPROC proc, WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    return proc ? proc(window, msg, wParam, lParam) : 0;
}

bool MoveWindow(WindowHandle window, int x, int y, int width, int height, bool repaint)
{
    Entry* e = find(window);
    if (!e)
        return false;
    if (e->object)
        e->object->Move(x, y, width, height, repaint);
    else if (e->widget)
        e->widget->setGeometry(x, y, width, height);
    return true;
}

bool DestroyWindow(WindowHandle window)
{
    Entry* e = find(window);
    if (!e || !e->object)
        return false;
    CaptureWindowObject* object = e->object;
    // The handle dies now, even when the object finishes later.
    registry().windows.erase(window);
    object->Destroy();
    return true;
}

bool IsCaptureWindow(WindowHandle window)
{
    Entry* e = find(window);
    return e && e->object;
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

WindowHandle capCreateCaptureWindowA(const char* name, std::uint32_t style, int x, int y, int width, int height,
                                     WindowHandle parent, int id)
{
    return CaptureServiceInstance().CreateCaptureWindow(QString::fromLocal8Bit(name ? name : ""), style, x, y,
                                                        width, height, parent, id);
}

}  // namespace platform
