#pragma once
// TLS for the socket component, on OpenSSL with memory buffers: the engine
// takes the peer's bytes in and hands the bytes to send out, so the socket
// layer (TCustomTlsWSocket in TlsSocket.h) drives it from its own readiness
// events on the GUI thread, without a thread or a second event loop.
//
// The server's certificate is checked after the handshake: against the
// system's CA store and the host name or address the user typed, or, when a
// fingerprint is pinned, against that fingerprint alone (self-signed servers).

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>

struct ssl_ctx_st;
struct ssl_st;
struct ssl_session_st;
struct bio_st;

// Failure codes of the TLS layer, reported like the SOCKS layer's (20001-20017).
constexpr int tlsHandshakeFailed = 20101;        // protocol failure or connection lost in the handshake
constexpr int tlsCertificateNotTrusted = 20102;  // the CA check or the host name check failed
constexpr int tlsFingerprintMismatch = 20103;    // a pinned fingerprint did not match
constexpr int tlsConnectionBroken = 20104;       // a record failed after the handshake

inline bool IsTlsError(int code) { return code >= tlsHandshakeFailed && code <= tlsConnectionBroken; }

// A failure after a refused renegotiation, in words that name it.
QString TlsRenegotiationRefusedText(const QString& cause);

// The SHA-256 digest as `openssl x509 -fingerprint -sha256` prints it: hex
// pairs, upper case, colons between.
QString TlsFingerprintText(const QByteArray& digest);
// The fingerprint in that form from text as a user pastes it (any case,
// colons, blanks, a "sha256 Fingerprint=" prefix); empty unless it holds
// exactly 32 bytes of hex.
QString TlsNormalizeFingerprint(const QString& text);

// What the server's certificate says, for the user deciding whether to trust it.
struct TTlsCertificateInfo {
    QString subject;
    QString issuer;
    QDateTime notBefore;  // UTC
    QDateTime notAfter;   // UTC
    QString fingerprint;  // SHA-256, as TlsFingerprintText writes it

    bool IsEmpty() const { return fingerprint.isEmpty(); }
};

// A session that a later connection may resume (data connections resume
// their control connection's). Shared: both sockets hold it.
using TTlsSessionRef = std::shared_ptr<ssl_session_st>;

// The client settings shared by the connections of one owner; the CA store
// is loaded at the first handshake that needs it.
class TTlsContext
{
public:
    TTlsContext();
    ~TTlsContext();
    TTlsContext(const TTlsContext&) = delete;
    TTlsContext& operator=(const TTlsContext&) = delete;

    // Null when OpenSSL refused to make the context.
    ssl_ctx_st* Handle(bool withCaStore);

private:
    ssl_ctx_st* ctx_ = nullptr;
    bool caStoreLoaded_ = false;
};

// One TLS client connection over memory buffers.
class TTlsEngine
{
public:
    enum class Step { NeedMore, Done, Failed };

    // host: what the certificate must be for (a name, or a dotted address);
    // pinned: a fingerprint that replaces the CA and host checks, or empty.
    TTlsEngine(const std::shared_ptr<TTlsContext>& context, const QString& host, const QString& pinned,
               const TTlsSessionRef& resume);
    ~TTlsEngine();
    TTlsEngine(const TTlsEngine&) = delete;
    TTlsEngine& operator=(const TTlsEngine&) = delete;

    // Bytes from the peer.
    void Feed(const char* data, int length);
    // Moves the handshake on; Done once it finished and the certificate passed.
    Step Handshake();
    bool Established() const { return established_; }
    // Plain bytes out: count > 0; 0 once the peer ended the session; -1 when
    // more bytes from the peer are needed; -2 on a failure (ErrorText).
    int Read(char* buffer, int length);
    // Plain bytes in, encrypted at once; false on a failure.
    bool Write(const char* data, int length);
    // Queues the close notice.
    void Shutdown();
    // The peer ended the session with its close notice, not a bare end of
    // the connection that anyone on the path can cause.
    bool CloseNoticeReceived() const { return closeNoticeReceived_; }
    // The server asked to renegotiate after the handshake (refused).
    bool RenegotiationAsked() const { return renegotiationAsked_; }
    // Encrypted bytes waiting to be sent, taken out.
    QByteArray TakeOutput();

    int ErrorCode() const { return errorCode_; }
    const QString& ErrorText() const { return errorText_; }
    const TTlsCertificateInfo& PeerCertificate() const { return peer_; }
    // The latest resumable session (null before the handshake is through).
    TTlsSessionRef Session() const;

private:
    friend class TTlsContext;
    static int NewSessionCallback(ssl_st* ssl, ssl_session_st* session);
    static void MessageCallback(int writing, int version, int contentType, const void* buffer, size_t length,
                                ssl_st* ssl, void* arg);
    void Fail(int code, const QString& text);
    QString OpenSslErrorText(int result, const char* operation);
    void ReadPeer();
    bool CheckPeer();

    std::shared_ptr<TTlsContext> context_;
    ssl_st* ssl_ = nullptr;
    bio_st* in_ = nullptr;   // owned by ssl_
    bio_st* out_ = nullptr;  // owned by ssl_
    QString host_;
    QString pinned_;
    bool established_ = false;
    bool closeNoticeReceived_ = false;
    bool renegotiationAsked_ = false;  // the server sent a hello request after the handshake
    int errorCode_ = 0;
    QString errorText_;
    TTlsCertificateInfo peer_;
    TTlsSessionRef latest_;
};
