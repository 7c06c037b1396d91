#pragma once
// The application object: no exception may cross Qt's event dispatch. What a
// handler lets escape is shown in the toolkit's standard error box.

#include <QApplication>

namespace platform {

class Application : public QApplication
{
    Q_OBJECT

public:
    Application(int& argc, char** argv);
    ~Application() override;

    bool notify(QObject* receiver, QEvent* event) override;

    // Folder of the running executable: settings, log and working files live there.
    static QString ProgramFolder();
};

// Shows an escaped exception the way the application object does.
void ShowUnhandledException(const std::exception& e);

}  // namespace platform
