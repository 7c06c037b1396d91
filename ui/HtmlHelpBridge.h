#pragma once
// Application help: the help file name, help contexts on windows, menu items
// and actions, F1, and the help-request vocabulary (a command and a data word)
// that windows use. TconHTMLHelp turns every request into a call of the HTML
// help viewer.

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <utility>

class QWidget;

// Help requests.
constexpr std::uint16_t HELP_CONTEXT = 0x0001;
constexpr std::uint16_t HELP_QUIT = 0x0002;
constexpr std::uint16_t HELP_CONTENTS = 0x0003;
constexpr std::uint16_t HELP_CONTEXTPOPUP = 0x0008;
constexpr std::uint16_t HELP_FINDER = 0x000B;
constexpr std::uint16_t HELP_KEY = 0x0101;

namespace apphelp {

// Handler of help requests: sets callHelp to false when it served the request.
using THelpEvent = std::function<bool(std::uint16_t command, std::int32_t data, bool& callHelp)>;

inline constexpr char kHelpFileName[] = "TarvoLt.chm";

// The help file for a program file: the full path of "TarvoLt.chm" beside it
// when that exists, otherwise the bare name.
QString LocateHelpFile(const QString& programFile);

void SetHelpFile(const QString& fileName);
const QString& HelpFile();
// The window that owns the help viewer (the main window); the active window when unset.
void SetMainWindow(QWidget* window);
QWidget* MainWindow();

void SetOnHelp(THelpEvent handler);
bool HasOnHelp();

// The application's help request; false when nobody served it.
bool HelpCommand(std::uint16_t command, std::int32_t data);
bool HelpContext(std::int32_t context);

// Help context numbers of widgets, menus and actions (0 = none).
void SetHelpContext(QObject* object, std::int32_t context);
std::int32_t HelpContextOf(const QObject* object);
// The context that applies to a widget: its own or its nearest parent's.
std::int32_t HelpContextFor(const QWidget* widget);

}  // namespace apphelp

// The bridge from help requests to the HTML help viewer. Install it before
// the windows are created and remove it at the end of the program.
class TconHTMLHelp : public QObject
{
    Q_OBJECT

public:
    TconHTMLHelp();
    ~TconHTMLHelp() override;

    // Becomes the application's help handler and answers F1 with the context
    // of the focused window or the highlighted menu item.
    void Install();
    void Remove();
    bool Installed() const { return installed_; }

    // The handler: maps the request and calls the viewer; always handled.
    bool ApplicationHelp(std::uint16_t command, std::int32_t data, bool& callHelp);

    // The viewer command and data for a help request.
    static std::pair<unsigned, std::uintptr_t> MapCommand(std::uint16_t command, std::int32_t data);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool installed_ = false;
};
