#include "platform/profile.h"

#include <QFile>
#include <QFileDevice>
#include <QList>
#include <QMutex>
#include <QSaveFile>
#include <QSet>
#include <QStringDecoder>

namespace platform {
namespace {

// A settings file as raw lines, so that lines we do not touch are written
// back exactly as they were, whatever their encoding.
struct ProfileText {
    QList<QByteArray> lines;  // without their terminators
    QByteArray eol = "\r\n";
    bool bom = false;  // a UTF-8 byte-order mark led the file; a rewrite keeps it
};

struct SectionSpan {
    qsizetype header = -1;  // index of the "[name]" line, -1 when absent
    qsizetype end = -1;     // index of the next header, or the line count
};

// Files written by this program are UTF-8; files from elsewhere may carry
// the ANSI code page, read as Latin-1 so that no byte is lost. A U+FEFF at
// the start of a name or value is part of it (the file's own byte-order
// mark is handled in Load), so the decoder must not skip it.
QString Decode(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8(bytes);
    if (utf8.hasError())
        return QString::fromLatin1(bytes);
    return text;
}

bool Load(const QString& fileName, ProfileText& text, bool& exists)
{
    QFile file(fileName);
    exists = file.exists();
    if (!exists)
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    text.bom = data.startsWith("\xEF\xBB\xBF");
    if (text.bom)
        data.remove(0, 3);
    const qsizetype firstLf = data.indexOf('\n');
    text.eol = (firstLf > 0 && data.at(firstLf - 1) == '\r') || firstLf < 0 ? QByteArray("\r\n") : QByteArray("\n");
    if (data.isEmpty())
        return true;
    text.lines = data.split('\n');
    if (data.endsWith('\n'))
        text.lines.removeLast();
    // Only a CR that is part of the file's line end goes: in a file of bare
    // LFs a CR before one belongs to the line and stays, so that reading back
    // a written file gives the lines that were written.
    if (text.eol == "\r\n")
        for (QByteArray& line : text.lines)
            if (line.endsWith('\r'))
                line.chop(1);
    return true;
}

bool SectionName(const QByteArray& line, QString& name)
{
    const QByteArray trimmed = line.trimmed();
    if (!trimmed.startsWith('['))
        return false;
    qsizetype close = trimmed.indexOf(']');
    if (close < 0)
        close = trimmed.size();
    name = Decode(trimmed.mid(1, close - 1)).trimmed();
    return true;
}

bool KeyLine(const QByteArray& line, QString& key, QByteArray& rawValue)
{
    const qsizetype eq = line.indexOf('=');
    if (eq < 0)
        return false;
    key = Decode(line.left(eq)).trimmed();
    rawValue = line.mid(eq + 1);
    return true;
}

SectionSpan FindSection(const ProfileText& text, const QString& section)
{
    SectionSpan span;
    QString name;
    for (qsizetype i = 0; i < text.lines.size(); ++i) {
        if (!SectionName(text.lines[i], name))
            continue;
        if (span.header >= 0) {
            span.end = i;
            return span;
        }
        if (name.compare(section, Qt::CaseInsensitive) == 0)
            span.header = i;
    }
    if (span.header >= 0)
        span.end = text.lines.size();
    return span;
}

qsizetype FindKey(const ProfileText& text, const SectionSpan& span, const QString& key, QString* fileKey = nullptr,
                  QByteArray* rawValue = nullptr)
{
    QString name;
    QByteArray value;
    for (qsizetype i = span.header + 1; i < span.end; ++i) {
        if (KeyLine(text.lines[i], name, value) && name.compare(key, Qt::CaseInsensitive) == 0) {
            if (fileKey)
                *fileKey = name;
            if (rawValue)
                *rawValue = value;
            return i;
        }
    }
    return -1;
}

bool IsQuote(QChar c)
{
    return c == QLatin1Char('"') || c == QLatin1Char('\'');
}

QString UnquoteValue(const QString& raw)
{
    QString value = raw.trimmed();
    if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front())
        value = value.mid(1, value.size() - 2);
    return value;
}

// Quoting keeps blanks at either end, and quotes that are part of the value,
// through the trimming and unquoting of a read.
QString QuoteValue(const QString& value)
{
    const bool needsQuotes = value != value.trimmed()
                             || (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front());
    return needsQuotes ? QLatin1Char('"') + value + QLatin1Char('"') : value;
}

QString CutToBuffer(const QString& value, int bufferSize)
{
    const qsizetype room = bufferSize > 0 ? bufferSize - 1 : 0;
    if (value.size() <= room)
        return value;
    qsizetype cut = room;
    if (cut > 0 && value.at(cut - 1).isHighSurrogate())
        --cut;  // never split a character in two
    return value.left(cut);
}

bool HasLineBreak(const QString& s)
{
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
}

bool ValidSection(const QString& section)
{
    return !section.trimmed().isEmpty() && !HasLineBreak(section) && !section.contains(QLatin1Char(']'));
}

bool ValidKey(const QString& key)
{
    const QString k = key.trimmed();
    return !k.isEmpty() && !HasLineBreak(k) && !k.contains(QLatin1Char('=')) && !k.startsWith(QLatin1Char('['));
}

std::function<void(const QString&)>& InPlaceReport()
{
    static std::function<void(const QString&)> report;
    return report;
}

QMutex& InPlaceMutex()
{
    static QMutex mutex;
    return mutex;
}

void ReportInPlaceWrite(const QString& fileName)
{
    static QSet<QString> reported;
    std::function<void(const QString&)> report;
    {
        QMutexLocker lock(&InPlaceMutex());
        if (!InPlaceReport() || reported.contains(fileName))
            return;
        reported.insert(fileName);
        report = InPlaceReport();
    }
    report(fileName);
}

bool Save(const QString& fileName, const ProfileText& text, ProfileFileMode mode)
{
    QSaveFile replacement(fileName);
    QSaveFile inPlace(fileName);
    QSaveFile* file = &replacement;
    if (!replacement.open(QIODevice::WriteOnly)) {
        // A read-only folder that holds a writable file: written in place.
        inPlace.setDirectWriteFallback(true);
        if (!inPlace.open(QIODevice::WriteOnly))
            return false;
        file = &inPlace;
    }
    if (mode == ProfileFileMode::OwnerOnly
        && !file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        file->cancelWriting();
        return false;
    }
    QByteArray data = text.bom ? QByteArray("\xEF\xBB\xBF") : QByteArray();
    for (const QByteArray& line : text.lines) {
        data += line;
        data += text.eol;
    }
    if (file->write(data) != data.size()) {
        file->cancelWriting();
        return false;
    }
    if (!file->commit())
        return false;
    if (file == &inPlace)
        ReportInPlaceWrite(fileName);
    return true;
}

}  // namespace

struct ProfileEdit::Text : ProfileText {
};

ProfileEdit::ProfileEdit(QString fileName) : fileName_(std::move(fileName)), text_(std::make_unique<Text>())
{
    bool exists = false;
    loaded_ = Load(fileName_, *text_, exists);
}

ProfileEdit::~ProfileEdit() = default;

QString ProfileEdit::Get(const QString& section, const QString& key, const QString& defaultValue, int bufferSize) const
{
    if (!loaded_)
        return CutToBuffer(defaultValue, bufferSize);
    const SectionSpan span = FindSection(*text_, section.trimmed());
    if (span.header < 0)
        return CutToBuffer(defaultValue, bufferSize);
    QByteArray raw;
    if (FindKey(*text_, span, key.trimmed(), nullptr, &raw) < 0)
        return CutToBuffer(defaultValue, bufferSize);
    return CutToBuffer(UnquoteValue(Decode(raw)), bufferSize);
}

QStringList ProfileEdit::Keys(const QString& section) const
{
    QStringList keys;
    const SectionSpan span = loaded_ ? FindSection(*text_, section.trimmed()) : SectionSpan{};
    QString name;
    QByteArray value;
    for (qsizetype i = span.header + 1; span.header >= 0 && i < span.end; ++i) {
        // The first occurrence wins, as it does for a read.
        if (KeyLine(text_->lines[i], name, value) && !name.isEmpty() && !keys.contains(name, Qt::CaseInsensitive))
            keys << name;
    }
    return keys;
}

bool ProfileEdit::Set(const QString& section, const QString& key, const QString& value)
{
    if (!loaded_ || !ValidSection(section) || !ValidKey(key) || HasLineBreak(value))
        return false;
    changed_ = true;
    const QString sectionName = section.trimmed();
    const QString keyName = key.trimmed();
    const QByteArray stored = QuoteValue(value).toUtf8();
    QList<QByteArray>& lines = text_->lines;
    const SectionSpan span = FindSection(*text_, sectionName);
    if (span.header < 0) {
        if (!lines.isEmpty() && !lines.last().trimmed().isEmpty())
            lines.append(QByteArray());
        lines.append('[' + sectionName.toUtf8() + ']');
        lines.append(keyName.toUtf8() + '=' + stored);
        return true;
    }
    QString fileKey;
    const qsizetype at = FindKey(*text_, span, keyName, &fileKey);
    if (at >= 0) {
        // The key keeps the spelling it has in the file.
        lines[at] = fileKey.toUtf8() + '=' + stored;
        return true;
    }
    // A new key goes after the section's last line, before trailing blank lines.
    qsizetype insertAt = span.end;
    while (insertAt - 1 > span.header && lines[insertAt - 1].trimmed().isEmpty())
        --insertAt;
    lines.insert(insertAt, keyName.toUtf8() + '=' + stored);
    return true;
}

bool ProfileEdit::DeleteKey(const QString& section, const QString& key)
{
    if (!loaded_)
        return false;
    const SectionSpan span = FindSection(*text_, section.trimmed());
    const qsizetype at = span.header < 0 ? -1 : FindKey(*text_, span, key.trimmed());
    if (at >= 0) {
        text_->lines.removeAt(at);
        changed_ = true;
    }
    return true;
}

bool ProfileEdit::DeleteSection(const QString& section)
{
    if (!loaded_)
        return false;
    const SectionSpan span = FindSection(*text_, section.trimmed());
    if (span.header >= 0) {
        text_->lines.remove(span.header, span.end - span.header);
        changed_ = true;
    }
    return true;
}

bool ProfileEdit::Commit(ProfileFileMode mode)
{
    if (!loaded_)
        return false;
    if (!changed_)
        return true;
    if (!Save(fileName_, *text_, mode))
        return false;
    changed_ = false;
    return true;
}

void SetInPlaceWriteReport(std::function<void(const QString& fileName)> report)
{
    QMutexLocker lock(&InPlaceMutex());
    InPlaceReport() = std::move(report);
}

QString GetPrivateProfileString(const QString& section, const QString& key, const QString& defaultValue,
                                const QString& fileName, int bufferSize)
{
    return ProfileEdit(fileName).Get(section, key, defaultValue, bufferSize);
}

QStringList GetPrivateProfileKeys(const QString& section, const QString& fileName)
{
    return ProfileEdit(fileName).Keys(section);
}

bool WritePrivateProfileString(const QString& section, const QString& key, const QString& value,
                               const QString& fileName, ProfileFileMode mode)
{
    if (!ValidSection(section) || !ValidKey(key) || HasLineBreak(value))
        return false;
    ProfileEdit edit(fileName);
    return edit.Set(section, key, value) && edit.Commit(mode);
}

bool DeletePrivateProfileKey(const QString& section, const QString& key, const QString& fileName,
                             ProfileFileMode mode)
{
    ProfileEdit edit(fileName);
    return edit.DeleteKey(section, key) && edit.Commit(mode);
}

bool DeletePrivateProfileSection(const QString& section, const QString& fileName, ProfileFileMode mode)
{
    ProfileEdit edit(fileName);
    return edit.DeleteSection(section) && edit.Commit(mode);
}

}  // namespace platform
