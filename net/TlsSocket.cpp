#include "net/TlsSocket.h"
#include "net/SocketInternals.h"

#include <algorithm>
#include <cstring>

using namespace platform;
using wsocket_detail::EventWatch;

namespace {

// Plain bytes held for the owner before the layer stops reading the socket:
// beyond it the kernel's buffer holds the peer back.
constexpr int kPlainCap = 64 * 1024;
// Send blocks while TLS runs: at least one whole record of ciphertext per
// send call.
constexpr int kTlsBlockSize = 16 * 1024 + 512;

}  // namespace

// ---------------------------------------------------------------------------
// TCustomTlsWSocket

TCustomTlsWSocket::TCustomTlsWSocket(QObject* owner) : TCustomSocksWSocket(owner) {}

TCustomTlsWSocket::~TCustomTlsWSocket()
{
    OnTlsDone = nullptr;
    // The core closes the connection after this, without this layer.
    SendCloseNotice();
}

void TCustomTlsWSocket::SendCloseNotice()
{
    // The peer learns that the stream ended here and was not cut off; bytes
    // still queued are dropped by the close, so then it says nothing.
    if (!TlsEstablished() || state_ != wsConnected || !allSent_ || tlsBroken_ || tlsNoticeSent_)
        return;
    // A peer that ended without its own notice was cut off, or cut us off:
    // our notice would make the cut look like a clean end to it.
    if (tlsPeerClosed_ && !tls_->CloseNoticeReceived())
        return;
    tlsNoticeSent_ = true;
    tls_->Shutdown();
    const QByteArray notice = tls_->TakeOutput();
    if (!notice.isEmpty())
        platform::Send(hSocket_, notice.constData(), int(notice.size()), 0);
}

bool TCustomTlsWSocket::TlsActive() const
{
    return tls_ && hSocket_ != INVALID_SOCKET && tlsSocket_ == hSocket_;
}

bool TCustomTlsWSocket::TlsEstablished() const
{
    return TlsActive() && tls_->Established();
}

bool TCustomTlsWSocket::TlsNegotiating() const
{
    return TlsActive() && !tls_->Established() && tls_->ErrorCode() == 0;
}

TTlsSessionRef TCustomTlsWSocket::TlsSession() const
{
    return TlsActive() ? tls_->Session() : TTlsSessionRef();
}

void TCustomTlsWSocket::StartTls()
{
    if (state_ != wsConnected || hSocket_ == INVALID_SOCKET) {
        RaiseSocketError(QStringLiteral("StartTls: socket not connected"));
        return;
    }
    if (TlsActive()) {
        RaiseSocketError(QStringLiteral("StartTls: TLS already started"));
        return;
    }
    TlsBegin(false);
}

void TCustomTlsWSocket::TlsBegin(bool atConnect)
{
    if (!tlsContext_)
        tlsContext_ = std::make_shared<TTlsContext>();
    TlsDrop();
    tlsPeer_ = {};
    tlsErrorText_.clear();
    tlsErrorCode_ = 0;
    tlsRenegotiationRefused_ = false;
    tlsConnecting_ = atConnect;
    tls_ = std::make_unique<TTlsEngine>(tlsContext_, tlsHostName_.isEmpty() ? addrStr_ : tlsHostName_,
                                        tlsFingerprint_, tlsResume_);
    tlsSocket_ = hSocket_;
    plainBlockSize_ = blockSize_;
    blockSize_ = std::max(kTlsBlockSize, blockSize_);

    const EventWatch watch(this);
    const TTlsEngine::Step step = tls_->Handshake();  // the client's greeting
    if (step != TTlsEngine::Step::Failed)
        TlsFlush();
    if (watch.Ended())
        return;
    if (step == TTlsEngine::Step::Failed)
        TlsFail(tls_->ErrorCode(), tls_->ErrorText());
}

void TCustomTlsWSocket::TlsDrop()
{
    if (tls_) {
        blockSize_ = plainBlockSize_;
        tls_.reset();
    }
    tlsSocket_ = INVALID_SOCKET;
    tlsConnecting_ = false;
    tlsPlain_.clear();
    tlsPending_.clear();
    tlsEnded_ = false;
    tlsEndDelivered_ = false;
    tlsBroken_ = 0;
    tlsRenotice_ = false;
    tlsNoticeSent_ = false;
    tlsPeerClosed_ = false;
}

bool TCustomTlsWSocket::TlsFlush()
{
    const QByteArray out = tls_->TakeOutput();
    if (out.isEmpty())
        return true;
    return TCustomSocksWSocket::Send(out.constData(), int(out.size())) >= 0;
}

void TCustomTlsWSocket::TlsPump()
{
    char buffer[16 * 1024];
    for (;;) {
        // Decrypt what has arrived before reading more, up to the cap.
        while (tls_->Established() && tlsPlain_.size() < kPlainCap && !tlsEnded_ && !tlsBroken_) {
            const int n = tls_->Read(buffer, int(sizeof buffer));
            if (n > 0) {
                tlsPlain_.append(buffer, n);
                continue;
            }
            if (n == 0)
                tlsEnded_ = true;  // the peer's close notice
            else if (n == -2)
                tlsBroken_ = tlsConnectionBroken;
            break;
        }
        tlsRenegotiationRefused_ = tlsRenegotiationRefused_ || tls_->RenegotiationAsked();
        if (tlsPlain_.size() >= kPlainCap || tlsEnded_ || tlsBroken_ || tls_->ErrorCode() != 0)
            break;
        const int got = TCustomSocksWSocket::RawReceive(buffer, int(sizeof buffer), 0);
        if (got > 0) {
            tls_->Feed(buffer, got);
            if (!tls_->Established())
                tls_->Handshake();  // Done or Failed: the caller reports it
            continue;
        }
        if (got == 0) {
            tlsEnded_ = true;  // the connection ended, close notice or not
        } else {
            const int e = WSAGetLastError();
            if (e != WSAEWOULDBLOCK) {
                lastError_ = e;
                tlsBroken_ = e;
            }
        }
        break;
    }
    // Handshake messages and answers to the peer's requests.
    if (tls_->ErrorCode() == 0)
        TlsFlush();
}

bool TCustomTlsWSocket::FireDataAvailable(std::uint16_t error)
{
    if (!TlsActive() || socksPhase_ != socksPhaseIdle)
        return TCustomSocksWSocket::FireDataAvailable(error);
    tlsRenotice_ = false;
    const EventWatch watch(this);
    const bool wasEstablished = tls_->Established();
    if (tls_->ErrorCode() == 0)
        TlsPump();
    if (watch.Ended())
        return true;
    if (!wasEstablished) {
        if (tls_->ErrorCode() != 0) {
            TlsFail(tls_->ErrorCode(), tls_->ErrorText());
            return true;
        }
        if (!tls_->Established()) {
            if (tlsEnded_ || tlsBroken_)
                TlsFail(tlsHandshakeFailed, QStringLiteral("TLS handshake failed: the server closed the connection"));
            return true;
        }
        TlsHandshakeDone();
        if (watch.Ended())
            return true;
        // Bytes that came with the handshake's end are announced afresh, so
        // that they take the owner's whole path, the line layer included.
        if (!tlsPlain_.isEmpty()) {
            TlsRenotice();
            return true;
        }
    }
    return TlsDeliver(error);
}

bool TCustomTlsWSocket::TlsDeliver(std::uint16_t error)
{
    const EventWatch watch(this);
    for (;;) {
        const bool atEnd = tlsPlain_.isEmpty();
        if (atEnd) {
            if (tlsBroken_) {
                // A record that does not decrypt ends the connection as a
                // reset would: the owner hears of it through the close.
                if (tlsErrorText_.isEmpty()) {
                    tlsErrorText_ = tls_->ErrorText();
                    tlsErrorCode_ = tlsConnectionBroken;
                }
                CloseInternal(false, tlsBroken_);
                return true;
            }
            // The end of the stream is read once, as a zero count.
            if (!tlsEnded_ || tlsEndDelivered_)
                return true;
            tlsEndDelivered_ = true;
        }
        const qsizetype before = tlsPlain_.size();
        const bool handled = TCustomSocksWSocket::FireDataAvailable(error);
        if (watch.Ended())
            return true;
        if (!handled)
            return false;
        if (atEnd || componentOptions_.Contains(wsoNoReceiveLoop) || tlsPlain_.size() >= before)
            return true;
    }
}

void TCustomTlsWSocket::TlsHandshakeDone()
{
    tlsPeer_ = tls_->PeerCertificate();
    const EventWatch watch(this);
    if (!tlsPending_.isEmpty()) {
        QByteArray pending;
        pending.swap(tlsPending_);
        tls_->Write(pending.constData(), int(pending.size()));
        TlsFlush();
        if (watch.Ended())
            return;
    }
    if (tlsConnecting_) {
        tlsConnecting_ = false;
        TCustomSocksWSocket::FireSessionConnected(0);
    } else {
        FireTlsDone(0);
    }
}

void TCustomTlsWSocket::TlsFail(int code, const QString& text)
{
    tlsErrorText_ = text;
    tlsErrorCode_ = code;
    if (tls_)
        tlsPeer_ = tls_->PeerCertificate();
    const EventWatch watch(this);
    if (tlsConnecting_) {
        tlsConnecting_ = false;
        TCustomWSocket::FireSessionConnected(std::uint16_t(code));
    } else {
        FireTlsDone(std::uint16_t(code));
    }
    if (!watch.Ended())
        CloseInternal(true, code);
}

bool TCustomTlsWSocket::TlsCloseNoticeReceived() const
{
    return TlsActive() && tls_->CloseNoticeReceived();
}

void TCustomTlsWSocket::FireSessionClosed(std::uint16_t error)
{
    // Still open here: the peer ended the connection, not this side.
    if (TlsActive() && state_ == wsConnected)
        tlsPeerClosed_ = true;
    // The peer closed: what it sent before goes to the owner first, however
    // the owner reads (one piece per notice or not), as the socket offers
    // unread bytes before it reports a close.
    if (TlsEstablished() && !tlsBroken_) {
        const EventWatch watch(this);
        for (;;) {
            if (tlsPlain_.size() < kPlainCap && !tlsEnded_)
                TlsPump();
            if (watch.Ended() || tlsPlain_.isEmpty())
                break;
            const qsizetype before = tlsPlain_.size();
            const bool handled = TCustomSocksWSocket::FireDataAvailable(0);
            if (watch.Ended() || !handled || tlsPlain_.size() >= before)
                break;
        }
        if (watch.Destroyed())
            return;
    }
    // A server that drops the connection over a refused renegotiation: the
    // owner hears why, not only of a reset.
    if (error != 0 && !IsTlsError(error) && tlsRenegotiationRefused_) {
        tlsErrorText_ = TlsRenegotiationRefusedText(SocketErrorText(error));
        tlsErrorCode_ = tlsConnectionBroken;
        error = tlsConnectionBroken;
    }
    TCustomSocksWSocket::FireSessionClosed(error);
}

void TCustomTlsWSocket::FireTlsDone(std::uint16_t error)
{
    if (OnTlsDone)
        OnTlsDone(this, error);
}

void TCustomTlsWSocket::FireSessionConnected(std::uint16_t error)
{
    if (socksPhase_ != socksPhaseIdle || !tlsAtConnect_ || error != 0 || TlsActive()) {
        TCustomSocksWSocket::FireSessionConnected(error);
        return;
    }
    // The connection (through the proxy, if any) stands: the owner hears of
    // it once the handshake is through.
    TlsBegin(true);
}

void TCustomTlsWSocket::FireDataSent(std::uint16_t error)
{
    if (TlsActive() && !tls_->Established())
        return;  // handshake bytes: nothing the owner sent
    TCustomSocksWSocket::FireDataSent(error);
}

int TCustomTlsWSocket::Send(const void* data, int length)
{
    if (!TlsActive() || state_ != wsConnected)
        return TCustomSocksWSocket::Send(data, length);
    if (!tls_->Established() && tls_->ErrorCode() == 0) {
        // Goes once the handshake is through, ahead of anything later.
        if (length > 0)
            tlsPending_.append(static_cast<const char*>(data), length);
        return std::max(length, 0);
    }
    if (!tls_->Write(static_cast<const char*>(data), length)) {
        WSASetLastError(WSAECONNABORTED);
        ReportSocketError(QStringLiteral("Send (TLS)"));
        return -1;
    }
    const QByteArray out = tls_->TakeOutput();
    // An empty send still runs the queue and its data-sent notice.
    return TCustomSocksWSocket::Send(out.constData(), int(out.size())) < 0 ? -1 : std::max(length, 0);
}

int TCustomTlsWSocket::RcvdCount()
{
    if (!TlsActive() || socksPhase_ != socksPhaseIdle)
        return TCustomSocksWSocket::RcvdCount();
    if (!tls_->Established())
        return 0;
    if (tlsPlain_.isEmpty() && !tlsEnded_ && !tlsBroken_)
        TlsPump();
    return int(tlsPlain_.size());
}

int TCustomTlsWSocket::RawReceive(void* buffer, int length, int flags)
{
    if (!TlsActive() || length <= 0 || socksPhase_ != socksPhaseIdle)
        return TCustomSocksWSocket::RawReceive(buffer, length, flags);
    if (!tls_->Established()) {
        WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    if (tlsPlain_.isEmpty() && !tlsEnded_ && !tlsBroken_)
        TlsPump();
    if (tlsPlain_.isEmpty()) {
        if (tlsBroken_) {
            WSASetLastError(WSAECONNABORTED);
            return -1;
        }
        if (tlsEnded_)
            return 0;
        WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    const int n = int(std::min<qsizetype>(length, tlsPlain_.size()));
    std::memcpy(buffer, tlsPlain_.constData(), size_t(n));
    tlsPlain_.remove(0, n);
    if (!tlsPlain_.isEmpty())
        TlsRenotice();
    return n;
}

void TCustomTlsWSocket::TlsRenotice()
{
    // Announced as the socket would announce unread bytes.
    if (tlsRenotice_)
        return;
    tlsRenotice_ = true;
    PostToSelf(WM_SOCKET_EVENT, WPARAM(hSocket_), MakeLParam(FD_READ, 0));
}

void TCustomTlsWSocket::CloseInternal(bool shutdownFirst, int error)
{
    if (shutdownFirst)
        SendCloseNotice();
    TCustomSocksWSocket::CloseInternal(shutdownFirst, error);
}

void TCustomTlsWSocket::TlsShutdown()
{
    if (!TlsEstablished() || state_ != wsConnected) {
        Shutdown(1);
        return;
    }
    if (tlsNoticeSent_ || tlsBroken_)
        return;
    tlsNoticeSent_ = true;
    tls_->Shutdown();
    const QByteArray notice = tls_->TakeOutput();
    const EventWatch watch(this);
    // After whatever is still queued; the sending half ends once it is out.
    TCustomSocksWSocket::Send(notice.constData(), int(notice.size()));
    if (!watch.Ended() && allSent_)
        Shutdown(1);
}

void TCustomTlsWSocket::ResetToDefaults()
{
    TCustomSocksWSocket::ResetToDefaults();
    TlsDrop();
    tlsAtConnect_ = false;
    tlsHostName_.clear();
    tlsFingerprint_.clear();
    tlsResume_.reset();
}
