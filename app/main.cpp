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

    // A session logout or a service stop closes the window as its close box
    // does: settings saved, stop pictures uploaded, working files deleted;
    // also when it comes during the start-up.
    TForms forms(QString(), true);
    TMain* main = forms.Main();
    QObject::connect(main, &TMain::CloseCompleted, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    if (main->Closed()) {
        helpBridge.Remove();
        return 0;
    }

    // An auto start uploads before the window shows.
    if (main->SequenceRunning())
        QObject::connect(main, &TMain::SequenceFinished, main, [main] { main->show(); }, Qt::SingleShotConnection);
    else
        main->show();
    const int result = app.exec();
    helpBridge.Remove();
    return result;
}
