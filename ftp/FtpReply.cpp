#include "ftp/FtpReply.h"

#include <QStringDecoder>
#include <QStringList>

#include <algorithm>
#include <climits>

#include <cstring>

namespace ftp {

void ReplyLineBuffer::Commit(int count)
{
    if (count <= 0)
        return;
    fill_ = qMin(fill_ + count, kSize - 1);
    buf_[fill_] = '\0';
}

void ReplyLineBuffer::Clear()
{
    fill_ = 0;
    buf_[0] = '\0';
}

bool ReplyLineBuffer::TakeLine(bool acceptLF, QByteArray& line)
{
    if (fill_ <= 0)
        return false;
    const int textLen = fill_;
    int p = 0;         // 1-based position of the line end
    int consumed = 0;
    if (acceptLF) {
        const void* lf = std::memchr(buf_, '\n', static_cast<size_t>(textLen));
        if (lf) {
            p = static_cast<int>(static_cast<const char*>(lf) - buf_) + 1;
            consumed = p;
        }
    } else {
        for (int i = 0; i + 1 < textLen; ++i) {
            if (buf_[i] == '\r' && buf_[i + 1] == '\n') {
                p = i + 1;
                consumed = p + 1;
                break;
            }
        }
    }
    if (p < 1 || p > fill_)
        return false;
    line = QByteArray(buf_, p - 1);
    while (!line.isEmpty() && (line.endsWith('\r') || line.endsWith('\n')))
        line.chop(1);
    fill_ -= consumed;
    if (fill_ > 0)
        std::memmove(buf_, buf_ + consumed, static_cast<size_t>(fill_) + 1);
    else {
        fill_ = 0;
        buf_[0] = '\0';
    }
    return true;
}

namespace {

bool IsBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

}  // namespace

qint64 GetInteger(const QString& s, int start, int& next)
{
    int i = start;
    const int n = static_cast<int>(s.size());
    while (i < n && IsBlank(s[i]))
        ++i;
    bool negative = false;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }
    qint64 value = 0;
    while (i < n && s[i] >= u'0' && s[i] <= u'9') {
        if (value < 100000000000000000LL)  // saturate instead of overflowing
            value = value * 10 + (s[i].unicode() - u'0');
        ++i;
    }
    next = i;
    return negative ? -value : value;
}

int ReplyCode(const QString& line)
{
    int next = 0;
    const qint64 code = GetInteger(line, 0, next);
    return next == 3 && line[0].isDigit() && code >= 100 && code <= 599 ? static_cast<int>(code) : 500;
}

qint64 AnnouncedSize(const QString& reply)
{
    const int close = int(reply.lastIndexOf(QStringLiteral(" bytes)"), -1, Qt::CaseInsensitive));
    if (close < 0)
        return -1;
    const int open = int(reply.lastIndexOf(QLatin1Char('('), close));
    if (open < 0)
        return -1;
    int next = 0;
    const qint64 size = GetInteger(reply, open + 1, next);
    const bool digits = next > open + 1 && reply[next - 1].isDigit() && reply[open + 1].isDigit();
    return digits && next == close ? size : -1;
}

QString GetQuotedString(const QString& s, int start)
{
    int i = start;
    const int n = static_cast<int>(s.size());
    while (i < n && IsBlank(s[i]))
        ++i;
    if (i >= n || s[i] != u'"')
        return {};
    ++i;
    QString out;
    while (i < n) {
        if (s[i] == u'"') {
            if (i + 1 < n && s[i + 1] == u'"') {
                out += u'"';
                i += 2;
                continue;
            }
            break;
        }
        out += s[i++];
    }
    return out;
}

bool BeginsWithDigit(const QString& line)
{
    return !line.isEmpty() && line[0] >= u'0' && line[0] <= u'9';
}

bool IsContinuation(const QString& line)
{
    if (!BeginsWithDigit(line))
        return false;
    int next = 0;
    GetInteger(line, 0, next);
    return next < line.size() && line[next] == u'-';
}

bool ReplyTracker::IsFinal(const QString& line)
{
    if (!openCode_.isEmpty()) {
        if (!line.startsWith(openCode_))
            return false;
        const qsizetype n = openCode_.size();
        if (line.size() > n && line[n] != u' ')
            return false;
        openCode_.clear();
        return true;
    }
    if (!BeginsWithDigit(line))
        return false;
    qsizetype digits = 0;
    while (digits < line.size() && line[digits].unicode() >= u'0' && line[digits].unicode() <= u'9')
        ++digits;
    if (digits < line.size() && line[digits] == u'-') {
        openCode_ = line.left(digits);
        return false;
    }
    return true;
}

QString DecodeReply(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes);
}

namespace {

bool IsDigit(QChar c) { return c.unicode() >= u'0' && c.unicode() <= u'9'; }

// Reads one number of one to three digits at i; -1 when there is none.
int ReadByte(const QString& s, qsizetype& i)
{
    qsizetype start = i;
    int value = 0;
    while (i < s.size() && IsDigit(s[i]) && i - start < 4)
        value = value * 10 + (s[i++].unicode() - u'0');
    if (i == start || i - start > 3 || (i < s.size() && IsDigit(s[i])))
        return -1;
    return value;
}

}  // namespace

bool ParsePassiveReply(const QString& line, QString& addr, int& port)
{
    // Skip the reply code itself.
    qsizetype from = 0;
    while (from < line.size() && !IsDigit(line[from]))
        ++from;
    while (from < line.size() && IsDigit(line[from]))
        ++from;
    for (qsizetype start = from; start < line.size(); ++start) {
        // A run starts after a character that is neither a digit nor a comma.
        if (!IsDigit(line[start]) || (start > 0 && (IsDigit(line[start - 1]) || line[start - 1] == u',')))
            continue;
        qsizetype i = start;
        int numbers[6];
        int count = 0;
        while (count < 6) {
            const int v = ReadByte(line, i);
            if (v < 0 || v > 255)
                break;
            numbers[count++] = v;
            if (count == 6)
                break;
            if (i >= line.size() || line[i] != u',')
                break;
            ++i;
            while (i < line.size() && line[i] == u' ')
                ++i;
        }
        if (count == 6 && !(i < line.size() && (line[i] == u',' || IsDigit(line[i])))) {
            addr = QStringLiteral("%1.%2.%3.%4").arg(numbers[0]).arg(numbers[1]).arg(numbers[2]).arg(numbers[3]);
            port = numbers[4] * 256 + numbers[5];
            return true;
        }
    }
    return false;
}

QString PassiveTarget(const QString& advertised, const QString& controlPeer)
{
    const QStringList parts = advertised.split(u'.');
    quint32 v = 0;
    bool ok = parts.size() == 4;
    for (const QString& part : parts) {
        const uint byte = part.toUInt(&ok);
        if (!ok || byte > 255)
            return advertised;
        v = v << 8 | byte;
    }
    if (!ok || advertised == controlPeer || controlPeer.isEmpty())
        return advertised;
    const bool local = (v >> 24) == 10 || (v >> 20) == (0xAC10 >> 4) || (v >> 16) == 0xC0A8 || (v >> 24) == 127 ||
                       (v >> 16) == 0xA9FE || v == 0;
    return local ? controlPeer : advertised;
}

QStringList SplitListing(const QByteArray& chunk)
{
    QStringList pieces;
    const qsizetype n = chunk.size();
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < n) {
        if (chunk[i] != '\r' && chunk[i] != '\n') {
            ++i;
            continue;
        }
        pieces << QString::fromUtf8(chunk.constData() + start, i - start);
        while (i < n && (chunk[i] == '\r' || chunk[i] == '\n'))
            ++i;
        start = i;
    }
    if (start < n)
        pieces << QString::fromUtf8(chunk.constData() + start, n - start);
    return pieces;
}

bool HasLineBreakOrNul(const QString& text)
{
    return text.contains(u'\r') || text.contains(u'\n') || text.contains(QChar(0));
}

QString PortCommand(quint32 ip, quint16 port)
{
    return QStringLiteral("PORT %1,%2,%3,%4,%5,%6")
        .arg((ip >> 24) & 0xFF)
        .arg((ip >> 16) & 0xFF)
        .arg((ip >> 8) & 0xFF)
        .arg(ip & 0xFF)
        .arg(port / 256)
        .arg(port % 256);
}

QString StatisticsText(qint64 byteCount, qint64 elapsedMs)
{
    QString text = QStringLiteral("%1 bytes received/sent in %2 seconds").arg(byteCount).arg(elapsedMs / 1000);
    if (elapsedMs != 0) {
        const qint64 rate = byteCount <= 32767 ? byteCount * 1000 / elapsedMs : byteCount / elapsedMs * 1000;
        text += QStringLiteral(" (%1 Bytes/sec)").arg(rate);
    }
    return text;
}

}  // namespace ftp
