#pragma once
// Shell open of a document or address with the desktop's default handler,
// behind one replaceable service so that tests can record what would open.

#include <QString>

#include <cstdint>
#include <memory>

class QWidget;

namespace platform {

// Show modes of the shell-open call.
enum ShowCommand : int {
    SW_HIDE = 0,
    SW_SHOWNORMAL = 1,
    SW_SHOWNOACTIVATE = 4,
};

// The platform's answer: above 32 is success; these are the failure values.
constexpr std::intptr_t SE_ERR_FNF = 2;           // file not found
constexpr std::intptr_t SE_ERR_ACCESSDENIED = 5;  // refused
constexpr std::intptr_t SE_ERR_NOASSOC = 31;      // no handler for the target
constexpr std::intptr_t kShellSuccess = 42;

class ShellService
{
public:
    virtual ~ShellService() = default;
    // Opens target with the default verb; answers > 32 on success.
    virtual std::intptr_t ShellExecute(QWidget* parent, const QString& target, const QString& parameters,
                                       const QString& folder, int showCommand) = 0;
};

ShellService& Shell();
// Installs a service and returns the previous one; null restores the desktop's.
std::unique_ptr<ShellService> SetShell(std::unique_ptr<ShellService> service);

// Convenience: the installed service's default-verb open.
inline std::intptr_t ShellExecute(QWidget* parent, const QString& target, const QString& parameters = {},
                                  const QString& folder = {}, int showCommand = SW_SHOWNORMAL)
{
    return Shell().ShellExecute(parent, target, parameters, folder, showCommand);
}

}  // namespace platform
