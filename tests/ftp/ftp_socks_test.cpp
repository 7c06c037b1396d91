// The FTP client through proxies: SOCKS 4A through a relaying proxy to a real
// server (both the control and the passive data connection), and an FTP proxy
// that learns the target host from the login name.
#include "tests/ftp/ftp_probe.h"
#include "tests/support/fake_socks_server.h"
#include "tests/support/ftp_fake_server.h"
#include "tests/support/ftp_real_server.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using ftptest::ClientProbe;
using testsupport::FakeSocksServer;
using Req = FakeSocksServer::Request;

namespace {

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray b;
    for (int v : values)
        b += char(v);
    return b;
}

// A version 4 request for a name the proxy resolves: address 0.0.0.1.
QByteArray Socks4ARequest(quint16 port, const QByteArray& user, const QByteArray& host)
{
    return Bytes({4, 1, port >> 8, port & 0xFF, 0, 0, 0, 1}) + user + '\0' + host + '\0';
}

// Reaches the FTP proxy on the scripted server's port instead of port 21.
class ProxyPortClient : public TFtpClient
{
public:
    void SetProxyPortForTest(const QString& port) { proxyPort_ = port; }
};

}  // namespace

TEST(FtpThroughProxy, Socks4AUploadThroughARelayingProxy)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    FakeSocksServer proxy({{Req::Connect4, Bytes({0, 90, 0, 0, 0, 0, 0, 0}), false, /*relay=*/true}},
                          FakeSocksServer::Clients::Each);
    ASSERT_TRUE(proxy.Listening());
    QTemporaryDir local;
    ASSERT_TRUE(local.isValid());
    const QByteArray content = ftptest::Pattern(300 * 1024 + 7);
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("Capture.jpg"), content));

    ClientProbe p(server.Port(), server.User(), server.Password());
    p.client.SetConnectionType(ftpSocks4A);
    p.client.SetPassiveMode(false);  // a proxy keeps passive transfers
    p.client.SetSocksServer(QStringLiteral("127.0.0.1"));
    p.client.SetSocksPort(proxy.Port());
    p.client.SetSocksUserCode(QStringLiteral("cam"));
    p.client.SetLocalFileName(local.filePath("Capture.jpg"));
    p.client.SetHostFileName(QStringLiteral("socks4a.jpg"));
    ASSERT_TRUE(p.client.Upload()) << p.client.ErrorMessage().toStdString() << "\n"
                                   << p.display.join("\n").toStdString();

    const QByteArray stored = ftptest::ReadFile(QDir(server.Root()).filePath("socks4a.jpg"));
    EXPECT_EQ(stored.size(), content.size());
    EXPECT_TRUE(stored == content);
    EXPECT_TRUE(p.Trace("> ").contains(QStringLiteral("PASV")));

    // Two 4A requests, control then data, each naming the host for the proxy
    // to resolve; both were carried to the server.
    ASSERT_EQ(proxy.Requests().size(), 2u);
    EXPECT_EQ(proxy.Requests()[0], Socks4ARequest(server.Port(), "cam", "127.0.0.1"));
    const QByteArray data = proxy.Requests()[1];
    ASSERT_GE(data.size(), 8);
    const quint16 dataPort = quint16(quint8(data[2]) << 8 | quint8(data[3]));
    EXPECT_EQ(data, Socks4ARequest(dataPort, "cam", "127.0.0.1"));
    ASSERT_EQ(proxy.Relayed().size(), 2u);
    EXPECT_EQ(proxy.Relayed()[0], QStringLiteral("127.0.0.1:%1").arg(server.Port()));
    EXPECT_EQ(proxy.Relayed()[1], QStringLiteral("127.0.0.1:%1").arg(dataPort));
}

TEST(FtpThroughProxy, FtpProxyLoginAndPassiveUpload)
{
    testsupport::FtpFakeServer proxy;
    const QByteArray content = ftptest::Pattern(64 * 1024 + 3);
    proxy.Reply("220 Proxy ready.")
        .Expect("USER tarvo@ftp.example.com:2121")
        .Reply("331 Password required.")
        .Expect("PASS secret")
        .Reply("230 Logged in.")
        .Expect("TYPE I")
        .Reply("200 Type set to I.")
        .Expect("PASV")
        .Passive()
        .Expect("STOR Capture.jpg")
        .Reply("150 Ok to send data.")
        .ReceiveData()
        .Reply("226 Transfer complete.")
        .Expect("QUIT")
        .Reply("221 Goodbye.")
        .Drop();
    QTemporaryDir local;
    ASSERT_TRUE(local.isValid());
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("Capture.jpg"), content));

    ProxyPortClient c;
    c.SetProxyPortForTest(proxy.PortText());
    c.SetConnectionType(ftpProxy);
    c.SetPassiveMode(false);
    c.SetProxyServer(QStringLiteral("127.0.0.1"));
    c.SetHostName(QStringLiteral("ftp.example.com"));  // only the proxy resolves it
    c.SetPort(QStringLiteral("2121"));
    c.SetUserName(QStringLiteral("tarvo"));
    c.SetPassWord(QStringLiteral("secret"));
    c.SetTimeout(20);
    c.SetLocalFileName(local.filePath("Capture.jpg"));
    c.SetHostFileName(QStringLiteral("Capture.jpg"));
    ASSERT_TRUE(c.Upload()) << c.ErrorMessage().toStdString();

    EXPECT_TRUE(proxy.Mismatches().isEmpty()) << proxy.Mismatches().join('\n').toStdString();
    EXPECT_EQ(proxy.Commands(), (QStringList{"USER tarvo@ftp.example.com:2121", "PASS secret", "TYPE I", "PASV",
                                             "STOR Capture.jpg", "QUIT"}));
    EXPECT_TRUE(proxy.DataReceived() == content);
}

TEST(FtpThroughProxy, EveryConnectionOfASessionGoesThroughSocks)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    FakeSocksServer proxy({{Req::Connect4, Bytes({0, 90, 0, 0, 0, 0, 0, 0}), false, /*relay=*/true}},
                          FakeSocksServer::Clients::Each);
    QTemporaryDir local;
    ASSERT_TRUE(local.isValid());
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("a.bin"), ftptest::Pattern(5000)));

    ClientProbe p(server.Port(), server.User(), server.Password());
    p.client.SetConnectionType(ftpSocks4A);
    p.client.SetSocksServer(QStringLiteral("127.0.0.1"));
    p.client.SetSocksPort(proxy.Port());
    p.client.SetLocalFileName(local.filePath("a.bin"));
    ASSERT_TRUE(p.client.Login()) << p.client.ErrorMessage().toStdString();
    for (const char* name : {"one.bin", "two.bin"}) {
        p.client.SetHostFileName(QString::fromLatin1(name));
        ASSERT_TRUE(p.client.Store()) << p.client.ErrorMessage().toStdString();
    }
    ASSERT_TRUE(p.client.Quit());
    EXPECT_EQ(proxy.Connections(), 3) << "control and both data connections";
    EXPECT_EQ(p.client.SocksServer(), QStringLiteral("127.0.0.1")) << "the setting outlives the connections";
    EXPECT_EQ(p.client.SocksPort(), proxy.Port());

    // A second session of the same client.
    p.client.SetHostFileName(QStringLiteral("three.bin"));
    ASSERT_TRUE(p.client.Upload()) << p.client.ErrorMessage().toStdString();
    EXPECT_EQ(proxy.Connections(), 5);
    for (const char* name : {"one.bin", "two.bin", "three.bin"})
        EXPECT_TRUE(ftptest::ReadFile(QDir(server.Root()).filePath(QString::fromLatin1(name))) ==
                    ftptest::Pattern(5000))
            << name;
}

// ftpSocks5 as the client sets it up: offering user name and password.
TEST(FtpThroughProxy, Socks5UploadAuthenticatesEachConnection)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    FakeSocksServer proxy({{Req::Methods, Bytes({5, 2})},
                           {Req::Auth, Bytes({1, 0})},
                           {Req::Connect5, Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 0}), false, /*relay=*/true}},
                          FakeSocksServer::Clients::Each);
    QTemporaryDir local;
    ASSERT_TRUE(local.isValid());
    const QByteArray content = ftptest::Pattern(100 * 1024 + 1);
    ASSERT_TRUE(ftptest::WriteFile(local.filePath("Capture.jpg"), content));

    ClientProbe p(server.Port(), server.User(), server.Password());
    p.client.SetConnectionType(ftpSocks5);
    p.client.SetSocksServer(QStringLiteral("127.0.0.1"));
    p.client.SetSocksPort(proxy.Port());
    p.client.SetSocksUserCode(QStringLiteral("cam"));
    p.client.SetSocksPassword(QStringLiteral("pw"));
    p.client.SetLocalFileName(local.filePath("Capture.jpg"));
    p.client.SetHostFileName(QStringLiteral("socks5.jpg"));
    ASSERT_TRUE(p.client.Upload()) << p.client.ErrorMessage().toStdString() << "\n"
                                   << p.display.join("\n").toStdString();
    EXPECT_TRUE(ftptest::ReadFile(QDir(server.Root()).filePath("socks5.jpg")) == content);

    ASSERT_EQ(proxy.Requests().size(), 6u);
    for (int i : {0, 3}) {
        EXPECT_EQ(proxy.Requests()[i], Bytes({5, 1, 2})) << i;
        EXPECT_EQ(proxy.Requests()[i + 1], Bytes({1, 3}) + "cam" + Bytes({2}) + "pw") << i;
        EXPECT_TRUE(proxy.Requests()[i + 2].startsWith(Bytes({5, 1, 0, 3, 9}) + "127.0.0.1")) << i;
    }
    ASSERT_EQ(proxy.Relayed().size(), 2u);
    EXPECT_EQ(proxy.Relayed()[0], QStringLiteral("127.0.0.1:%1").arg(server.Port()));
}
