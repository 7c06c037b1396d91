#pragma once
// Pure helpers of the FTP client: assembling reply lines from received bytes,
// reading reply codes, quoted arguments and the address of a passive reply.

#include <QByteArray>
#include <QString>

namespace ftp {

// Collects control-connection bytes and cuts them into reply lines. The
// buffer holds 4096 bytes, one of which always stays free for a terminating
// zero, so at most 4095 bytes wait for a line end.
class ReplyLineBuffer
{
public:
    static constexpr int kSize = 4096;

    // Room for the next receive.
    int FreeSpace() const { return kSize - 1 - fill_; }
    char* WritePtr() { return buf_ + fill_; }
    // Accounts for count bytes written at WritePtr().
    void Commit(int count);
    int Fill() const { return fill_; }
    void Clear();

    // Takes the next complete line, without its line end and without any
    // trailing CR or LF. With acceptLF a bare LF ends a line; without it only
    // CR LF does. The search stops at a zero byte. False when no complete line
    // is buffered.
    bool TakeLine(bool acceptLF, QByteArray& line);

private:
    char buf_[kSize] = {};
    int fill_ = 0;
};

// Reads an optionally signed decimal integer after leading space, tab, CR
// and LF; no digits give 0. next receives the index after the digits.
qint64 GetInteger(const QString& s, int start, int& next);

// Reads a double-quoted argument after leading white space: two quotes in a
// row stand for one, a missing closing quote takes the rest. Empty when the
// text does not begin with a quote.
QString GetQuotedString(const QString& s, int start);

// True when the text begins with a digit and its code is followed by "-":
// the first or a middle line of a multi-line reply.
bool IsContinuation(const QString& line);
bool BeginsWithDigit(const QString& line);

// The data address of a 227 reply: "227 ... (h1,h2,h3,h4,p1,p2)". False when
// the reply holds no such list of six numbers in parentheses.
bool ParsePassiveReply(const QString& line, QString& addr, int& port);

// "PORT h1,h2,h3,h4,p1,p2" for an IPv4 address and port.
QString PortCommand(quint32 ipv4HostOrder, quint16 port);

// "<n> bytes received/sent in <s> seconds (<rate> Bytes/sec)".
QString StatisticsText(qint64 byteCount, qint64 elapsedMs);

}  // namespace ftp
