#pragma once
// The File menu's camera profiles: "New Camera Profile..." asks for a name,
// makes the profile and starts it; "Open Camera Profile" lists the profiles
// and starts the one chosen. Each profile runs as a process of its own.

#include <QObject>
#include <QString>

#include <functional>

class QAction;
class QMenu;
class QWidget;

namespace app {

class ProgramFiles;

class TProfileMenu : public QObject
{
public:
    // Puts the two items into fileMenu before `before`; files: this process's folders.
    TProfileMenu(QMenu& fileMenu, QAction* before, const ProgramFiles& files, QWidget& window);

    // Starts a process on the named profile; answers an error text, empty when
    // started. Defaults to this executable with --profile.
    std::function<QString(const QString& profile)> OnStartProfile;

    void NewProfileClick();
    // Starts a profile; tells the user when it could not be started.
    void OpenProfile(const QString& name);

private:
    void FillOpenMenu();

    const ProgramFiles& files_;
    QWidget& window_;
    QMenu* openMenu_ = nullptr;
};

}  // namespace app
