#include "ui/ServerCheck.h"

#include "ftp/FtpCli.h"
#include "platform/dialogs.h"
#include "ui/Network.h"
#include "upload/UploadSequence.h"

#include <QWidget>

namespace {

QString DateText(const QDateTime& t)
{
    return t.isValid() ? t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'")) : QStringLiteral("?");
}

// Subject, issuer, validity and fingerprint, one per line.
QString CertificateText(const TTlsCertificateInfo& c)
{
    return QStringLiteral("Subject: ") + c.subject + QStringLiteral("\rIssuer: ") + c.issuer +
           QStringLiteral("\rValid from ") + DateText(c.notBefore) + QStringLiteral(" to ") + DateText(c.notAfter) +
           QStringLiteral("\rSHA-256 fingerprint: ") + c.fingerprint;
}

}  // namespace

TServerCheck CheckFtpServer(const settings::FtpAccount& account, std::initializer_list<QWidget*> resting)
{
    TServerCheck check;
    TFtpClient client;
    ApplyFtpAccount(client, account);
    if (account.port.isEmpty())
        client.SetPort(QStringLiteral("21"));
    for (QWidget* w : resting)
        w->setEnabled(false);
    platform::Dialogs().SetCursor(platform::Cursor::HourGlass);
    const bool opened = client.Open();
    platform::Dialogs().SetCursor(platform::Cursor::Default);
    for (QWidget* w : resting)
        w->setEnabled(true);
    check.secured = opened && client.ControlSocket()->TlsEstablished();
    check.message = client.ErrorMessage();
    check.tlsError = client.ControlSocket()->TlsErrorCode();
    check.certificate = client.TlsCertificate();
    if (client.IsConnected())
        client.Quit();
    return check;
}

QString SuggestedPort(int tlsMode, const QString& port)
{
    const bool implicit = tlsMode == ftpImplicitTls;
    if (implicit && port == QLatin1String("21"))
        return QStringLiteral("990");
    if (!implicit && port == QLatin1String("990"))
        return QStringLiteral("21");
    return port;
}

QString AskToTrust(const TServerCheck& check)
{
    platform::Dialogs().MessageBeep();
    const int answer = platform::Dialogs().MessageDlg(
        QStringLiteral("The server's certificate is not trusted:\r") + check.message + QStringLiteral("\r\r") +
            CertificateText(check.certificate) +
            QStringLiteral("\r\rTrust this certificate for this server? Check the fingerprint with the server's "
                           "owner first."),
        platform::MsgDlgType::Confirmation, platform::mbYes | platform::mbNo);
    return answer == platform::mrYes ? check.certificate.fingerprint : QString();
}

QString ReportServerCheck(const TServerCheck& check)
{
    if (check.secured) {
        platform::Dialogs().MessageDlg(QStringLiteral("The server's certificate is trusted.\r\r") +
                                           CertificateText(check.certificate),
                                       platform::MsgDlgType::Information, platform::mbOK);
        return {};
    }
    if (check.Untrusted())
        return AskToTrust(check);
    platform::Dialogs().MessageBeep();
    platform::Dialogs().MessageDlg(
        check.message.isEmpty() ? QStringLiteral("The server does not use TLS: choose explicit or implicit TLS first.")
                                : QStringLiteral("The server could not be checked:\r") + check.message,
        platform::MsgDlgType::Error, platform::mbOK);
    return {};
}
