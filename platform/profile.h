#pragma once
// Private-profile (INI) files: sections in square brackets, "key=value" lines.
//
// Every call opens the file by name and lets go of it; nothing is cached.
// Section and key names compare case-insensitively; the first occurrence
// wins. Reads trim the blanks around a value and strip one pair of matching
// quotes; writes quote a value that would otherwise not read back unchanged.
// A write replaces the file atomically (temporary file in the same folder,
// then rename), keeps every other line byte for byte and creates the file and
// the section when absent. A ProfileEdit makes several changes with one such
// write.

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace platform {

// Size of the caller's buffer: reads return at most this minus one characters.
constexpr int kProfileBufferSize = 2048;

// The value of key in section, or defaultValue when the file, the section or
// the key is missing. Cut to bufferSize - 1 characters.
QString GetPrivateProfileString(const QString& section, const QString& key, const QString& defaultValue,
                                const QString& fileName, int bufferSize = kProfileBufferSize);

// The key names of section (ProfileEdit::Keys); empty when the file or the
// section is missing.
QStringList GetPrivateProfileKeys(const QString& section, const QString& fileName);

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

// Several changes to one file, made on a copy in memory under the rules
// above and written back by one atomic replacement of the whole file, so that
// a crash leaves the file as it was before the edit or as it is after it.
class ProfileEdit
{
public:
    // Reads the file; a missing file is an empty one.
    explicit ProfileEdit(QString fileName);
    ~ProfileEdit();
    ProfileEdit(const ProfileEdit&) = delete;
    ProfileEdit& operator=(const ProfileEdit&) = delete;

    // False when the file exists but could not be read: it must not be
    // rewritten then, as its other lines would be lost.
    bool Loaded() const { return loaded_; }

    // As GetPrivateProfileString, on the copy.
    QString Get(const QString& section, const QString& key, const QString& defaultValue,
                int bufferSize = kProfileBufferSize) const;
    // The key names of a section in file order, as the file spells them,
    // each once; empty when the section is missing.
    QStringList Keys(const QString& section) const;
    // As WritePrivateProfileString and the deletes, on the copy; false for
    // what they refuse (the copy is then unchanged).
    bool Set(const QString& section, const QString& key, const QString& value);
    bool DeleteKey(const QString& section, const QString& key);
    bool DeleteSection(const QString& section);

    // Writes the copy over the file when anything changed; false when the
    // file cannot be written (it is then unchanged).
    bool Commit(ProfileFileMode mode = ProfileFileMode::Default);

private:
    struct Text;
    QString fileName_;
    std::unique_ptr<Text> text_;
    bool loaded_ = false;
    bool changed_ = false;
};

// A folder that refuses the temporary file but holds a writable file gets
// that file rewritten in place, which a crash can cut short. The report, when
// set, hears of it once per file name and process, after the write.
void SetInPlaceWriteReport(std::function<void(const QString& fileName)> report);

}  // namespace platform
