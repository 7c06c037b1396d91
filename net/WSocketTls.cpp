#include "net/WSocketTls.h"

#include "net/SocketCommon.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

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
