#pragma once
// Pure helpers of the FTP client: assembling reply lines from received bytes,
// reading reply codes, quoted arguments and the address of a passive reply.

#include <QByteArray>
#include <QString>
#include <QStringList>

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
    // CR LF does. A zero byte is an ordinary byte of the line. False when no
    // complete line is buffered.
    bool TakeLine(bool acceptLF, QByteArray& line);

private:
    char buf_[kSize] = {};
    int fill_ = 0;
};

// Tells which reply lines end a reply (RFC 959 4.2). After a first line
// "NNN-", only a line that begins with the same "NNN" followed by a space or
// the end of the line ends it; text lines in between may begin with digits.
// Outside a multi-line reply, any line that begins with a digit and has no
// "-" after its number ends the reply.
class ReplyTracker
{
public:
    bool IsFinal(const QString& line);
    // The code of the open multi-line reply, empty outside one.
    const QString& OpenCode() const { return openCode_; }
    void Reset() { openCode_.clear(); }

private:
    QString openCode_;
};

// Reply text: UTF-8 when the bytes are valid UTF-8, else Latin-1.
QString DecodeReply(const QByteArray& bytes);

// The reply code at the start of a line. A line that starts with no valid
// code (three digits, 100 to 599) counts as 500: whatever the server meant,
// it is no success, and a larger number would wrap to 0 in a 16-bit result.
int ReplyCode(const QString& line);

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

// The data address of a 227 reply: the first run of six comma-separated
// numbers after the code, with or without parentheses (RFC 1123 4.1.2.6).
// False when the reply holds no such run of numbers up to 255.
bool ParsePassiveReply(const QString& line, QString& addr, int& port);

// Where to open a passive data connection. A server behind NAT often names
// its private address; an address that cannot be the server's public one
// (private, loopback, link-local, unspecified) and differs from the control
// connection's peer is replaced by that peer. Keeps an upload from being
// pointed at another host of the user's own network.
QString PassiveTarget(const QString& advertised, const QString& controlPeer);

// The size a 150 reply announces for a download, as "(<n> bytes)" near its
// end; -1 when it names none.
qint64 AnnouncedSize(const QString& reply);

// True when an argument would add lines to the control connection.
bool HasLineBreakOrNul(const QString& text);

// The pieces of one received chunk of a listing: runs of CR and LF separate
// them. A piece is empty only when the chunk begins with a line end; a line
// that spans two chunks comes as two pieces.
QStringList SplitListing(const QByteArray& chunk);

// "PORT h1,h2,h3,h4,p1,p2" for an IPv4 address and port.
QString PortCommand(quint32 ipv4HostOrder, quint16 port);

// "<n> bytes received/sent in <s> seconds (<rate> Bytes/sec)".
QString StatisticsText(qint64 byteCount, qint64 elapsedMs);

}  // namespace ftp
