#include "ftp/FtpReply.h"

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
    // The buffer is read as text: a zero byte hides whatever follows it.
    const int textLen = static_cast<int>(strnlen(buf_, static_cast<size_t>(fill_)));
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

bool ParsePassiveReply(const QString& line, QString& addr, int& port)
{
    const qsizetype open = line.indexOf(u'(');
    if (open < 0)
        return false;
    const qsizetype close = line.indexOf(u')', open + 1);
    if (close < 0)
        return false;
    const QStringList parts = line.mid(open + 1, close - open - 1).split(u',');
    if (parts.size() != 6)
        return false;
    int numbers[6];
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        // The address parts are used as they stand, so they must be plain digits.
        const QString& part = parts[i];
        if (i < 4 && (part.isEmpty() || part.size() > 3 ||
                      !std::all_of(part.begin(), part.end(), [](QChar c) { return c.isDigit(); })))
            return false;
        numbers[i] = part.trimmed().toInt(&ok, 10);
        if (!ok || numbers[i] < 0 || numbers[i] > 255)
            return false;
    }
    addr = QStringLiteral("%1.%2.%3.%4").arg(parts[0], parts[1], parts[2], parts[3]);
    port = numbers[4] * 256 + numbers[5];
    return true;
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
