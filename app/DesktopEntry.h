#pragma once
// The program's entry in the desktop's application menu: a desktop entry and
// its icon in the user's icon theme, written for the executable's real path.

#include <QString>
#include <QStringList>

namespace app {

// The entry's file name without ".desktop", and the icon's name in the theme.
inline constexpr char kDesktopId[] = "tarvo-lite";

// A profile's entry and session start: "tarvo-lite-Garden" for the profile
// Garden, kDesktopId without one.
QString DesktopId(const QString& profile);

// The user's data folder, where menus and icon themes look:
// $XDG_DATA_HOME, or ~/.local/share.
QString UserDataHome();

// The entry's text for the executable at this path.
QString DesktopEntryText(const QString& executable, const QString& profile = QString());

// The files the entry consists of, under dataHome: the entry first, then the icons.
QStringList DesktopEntryFiles(const QString& dataHome, const QString& profile = QString());

// Writes the entry and the icons; answers an error text, empty on success.
QString InstallDesktopEntry(const QString& dataHome, const QString& executable, const QString& profile = QString());
// Removes whichever of the files exist; answers an error text, empty on
// success. removed: whether any of them existed. A profile's removal keeps
// the icons, which the other entries share.
QString RemoveDesktopEntry(const QString& dataHome, bool* removed = nullptr, const QString& profile = QString());

// Starting with the desktop session: an XDG autostart entry that runs the
// executable with this argument.
inline constexpr char kSessionStartArgument[] = "--session-start";
// The option that names a profile, followed by its name.
inline constexpr char kProfileArgument[] = "--profile";

// The user's configuration folder, where the autostart entries live:
// $XDG_CONFIG_HOME, or ~/.config.
QString UserConfigHome();
// The autostart entry's file under configHome.
QString SessionStartFile(const QString& configHome, const QString& profile = QString());
// Its text for the executable at this path.
QString SessionStartText(const QString& executable, const QString& profile = QString());
// Whether the entry is there and starts this executable.
bool SessionStartEnabled(const QString& configHome, const QString& executable, const QString& profile = QString());
// Writes (on) or removes (off) the entry; answers an error text, empty on success.
QString SetSessionStart(const QString& configHome, const QString& executable, bool on, const QString& profile = QString());

}  // namespace app
