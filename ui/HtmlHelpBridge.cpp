#include "ui/HtmlHelpBridge.h"

#include "platform/help.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QWidget>

namespace apphelp {
namespace {

const char kContextProperty[] = "HelpContext";

struct State {
    QString helpFile = QString::fromLatin1(kHelpFileName);
    QPointer<QWidget> mainWindow;
    THelpEvent onHelp;
};

State& state()
{
    static State s;
    return s;
}

}  // namespace

QString LocateHelpFile(const QString& programFile)
{
    const QString name = QString::fromLatin1(kHelpFileName);
    if (programFile.isEmpty())
        return name;
    const QString beside = QFileInfo(programFile).absoluteDir().filePath(name);
    return QFileInfo::exists(beside) ? beside : name;
}

void SetHelpFile(const QString& fileName)
{
    state().helpFile = fileName;
}

const QString& HelpFile()
{
    return state().helpFile;
}

void SetMainWindow(QWidget* window)
{
    state().mainWindow = window;
}

QWidget* MainWindow()
{
    if (state().mainWindow)
        return state().mainWindow;
    return QApplication::activeWindow();
}

void SetOnHelp(THelpEvent handler)
{
    state().onHelp = std::move(handler);
}

bool HasOnHelp()
{
    return static_cast<bool>(state().onHelp);
}

bool HelpCommand(std::uint16_t command, std::int32_t data)
{
    if (!state().onHelp)
        return false;
    bool callHelp = true;
    // Copy: the handler may replace itself while it runs.
    const THelpEvent handler = state().onHelp;
    const bool result = handler(command, data, callHelp);
    // There is no older help engine to fall back on.
    return result || !callHelp;
}

bool HelpContext(std::int32_t context)
{
    return HelpCommand(HELP_CONTEXT, context);
}

void SetHelpContext(QObject* object, std::int32_t context)
{
    if (object)
        object->setProperty(kContextProperty, context);
}

std::int32_t HelpContextOf(const QObject* object)
{
    if (!object)
        return 0;
    const QVariant v = object->property(kContextProperty);
    return v.isValid() ? v.toInt() : 0;
}

std::int32_t HelpContextFor(const QWidget* widget)
{
    for (const QWidget* w = widget; w; w = w->parentWidget())
        if (const std::int32_t context = HelpContextOf(w))
            return context;
    return 0;
}

}  // namespace apphelp

namespace {

// A bridge installed before the application object exists gets its F1 filter
// once that object has been created.
TconHTMLHelp* pendingBridge = nullptr;

void InstallPendingBridge()
{
    if (pendingBridge && QCoreApplication::instance())
        QCoreApplication::instance()->installEventFilter(pendingBridge);
    pendingBridge = nullptr;
}

}  // namespace

TconHTMLHelp::TconHTMLHelp() = default;

TconHTMLHelp::~TconHTMLHelp()
{
    Remove();
}

void TconHTMLHelp::Install()
{
    if (installed_)
        return;
    installed_ = true;
    apphelp::SetOnHelp([this](std::uint16_t command, std::int32_t data, bool& callHelp) {
        return ApplicationHelp(command, data, callHelp);
    });
    if (QCoreApplication::instance()) {
        QCoreApplication::instance()->installEventFilter(this);
    } else {
        pendingBridge = this;
        static bool routineAdded = false;
        if (!routineAdded) {
            routineAdded = true;
            qAddPreRoutine(&InstallPendingBridge);
        }
    }
}

void TconHTMLHelp::Remove()
{
    if (!installed_)
        return;
    installed_ = false;
    apphelp::SetOnHelp({});
    if (pendingBridge == this)
        pendingBridge = nullptr;
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

std::pair<unsigned, std::uintptr_t> TconHTMLHelp::MapCommand(std::uint16_t command, std::int32_t data)
{
    // The data word is passed on as the unsigned value of its 32 bits.
    const auto passed = static_cast<std::uintptr_t>(static_cast<std::uint32_t>(data));
    switch (command) {
    case HELP_CONTEXT:
    case HELP_CONTEXTPOPUP: return {platform::HH_HELP_CONTEXT, passed};
    case HELP_QUIT: return {platform::HH_CLOSE_ALL, 0};
    case HELP_CONTENTS: return {platform::HH_DISPLAY_TOC, 0};
    case HELP_FINDER: return {platform::HH_DISPLAY_TOPIC, passed};
    case HELP_KEY: return {platform::HH_DISPLAY_INDEX, passed};
    default: return {platform::HH_DISPLAY_TOPIC, 0};
    }
}

bool TconHTMLHelp::ApplicationHelp(std::uint16_t command, std::int32_t data, bool& callHelp)
{
    callHelp = false;
    const auto [hhCommand, hhData] = MapCommand(command, data);
    platform::HtmlHelpA(apphelp::MainWindow(), apphelp::HelpFile(), hhCommand, hhData);
    return true;
}

bool TconHTMLHelp::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_F1 || key->modifiers() != Qt::NoModifier)
        return false;
    std::int32_t context = 0;
    if (auto* menu = qobject_cast<QMenu*>(watched)) {
        // A highlighted menu item with its own context wins; else the menu's.
        if (QAction* action = menu->activeAction())
            context = apphelp::HelpContextOf(action);
        if (!context)
            context = apphelp::HelpContextOf(menu->menuAction());
    }
    if (!context)
        if (auto* widget = qobject_cast<QWidget*>(watched))
            context = apphelp::HelpContextFor(widget);
    if (!context)
        return false;
    apphelp::HelpContext(context);
    return true;
}
