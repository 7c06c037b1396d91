#pragma once
// Private-profile (INI) files: sections in square brackets, "key=value" lines.
//
// Every call opens the file by name and lets go of it; nothing is cached.
// Section and key names compare case-insensitively; the first occurrence
// wins. Reads trim the blanks around a value and strip one pair of matching
// quotes; writes quote a value that would otherwise not read back unchanged.
// A write replaces the file atomically (temporary file in the same folder,
// then rename), keeps every other line byte for byte and creates the file and
// the section when absent.

#include <QString>

namespace platform {

// Size of the caller's buffer: reads return at most this minus one characters.
constexpr int kProfileBufferSize = 2048;

// The value of key in section, or defaultValue when the file, the section or
// the key is missing. Cut to bufferSize - 1 characters.
QString GetPrivateProfileString(const QString& section, const QString& key, const QString& defaultValue,
                                const QString& fileName, int bufferSize = kProfileBufferSize);

enum class ProfileFileMode {
    Default,    // a new file gets the usual mode, an existing file keeps its own
    OwnerOnly,  // the file is (re)written readable and writable by its owner only
};

// Sets key in section to value. False when the file cannot be written (the
// file is then unchanged) or when a name or the value holds a line break or
// a character that would change the file's structure.
bool WritePrivateProfileString(const QString& section, const QString& key, const QString& value,
                               const QString& fileName, ProfileFileMode mode = ProfileFileMode::Default);

// Removes a key line; true when the file is as asked afterwards.
bool DeletePrivateProfileKey(const QString& section, const QString& key, const QString& fileName,
                             ProfileFileMode mode = ProfileFileMode::Default);

// Removes a section with all its lines; true when the file is as asked afterwards.
bool DeletePrivateProfileSection(const QString& section, const QString& fileName,
                                 ProfileFileMode mode = ProfileFileMode::Default);

}  // namespace platform
