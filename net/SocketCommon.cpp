#include "net/SocketCommon.h"
#include "net/SocketInternals.h"

#include <atomic>
#include <climits>
#include <cstring>

using namespace platform;
using wsocket_detail::g_liveSockets;
using wsocket_detail::Throw;

namespace {

bool IsDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

}  // namespace

// ---------------------------------------------------------------------------
// Free functions

QString SocketErrorText(int errorCode)
{
    switch (errorCode) {
    case 0: return QStringLiteral("No Error");
    case 10004: return QStringLiteral("Interrupted system call");
    case 10009: return QStringLiteral("Bad file number");
    case 10013: return QStringLiteral("Permission denied");
    case 10014: return QStringLiteral("Bad address");
    case 10022: return QStringLiteral("Invalid argument");
    case 10024: return QStringLiteral("Too many open files");
    case 10035: return QStringLiteral("Operation would block");
    case 10036: return QStringLiteral("Operation now in progress");
    case 10037: return QStringLiteral("Operation already in progress");
    case 10038: return QStringLiteral("Socket operation on non-socket");
    case 10039: return QStringLiteral("Destination address required");
    case 10040: return QStringLiteral("Message too long");
    case 10041: return QStringLiteral("Protocol wrong type for socket");
    case 10042: return QStringLiteral("Protocol not available");
    case 10043: return QStringLiteral("Protocol not supported");
    case 10044: return QStringLiteral("Socket type not supported");
    case 10045: return QStringLiteral("Operation not supported on socket");
    case 10046: return QStringLiteral("Protocol family not supported");
    case 10047: return QStringLiteral("Address family not supported by protocol family");
    case 10048: return QStringLiteral("Address already in use");
    case 10049: return QStringLiteral("Address not available");
    case 10050: return QStringLiteral("Network is down");
    case 10051: return QStringLiteral("Network is unreachable");
    case 10052: return QStringLiteral("Network dropped connection on reset");
    case 10053: return QStringLiteral("Connection aborted");
    case 10054: return QStringLiteral("Connection reset by peer");
    case 10055: return QStringLiteral("No buffer space available");
    case 10056: return QStringLiteral("Socket is already connected");
    case 10057: return QStringLiteral("Socket is not connected");
    case 10058: return QStringLiteral("Can't send after socket shutdown");
    case 10059: return QStringLiteral("Too many references: can't splice");
    case 10060: return QStringLiteral("Connection timed out");
    case 10061: return QStringLiteral("Connection refused");
    case 10062: return QStringLiteral("Too many levels of symbolic links");
    case 10063: return QStringLiteral("File name too long");
    case 10064: return QStringLiteral("Host is down");
    case 10065: return QStringLiteral("No route to host");
    case 10066: return QStringLiteral("Directory not empty");
    case 10067: return QStringLiteral("Too many processes");
    case 10068: return QStringLiteral("Too many users");
    case 10069: return QStringLiteral("Disc quota exceeded");
    case 10070: return QStringLiteral("Stale NFS file handle");
    case 10071: return QStringLiteral("Too many levels of remote in path");
    case 10091: return QStringLiteral("Network sub-system is unusable");
    case 10092: return QStringLiteral("WinSock DLL cannot support this application");
    case 10093: return QStringLiteral("WinSock not initialized");
    case 11001: return QStringLiteral("Host not found");
    case 11002: return QStringLiteral("Non-authoritative host not found");
    case 11003: return QStringLiteral("Non-recoverable error");
    case 11004: return QStringLiteral("No Data");
    default: return QStringLiteral("Not a WinSock error");
    }
}

bool IsDottedIPv4(const QString& text)
{
    const int n = int(text.size());
    int i = 0;
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    if (i < n && text[i] == QLatin1Char('.'))
        return false;
    int dots = 0;
    int value = 0;
    while (i < n) {
        const QChar c = text[i];
        if (c == QLatin1Char('.')) {
            ++dots;
            if (dots > 3 || value > 255 || i == n - 1 || !IsDigit(text[i + 1]))
                return false;
            value = 0;
            ++i;
        } else if (IsDigit(c)) {
            value = std::min(value * 10 + (c.unicode() - '0'), 1000);  // only "above 255" matters
            ++i;
        } else {
            while (i < n && text[i] == QLatin1Char(' '))
                ++i;
            if (i == n)
                break;
            return false;
        }
    }
    return dots == 3 && value <= 255;
}

std::uint32_t ParseLeadingNumber(const QString& text)
{
    const int n = int(text.size());
    int i = 0;
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    std::uint64_t value = 0;
    for (; i < n && IsDigit(text[i]); ++i) {
        value = value * 10 + std::uint64_t(text[i].unicode() - '0');
        if (value > 0xFFFFFFFFull)
            value = 0xFFFFFFFFull + 1;  // saturate without wrapping
    }
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : std::uint32_t(value);
}

std::uint32_t WSocketResolveHost(const QString& host)
{
    if (host.isEmpty() || host.size() > 256)
        Throw(QStringLiteral("WSocketResolveHost: '") + host + QStringLiteral("' Invalid Hostname."));
    LoadSocketsLibrary();
    const QString text = host.trimmed();
    if (IsDottedIPv4(text)) {
        const std::uint32_t a = InetAddr(text);
        if (a == kInAddrNone && text != QLatin1String("255.255.255.255"))
            Throw(QStringLiteral("WSocketResolveHost: '") + host + QStringLiteral("' Invalid IP address."));
        return a;
    }
    std::uint32_t a = 0;
    if (!GetHostByName(text, &a))
        Throw(QStringLiteral("WSocketResolveHost: Cannot convert host address '%1', Error #%2")
                  .arg(host)
                  .arg(WSAGetLastError()));
    return a;
}

std::uint16_t WSocketResolvePort(const QString& port, const QString& proto)
{
    if (port.isEmpty() || port.size() >= 32)
        Throw(QStringLiteral("WSocketResolvePort: Invalid Port."));
    if (proto.isEmpty() || proto.size() >= 32)
        Throw(QStringLiteral("WSocketResolvePort: Invalid Proto."));
    if (IsDigit(port[0])) {
        const std::uint32_t value = ParseLeadingNumber(port);
        if (value > 65535)
            Throw(QStringLiteral("WSocketResolvePort: Port '%1' out of range.").arg(port));
        return std::uint16_t(value);
    }
    LoadSocketsLibrary();
    std::uint16_t netPort = 0;
    if (!GetServByName(port.trimmed(), proto.trimmed(), &netPort))
        Throw(QStringLiteral("WSocketResolvePort: Cannot convert port '%1', Error #%2")
                  .arg(port)
                  .arg(WSAGetLastError()));
    return Ntohs(netPort);
}

int WSocketResolveProto(const QString& proto)
{
    if (proto.isEmpty() || proto.size() >= 32)
        Throw(QStringLiteral("WSocketResolveProto: Invalid Protocol."));
    const QString text = proto.trimmed();
    if (!text.isEmpty() && IsDigit(text[0]))
        return int(std::min<std::uint32_t>(ParseLeadingNumber(text), INT_MAX));
    LoadSocketsLibrary();
    int number = 0;
    if (!GetProtoByName(text, &number))
        Throw(QStringLiteral("WSocketResolveProto: Cannot convert protocol '%1', Error #%2")
                  .arg(proto)
                  .arg(WSAGetLastError()));
    return number;
}

int LiveSocketCount()
{
    return g_liveSockets.load();
}

void LoadSocketsLibrary()
{
    if (!SocketsStarted())
        SocketsStartup();
}

void UnloadSocketsLibrary()
{
    if (SocketsStarted())
        SocketsCleanup();
    g_liveSockets = 0;
}

bool SocketsLibraryLoaded()
{
    return SocketsStarted();
}

// ---------------------------------------------------------------------------
// TBuffer

TBuffer::TBuffer(int size)
{
    SetSize(size);
}

void TBuffer::SetSize(int size)
{
    if (size <= 0)
        size = 1514;
    if (size == size_)
        return;
    auto storage = std::make_unique<char[]>(size_t(size));
    if (writeCount_ != readOffset_)
        std::copy_n(data_.get(), std::min(writeCount_, size), storage.get());
    data_ = std::move(storage);
    size_ = size;
    writeCount_ = std::min(writeCount_, size_);
    readOffset_ = std::min(readOffset_, writeCount_);
}

int TBuffer::Write(const void* data, int length)
{
    const int room = size_ - writeCount_;
    if (room <= 0 || length <= 0)
        return 0;
    const int n = std::min(room, length);
    std::copy_n(static_cast<const char*>(data), n, data_.get() + writeCount_);
    writeCount_ += n;
    return n;
}

const char* TBuffer::Peek(int* length) const
{
    const int n = writeCount_ - readOffset_;
    if (n <= 0) {
        *length = 0;
        return nullptr;
    }
    *length = n;
    return data_.get() + readOffset_;
}

int TBuffer::Remove(int count)
{
    const int left = writeCount_ - readOffset_;
    if (left <= 0 || count <= 0)
        return 0;
    const int n = std::min(count, left);
    readOffset_ += n;
    if (readOffset_ == writeCount_) {
        readOffset_ = 0;
        writeCount_ = 0;
    }
    return n;
}
