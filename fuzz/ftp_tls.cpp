// The FTP client's secured login against a server whose answers come from the
// input: the greeting and the answer to AUTH TLS in clear, then, over TLS,
// the answers to USER, PASS, PBSZ and PROT, each either a plausible reply or
// arbitrary bytes, written in pieces of any size. Nothing but AUTH TLS and
// QUIT ever leaves in clear, the login ends exactly once, and a login that
// succeeds has sent PBSZ and PROT over TLS. The far end reads its own clear
// replies with the client's rules, and both ends' TLS random bytes come from
// the input, so that a finding replays.

// The random method below is the deprecated interface: every random draw of
// the library still honours it, and it needs no provider.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "fuzz/fuzz_support.h"
#include "ftp/FtpCli.h"
#include "ftp/FtpReply.h"

#include <QCoreApplication>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// Random bytes for both ends' TLS (hello randoms, key shares, signature
// nonces), drawn from a generator seeded by the input: the same input puts
// the same bytes on the wire, whatever they happen to contain.
std::uint64_t randomState = 0;

int InputRandomBytes(unsigned char* out, int count)
{
    for (int i = 0; i < count; ++i) {
        // splitmix64, one byte per step: fast and plenty for a test.
        std::uint64_t z = (randomState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        out[i] = static_cast<unsigned char>(z ^ (z >> 31));
    }
    return 1;
}

int InputRandomStatus() { return 1; }

void SeedRandom(const std::uint8_t* data, std::size_t size)
{
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (std::size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 1099511628211ull;
    randomState = h;
}

void UseInputRandom()
{
    static const RAND_METHOD method = {nullptr, InputRandomBytes, nullptr, nullptr, InputRandomBytes,
                                       InputRandomStatus};
    RAND_set_rand_method(&method);
}

// A self-signed server certificate made once; the client pins it.
struct ServerIdentity {
    SSL_CTX* ctx = nullptr;
    QString fingerprint;
};

const ServerIdentity& Identity()
{
    static const ServerIdentity identity = [] {
        ServerIdentity id;
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_sign(cert, key, EVP_sha256());
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        X509_digest(cert, EVP_sha256(), md, &length);
        id.fingerprint = TlsFingerprintText(QByteArray(reinterpret_cast<const char*>(md), int(length)));
        id.ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(id.ctx, cert);
        SSL_CTX_use_PrivateKey(id.ctx, key);
        X509_free(cert);
        EVP_PKEY_free(key);
        return id;
    }();
    return identity;
}

int Listener(std::uint16_t& port)
{
    static int fd = -1;
    static std::uint16_t bound = 0;
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0)
            return -1;
        socklen_t length = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        bound = ntohs(a.sin_port);
    }
    port = bound;
    return fd;
}

// The server's end of the control connection: clear until StartTls, then TLS
// over memory buffers, driven while the client's events are pumped.
class FarEnd
{
public:
    ~FarEnd() { Close(); }

    void Close()
    {
        SSL_free(ssl_);
        ssl_ = nullptr;
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    bool Accept(int listener)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            QCoreApplication::processEvents();
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 1) == 1) {
                fd_ = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd_ < 0)
                    return false;
                // Small pieces must not wait for an acknowledgement (Nagle).
                const int one = 1;
                ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                return true;
            }
        }
        return false;
    }

    void StartTls()
    {
        ssl_ = SSL_new(Identity().ctx);
        in_ = BIO_new(BIO_s_mem());
        out_ = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(in_, -1);
        SSL_set_bio(ssl_, in_, out_);
        SSL_set_accept_state(ssl_);
        // Bytes that came after the clear reply are the client's handshake.
        if (!clear_.isEmpty())
            BIO_write(in_, clear_.constData(), int(clear_.size()));
        clear_.clear();
    }
    bool Tls() const { return ssl_ != nullptr; }
    // Clear bytes received and not yet taken as a line.
    const QByteArray& ClearLeft() const { return clear_; }
    // Stopped waiting for a client that was still at work: the hang-up, not
    // the client, ended the conversation.
    bool GaveUp() const { return gaveUp_; }

    void Write(const QByteArray& bytes)
    {
        if (ssl_) {
            // Held until the handshake is through: a write before it fails.
            pending_ += bytes;
            Pump();
        } else {
            ::send(fd_, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
        }
    }

    void Pump()
    {
        QCoreApplication::processEvents();
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            if (ssl_)
                BIO_write(in_, buffer, int(n));
            else
                clear_.append(buffer, int(n));
        }
        if (ssl_) {
            if (!SSL_is_init_finished(ssl_))
                SSL_do_handshake(ssl_);
            if (SSL_is_init_finished(ssl_) && !pending_.isEmpty() &&
                SSL_write(ssl_, pending_.constData(), int(pending_.size())) > 0)
                pending_.clear();
            int n;
            while ((n = SSL_read(ssl_, buffer, sizeof buffer)) > 0)
                plain_.append(buffer, n);
            Flush();
        }
    }

    // Waits for the next command line (clear or decrypted); false when the
    // client ended its request, or sent nothing new and sends nothing once
    // its events have run (it waits for more of a reply).
    bool NextLine(QByteArray& line, const int& done, const int& sent)
    {
        const auto start = Clock::now();
        while (done == 0) {
            Pump();
            QByteArray& buffer = ssl_ ? plain_ : clear_;
            const qsizetype end = buffer.indexOf("\r\n");
            if (end >= 0) {
                line = buffer.left(end);
                buffer.remove(0, end + 2);
                ++taken_;
                return true;
            }
            // The client's side of a handshake may take longer than a quiet
            // pause (under the sanitizer): no giving up before it is through.
            const bool handshaking = ssl_ && !SSL_is_init_finished(ssl_);
            const auto waited = Clock::now() - start;
            if (waited > std::chrono::seconds(2) ||
                (!handshaking && sent <= taken_ && waited > std::chrono::milliseconds(20))) {
                gaveUp_ = true;
                return false;
            }
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 1);
        }
        return false;
    }

private:
    void Flush()
    {
        char buffer[16384];
        int n;
        while ((n = BIO_read(out_, buffer, sizeof buffer)) > 0)
            ::send(fd_, buffer, size_t(n), MSG_NOSIGNAL);
    }

    int fd_ = -1;
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;   // owned by ssl_
    BIO* out_ = nullptr;  // owned by ssl_
    QByteArray clear_;
    QByteArray plain_;
    QByteArray pending_;  // written before the handshake was through
    int taken_ = 0;  // command lines taken
    bool gaveUp_ = false;
};

// Where the client finds the end of a reply it reads in clear, with its own
// line buffer and end-of-reply rule: the length up to the end of the first
// final line, and that line's code; 0 when it finds none (it waits for more,
// or hangs up on a full buffer).
qsizetype ClearReplyEnd(const QByteArray& reply, bool acceptLF, int& code)
{
    ftp::ReplyLineBuffer buffer;
    ftp::ReplyTracker tracker;
    QByteArray line;
    qsizetype fed = 0;
    for (;;) {
        const int n = int(std::min<qsizetype>(buffer.FreeSpace(), reply.size() - fed));
        if (n <= 0)
            return 0;
        std::memcpy(buffer.WritePtr(), reply.constData() + fed, size_t(n));
        buffer.Commit(n);
        fed += n;
        while (buffer.TakeLine(acceptLF, line)) {
            const QString text = ftp::DecodeReply(line);
            if (tracker.IsFinal(text)) {
                code = ftp::ReplyCode(text);
                return fed - buffer.Fill();
            }
        }
    }
}

// The expected reply, or the input's bytes; scripted stays true while every
// reply so far was the expected one.
QByteArray Reply(fuzz::Input& in, const QByteArray& expected, bool& scripted)
{
    if (in.Byte() % 4 != 0)
        return expected;
    scripted = false;
    return in.Field() + "\r\n";
}

// A reply to the command.
QByteArray Answer(fuzz::Input& in, const QByteArray& command, bool& scripted)
{
    if (command.startsWith("USER"))
        return Reply(in, "331 Password please.\r\n", scripted);
    if (command.startsWith("PASS"))
        return Reply(in, "230 Logged in.\r\n", scripted);
    return Reply(in, "200 Ok.\r\n", scripted);
}

// The reply in pieces, with the client's events running in between.
void WriteInPieces(fuzz::Input& in, FarEnd& far, const QByteArray& reply)
{
    for (qsizetype at = 0; at < reply.size();) {
        const qsizetype piece = std::min<qsizetype>(in.Range(1, 64), reply.size() - at);
        far.Write(reply.mid(at, piece));
        far.Pump();
        at += piece;
    }
}

// Writes a reply; in clear, only up to the end of the line the client takes
// as final, since the client drops or misreads what follows (as its next
// reply, or as TLS bytes) depending on when its reads happen. Returns the
// code of that line, 0 when there is none or the reply goes over TLS.
int WriteReply(fuzz::Input& in, FarEnd& far, const QByteArray& reply, bool acceptLF)
{
    int code = 0;
    const qsizetype end = far.Tls() ? 0 : ClearReplyEnd(reply, acceptLF, code);
    WriteInPieces(in, far, end > 0 ? reply.left(end) : reply);
    return code;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::EnsureApplication();
    UseInputRandom();
    Identity();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input in(data, size);
    SeedRandom(data, size);
    std::uint16_t port = 0;
    const int listener = Listener(port);
    if (listener < 0)
        return 0;
    const bool implicit = in.Byte() % 4 == 0;

    int done = 0;
    int result = -1;
    int sent = 0;
    bool scripted = true;       // the server answered as a server should
    QList<QByteArray> secured;  // commands received over TLS
    {
        TFtpClient client;
        client.SetHostName(QStringLiteral("127.0.0.1"));
        client.SetPort(QString::number(port));
        client.SetUserName(QStringLiteral("cam"));
        client.SetPassWord(QStringLiteral("secret"));
        client.SetSecurity(implicit ? ftpImplicitTls : ftpExplicitTls);
        client.SetTlsFingerprint(Identity().fingerprint);
        client.OnRequestDone = [&](TCustomFtpCli*, TFtpRequest, std::uint16_t error) {
            ++done;
            result = error;
        };
        client.OnCommand = [&](TCustomFtpCli*, QString&) { ++sent; };
        const bool acceptLF = client.Options().Contains(ftpAcceptLF);
        client.StartLogin();

        FarEnd far;
        if (!far.Accept(listener))
            return 0;
        if (implicit)
            far.StartTls();
        WriteReply(in, far, Reply(in, "220 Ready.\r\n", scripted), acceptLF);

        QByteArray line;
        bool refused = false;  // AUTH TLS answered without a go-ahead
        if (!implicit && far.NextLine(line, done, sent)) {
            FUZZ_CHECK(line == "AUTH TLS" || line == "QUIT");
            const int code = WriteReply(in, far, Reply(in, "234 Go ahead.\r\n", scripted), acceptLF);
            // The client starts its handshake right after the final line of
            // a 234 reply, whatever the reply's shape: so does the far end,
            // and nothing after that line is read in clear.
            if (line == "AUTH TLS" && code == 234)
                far.StartTls();
            refused = line == "AUTH TLS" && code != 234;
        }
        for (int i = 0; i < 8 && far.NextLine(line, done, sent); ++i) {
            // Nothing but QUIT goes in clear once TLS was asked for.
            if (!far.Tls())
                FUZZ_CHECK(line == "QUIT");
            else
                secured << line;
            WriteReply(in, far, Answer(in, line, scripted), acceptLF);
        }
        // Nor any part of a line: a client that started its handshake without
        // a go-ahead shows here, whatever its random bytes hold.
        if (refused) {
            far.Pump();
            FUZZ_CHECK(QByteArrayLiteral("QUIT\r\n").startsWith(far.ClearLeft()));
        }
        // The server hangs up: the login ends, whatever it was waiting for.
        far.Close();
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        while (done == 0 && Clock::now() < deadline) {
            QCoreApplication::processEvents();
            ::poll(nullptr, 0, 1);
        }
        FUZZ_CHECK(done == 1);
        // A server that answers every command as it should, and waits for the
        // client, lets the login through.
        if (scripted && !far.GaveUp())
            FUZZ_CHECK(result == 0);
        if (result == 0) {
            FUZZ_CHECK(secured.contains("PBSZ 0"));
            FUZZ_CHECK(secured.contains("PROT P"));
        }
    }
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    FUZZ_CHECK(done == 1);
    return 0;
}
