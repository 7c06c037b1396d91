#include "net/WSocketTls.h"

#include "net/WSocket.h"
#include "net/WSocketWatch.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstring>

using namespace platform;
using wsocket_detail::EventWatch;

namespace {

// Plain bytes held for the owner before the layer stops reading the socket:
// beyond it the kernel's buffer holds the peer back.
constexpr int kPlainCap = 64 * 1024;
// Send blocks while TLS runs: one record of ciphertext per send call.
constexpr int kTlsBlockSize = 16 * 1024 + 512;

QString NameText(const X509_NAME* name)
{
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return {};
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    const QString text = QString::fromUtf8(data, int(size));
    BIO_free(bio);
    return text;
}

QDateTime TimeOf(const ASN1_TIME* time)
{
    struct tm t {};
    if (!time || ASN1_TIME_to_tm(time, &t) != 1)
        return {};
    return QDateTime(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday), QTime(t.tm_hour, t.tm_min, t.tm_sec),
                     Qt::UTC);
}

void FreeSession(ssl_session_st* session)
{
    SSL_SESSION_free(session);
}

}  // namespace

QString TlsRenegotiationRefusedText(const QString& cause)
{
    return QStringLiteral("The server asked to renegotiate TLS, which this program refuses (") + cause +
           QLatin1Char(')');
}

// ---------------------------------------------------------------------------
// Fingerprints

QString TlsFingerprintText(const QByteArray& digest)
{
    return QString::fromLatin1(digest.toHex(':').toUpper());
}

QString TlsNormalizeFingerprint(const QString& text)
{
    QString hex;
    // "sha256 Fingerprint=AB:..." as the openssl tool prints it.
    const qsizetype eq = text.lastIndexOf(QLatin1Char('='));
    for (const QChar c : text.mid(eq + 1)) {
        if (c == QLatin1Char(':') || c.isSpace())
            continue;
        if (!std::isxdigit(c.unicode() < 128 ? int(c.unicode()) : 0))
            return {};
        hex += c.toUpper();
    }
    if (hex.size() != 64)
        return {};
    return TlsFingerprintText(QByteArray::fromHex(hex.toLatin1()));
}

// ---------------------------------------------------------------------------
// TTlsContext

TTlsContext::TTlsContext()
{
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_)
        return;
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    // The certificate is judged once the handshake is through, so that a
    // refusal can say why and name the fingerprint.
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    // Sessions are kept by the connections themselves, for their data
    // connections to resume.
    SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx_, &TTlsEngine::NewSessionCallback);
    // A TLS 1.2 renegotiation would stall writes on reads the memory
    // buffers cannot give them; refused, and said so when the server insists.
    SSL_CTX_set_options(ctx_, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_msg_callback(ctx_, &TTlsEngine::MessageCallback);
}

TTlsContext::~TTlsContext()
{
    SSL_CTX_free(ctx_);
}

ssl_ctx_st* TTlsContext::Handle(bool withCaStore)
{
    if (ctx_ && withCaStore && !caStoreLoaded_) {
        // Loading the store takes a while: only when a certificate is to be
        // checked against it.
        caStoreLoaded_ = true;
        SSL_CTX_set_default_verify_paths(ctx_);
        ERR_clear_error();
    }
    return ctx_;
}

// ---------------------------------------------------------------------------
// TTlsEngine

TTlsEngine::TTlsEngine(const std::shared_ptr<TTlsContext>& context, const QString& host, const QString& pinned,
                       const TTlsSessionRef& resume)
    : context_(context), host_(host.trimmed()), pinned_(pinned.trimmed())
{
    ERR_clear_error();
    ssl_ctx_st* ctx = context_ ? context_->Handle(pinned_.isEmpty()) : nullptr;
    if (ctx)
        ssl_ = SSL_new(ctx);
    if (ssl_) {
        in_ = BIO_new(BIO_s_mem());
        out_ = BIO_new(BIO_s_mem());
    }
    if (!ssl_ || !in_ || !out_) {
        BIO_free(in_);
        BIO_free(out_);
        in_ = out_ = nullptr;
        Fail(tlsHandshakeFailed, OpenSslErrorText(0, "TLS set-up"));
        return;
    }
    BIO_set_mem_eof_return(in_, -1);  // an empty input means "more to come"
    BIO_set_mem_eof_return(out_, -1);
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_app_data(ssl_, this);
    SSL_set_connect_state(ssl_);

    const QByteArray name = host_.toUtf8();
    const bool address = IsDottedIPv4(host_);
    if (!address && !name.isEmpty())
        SSL_set_tlsext_host_name(ssl_, name.constData());
    if (pinned_.isEmpty() && !name.isEmpty()) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (address)
            X509_VERIFY_PARAM_set1_ip_asc(param, name.constData());
        else
            X509_VERIFY_PARAM_set1_host(param, name.constData(), size_t(name.size()));
    }
    // A copy: OpenSSL takes a TLS 1.3 session it resumed as used up, and
    // every data connection resumes the same control connection's session.
    if (resume) {
        if (ssl_session_st* copy = SSL_SESSION_dup(resume.get())) {
            SSL_set_session(ssl_, copy);
            SSL_SESSION_free(copy);
        }
    }
}

TTlsEngine::~TTlsEngine()
{
    if (ssl_)
        SSL_set_app_data(ssl_, nullptr);
    SSL_free(ssl_);  // and both buffers with it
}

int TTlsEngine::NewSessionCallback(ssl_st* ssl, ssl_session_st* session)
{
    auto* engine = static_cast<TTlsEngine*>(SSL_get_app_data(ssl));
    if (!engine)
        return 0;
    engine->latest_ = TTlsSessionRef(session, &FreeSession);
    return 1;  // the reference is kept
}

void TTlsEngine::MessageCallback(int writing, int, int contentType, const void* buffer, size_t length, ssl_st* ssl,
                                 void*)
{
    auto* engine = static_cast<TTlsEngine*>(SSL_get_app_data(ssl));
    if (!engine || writing || contentType != SSL3_RT_HANDSHAKE || length == 0 || !engine->established_)
        return;
    if (*static_cast<const unsigned char*>(buffer) == SSL3_MT_HELLO_REQUEST)
        engine->renegotiationAsked_ = true;
}

void TTlsEngine::Fail(int code, const QString& text)
{
    if (errorCode_ != 0)
        return;
    errorCode_ = code;
    errorText_ = text;
    if (renegotiationAsked_)
        errorText_ = TlsRenegotiationRefusedText(text);
}

QString TTlsEngine::OpenSslErrorText(int result, const char* operation)
{
    QString text;
    const int kind = ssl_ && result <= 0 ? SSL_get_error(ssl_, result) : SSL_ERROR_SSL;
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
        char buffer[256];
        ERR_error_string_n(e, buffer, sizeof buffer);
        if (!text.isEmpty())
            text += QStringLiteral("; ");
        // The reason is what a user can act on.
        const char* reason = ERR_reason_error_string(e);
        text += QString::fromLatin1(reason ? reason : buffer);
    }
    if (text.isEmpty())
        text = kind == SSL_ERROR_SYSCALL ? QStringLiteral("connection lost") : QStringLiteral("error %1").arg(kind);
    return QString::fromLatin1(operation) + QStringLiteral(" failed: ") + text;
}

void TTlsEngine::Feed(const char* data, int length)
{
    if (in_ && length > 0)
        BIO_write(in_, data, length);
}

TTlsEngine::Step TTlsEngine::Handshake()
{
    if (errorCode_ != 0)
        return Step::Failed;
    if (established_)
        return Step::Done;
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_);
    if (r == 1) {
        if (!CheckPeer())
            return Step::Failed;
        established_ = true;
        return Step::Done;
    }
    const int kind = SSL_get_error(ssl_, r);
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE)
        return Step::NeedMore;
    // Shown to the user even when the handshake broke off after it came.
    ReadPeer();
    Fail(tlsHandshakeFailed, OpenSslErrorText(r, "TLS handshake"));
    return Step::Failed;
}

void TTlsEngine::ReadPeer()
{
    X509* cert = SSL_get0_peer_certificate(ssl_);
    if (!cert)
        return;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    X509_digest(cert, EVP_sha256(), md, &mdLength);
    peer_.fingerprint = TlsFingerprintText(QByteArray(reinterpret_cast<const char*>(md), int(mdLength)));
    peer_.subject = NameText(X509_get_subject_name(cert));
    peer_.issuer = NameText(X509_get_issuer_name(cert));
    peer_.notBefore = TimeOf(X509_get0_notBefore(cert));
    peer_.notAfter = TimeOf(X509_get0_notAfter(cert));
}

bool TTlsEngine::CheckPeer()
{
    ReadPeer();
    if (peer_.IsEmpty()) {
        Fail(tlsCertificateNotTrusted, QStringLiteral("The server sent no certificate"));
        return false;
    }
    const QString print = QStringLiteral("; SHA-256 fingerprint ") + peer_.fingerprint;

    if (!pinned_.isEmpty()) {
        // The user trusts this very certificate: neither its issuer nor its
        // names matter then.
        if (TlsNormalizeFingerprint(pinned_) == peer_.fingerprint)
            return true;
        Fail(tlsFingerprintMismatch,
             QStringLiteral("Server certificate does not match the trusted fingerprint") + print);
        return false;
    }
    const long verdict = SSL_get_verify_result(ssl_);
    if (verdict == X509_V_OK)
        return true;
    Fail(tlsCertificateNotTrusted, QStringLiteral("Server certificate not trusted: ") +
                                       QString::fromLatin1(X509_verify_cert_error_string(verdict)) + print);
    return false;
}

int TTlsEngine::Read(char* buffer, int length)
{
    if (errorCode_ != 0 || !established_)
        return errorCode_ != 0 ? -2 : -1;
    ERR_clear_error();
    const int r = SSL_read(ssl_, buffer, length);
    if (r > 0)
        return r;
    const int kind = SSL_get_error(ssl_, r);
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE)
        return -1;
    if (kind == SSL_ERROR_ZERO_RETURN) {
        closeNoticeReceived_ = true;
        return 0;
    }
    Fail(tlsConnectionBroken, OpenSslErrorText(r, "TLS receive"));
    return -2;
}

bool TTlsEngine::Write(const char* data, int length)
{
    if (errorCode_ != 0 || !established_)
        return false;
    if (length <= 0)
        return true;
    ERR_clear_error();
    // Memory buffers never refuse: the whole length goes in one call.
    const int r = SSL_write(ssl_, data, length);
    if (r == length)
        return true;
    Fail(tlsConnectionBroken, OpenSslErrorText(r, "TLS send"));
    return false;
}

void TTlsEngine::Shutdown()
{
    if (!ssl_ || errorCode_ != 0 || !established_)
        return;
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

QByteArray TTlsEngine::TakeOutput()
{
    QByteArray out;
    if (!out_)
        return out;
    const size_t pending = BIO_ctrl_pending(out_);
    if (pending == 0)
        return out;
    out.resize(qsizetype(pending));
    const int n = BIO_read(out_, out.data(), int(pending));
    out.resize(std::max(n, 0));
    return out;
}

TTlsSessionRef TTlsEngine::Session() const
{
    if (latest_ && SSL_SESSION_is_resumable(latest_.get()))
        return latest_;
    if (!ssl_ || !established_)
        return {};
    ssl_session_st* session = SSL_get1_session(ssl_);
    if (!session)
        return {};
    if (!SSL_SESSION_is_resumable(session)) {
        SSL_SESSION_free(session);
        return {};
    }
    return TTlsSessionRef(session, &FreeSession);
}

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
    blockSize_ = kTlsBlockSize;

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
