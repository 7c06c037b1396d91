#include "platform/inifile.h"

#include <QFileInfo>

#include <limits>

namespace platform {

int StrToIntDef(const QString& text, int defaultValue)
{
    QStringView s(text);
    bool negative = false;
    if (!s.isEmpty() && (s.front() == QLatin1Char('-') || s.front() == QLatin1Char('+'))) {
        negative = s.front() == QLatin1Char('-');
        s = s.mid(1);
    }
    int base = 10;
    if (s.startsWith(QLatin1Char('$'))) {
        base = 16;
        s = s.mid(1);
    } else if (s.size() > 2 && (s.startsWith(QLatin1String("0x")) || s.startsWith(QLatin1String("0X")))) {
        base = 16;
        s = s.mid(2);
    }
    if (s.isEmpty())
        return defaultValue;
    for (QChar c : s) {
        const bool digit = c >= QLatin1Char('0') && c <= QLatin1Char('9');
        const bool hexLetter = (c >= QLatin1Char('a') && c <= QLatin1Char('f')) || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
        if (!digit && !(base == 16 && hexLetter))
            return defaultValue;
    }
    bool ok = false;
    const qulonglong magnitude = s.toULongLong(&ok, base);
    if (!ok)
        return defaultValue;
    if (base == 16) {
        // Hexadecimal spells the 32 bits of the value: $FFFFFFFF is -1.
        if (magnitude > std::numeric_limits<quint32>::max())
            return defaultValue;
        const auto bits = static_cast<qint64>(static_cast<qint32>(static_cast<quint32>(magnitude)));
        const qint64 value = negative ? -bits : bits;
        return value > std::numeric_limits<int>::max() ? defaultValue : static_cast<int>(value);
    }
    const qint64 value = negative ? -static_cast<qint64>(magnitude) : static_cast<qint64>(magnitude);
    if (magnitude > static_cast<qulonglong>(std::numeric_limits<qint64>::max())
        || value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return defaultValue;
    return static_cast<int>(value);
}

QString UnableToWriteMessage(const QString& fileName)
{
    return QStringLiteral("Unable to write to %1").arg(fileName);
}

IniFile::IniFile(QString fileName, ProfileFileMode mode) : fileName_(std::move(fileName)), mode_(mode) {}

IniFile::~IniFile() = default;

IniFile::IniFile(IniFile&&) noexcept = default;

bool IniFile::Exists() const
{
    return QFileInfo::exists(fileName_);
}

QString IniFile::ReadString(const QString& section, const QString& key, const QString& defaultValue) const
{
    return edit_ ? edit_->Get(section, key, defaultValue) : GetPrivateProfileString(section, key, defaultValue, fileName_);
}

int IniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) const
{
    const QString text = ReadString(section, key, QString());
    return text.isEmpty() ? defaultValue : StrToIntDef(text, defaultValue);
}

bool IniFile::ReadBool(const QString& section, const QString& key, bool defaultValue) const
{
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

QStringList IniFile::ReadKeys(const QString& section) const
{
    return edit_ ? edit_->Keys(section) : GetPrivateProfileKeys(section, fileName_);
}

void IniFile::WriteString(const QString& section, const QString& key, const QString& value)
{
    const bool written = edit_ ? edit_->Set(section, key, value)
                               : WritePrivateProfileString(section, key, value, fileName_, mode_);
    if (!written) {
        edit_.reset();
        throw EIniFileException(UnableToWriteMessage(fileName_));
    }
}

void IniFile::WriteInteger(const QString& section, const QString& key, int value)
{
    WriteString(section, key, QString::number(value));
}

void IniFile::WriteBool(const QString& section, const QString& key, bool value)
{
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void IniFile::EraseSection(const QString& section)
{
    const bool erased = edit_ ? edit_->DeleteSection(section) : DeletePrivateProfileSection(section, fileName_, mode_);
    if (!erased) {
        edit_.reset();
        throw EIniFileException(UnableToWriteMessage(fileName_));
    }
}

void IniFile::BeginUpdate()
{
    edit_ = std::make_unique<ProfileEdit>(fileName_);
    if (!edit_->Loaded()) {
        edit_.reset();
        throw EIniFileException(UnableToWriteMessage(fileName_));
    }
}

void IniFile::Commit()
{
    const std::unique_ptr<ProfileEdit> edit = std::move(edit_);
    if (edit && !edit->Commit(mode_))
        throw EIniFileException(UnableToWriteMessage(fileName_));
}

}  // namespace platform
