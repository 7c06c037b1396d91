#include "app/ProfileMenu.h"

#include "app/ProgramFiles.h"
#include "app/Profiles.h"
#include "platform/dialogs.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QInputDialog>
#include <QMenu>
#include <QProcess>

namespace app {
namespace {

QString StartProcess(const QString& profile)
{
    if (!QProcess::startDetached(QCoreApplication::applicationFilePath(), {QStringLiteral("--profile"), profile}))
        return QStringLiteral("The profile %1 could not be started.").arg(profile);
    return QString();
}

}  // namespace

TProfileMenu::TProfileMenu(QMenu& fileMenu, QAction* before, const ProgramFiles& files, QWidget& window)
    : QObject(&window), OnStartProfile(StartProcess), files_(files), window_(window)
{
    auto* create = new QAction(QStringLiteral("New Camera Profile..."), &fileMenu);
    create->setObjectName(QStringLiteral("menuNewProfile"));
    connect(create, &QAction::triggered, this, [this] { NewProfileClick(); });
    openMenu_ = new QMenu(QStringLiteral("Open Camera Profile"), &fileMenu);
    openMenu_->setObjectName(QStringLiteral("menuOpenProfile"));
    // Listed when opened: another process may have made one meanwhile.
    connect(openMenu_, &QMenu::aboutToShow, this, [this] { FillOpenMenu(); });
    FillOpenMenu();
    fileMenu.insertAction(before, create);
    fileMenu.insertMenu(before, openMenu_);
    fileMenu.insertSeparator(before);
}

void TProfileMenu::FillOpenMenu()
{
    openMenu_->clear();
    const QStringList names = ProfileNames(files_);
    for (const QString& name : names) {
        QAction* item = openMenu_->addAction(name);
        item->setObjectName(QStringLiteral("menuProfile_") + name);
        // The profile this window runs is already open.
        item->setEnabled(name != files_.Profile());
        connect(item, &QAction::triggered, this, [this, name] { OpenProfile(name); });
    }
    if (names.isEmpty())
        openMenu_->addAction(QStringLiteral("(no camera profiles yet)"))->setEnabled(false);
}

void TProfileMenu::NewProfileClick()
{
    QString name;
    for (;;) {
        QInputDialog ask(&window_);
        ask.setObjectName(QStringLiteral("NewProfileDialog"));
        ask.setWindowTitle(QStringLiteral("New Camera Profile"));
        ask.setLabelText(QStringLiteral("Name of the new profile (one per camera, e.g. Garden):"));
        ask.setTextValue(name);
        if (ask.exec() != QDialog::Accepted)
            return;
        name = ask.textValue().trimmed();
        QString error = ProfileNameError(name);
        if (error.isEmpty() && ProfileNames(files_).contains(name, Qt::CaseInsensitive))
            error = QStringLiteral("A profile named %1 exists already; open it from \"Open Camera Profile\".").arg(name);
        if (error.isEmpty())
            break;
        platform::Dialogs().MessageDlg(error, platform::MsgDlgType::Warning, platform::mbOK);
    }
    const QString folder = ProgramFiles::ForProfile(files_, name).Folder();
    if (!QDir().mkpath(folder)) {
        platform::Dialogs().MessageDlg(QStringLiteral("Could not create the folder %1").arg(QDir::toNativeSeparators(folder)),
                                       platform::MsgDlgType::Error, platform::mbOK);
        return;
    }
    // A new profile has no settings yet, so its first run opens the wizard.
    OpenProfile(name);
}

void TProfileMenu::OpenProfile(const QString& name)
{
    if (const QString error = OnStartProfile ? OnStartProfile(name) : QString(); !error.isEmpty())
        platform::Dialogs().MessageDlg(error, platform::MsgDlgType::Error, platform::mbOK);
}

}  // namespace app
