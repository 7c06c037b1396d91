// The TLS layer against Qt's own TLS server on loopback: the events keep their
// meaning, bytes survive both ways whatever the read sizes, a handshake can
// start on an open connection, and every refusal is reported once. Against a
// server on plain OpenSSL: how the ends of a stream are answered, and a
// renegotiation refused.
#include "net/WSocket.h"
#include "tests/net/loopback.h"
#include "tests/net/raw_tls_peer.h"
#include "tests/support/tls_certificates.h"

#include <QFile>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace nettest;
using testsupport::TlsCertificates;

namespace {

// Echoes what it decrypts. Implicit: TLS from the first byte. Upgrade: plain
// until a line "AUTH", answered "234" in clear, then TLS. Plain: answers any
// bytes with a line of text, as a server that does not speak TLS.
class TlsEchoServer : public QTcpServer
{
public:
    enum class Mode { Implicit, Upgrade, Plain };

    TlsEchoServer(Mode mode, const QString& certificate) : mode_(mode)
    {
        const TlsCertificates& c = TlsCertificates::Get();
        config_ = QSslConfiguration::defaultConfiguration();
        QFile cert(c.CertFile(certificate));
        QFile key(c.KeyFile(certificate));
        if (cert.open(QIODevice::ReadOnly) && key.open(QIODevice::ReadOnly)) {
            config_.setLocalCertificate(QSslCertificate(cert.readAll()));
            config_.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
        }
        config_.setPeerVerifyMode(QSslSocket::VerifyNone);
        listen(QHostAddress::LocalHost, 0);
    }

    QString PortText() const { return QString::number(serverPort()); }
    std::vector<std::unique_ptr<QSslSocket>> peers;
    // Sent as soon as a connection is encrypted; then, when set, bytes that
    // are no TLS record, written past the encryption.
    QByteArray greeting;
    bool breakAfterGreeting = false;
    void OnlyTls12() { config_.setProtocol(QSsl::TlsV1_2); }

protected:
    void incomingConnection(qintptr handle) override
    {
        auto s = std::make_unique<QSslSocket>();
        s->setSocketDescriptor(handle);
        s->setSslConfiguration(config_);
        QSslSocket* raw = s.get();
        QObject::connect(raw, &QSslSocket::readyRead, [this, raw] {
            if (raw->isEncrypted()) {
                raw->write(raw->readAll());
            } else if (mode_ == Mode::Upgrade && raw->canReadLine()) {
                raw->readLine();
                raw->write("234 go ahead\r\n");
                raw->flush();
                raw->startServerEncryption();
            } else if (mode_ == Mode::Plain) {
                raw->readAll();
                raw->write("500 no TLS here\r\n");
            }
        });
        QObject::connect(raw, &QSslSocket::encrypted, [this, raw] {
            if (greeting.isEmpty())
                return;
            raw->write(greeting);
            raw->flush();
            if (breakAfterGreeting)
                ::write(int(raw->socketDescriptor()), "\x17\x03\x03\x00\x05junk!", 10);
        });
        if (mode_ == Mode::Implicit)
            raw->startServerEncryption();
        peers.push_back(std::move(s));
    }

private:
    Mode mode_;
    QSslConfiguration config_;
};

// A socket with every event counted and the plain bytes collected.
struct Probe {
    explicit Probe(int readSize = 4096)
    {
        s.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) { connected.push_back(e); };
        s.OnTlsDone = [this](TCustomWSocket*, std::uint16_t e) { tlsDone.push_back(e); };
        s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { closed.push_back(e); };
        s.OnDataSent = [this](TCustomWSocket*, std::uint16_t) { ++dataSent; };
        s.OnDataAvailable = [this, readSize](TCustomWSocket* sender, std::uint16_t) {
            QByteArray buf(readSize, Qt::Uninitialized);
            const int n = sender->Receive(buf.data(), readSize);
            if (n > 0) {
                got.append(buf.constData(), n);
                reads.emplace_back(buf.constData(), n);
            }
        };
    }
    void Connect(const QString& port, bool atConnect, const QString& pin = {})
    {
        s.SetAddr(QStringLiteral("127.0.0.1"));
        s.SetPort(port);
        s.SetTlsAtConnect(atConnect);
        s.SetTlsFingerprint(pin);
        s.Connect();
    }

    TWSocket s;
    std::vector<int> connected, tlsDone, closed;
    int dataSent = 0;
    QByteArray got;
    std::vector<QByteArray> reads;  // one per data event
};

}  // namespace

TEST(TlsFingerprint, TypedOrPastedFormsAreRead)
{
    const QString canonical = QStringLiteral(
        "05:A7:5F:9E:E8:84:DB:32:67:E4:BF:DD:50:C0:13:C5:AC:A2:6D:24:80:F9:FF:74:97:16:03:A0:58:93:F2:85");
    const struct {
        const char* text;
        bool valid;
    } rows[] = {
        {"05:A7:5F:9E:E8:84:DB:32:67:E4:BF:DD:50:C0:13:C5:AC:A2:6D:24:80:F9:FF:74:97:16:03:A0:58:93:F2:85", true},
        {"sha256 Fingerprint=05:a7:5f:9e:e8:84:db:32:67:e4:bf:dd:50:c0:13:c5:ac:a2:6d:24:80:f9:ff:74:97:16:03:a0:58:93:f2:85", true},
        {" 05a75f9ee884db3267e4bfdd50c013c5aca26d2480f9ff74971603a05893f285 ", true},
        {"05:A7:5F", false},                                                           // too short
        {"05a75f9ee884db3267e4bfdd50c013c5aca26d2480f9ff74971603a05893f28500", false},  // too long
        {"05a75f9ee884db3267e4bfdd50c013c5aca26d2480f9ff74971603a05893f2zz", false},    // not hex
        {"", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(TlsNormalizeFingerprint(QString::fromLatin1(r.text)), r.valid ? canonical : QString()) << r.text;
    EXPECT_EQ(TlsFingerprintText(QByteArray::fromHex("00ab0f")), QStringLiteral("00:AB:0F"));
}

// Implicit TLS: the owner hears of the connection once, after the handshake,
// and then sees only plain bytes, whether it reads in small pieces one per
// notice or drains everything at once.
TEST(TlsLayer, EchoesLargeDataAfterOneConnectEvent)
{
    ASSERT_TRUE(TlsCertificates::Get().Ok()) << TlsCertificates::Get().Error().toStdString();
    for (const bool onePerNotice : {true, false}) {
        TlsEchoServer server(TlsEchoServer::Mode::Implicit, QStringLiteral("selfsigned"));
        ASSERT_TRUE(server.isListening());
        Probe p(onePerNotice ? 1000 : 65536);
        if (onePerNotice)
            p.s.SetComponentOptions({wsoNoReceiveLoop});
        p.Connect(server.PortText(), true, TlsCertificates::Get().Fingerprint(QStringLiteral("selfsigned")));
        ASSERT_TRUE(WaitUntil([&] { return !p.connected.empty(); }));
        ASSERT_EQ(p.connected, std::vector<int>{0}) << p.s.TlsErrorText().toStdString();
        EXPECT_TRUE(p.s.TlsEstablished());
        EXPECT_EQ(p.dataSent, 0);  // the handshake's own bytes are nobody's data

        const QByteArray up = Pattern(700 * 1024 + 13, 7);
        p.s.Send(up);
        ASSERT_TRUE(WaitUntil([&] { return p.got.size() >= up.size(); }, 20000)) << p.got.size();
        EXPECT_TRUE(p.got == up);
        EXPECT_GE(p.dataSent, 1);
        EXPECT_EQ(p.s.TlsPeerCertificate().fingerprint, TlsCertificates::Get().Fingerprint(QStringLiteral("selfsigned")));
        EXPECT_EQ(p.s.TlsPeerCertificate().subject, QStringLiteral("CN=localhost,O=Tarvo Tests"));

        p.s.Close();
        EXPECT_EQ(p.closed, std::vector<int>{0});
        EXPECT_FALSE(p.s.TlsActive());
    }
}

// After a plain exchange (the AUTH TLS pattern), a handshake starts on the
// open connection; what the owner sends before it ends goes after it, in order.
TEST(TlsLayer, StartTlsOnAnOpenConnectionKeepsEarlySends)
{
    ASSERT_TRUE(TlsCertificates::Get().Ok());
    testsupport::ScopedTestCaStore store;
    TlsEchoServer server(TlsEchoServer::Mode::Upgrade, QStringLiteral("good"));
    Probe p;
    p.Connect(server.PortText(), false);
    ASSERT_TRUE(WaitUntil([&] { return !p.connected.empty(); }));
    p.s.SendText(QStringLiteral("AUTH\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return p.got.contains("\r\n"); }));
    EXPECT_EQ(p.got, QByteArray("234 go ahead\r\n"));
    p.got.clear();

    p.s.StartTls();
    p.s.SendText(QStringLiteral("first "));
    p.s.SendText(QStringLiteral("second"));
    ASSERT_TRUE(WaitUntil([&] { return p.got.size() >= 12 || !p.closed.empty(); }));
    EXPECT_EQ(p.tlsDone, std::vector<int>{0}) << p.s.TlsErrorText().toStdString();
    EXPECT_EQ(p.got, QByteArray("first second"));
    EXPECT_EQ(p.connected.size(), 1u);  // the handshake is no second connect
    EXPECT_TRUE(p.s.TlsSession() != nullptr);
}

// Every refusal is one connect event with its code, then the close, and it
// says why with the certificate's fingerprint.
TEST(TlsLayer, RefusalsReportedOnceWithTheReason)
{
    const TlsCertificates& c = TlsCertificates::Get();
    ASSERT_TRUE(c.Ok());
    const struct {
        const char* name;
        TlsEchoServer::Mode mode;
        const char* certificate;
        const char* pin;
        int code;
        const char* says;
    } rows[] = {
        {"untrusted", TlsEchoServer::Mode::Implicit, "selfsigned", "", tlsCertificateNotTrusted, "self-signed"},
        {"pin mismatch", TlsEchoServer::Mode::Implicit, "other", "selfsigned", tlsFingerprintMismatch,
         "does not match"},
        {"no TLS", TlsEchoServer::Mode::Plain, "selfsigned", "", tlsHandshakeFailed, "handshake failed"},
    };
    for (const auto& r : rows) {
        TlsEchoServer server(r.mode, QString::fromLatin1(r.certificate));
        Probe p;
        p.Connect(server.PortText(), true, *r.pin ? c.Fingerprint(QString::fromLatin1(r.pin)) : QString());
        ASSERT_TRUE(WaitUntil([&] { return !p.closed.empty(); })) << r.name;
        EXPECT_EQ(p.connected, std::vector<int>{r.code}) << r.name;
        EXPECT_EQ(p.closed.size(), 1u) << r.name;
        EXPECT_TRUE(p.s.TlsErrorText().contains(QLatin1String(r.says))) << r.name << ": "
                                                                           << p.s.TlsErrorText().toStdString();
        if (r.mode != TlsEchoServer::Mode::Plain) {
            const QString print = c.Fingerprint(QString::fromLatin1(r.certificate));
            EXPECT_TRUE(p.s.TlsErrorText().endsWith(print)) << r.name;
            EXPECT_EQ(p.s.TlsPeerCertificate().fingerprint, print) << r.name;
        }
        EXPECT_EQ(p.s.State(), wsClosed);
        EXPECT_TRUE(p.got.isEmpty()) << r.name;
    }
}

// Line mode works on the plain bytes: each line is one data event, also the
// lines that come in one read with the handshake's end (TLS 1.2), and a
// record that does not decrypt ends the connection as it does without lines.
TEST(TlsLayer, LineModeSplitsThePlainBytes)
{
    const TlsCertificates& c = TlsCertificates::Get();
    ASSERT_TRUE(c.Ok());
    const struct {
        const char* name;
        bool tls12;
        const char* greeting;
        bool broken;
        const char* send;
        std::vector<QByteArray> lines;
    } rows[] = {
        {"echoed lines", false, "", false, "one\r\ntwo\r\n", {"one\r\n", "two\r\n"}},
        {"lines with the handshake's end", true, "220 a\r\n220 b\r\n", false, "", {"220 a\r\n", "220 b\r\n"}},
        {"a broken record after a line", false, "220 a\r\n", true, "", {"220 a\r\n"}},
    };
    for (const auto& r : rows) {
        TlsEchoServer server(TlsEchoServer::Mode::Implicit, QStringLiteral("selfsigned"));
        if (r.tls12)
            server.OnlyTls12();
        server.greeting = r.greeting;
        server.breakAfterGreeting = r.broken;
        Probe p;
        p.s.SetLineMode(true);
        p.Connect(server.PortText(), true, c.Fingerprint(QStringLiteral("selfsigned")));
        ASSERT_TRUE(WaitUntil([&] { return !p.connected.empty(); })) << r.name;
        if (*r.send)
            p.s.SendText(QString::fromLatin1(r.send));
        EXPECT_TRUE(WaitUntil([&] { return p.reads.size() >= r.lines.size() && (!r.broken || !p.closed.empty()); }))
            << r.name;
        EXPECT_EQ(p.reads, r.lines) << r.name;
        if (r.broken)
            EXPECT_EQ(p.closed, std::vector<int>{tlsConnectionBroken}) << r.name;
        else
            EXPECT_TRUE(p.closed.empty()) << r.name;
    }
}

// A handler may delete the socket in the event the handshake ends with.
TEST(TlsLayer, HandlerDeletesTheSocketAtTheHandshakeEnd)
{
    const TlsCertificates& c = TlsCertificates::Get();
    ASSERT_TRUE(c.Ok());
    for (const char* pin : {"selfsigned", "other"}) {  // success, then refusal
        TlsEchoServer server(TlsEchoServer::Mode::Implicit, QStringLiteral("selfsigned"));
        auto* s = new TWSocket;
        QPointer<TWSocket> alive(s);
        s->OnSessionConnected = [](TCustomWSocket* sender, std::uint16_t) { delete sender; };
        s->SetAddr(QStringLiteral("127.0.0.1"));
        s->SetPort(server.PortText());
        s->SetTlsAtConnect(true);
        s->SetTlsFingerprint(c.Fingerprint(QString::fromLatin1(pin)));
        s->Connect();
        EXPECT_TRUE(WaitUntil([&] { return alive.isNull(); })) << pin;
        delete alive.data();
    }
}

// How a stream ends decides what the other side may believe. Each row: what
// the server does once some bytes of an upload-sized stream have arrived,
// whether the client's own close notice may answer it, and whether the
// client may take the end as clean.
TEST(TlsLayer, EndsAreAnsweredAsTheyCame)
{
    ASSERT_TRUE(TlsCertificates::Get().Ok());
    const struct {
        const char* name;
        RawTlsPeer::Act act;
        int total;            // bytes the client sends, one block per data-sent notice
        bool noticeAnswered;  // the client's close notice reached the server
    } rows[] = {
        // A FIN anyone on the path can forge: answered with a notice, the
        // server would take the cut for a clean end.
        {"bare end mid-stream", RawTlsPeer::Act::BareEnd, 1024 * 1024, false},
        {"clean end after the stream", RawTlsPeer::Act::CleanEnd, 5000, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        RawTlsPeer peer(r.act, 4096, QStringLiteral("selfsigned"));
        Probe p;
        int sent = 0;
        bool cleanAtClose = false;
        p.s.OnDataSent = [&](TCustomWSocket* s, std::uint16_t) {
            if (sent < r.total && s->State() == wsConnected) {
                const QByteArray block = Pattern(std::min(16384, r.total - sent), unsigned(sent));
                sent += block.size();
                s->Send(block);
            }
        };
        p.s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) {
            p.closed.push_back(e);
            cleanAtClose = p.s.TlsCloseNoticeReceived();
        };
        p.s.OnSessionConnected = [&](TCustomWSocket* s, std::uint16_t) { s->Send(Pattern(4096)); };
        p.Connect(peer.PortText(), true, TlsCertificates::Get().Fingerprint(QStringLiteral("selfsigned")));
        ASSERT_TRUE(WaitUntil([&] { return !p.closed.empty(); }, 20000));
        peer.Join();
        EXPECT_TRUE(peer.failure.empty()) << peer.failure;
        EXPECT_EQ(peer.closeNoticeSeen, r.noticeAnswered);
        EXPECT_EQ(cleanAtClose, r.act == RawTlsPeer::Act::CleanEnd);
    }
}

// A TLS 1.2 server that asks to renegotiate mid-upload: refused, and the
// failure says so instead of a bare "connection broken" or "reset", however
// the server then ends the connection.
TEST(TlsLayer, RenegotiationIsRefusedWithItsReason)
{
    ASSERT_TRUE(TlsCertificates::Get().Ok());
    for (const auto act : {RawTlsPeer::Act::Renegotiate, RawTlsPeer::Act::RenegotiateThenReset}) {
        SCOPED_TRACE(int(act));
        RawTlsPeer peer(act, 4096, QStringLiteral("selfsigned"));
        Probe p;
        int sent = 0;
        p.s.OnDataSent = [&](TCustomWSocket* s, std::uint16_t) {
            if (sent < 4 * 1024 * 1024 && s->State() == wsConnected) {
                sent += 16384;
                s->Send(Pattern(16384, unsigned(sent)));
            }
        };
        p.s.OnSessionConnected = [&](TCustomWSocket* s, std::uint16_t) { s->Send(Pattern(4096)); };
        p.Connect(peer.PortText(), true, TlsCertificates::Get().Fingerprint(QStringLiteral("selfsigned")));
        ASSERT_TRUE(WaitUntil([&] { return !p.closed.empty(); }, 20000));
        peer.Join();
        EXPECT_EQ(p.closed, std::vector<int>{tlsConnectionBroken});
        EXPECT_TRUE(p.s.TlsErrorText().startsWith(QStringLiteral("The server asked to renegotiate TLS")))
            << p.s.TlsErrorText().toStdString();
    }
}
