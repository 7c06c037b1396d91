#pragma once
// The program's few command-line options. Settings come from the program
// folder's files only; an option either does its job and ends the program,
// or the program refuses to start.

#include <QStringList>

namespace app {

enum class CommandLineAction { Run, Help, Version, InstallDesktopEntry, RemoveDesktopEntry, Refuse };

struct CommandLine {
    CommandLineAction action = CommandLineAction::Run;
    QString error;  // why the command line was refused
    // Run: started with the desktop session (kSessionStartArgument), to open minimised.
    bool sessionStart = false;
    // --profile NAME: the named profile's folders, entry and session start; empty for none.
    QString profile;
};

// arguments: without the program's own name.
CommandLine ParseCommandLine(const QStringList& arguments);

// Runs every action but Run, writing to stdout and stderr; answers the exit
// code: 0 done, 1 failed, 2 refused command line. Needs an application object.
int RunCommandLine(const CommandLine& command);

}  // namespace app
