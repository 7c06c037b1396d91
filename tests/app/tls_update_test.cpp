// The website update to a server that requires TLS, as a user runs it: the
// settings file asks for explicit TLS and pins the server's self-signed
// certificate; the program started with AutoStart uploads both pictures, the
// stop pictures at close, and refuses a server whose certificate changed,
// logging the new fingerprint.
#include "tests/app/main_window_fixture.h"
#include "tests/support/ftp_real_server.h"
#include "tests/support/tls_certificates.h"

using namespace apptest;
using testsupport::FtpRealServer;
using testsupport::TlsCertificates;

namespace {

QByteArray TlsAccount(const FtpRealServer& server, const QString& pin)
{
    return Account(server.PortText(), server.User(), server.Password(),
                   "AutoStart=1\nFTP_Security=1\nTLS_Fingerprint=" + pin.toUtf8() + "\n");
}

class TlsWebsiteUpdate : public MainWindowTest
{
protected:
    QByteArray Remote(const FtpRealServer& server, const char* name) const
    {
        return ReadFile(server.Root() + QLatin1Char('/') + QString::fromLatin1(name));
    }
};

}  // namespace

TEST_F(TlsWebsiteUpdate, PinnedServerGetsEveryPictureAndAChangedCertificateIsRefused)
{
    const TlsCertificates& certificates = TlsCertificates::Get();
    ASSERT_TRUE(certificates.Ok()) << certificates.Error().toStdString();
    const QString pin = certificates.Fingerprint(QStringLiteral("selfsigned"));
    FtpRealServer server;
    server.SetTls(FtpRealServer::Tls::Explicit, QStringLiteral("selfsigned"));
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    StoreSettings(TlsAccount(server, pin));
    LaunchWithCamera();
    WaitIdle();
    EXPECT_TRUE(Main().Timer1().isActive());
    EXPECT_EQ(QImage::fromData(Remote(server, "Capture.jpg"), "JPG").size(), QSize(320, 240));
    EXPECT_EQ(QImage::fromData(Remote(server, "datetime.bmp"), "BMP").size(), QSize(178, 18));
    Close();
    EXPECT_EQ(Remote(server, "Capture.jpg"), ReadFile(Path(QStringLiteral("stopcap.jpg"))));
    EXPECT_EQ(Remote(server, "datetime.bmp"), ReadFile(Path(QStringLiteral("stoptime.bmp"))));
    EXPECT_TRUE(LogText().isEmpty()) << LogText().toStdString();

    // The same address now answers with another certificate.
    FtpRealServer changed;
    changed.SetTls(FtpRealServer::Tls::Explicit, QStringLiteral("other"));
    ASSERT_TRUE(changed.Start()) << changed.Error().toStdString();
    forms_.reset();
    StoreSettings(TlsAccount(changed, pin));
    Launch();
    WaitIdle();
    EXPECT_TRUE(Remote(changed, "Capture.jpg").isEmpty());
    const QString log = LogText();
    EXPECT_TRUE(log.contains(QStringLiteral(" :   FTP Error = 500 Server certificate does not match the trusted "
                                            "fingerprint; SHA-256 fingerprint ") +
                             certificates.Fingerprint(QStringLiteral("other"))))
        << log.toStdString();
}
