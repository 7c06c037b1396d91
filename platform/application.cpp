#include "platform/application.h"

#include "platform/dialogs.h"
#include "platform/exception.h"
#include "platform/messages.h"

#include <malloc.h>

namespace platform {

Application::Application(int& argc, char** argv) : QApplication(argc, argv)
{
    // Frames (a megabyte and more each) come from their own mappings and go
    // back to the system when freed. Left to itself, the allocator raises this
    // threshold after the first frees, and HD frames then fragment the heap,
    // which grows for weeks of ticks.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    SetApplicationTerminated(false);
    connect(this, &QCoreApplication::aboutToQuit, [] { SetApplicationTerminated(true); });
}

Application::~Application()
{
    SetApplicationTerminated(true);
}

bool Application::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowUnhandledException(e);
    } catch (...) {
        Dialogs().ShowException(QStringLiteral("Unknown error"));
    }
    return false;
}

QString Application::ProgramFolder()
{
    return QCoreApplication::applicationDirPath();
}

void ShowUnhandledException(const std::exception& e)
{
    if (const auto* ex = dynamic_cast<const Exception*>(&e))
        Dialogs().ShowException(ex->Message());
    else
        Dialogs().ShowException(QString::fromUtf8(e.what()));
}

}  // namespace platform
