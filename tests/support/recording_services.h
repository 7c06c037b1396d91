#pragma once
// Recording stand-ins for the shell-open and help-viewer services: they answer
// as configured and keep every request, so tests see what would have opened.

#include "platform/help.h"
#include "platform/shell.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace testsupport {

class RecordingShell final : public platform::ShellService
{
public:
    struct Call {
        QWidget* parent;
        QString target;
        QString parameters;
        QString folder;
        int showCommand;
    };
    std::vector<Call> calls;
    std::intptr_t answer = platform::kShellSuccess;

    std::intptr_t ShellExecute(QWidget* parent, const QString& target, const QString& parameters,
                               const QString& folder, int showCommand) override;
};

class RecordingHelp final : public platform::HelpService
{
public:
    struct Call {
        QWidget* owner;
        QString file;
        unsigned command;
        std::uintptr_t data;
    };
    std::vector<Call> calls;

    QWidget* HtmlHelp(QWidget* owner, const QString& file, unsigned command, std::uintptr_t data) override;
};

// Installs a RecordingShell for the lifetime of this object.
class ScopedRecordingShell
{
public:
    ScopedRecordingShell();
    ~ScopedRecordingShell();
    RecordingShell* operator->() { return fake_; }

private:
    RecordingShell* fake_;
    std::unique_ptr<platform::ShellService> previous_;
};

// Installs a RecordingHelp for the lifetime of this object.
class ScopedRecordingHelp
{
public:
    ScopedRecordingHelp();
    ~ScopedRecordingHelp();
    RecordingHelp* operator->() { return fake_; }

private:
    RecordingHelp* fake_;
    std::unique_ptr<platform::HelpService> previous_;
};

}  // namespace testsupport
