#include "tests/net/raw_tls_peer.h"

#include "tests/support/tls_certificates.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nettest {

namespace {
constexpr int kPatienceMs = 15000;  // a test that goes wrong must still end

std::string OpenSslError(const char* what)
{
    char text[256] = "no detail";
    if (const unsigned long e = ERR_get_error())
        ERR_error_string_n(e, text, sizeof text);
    return std::string(what) + ": " + text;
}
}  // namespace

RawTlsPeer::RawTlsPeer(Act act, long long after, const QString& certificate)
{
    // OpenSSL writes with write(): a client that has gone must not end the
    // test program with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        failure = "listen failed";
        return;
    }
    port_ = ntohs(a.sin_port);
    const auto& c = testsupport::TlsCertificates::Get();
    thread_ = std::thread(&RawTlsPeer::Serve, this, act, after, c.CertFile(certificate).toStdString(),
                          c.KeyFile(certificate).toStdString());
}

RawTlsPeer::~RawTlsPeer()
{
    Join();
    if (listener_ >= 0)
        ::close(listener_);
}

void RawTlsPeer::Join()
{
    if (thread_.joinable())
        thread_.join();
}

void RawTlsPeer::Serve(Act act, long long after, const std::string& cert, const std::string& key)
{
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, kPatienceMs) != 1) {
        failure = "no client";
        return;
    }
    const int fd = ::accept(listener_, nullptr, nullptr);
    const timeval patience{kPatienceMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    const bool renegotiate = act == Act::Renegotiate || act == Act::RenegotiateThenReset;
    if (renegotiate)
        SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);  // TLS 1.3 has no renegotiation
    SSL_CTX_use_certificate_chain_file(ctx, cert.c_str());
    SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
        failure = OpenSslError("handshake");
    } else {
        char buffer[16 * 1024];
        long long received = 0;
        bool acted = false;
        for (;;) {
            if (!acted && received >= after) {
                acted = true;
                if (act == Act::CleanEnd)
                    SSL_shutdown(ssl);
                if (renegotiate) {
                    if (SSL_renegotiate(ssl) != 1 || SSL_do_handshake(ssl) != 1)
                        failure = OpenSslError("renegotiation");
                } else {
                    ::shutdown(fd, SHUT_WR);
                }
            }
            const int n = SSL_read(ssl, buffer, int(sizeof buffer));
            if (n > 0) {
                received += n;
                continue;
            }
            // Anything else is an end without the notice (OpenSSL 3 calls it
            // an unexpected end of file), a reset or an alert.
            closeNoticeSeen = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
            break;
        }
    }
    if (act == Act::RenegotiateThenReset) {
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    } else {
        // What the client still sends is read, so that the close is no reset
        // that could overtake the last alert.
        ::shutdown(fd, SHUT_WR);
        char rest[4096];
        while (::recv(fd, rest, sizeof rest, 0) > 0) {
        }
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ::close(fd);
}

}  // namespace nettest
