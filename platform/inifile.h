#pragma once
// Settings file access on top of the private-profile functions: text,
// integers and Booleans, and a write that fails loudly.

#include "platform/exception.h"
#include "platform/profile.h"

#include <QString>

#include <memory>

namespace platform {

// Raised when a settings file cannot be written: "Unable to write to <file>".
TARVO_DECLARE_EXCEPTION(EIniFileException, Exception);

// Integer value of text, or defaultValue when the text is not an integer.
// "0x" / "0X" followed by digits, and "$" followed by digits, are
// hexadecimal (up to 32 bits, taken as a signed value); a sign may lead.
int StrToIntDef(const QString& text, int defaultValue);

class IniFile
{
public:
    explicit IniFile(QString fileName, ProfileFileMode mode = ProfileFileMode::Default);
    ~IniFile();
    IniFile(IniFile&&) noexcept;

    const QString& FileName() const { return fileName_; }
    bool Exists() const;

    QString ReadString(const QString& section, const QString& key, const QString& defaultValue) const;
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
    // Any integer other than 0 is true; a missing or non-integer value gives the default.
    bool ReadBool(const QString& section, const QString& key, bool defaultValue) const;
    // The key names of a section, in file order.
    QStringList ReadKeys(const QString& section) const;

    // Each raises EIniFileException when the file refuses the write.
    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value);
    // Removes the section with all its keys; raises as the writes do.
    void EraseSection(const QString& section);

    // Makes the writes that follow until Commit one write of the whole file:
    // they change a copy in memory (the reads see them), and Commit replaces
    // the file with it at once. A write that raises, or an object that goes
    // away uncommitted, leaves the file as it was. Raises EIniFileException
    // when the file exists but cannot be read.
    void BeginUpdate();
    // Raises EIniFileException when the file refuses the write.
    void Commit();

private:
    QString fileName_;
    ProfileFileMode mode_;
    std::unique_ptr<ProfileEdit> edit_;  // while an update is open
};

// The message of a failed write, as users see it.
QString UnableToWriteMessage(const QString& fileName);

}  // namespace platform
