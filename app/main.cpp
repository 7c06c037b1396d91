#include "app/Forms.h"
#include "app/Main.h"
#include "app/ProgramFiles.h"
#include "platform/application.h"
#include "ui/HtmlHelpBridge.h"

#include <QApplication>

int main(int argc, char** argv)
{
    TconHTMLHelp helpBridge;
    helpBridge.Install();

    platform::Application app(argc, argv);
    app.setApplicationName(QString::fromLatin1(app::kProgramName));
    apphelp::SetHelpFile(QString::fromLatin1(apphelp::kHelpFileName));
    // The program ends when the main window has closed, whatever else is open.
    app.setQuitOnLastWindowClosed(false);

    TForms forms;
    TMain* main = forms.Main();
    QObject::connect(main, &TMain::CloseCompleted, &app, &QCoreApplication::quit, Qt::QueuedConnection);

    // A session logout or a service stop closes the window as its close box
    // does: settings saved, stop pictures uploaded, working files deleted.
    forms.CloseOnTermination();

    main->show();
    const int result = app.exec();
    helpBridge.Remove();
    return result;
}
