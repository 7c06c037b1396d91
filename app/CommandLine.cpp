#include "app/CommandLine.h"

#include "app/DesktopEntry.h"
#include "app/ProgramFiles.h"
#include "app/Profiles.h"
#include "ui/FileVersion.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

#include <cstdio>

namespace app {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;

struct Option {
    const char* name;
    CommandLineAction action;
};
constexpr Option kOptions[] = {
    {"--help", CommandLineAction::Help},
    {"-h", CommandLineAction::Help},
    {"--version", CommandLineAction::Version},
    {"--install-desktop-entry", CommandLineAction::InstallDesktopEntry},
    {"--remove-desktop-entry", CommandLineAction::RemoveDesktopEntry},
};

// Where this program keeps its files, as ProgramFiles decides it.
QString FoldersText(const QString& profile)
{
    const ProgramFiles files = ProgramFiles::OfExecutable(profile);
    const QString data = QDir::toNativeSeparators(files.Folder());
    if (!files.SeparateDataFolder())
        return QStringLiteral("Settings, the error log and the working pictures live in the program's own\n"
                              "folder:\n  %1\n").arg(data);
    return QStringLiteral("Settings, the error log, snapshots, videos and the working pictures live in\n"
                          "your data folder:\n  %1\n"
                          "The help file, the stop pictures and the web page are read from:\n  %2\n")
        .arg(data, QDir::toNativeSeparators(files.ShippedFolder()));
}

QString HelpText(const QString& dataHome, const QString& profile)
{
    const QString entry = QDir::toNativeSeparators(DesktopEntryFiles(dataHome, profile).constFirst());
    return QStringLiteral(
               "Usage: tarvo-lite [--profile NAME] [OPTION]\n"
               "Webcam surveillance over the Internet: shows a camera's live picture and\n"
               "uploads it by FTP to your web space every few minutes.\n"
               "\n"
               "Without an option the program window opens.\n%1"
               "\n"
               "Options:\n"
               "  --profile NAME           run the camera profile NAME (letters, digits,\n"
               "                           spaces, - and _), with its own settings, log,\n"
               "                           menu entry and session start; with another\n"
               "                           option, that option acts for the profile\n"
               "  --install-desktop-entry  add the program, with its icon, to the desktop's\n"
               "                           application menu:\n"
               "                           %2\n"
               "  --remove-desktop-entry   take the menu entry and the icon away again\n"
               "  --session-start          open minimised (to the tray where there is one), as\n"
               "                           \"Start with the desktop session\" in the network\n"
               "                           settings starts it\n"
               "  --version                print the version and exit\n"
               "  -h, --help               print this help and exit\n")
        .arg(FoldersText(profile), entry);
}

QString VersionText()
{
    TrsFileVersion version;
    version.GetVersionInfo(QCoreApplication::applicationFilePath());
    return QString::fromLatin1(kProgramName) + QLatin1Char(' ') + version.VersionAndBuild() + QLatin1Char('\n');
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments)
{
    CommandLine result;
    auto refuse = [&result](const QString& error) {
        result.error = error;
        result.action = CommandLineAction::Refuse;
        result.profile.clear();
        return result;
    };
    const QString profileOption = QString::fromLatin1(kProfileArgument);
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        // The profile goes with any action: it says whose files the action touches.
        if (argument == profileOption || argument.startsWith(profileOption + QLatin1Char('='))) {
            if (!result.profile.isEmpty())
                return refuse(QStringLiteral("one profile at a time, please"));
            QString name;
            if (argument != profileOption)
                name = argument.mid(profileOption.size() + 1);
            else if (i + 1 < arguments.size())
                name = arguments[++i];
            else
                return refuse(QStringLiteral("option '%1' needs a profile name").arg(profileOption));
            if (const QString error = ProfileNameError(name); !error.isEmpty())
                return refuse(error);
            result.profile = name;
            continue;
        }
        // Opens the window as a desktop session starts it: no option of its own.
        if (argument == QLatin1String(kSessionStartArgument) && result.action == CommandLineAction::Run) {
            result.sessionStart = true;
            continue;
        }
        if (argument == QLatin1String(kSessionStartArgument))
            return refuse(QStringLiteral("one option at a time, please"));
        CommandLineAction action = CommandLineAction::Refuse;
        for (const Option& option : kOptions) {
            if (argument == QLatin1String(option.name))
                action = option.action;
        }
        if (action == CommandLineAction::Refuse)
            return refuse(argument.startsWith(QLatin1Char('-')) ? QStringLiteral("unknown option '%1'").arg(argument)
                                                                 : QStringLiteral("unexpected argument '%1'").arg(argument));
        if ((result.action != CommandLineAction::Run && result.action != action) || result.sessionStart)
            return refuse(QStringLiteral("one option at a time, please"));
        result.action = action;
    }
    return result;
}

int RunCommandLine(const CommandLine& command)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QString dataHome = UserDataHome();
    switch (command.action) {
    case CommandLineAction::Run:
        return 0;
    case CommandLineAction::Refuse:
        err << "tarvo-lite: " << command.error << "\nTry 'tarvo-lite --help' for the options.\n";
        return kExitRefused;
    case CommandLineAction::Help:
        out << HelpText(dataHome, command.profile);
        return 0;
    case CommandLineAction::Version:
        out << VersionText();
        return 0;
    case CommandLineAction::InstallDesktopEntry:
        if (const QString error = InstallDesktopEntry(dataHome, QCoreApplication::applicationFilePath(), command.profile);
            !error.isEmpty()) {
            err << "tarvo-lite: " << error << '\n';
            return kExitFailed;
        }
        out << "Added to the application menu: "
            << QDir::toNativeSeparators(DesktopEntryFiles(dataHome, command.profile).constFirst()) << '\n';
        return 0;
    case CommandLineAction::RemoveDesktopEntry: {
        bool removed = false;
        if (const QString error = RemoveDesktopEntry(dataHome, &removed, command.profile); !error.isEmpty()) {
            err << "tarvo-lite: " << error << '\n';
            return kExitFailed;
        }
        // Nothing there is no failure: the menu is as asked either way.
        out << (removed ? "Removed from the application menu.\n"
                        : "Nothing to remove: the program has no entry in the application menu.\n");
        return 0;
    }
    }
    return kExitFailed;
}

}  // namespace app
