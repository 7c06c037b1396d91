#include "app/DesktopEntry.h"

#include "app/ProgramFiles.h"
#include "app/Profiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace app {
namespace {

// Each icon's place in the user's icon theme and its resource in the program.
struct IconFile {
    const char* themePath;
    const char* resource;
};
constexpr IconFile kIcons[] = {
    {"icons/hicolor/scalable/apps/tarvo-lite.svg", ":/icons/tarvo-lite.svg"},
    {"icons/hicolor/48x48/apps/tarvo-lite.png", ":/icons/tarvo-lite-48.png"},
    {"icons/hicolor/256x256/apps/tarvo-lite.png", ":/icons/tarvo-lite-256.png"},
};

// A value of the "string" type: backslash and control characters escaped.
QString EscapeString(const QString& text)
{
    QString out;
    for (QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\t'))
            out += QStringLiteral("\\t");
        else
            out += c;
    }
    return out;
}

// One argument of an Exec line: quoted when it holds a reserved character,
// with the characters that stay special inside quotes escaped, and "%" doubled
// so that no field code is read into it. The line as a whole is then a string.
QString ExecArgument(const QString& argument)
{
    static const QString reserved = QStringLiteral(" \t\"'\\><~|&;$*?#()`");
    static const QString escapedInQuotes = QStringLiteral("\"`$\\");
    bool quote = false;
    for (QChar c : argument)
        quote = quote || reserved.contains(c);
    QString out;
    for (QChar c : argument) {
        if (c == QLatin1Char('%'))
            out += QStringLiteral("%%");
        else if (quote && escapedInQuotes.contains(c))
            out += QLatin1Char('\\') + c;
        else
            out += c;
    }
    return EscapeString(quote ? QLatin1Char('"') + out + QLatin1Char('"') : out);
}

QString WriteFile(const QString& path, const QByteArray& bytes)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return QStringLiteral("Could not create the folder %1").arg(QDir::toNativeSeparators(QFileInfo(path).path()));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return QStringLiteral("Could not write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
    return QString();
}

QByteArray Resource(const char* name)
{
    QFile file(QString::fromLatin1(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The Exec line's program and the profile's option.
QString ExecLine(const QString& executable, const QString& profile)
{
    QString line = ExecArgument(executable);
    if (!profile.isEmpty())
        line += QLatin1Char(' ') + QString::fromLatin1(kProfileArgument) + QLatin1Char(' ') + ExecArgument(profile);
    return line;
}

}  // namespace

QString DesktopId(const QString& profile)
{
    const QString id = QString::fromLatin1(kDesktopId);
    return profile.isEmpty() ? id : id + QLatin1Char('-') + profile;
}

QString UserDataHome()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString UserConfigHome()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

QString DesktopEntryText(const QString& executable, const QString& profile)
{
    const QString name = EscapeString(ProgramTitle(profile));
    const QString lines[] = {
        QStringLiteral("[Desktop Entry]"),
        QStringLiteral("Type=Application"),
        QStringLiteral("Name=") + name,
        QStringLiteral("GenericName=Webcam Surveillance"),
        QStringLiteral("Comment=Shows a webcam's live picture and keeps it current on your web page"),
        QStringLiteral("Icon=") + QString::fromLatin1(kDesktopId),
        QStringLiteral("TryExec=") + EscapeString(executable),
        QStringLiteral("Exec=") + ExecLine(executable, profile),
        QStringLiteral("Terminal=false"),
        QStringLiteral("Categories=AudioVideo;Video;"),
        QStringLiteral("Keywords=webcam;camera;surveillance;FTP;upload;"),
        QStringLiteral("StartupNotify=true"),
    };
    QString text;
    for (const QString& line : lines)
        text += line + QLatin1Char('\n');
    return text;
}

QStringList DesktopEntryFiles(const QString& dataHome, const QString& profile)
{
    const QString base = dataHome + QLatin1Char('/');
    QStringList files = {base + QStringLiteral("applications/") + DesktopId(profile) + QStringLiteral(".desktop")};
    for (const IconFile& icon : kIcons)
        files << base + QString::fromLatin1(icon.themePath);
    return files;
}

QString InstallDesktopEntry(const QString& dataHome, const QString& executable, const QString& profile)
{
    // A line break cannot be written into an entry's value.
    if (executable.contains(QLatin1Char('\n')) || executable.contains(QLatin1Char('\r')))
        return QStringLiteral("The program's path holds a line break: %1").arg(executable);
    const QStringList files = DesktopEntryFiles(dataHome, profile);
    // Icons first: a menu entry never points at an icon that is not there yet.
    for (std::size_t i = 0; i < std::size(kIcons); ++i) {
        const QByteArray bytes = Resource(kIcons[i].resource);
        if (bytes.isEmpty())
            return QStringLiteral("The icon %1 is missing from the program").arg(QString::fromLatin1(kIcons[i].resource));
        if (QString error = WriteFile(files[static_cast<int>(i) + 1], bytes); !error.isEmpty())
            return error;
    }
    return WriteFile(files[0], DesktopEntryText(executable, profile).toUtf8());
}

QString RemoveDesktopEntry(const QString& dataHome, bool* removed, const QString& profile)
{
    if (removed)
        *removed = false;
    QStringList files = DesktopEntryFiles(dataHome, profile);
    if (!profile.isEmpty())
        files = files.mid(0, 1);
    for (const QString& path : files) {
        QFile file(path);
        if (!file.exists())
            continue;
        if (!file.remove())
            return QStringLiteral("Could not remove %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        if (removed)
            *removed = true;
    }
    return QString();
}

QString SessionStartFile(const QString& configHome, const QString& profile)
{
    return configHome + QStringLiteral("/autostart/") + DesktopId(profile) + QStringLiteral(".desktop");
}

QString SessionStartText(const QString& executable, const QString& profile)
{
    const QString lines[] = {
        QStringLiteral("[Desktop Entry]"),
        QStringLiteral("Type=Application"),
        QStringLiteral("Name=") + EscapeString(ProgramTitle(profile)),
        QStringLiteral("Comment=Starts minimised with the desktop session"),
        QStringLiteral("Icon=") + QString::fromLatin1(kDesktopId),
        QStringLiteral("TryExec=") + EscapeString(executable),
        QStringLiteral("Exec=") + ExecLine(executable, profile) + QLatin1Char(' ') + QString::fromLatin1(kSessionStartArgument),
        QStringLiteral("Terminal=false"),
        QStringLiteral("X-GNOME-Autostart-enabled=true"),
    };
    QString text;
    for (const QString& line : lines)
        text += line + QLatin1Char('\n');
    return text;
}

bool SessionStartEnabled(const QString& configHome, const QString& executable, const QString& profile)
{
    QFile file(SessionStartFile(configHome, profile));
    // Another copy of the program at another path does not count as this one.
    return file.open(QIODevice::ReadOnly) && QString::fromUtf8(file.readAll()) == SessionStartText(executable, profile);
}

QString SetSessionStart(const QString& configHome, const QString& executable, bool on, const QString& profile)
{
    const QString path = SessionStartFile(configHome, profile);
    if (on) {
        if (executable.contains(QLatin1Char('\n')) || executable.contains(QLatin1Char('\r')))
            return QStringLiteral("The program's path holds a line break: %1").arg(executable);
        return WriteFile(path, SessionStartText(executable, profile).toUtf8());
    }
    QFile file(path);
    if (file.exists() && !file.remove())
        return QStringLiteral("Could not remove %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
    return QString();
}

}  // namespace app
