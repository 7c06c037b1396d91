#pragma once
// The program's entry in the desktop's application menu: a desktop entry and
// its icon in the user's icon theme, written for the executable's real path.

#include <QString>
#include <QStringList>

namespace app {

// The entry's file name without ".desktop", and the icon's name in the theme.
inline constexpr char kDesktopId[] = "tarvo-lite";

// The user's data folder, where menus and icon themes look:
// $XDG_DATA_HOME, or ~/.local/share.
QString UserDataHome();

// The entry's text for the executable at this path.
QString DesktopEntryText(const QString& executable);

// The files the entry consists of, under dataHome: the entry first, then the icons.
QStringList DesktopEntryFiles(const QString& dataHome);

// Writes the entry and the icons; answers an error text, empty on success.
QString InstallDesktopEntry(const QString& dataHome, const QString& executable);
// Removes whichever of the files exist; answers an error text, empty on
// success. removed: whether any of them existed.
QString RemoveDesktopEntry(const QString& dataHome, bool* removed = nullptr);

// Starting with the desktop session: an XDG autostart entry that runs the
// executable with this argument.
inline constexpr char kSessionStartArgument[] = "--session-start";

// The user's configuration folder, where the autostart entries live:
// $XDG_CONFIG_HOME, or ~/.config.
QString UserConfigHome();
// The autostart entry's file under configHome.
QString SessionStartFile(const QString& configHome);
// Its text for the executable at this path.
QString SessionStartText(const QString& executable);
// Whether the entry is there and starts this executable.
bool SessionStartEnabled(const QString& configHome, const QString& executable);
// Writes (on) or removes (off) the entry; answers an error text, empty on success.
QString SetSessionStart(const QString& configHome, const QString& executable, bool on);

}  // namespace app
