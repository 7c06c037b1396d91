#pragma once
// TCustomTlsWSocket: TLS client layer. Off until asked for; then the layers
// above see plain bytes and the same events as without it: the connect is
// reported once the handshake is through (TlsAtConnect), data available
// means plain bytes to read, data sent means everything encrypted has left.

#include "net/SocksSocket.h"
#include "net/WSocketTls.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class TCustomTlsWSocket : public TCustomSocksWSocket
{
public:
    explicit TCustomTlsWSocket(QObject* owner = nullptr);
    ~TCustomTlsWSocket() override;

    // The end of a handshake started by StartTls: 0, or a TLS failure code
    // (the connection is closed with it right after).
    std::function<void(TCustomWSocket* sender, std::uint16_t error)> OnTlsDone;

    // Settings for the next connection; a close forgets all but the context.
    // Handshake at the end of Connect, before OnSessionConnected.
    bool TlsAtConnect() const { return tlsAtConnect_; }
    void SetTlsAtConnect(bool value) { tlsAtConnect_ = value; }
    // The name or address the certificate must be for; empty: Addr.
    const QString& TlsHostName() const { return tlsHostName_; }
    void SetTlsHostName(const QString& host) { tlsHostName_ = host; }
    // A pinned SHA-256 fingerprint: the certificate must have it, and the CA
    // check is skipped. Empty: the CA and host name checks.
    const QString& TlsFingerprint() const { return tlsFingerprint_; }
    void SetTlsFingerprint(const QString& fingerprint) { tlsFingerprint_ = fingerprint; }
    // A session to resume (a data connection resumes its control connection's).
    void SetTlsResumeSession(const TTlsSessionRef& session) { tlsResume_ = session; }
    // Shared by the connections of one owner; made on first need otherwise.
    const std::shared_ptr<TTlsContext>& TlsContext() const { return tlsContext_; }
    void SetTlsContext(std::shared_ptr<TTlsContext> context) { tlsContext_ = std::move(context); }

    // Starts the handshake on an open connection (after AUTH TLS, or on an
    // accepted data connection); OnTlsDone reports its end. Bytes sent
    // meanwhile wait for it.
    void StartTls();

    // Ends the TLS stream with its close notice and the sending half of the
    // connection, which stays open to read until the peer closes it: data
    // the peer sends after a full close would reset the connection and could
    // cost it the last bytes it has not read yet. Without TLS: Shutdown(1).
    void TlsShutdown();

    bool TlsActive() const;       // negotiating or established on this connection
    bool TlsEstablished() const;  // the handshake is through and the certificate passed
    TTlsSessionRef TlsSession() const;
    // The peer ended the stream with its close notice: what it sent is
    // whole. A bare end of the connection (a FIN anyone on the path can
    // cause) is not answered with a notice of our own either.
    bool TlsCloseNoticeReceived() const;
    // The last handshake's certificate and failure; kept after the close.
    const TTlsCertificateInfo& TlsPeerCertificate() const { return tlsPeer_; }
    const QString& TlsErrorText() const { return tlsErrorText_; }
    int TlsErrorCode() const { return tlsErrorCode_; }

    using TCustomSocksWSocket::Send;
    int Send(const void* data, int length) override;
    int RcvdCount() override;

protected:
    virtual void FireTlsDone(std::uint16_t error);

    void ResetToDefaults() override;
    void CloseInternal(bool shutdownFirst, int error) override;
    bool FireDataAvailable(std::uint16_t error) override;
    void FireSessionConnected(std::uint16_t error) override;
    void FireSessionClosed(std::uint16_t error) override;
    void FireDataSent(std::uint16_t error) override;
    int RawReceive(void* buffer, int length, int flags) override;

    // The handshake is running: the line layer leaves the bytes to this one.
    bool TlsNegotiating() const;
    // A record failed: the line layer hands the failure back to this layer,
    // which ends the connection.
    bool TlsBroken() const { return TlsActive() && tlsBroken_ != 0; }

private:
    void TlsBegin(bool atConnect);
    // Reads what the layer below has, moves the handshake on and decrypts
    // into the plain buffer. Fires no event.
    void TlsPump();
    // Sends what the engine encrypted; false when the send failed.
    bool TlsFlush();
    void TlsHandshakeDone();
    void TlsFail(int code, const QString& text);
    // Delivers the plain buffer to the owner (also an end of the stream once).
    bool TlsDeliver(std::uint16_t error);
    void TlsDrop();
    // Posts a read notice for plain bytes still waiting, once.
    void TlsRenotice();
    // The close notice, sent at once, before a close.
    void SendCloseNotice();

    std::unique_ptr<TTlsEngine> tls_;
    TSocket tlsSocket_ = INVALID_SOCKET;  // the connection the engine belongs to
    bool tlsConnecting_ = false;          // the owner waits for OnSessionConnected
    QByteArray tlsPlain_;                 // decrypted, not yet read by the owner
    QByteArray tlsPending_;               // sent by the owner before the handshake ended
    bool tlsEnded_ = false;               // close notice or end of the connection seen
    bool tlsEndDelivered_ = false;
    int tlsBroken_ = 0;                   // a failure after the handshake
    bool tlsRenotice_ = false;            // a read notice is posted for the rest
    bool tlsNoticeSent_ = false;          // the close notice went out
    bool tlsPeerClosed_ = false;          // the peer ended the connection first
    bool tlsRenegotiationRefused_ = false;  // kept after the close, as the failure is
    bool tlsAtConnect_ = false;
    QString tlsHostName_;
    QString tlsFingerprint_;
    TTlsSessionRef tlsResume_;
    std::shared_ptr<TTlsContext> tlsContext_;
    TTlsCertificateInfo tlsPeer_;
    QString tlsErrorText_;
    int tlsErrorCode_ = 0;
    int plainBlockSize_ = 1460;
};
