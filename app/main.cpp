#include "app/CommandLine.h"
#include "app/DesktopEntry.h"
#include "app/Forms.h"
#include "app/Main.h"
#include "app/ProgramFiles.h"
#include "app/Profiles.h"
#include "platform/application.h"
#include "ui/HtmlHelpBridge.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv)
{
    // Options are settled before any window can open, so that they work
    // without a display.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const app::CommandLine command = app::ParseCommandLine(arguments);
    if (command.action != app::CommandLineAction::Run) {
        QCoreApplication core(argc, argv);
        return app::RunCommandLine(command);
    }

    TconHTMLHelp helpBridge;
    helpBridge.Install();

    platform::Application app(argc, argv);
    app.setApplicationName(QString::fromLatin1(app::kProgramName));
    app.setDesktopFileName(QString::fromLatin1(app::kDesktopId));
    app.setWindowIcon(QIcon(QStringLiteral(":/icons/tarvo-lite-256.png")));
    apphelp::SetHelpFile(QString::fromLatin1(apphelp::kHelpFileName));
    // The program ends when the main window has closed, whatever else is open.
    app.setQuitOnLastWindowClosed(false);

    // One process per profile: a second start shows the running one's window.
    const app::ProgramFiles files = app::ProgramFiles::OfExecutable(command.profile);
    app::TProfileInstance instance(files.Folder());
    if (!instance.Acquire()) {
        helpBridge.Remove();
        return instance.AskRunningToShow() ? 0 : 1;
    }

    // A session logout or a service stop closes the window as its close box
    // does: settings saved, stop pictures uploaded, working files deleted;
    // also when it comes during the start-up.
    TForms forms(files, true);
    TMain* main = forms.Main();
    instance.OnShowRequested = [main] { main->BringToFront(); };
    QObject::connect(main, &TMain::CloseCompleted, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    if (main->Closed()) {
        helpBridge.Remove();
        return 0;
    }

    forms.ShowMain(command.sessionStart);
    const int result = app.exec();
    helpBridge.Remove();
    return result;
}
