#include "platform/profile.h"

#include <QFile>
#include <QFileDevice>
#include <QList>
#include <QSaveFile>
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

bool Save(const QString& fileName, const ProfileText& text, ProfileFileMode mode)
{
    QSaveFile file(fileName);
    // A read-only folder that holds a writable file: written in place.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (mode == ProfileFileMode::OwnerOnly
        && !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        file.cancelWriting();
        return false;
    }
    QByteArray data = text.bom ? QByteArray("\xEF\xBB\xBF") : QByteArray();
    for (const QByteArray& line : text.lines) {
        data += line;
        data += text.eol;
    }
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

}  // namespace

QString GetPrivateProfileString(const QString& section, const QString& key, const QString& defaultValue,
                                const QString& fileName, int bufferSize)
{
    ProfileText text;
    bool exists = false;
    if (!Load(fileName, text, exists) || !exists)
        return CutToBuffer(defaultValue, bufferSize);
    const SectionSpan span = FindSection(text, section.trimmed());
    if (span.header < 0)
        return CutToBuffer(defaultValue, bufferSize);
    QByteArray raw;
    if (FindKey(text, span, key.trimmed(), nullptr, &raw) < 0)
        return CutToBuffer(defaultValue, bufferSize);
    return CutToBuffer(UnquoteValue(Decode(raw)), bufferSize);
}

bool WritePrivateProfileString(const QString& section, const QString& key, const QString& value,
                               const QString& fileName, ProfileFileMode mode)
{
    if (!ValidSection(section) || !ValidKey(key) || HasLineBreak(value))
        return false;
    ProfileText text;
    bool exists = false;
    if (!Load(fileName, text, exists))
        return false;  // rewriting a file we cannot read would lose its other lines

    const QString sectionName = section.trimmed();
    const QString keyName = key.trimmed();
    const QByteArray stored = QuoteValue(value).toUtf8();
    const SectionSpan span = FindSection(text, sectionName);
    if (span.header < 0) {
        if (!text.lines.isEmpty() && !text.lines.last().trimmed().isEmpty())
            text.lines.append(QByteArray());
        text.lines.append('[' + sectionName.toUtf8() + ']');
        text.lines.append(keyName.toUtf8() + '=' + stored);
        return Save(fileName, text, mode);
    }
    QString fileKey;
    const qsizetype at = FindKey(text, span, keyName, &fileKey);
    if (at >= 0) {
        // The key keeps the spelling it has in the file.
        text.lines[at] = fileKey.toUtf8() + '=' + stored;
        return Save(fileName, text, mode);
    }
    // A new key goes after the section's last line, before trailing blank lines.
    qsizetype insertAt = span.end;
    while (insertAt - 1 > span.header && text.lines[insertAt - 1].trimmed().isEmpty())
        --insertAt;
    text.lines.insert(insertAt, keyName.toUtf8() + '=' + stored);
    return Save(fileName, text, mode);
}

bool DeletePrivateProfileKey(const QString& section, const QString& key, const QString& fileName,
                             ProfileFileMode mode)
{
    ProfileText text;
    bool exists = false;
    if (!Load(fileName, text, exists))
        return false;
    if (!exists)
        return true;
    const SectionSpan span = FindSection(text, section.trimmed());
    if (span.header < 0)
        return true;
    const qsizetype at = FindKey(text, span, key.trimmed());
    if (at < 0)
        return true;
    text.lines.removeAt(at);
    return Save(fileName, text, mode);
}

bool DeletePrivateProfileSection(const QString& section, const QString& fileName, ProfileFileMode mode)
{
    ProfileText text;
    bool exists = false;
    if (!Load(fileName, text, exists))
        return false;
    if (!exists)
        return true;
    const SectionSpan span = FindSection(text, section.trimmed());
    if (span.header < 0)
        return true;
    text.lines.remove(span.header, span.end - span.header);
    return Save(fileName, text, mode);
}

}  // namespace platform
