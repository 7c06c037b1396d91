#include "platform/application.h"

#include "platform/dialogs.h"
#include "platform/exception.h"
#include "platform/messages.h"

namespace platform {

Application::Application(int& argc, char** argv) : QApplication(argc, argv)
{
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
