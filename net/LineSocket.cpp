#include "net/LineSocket.h"
#include "net/SocketInternals.h"

#include <algorithm>
#include <cstring>

using namespace platform;
using wsocket_detail::EventWatch;
using wsocket_detail::FlagScope;

// ---------------------------------------------------------------------------
// Line, sync and the published class

TCustomLineWSocket::TCustomLineWSocket(QObject* owner) : TCustomTlsWSocket(owner)
{
    lineEnd_ = QByteArrayLiteral("\r\n");
    lineMode_ = false;
    lineLimit_ = 65536;
}

void TCustomLineWSocket::SetLineMode(bool value)
{
    if (value == lineMode_)
        return;
    lineMode_ = value;
    if (bufferedCount_ > 0 || pendingLineLength_ > 0)
        PostToSelf(WM_LINE_DATA_PENDING, 0, 0);
}

void TCustomLineWSocket::HandleWindowMessage(Message& msg)
{
    if (msg.msg != WM_LINE_DATA_PENDING) {
        TCustomTlsWSocket::HandleWindowMessage(msg);
        return;
    }
    const EventWatch watch(this);
    try {
        // Bytes held back from line mode go out before new socket data.
        int before;
        do {
            before = bufferedCount_;
            FireDataAvailable(0);
        } while (!watch.Destroyed() && bufferedCount_ > 0 && bufferedCount_ < before);
    } catch (const std::exception& e) {
        if (!watch.Destroyed())
            HandleBackgroundError(e);
    }
}

int TCustomLineWSocket::RcvdCount()
{
    if (lineMode_)
        return pendingLineLength_;
    return TCustomTlsWSocket::RcvdCount();
}

int TCustomLineWSocket::RawReceive(void* buffer, int length, int flags)
{
    // What the owner reads leaves the buffer, so no byte is handed out twice
    // whatever the mode switches in between.
    const int held = lineMode_ ? pendingLineLength_ : bufferedCount_;
    if (held > 0) {
        const int m = std::min(std::max(length, 0), held);
        TakeFront(static_cast<char*>(buffer), m);
        pendingLineLength_ = std::max(0, pendingLineLength_ - m);
        return m;
    }
    return TCustomTlsWSocket::RawReceive(buffer, length, flags);
}

int TCustomLineWSocket::ReceiveFromBelow(char* buffer, int length)
{
    const int n = TCustomTlsWSocket::RawReceive(buffer, length, 0);
    if (n < 0)
        lastError_ = WSAGetLastError();
    else
        readCount_ += n;
    return n;
}

void TCustomLineWSocket::TakeFront(char* out, int count)
{
    if (count <= 0)
        return;
    char* data = lineBuffer_.data();
    if (out)
        std::copy_n(data, count, out);
    std::memmove(data, data + count, size_t(bufferedCount_ - count + 1));  // with the 0 byte
    bufferedCount_ -= count;
}

void TCustomLineWSocket::EnsureLineBuffer(int size)
{
    if (lineBuffer_.size() < size)
        lineBuffer_.resize(size);
}

bool TCustomLineWSocket::FireOwnerDataAvailable(std::uint16_t error)
{
    FlagScope scope(this, inOwnerDataEvent_, true);
    return TCustomSocksWSocket::FireDataAvailable(error);
}

void TCustomLineWSocket::DeliverPendingLine()
{
    const EventWatch watch(this);
    while (lineMode_ && pendingLineLength_ > 0) {
        const int before = pendingLineLength_;
        const bool handled = FireOwnerDataAvailable(0);
        if (watch.Ended() || lineBuffer_.isEmpty())
            return;  // destroyed, or the connection ended inside the handler
        if (!lineMode_)
            return;  // the rest of the line goes out as plain data
        // No handler, or a handler that reads nothing: the rest of the line goes.
        if (!handled || pendingLineLength_ == before) {
            TakeFront(nullptr, pendingLineLength_);
            pendingLineLength_ = 0;
        }
    }
}

void TCustomLineWSocket::DeliverHeldBytes()
{
    const EventWatch watch(this);
    while (!lineMode_ && bufferedCount_ > 0) {
        const int before = bufferedCount_;
        if (!FireOwnerDataAvailable(0) || watch.Destroyed() || bufferedCount_ >= before)
            return;
    }
}

bool TCustomLineWSocket::FireDataAvailable(std::uint16_t error)
{
    if (!lineMode_ || lineEnd_.isEmpty() || socksPhase_ != socksPhaseIdle || TlsNegotiating()) {
        // Through the TLS layer, which decrypts before it calls the owner.
        FlagScope scope(this, inOwnerDataEvent_, true);
        return TCustomTlsWSocket::FireDataAvailable(error);
    }

    const EventWatch watch(this);
    auto ended = [&] { return watch.Ended() || lineBuffer_.isEmpty(); };

    int n = TCustomTlsWSocket::RcvdCount();
    if (n < 0 || watch.Ended())
        return true;
    if (n == 0)
        n = 255;
    EnsureLineBuffer(bufferedCount_ + n + 1);
    int got = ReceiveFromBelow(lineBuffer_.data() + bufferedCount_, n);
    if (got < 0 && TlsBroken())
        return TCustomTlsWSocket::FireDataAvailable(error);
    if (got <= 0)
        return true;
    lineBuffer_[bufferedCount_ + got] = 0;

    QByteArray echo;
    if (lineEdit_)
        echo = ApplyLineEditing(got);
    else if (lineEcho_)
        echo = QByteArray(lineBuffer_.constData() + bufferedCount_, got);

    const int endLength = int(lineEnd_.size());
    int start = std::max(0, bufferedCount_ - endLength);
    bufferedCount_ += got;
    pendingLineLength_ = std::min(pendingLineLength_, bufferedCount_);  // editing may erase held bytes

    // The echo may end the connection (a reset peer); the close then offers
    // the buffered bytes as the last line.
    if (!echo.isEmpty()) {
        Send(echo.constData(), int(echo.size()));
        if (ended())
            return true;
    }

    while (lineMode_) {
        const int found = FindLineEnd(start);
        if (found < 0) {
            if (lineLimit_ > 0 && bufferedCount_ > lineLimit_) {
                bool clearData = true;
                FireLineLimitExceeded(bufferedCount_, clearData);
                if (clearData && !ended()) {
                    pendingLineLength_ = 0;
                    bufferedCount_ = 0;
                    lineBuffer_[0] = 0;
                }
            }
            return true;
        }
        // The line (with its terminator) is at the front; what the owner
        // reads of it leaves the buffer.
        pendingLineLength_ = found + endLength;
        DeliverPendingLine();
        if (ended())
            return true;
        start = 0;
    }
    return true;
}

int TCustomLineWSocket::FindLineEnd(int start) const
{
    const int endLength = int(lineEnd_.size());
    const char* data = lineBuffer_.constData();
    for (int i = start; i <= bufferedCount_ - endLength; ++i) {
        if (data[i] == lineEnd_[0] && std::memcmp(data + i, lineEnd_.constData(), size_t(endLength)) == 0)
            return i;
    }
    return -1;
}

QByteArray TCustomLineWSocket::ApplyLineEditing(int& got)
{
    const int from = bufferedCount_;
    const int to = bufferedCount_ + got;
    int w = bufferedCount_;
    int low = bufferedCount_;
    QByteArray work;  // used from the first backspace or tab on
    bool editing = false;
    QByteArray echo;
    auto put = [&](char c) {
        if (editing) {
            if (w >= work.size())
                work.resize(work.size() + 256);
            work[w] = c;
        } else {
            lineBuffer_[w] = c;
        }
        ++w;
    };
    auto beginEditing = [&] {
        if (editing)
            return;
        editing = true;
        work = QByteArray(((bufferedCount_ + got + 256) / 256) * 256, '\0');
        std::copy_n(lineBuffer_.constData(), w, work.data());
    };
    for (int r = from; r < to; ++r) {
        const char c = lineBuffer_[r];
        if (c == 8) {
            beginEditing();
            if (lineEcho_ && w > 0)
                echo += QByteArray("\b \b", 3);
            if (w > 0) {
                --w;
                low = std::min(low, w);
            }
        } else if (c == 9) {
            beginEditing();
            do {
                put(' ');
                if (lineEcho_)
                    echo += ' ';
            } while (w % 8 != 0);
        } else {
            if (lineEcho_)
                echo += c;
            put(c);
        }
    }
    if (editing) {
        EnsureLineBuffer(w + 1);
        std::copy_n(work.constData(), w, lineBuffer_.data());
        lineBuffer_[w] = 0;
        bufferedCount_ = low;
        got = w - low;
    }
    return echo;
}

void TCustomLineWSocket::FireLineLimitExceeded(int rcvdLength, bool& clearData)
{
    if (OnLineLimitExceeded)
        OnLineLimitExceeded(this, rcvdLength, clearData);
}

void TCustomLineWSocket::FireSessionClosed(std::uint16_t error)
{
    if (!lineBuffer_.isEmpty()) {
        // Bytes not handed out yet go now, unless the owner closed from
        // inside its data handler: it has seen them or chose to stop.
        if (bufferedCount_ > 0 && !inOwnerDataEvent_) {
            const EventWatch watch(this);
            if (lineMode_) {
                // The last line, without its terminator.
                pendingLineLength_ = bufferedCount_;
                DeliverPendingLine();
            }
            if (watch.Destroyed())
                return;
            DeliverHeldBytes();
            if (watch.Destroyed())
                return;
        }
        lineBuffer_.clear();
        bufferedCount_ = 0;
        pendingLineLength_ = 0;
    }
    TCustomTlsWSocket::FireSessionClosed(error);
}
