// FTP over TLS against a real server that requires it and refuses data
// connections that do not resume the control connection's session: every
// way the update reaches a server (explicit and implicit TLS, passive and
// active, through a SOCKS proxy), the certificate checks, and the refusals
// that must leave the password unsent.
#include "tests/ftp/ftp_probe.h"
#include "tests/support/danted_proxy.h"
#include "tests/support/ftp_fake_server.h"
#include "tests/support/ftp_real_server.h"
#include "tests/support/tls_certificates.h"
#include "tests/support/wait.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using ftptest::ClientProbe;
using testsupport::FtpRealServer;
using testsupport::TlsCertificates;

namespace {

QString Fingerprint(const char* certificate)
{
    return TlsCertificates::Get().Fingerprint(QString::fromLatin1(certificate));
}

// The commands the client sent, in order.
QString Sent(const ClientProbe& p)
{
    return p.Trace(QStringLiteral("> ")).join(QLatin1Char('|'));
}

}  // namespace

// The update's own calls (login, type, two stores, quit) on every path, and
// a download; each data connection resumes the control connection's session,
// or the server would refuse it.
TEST(FtpOverTls, UpdateSequenceOnEveryPath)
{
    ASSERT_TRUE(TlsCertificates::Get().Ok()) << TlsCertificates::Get().Error().toStdString();
    const struct {
        const char* name;
        TFtpSecurity security;
        bool passive;
        bool socks;
    } rows[] = {
        {"explicit, passive", ftpExplicitTls, true, false},
        {"explicit, active", ftpExplicitTls, false, false},
        {"implicit, passive", ftpImplicitTls, true, false},
        {"implicit, active", ftpImplicitTls, false, false},
        {"explicit through SOCKS 4", ftpExplicitTls, true, true},
    };
    QTemporaryDir local;
    ASSERT_TRUE(local.isValid());
    const QByteArray picture = ftptest::Pattern(180 * 1024 + 5);
    const QByteArray caption = ftptest::Pattern(9 * 1024 + 1).right(9 * 1024 + 1 - 7);
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("Capture.jpg"), picture));
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("datetime.bmp"), caption));
    std::unique_ptr<testsupport::DantedProxy> proxy;

    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        FtpRealServer server;
        server.SetTls(r.security == ftpImplicitTls ? FtpRealServer::Tls::Implicit : FtpRealServer::Tls::Explicit);
        ASSERT_TRUE(server.Start()) << server.Error().toStdString();
        ClientProbe p(server.Port(), server.User(), server.Password());
        p.client.SetSecurity(r.security);
        p.client.SetTlsFingerprint(Fingerprint("selfsigned"));
        if (r.socks) {
            if (!proxy)
                proxy = std::make_unique<testsupport::DantedProxy>();
            ASSERT_TRUE(proxy->Running()) << proxy->Error().toStdString();
            p.client.SetConnectionType(ftpSocks4);
            p.client.SetSocksServer(QStringLiteral("127.0.0.1"));
            p.client.SetSocksPort(QString::number(proxy->Port()));
        }
        p.client.SetPassiveMode(r.passive);

        ASSERT_TRUE(p.client.Login() && p.client.SetBinaryType()) << p.client.ErrorMessage().toStdString();
        EXPECT_TRUE(p.client.ControlSocket()->TlsEstablished());
        for (const char* name : {"Capture.jpg", "datetime.bmp"}) {
            p.client.SetLocalFileName(local.filePath(QString::fromLatin1(name)));
            p.client.SetHostFileName(QString::fromLatin1(name));
            ASSERT_TRUE(p.client.Store()) << name << ": " << p.client.ErrorMessage().toStdString() << "\n"
                                          << p.display.join("\n").toStdString();
        }
        // And back: the download side of the same layer.
        p.client.SetLocalFileName(local.filePath(QStringLiteral("back.jpg")));
        p.client.SetHostFileName(QStringLiteral("Capture.jpg"));
        ASSERT_TRUE(p.client.Retrieve()) << p.client.ErrorMessage().toStdString();
        EXPECT_TRUE(ftptest::ReadFile(local.filePath("back.jpg")) == picture);
        EXPECT_TRUE(p.client.Quit());
        EXPECT_TRUE(ftptest::ReadFile(QDir(server.Root()).filePath("Capture.jpg")) == picture);
        EXPECT_TRUE(ftptest::ReadFile(QDir(server.Root()).filePath("datetime.bmp")) == caption);

        const QString sent = Sent(p);
        const QString login = QStringLiteral("USER tarvo|PASS secret|PBSZ 0|PROT P|TYPE I|");
        EXPECT_TRUE(sent.startsWith(r.security == ftpExplicitTls ? QStringLiteral("AUTH TLS|") + login : login))
            << sent.toStdString();
    }
}

// The certificate must be for the host typed and issued by a trusted CA, or
// be the pinned one; a refusal says why, names the fingerprint and comes
// before the user name is sent.
TEST(FtpOverTls, CertificateChecks)
{
    ASSERT_TRUE(TlsCertificates::Get().Ok());
    testsupport::ScopedTestCaStore store;
    const struct {
        const char* certificate;
        const char* host;
        const char* pin;
        const char* refusal;  // empty: accepted
    } rows[] = {
        {"good", "localhost", "", ""},
        {"good", "127.0.0.1", "", ""},
        {"wrongname", "localhost", "", "hostname mismatch"},
        {"wrongname", "127.0.0.1", "", "IP address mismatch"},
        {"expired", "localhost", "", "certificate has expired"},
        {"selfsigned", "localhost", "", "self-signed certificate"},
        {"selfsigned", "localhost", "selfsigned", ""},
        {"other", "localhost", "selfsigned", "does not match the trusted fingerprint"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.certificate) + " at " + r.host + " pinned " + r.pin);
        FtpRealServer server;
        server.SetTls(FtpRealServer::Tls::Explicit, QString::fromLatin1(r.certificate));
        ASSERT_TRUE(server.Start()) << server.Error().toStdString();
        ClientProbe p(server.Port(), server.User(), server.Password());
        p.client.SetHostName(QString::fromLatin1(r.host));
        p.client.SetSecurity(ftpExplicitTls);
        p.client.SetTlsFingerprint(*r.pin ? Fingerprint(r.pin) : QString());
        const bool ok = p.client.Login();
        if (!*r.refusal) {
            EXPECT_TRUE(ok) << p.client.ErrorMessage().toStdString();
            p.client.Quit();
            continue;
        }
        EXPECT_FALSE(ok);
        const QString message = p.client.ErrorMessage();
        EXPECT_TRUE(message.contains(QLatin1String(r.refusal))) << message.toStdString();
        EXPECT_TRUE(message.endsWith(QStringLiteral("SHA-256 fingerprint ") + Fingerprint(r.certificate)))
            << message.toStdString();
        EXPECT_EQ(p.client.TlsCertificate().fingerprint, Fingerprint(r.certificate));
        EXPECT_FALSE(Sent(p).contains(QLatin1String("USER"))) << Sent(p).toStdString();
        ASSERT_EQ(p.done.size(), 1);
        EXPECT_GE(p.done[0].error, 400);
        EXPECT_FALSE(p.client.IsConnected());
    }
}

// A server that will not secure the connection fails the login with a text
// that says so; the user name and password never leave.
TEST(FtpOverTls, RefusedTlsSendsNoLogin)
{
    const struct {
        const char* name;
        QByteArray authReply;  // empty: the server drops the connection after 234
        const char* says;
    } rows[] = {
        {"AUTH unknown", "500 Unknown command.", "500 The server refused TLS (AUTH TLS answered \"500 Unknown command.\")"},
        {"AUTH positive but not 234", "200 Sure.", "534 The server refused TLS"},
        {"no handshake after 234", "234 Go ahead.", "TLS handshake failed"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        testsupport::FtpFakeServer server;
        server.Reply("220 Ready").Expect("AUTH TLS").Reply(r.authReply);
        if (r.authReply.startsWith("234"))
            server.Raw("220 this is no TLS\r\n").Drop();
        ClientProbe p(server.Port());
        p.client.SetSecurity(ftpExplicitTls);
        EXPECT_FALSE(p.client.Login());
        EXPECT_TRUE(p.client.ErrorMessage().contains(QLatin1String(r.says))) << p.client.ErrorMessage().toStdString();
        EXPECT_TRUE(testsupport::WaitUntil([&] { return server.ScriptDone() || !server.ControlOpen(); }));
        EXPECT_EQ(server.Commands(), QStringList{QStringLiteral("AUTH TLS")});
        ASSERT_EQ(p.done.size(), 1);
        EXPECT_GE(p.done[0].error, 400);
    }
}

// A TLS download whose data connection ends without the close notice (a FIN
// that anyone on the path could send) is whole only when the size the server
// announced in its 150 reply arrived; a listing has no size to vouch for it.
TEST(FtpOverTls, DownloadsEndedWithoutTheCloseNotice)
{
    ASSERT_TRUE(TlsCertificates::Get().Ok());
    const struct {
        const char* name;
        const char* dataEnd;
        bool listing;
        bool expectOk;
    } rows[] = {
        {"no size announced", "bare", false, false},
        {"announced size arrived", "bare-sized", false, true},
        {"announced size not reached", "bare-short", false, false},
        {"listing", "bare", true, false},
    };
    QTemporaryDir local;
    ASSERT_TRUE(local.isValid());
    const QByteArray picture = ftptest::Pattern(64 * 1024 + 3);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        FtpRealServer server;
        server.SetTls(FtpRealServer::Tls::Explicit);
        server.SetDataEnd(QString::fromLatin1(r.dataEnd));
        ASSERT_TRUE(server.Start()) << server.Error().toStdString();
        ASSERT_TRUE(ftptest::WriteFile(QDir(server.Root()).filePath("Capture.jpg"), picture));
        ClientProbe p(server.Port(), server.User(), server.Password());
        p.client.SetSecurity(ftpExplicitTls);
        p.client.SetTlsFingerprint(Fingerprint("selfsigned"));
        p.client.SetPassiveMode(true);
        ASSERT_TRUE(p.client.Login() && p.client.SetBinaryType()) << p.client.ErrorMessage().toStdString();
        p.client.SetLocalFileName(local.filePath(QStringLiteral("back")));
        p.client.SetHostFileName(r.listing ? QString() : QStringLiteral("Capture.jpg"));
        EXPECT_EQ(r.listing ? p.client.ListLong() : p.client.Retrieve(), r.expectOk)
            << p.client.ErrorMessage().toStdString();
        if (r.expectOk)
            EXPECT_TRUE(ftptest::ReadFile(local.filePath("back")) == picture);
        else
            EXPECT_TRUE(p.client.ErrorMessage().contains(QStringLiteral("without the TLS close notice")))
                << p.client.ErrorMessage().toStdString();
        EXPECT_TRUE(p.client.Quit()) << p.client.ErrorMessage().toStdString();
    }
}
