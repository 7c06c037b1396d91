#include "tests/support/recording_services.h"

namespace testsupport {

std::intptr_t RecordingShell::ShellExecute(QWidget* parent, const QString& target, const QString& parameters,
                                           const QString& folder, int showCommand)
{
    calls.push_back({parent, target, parameters, folder, showCommand});
    return answer;
}

QWidget* RecordingHelp::HtmlHelp(QWidget* owner, const QString& file, unsigned command, std::uintptr_t data)
{
    calls.push_back({owner, file, command, data});
    return nullptr;
}

ScopedRecordingShell::ScopedRecordingShell()
{
    auto fake = std::make_unique<RecordingShell>();
    fake_ = fake.get();
    previous_ = platform::SetShell(std::move(fake));
}

ScopedRecordingShell::~ScopedRecordingShell()
{
    platform::SetShell(std::move(previous_));
}

ScopedRecordingHelp::ScopedRecordingHelp()
{
    auto fake = std::make_unique<RecordingHelp>();
    fake_ = fake.get();
    previous_ = platform::SetHelp(std::move(fake));
}

ScopedRecordingHelp::~ScopedRecordingHelp()
{
    platform::SetHelp(std::move(previous_));
}

}  // namespace testsupport
