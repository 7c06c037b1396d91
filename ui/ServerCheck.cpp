#include "ui/ServerCheck.h"

#include "platform/dialogs.h"
#include "upload/UploadRunner.h"

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

TServerChecker::TServerChecker() : self_(std::make_shared<TServerChecker*>(this)) {}

TServerChecker::~TServerChecker()
{
    Cancel();
}

bool TServerChecker::Start(const settings::FtpAccount& account, std::initializer_list<QWidget*> resting,
                           std::function<void(const TServerCheck&)> done)
{
    if (running_ || !transport_)
        return false;
    TUploadJob job;
    job.purpose = TUploadPurpose::Check;
    job.account = account;
    const std::weak_ptr<TServerChecker*> alive = self_;
    const bool started = transport_->Start(job, [alive, job, done = std::move(done)](const TUploadResult& result) {
        const auto self = alive.lock();
        if (!self || !(*self)->running_)
            return;
        (*self)->GiveBack();
        if (result.cancelled)
            return;
        TServerCheck check;
        check.secured = result.secured;
        check.message = result.connected ? QString() : result.text;
        check.tlsError = result.tlsError;
        check.certificate = result.certificate;
        check.hostKeyState = result.hostKeyState;
        check.hostKey = result.hostKey;
        check.pinnedHostKey = job.account.ssh.hostKey;
        check.knownHostKey = result.knownHostKey;
        done(check);
    });
    if (!started)
        return false;
    running_ = true;
    resting_.assign(resting.begin(), resting.end());
    for (QWidget* w : resting)
        w->setEnabled(false);
    platform::Dialogs().SetCursor(platform::Cursor::HourGlass);
    return true;
}

void TServerChecker::Cancel()
{
    if (!running_)
        return;
    transport_->Cancel();
    GiveBack();
}

void TServerChecker::GiveBack()
{
    running_ = false;
    platform::Dialogs().SetCursor(platform::Cursor::Default);
    for (const QPointer<QWidget>& w : resting_)
        if (w)
            w->setEnabled(true);
    resting_.clear();
}

int ConnectionChoice(const settings::FtpAccount& account)
{
    return account.Sftp() ? kSftpChoice : account.tls.mode;
}

void ApplyConnectionChoice(int choice, settings::FtpAccount& account)
{
    if (choice == kSftpChoice) {
        account.ssh.protocol = settings::Protocol::Sftp;
        return;
    }
    account.ssh.protocol = settings::Protocol::Ftp;
    account.tls.mode = choice;
}

QString SuggestedPort(int choice, const QString& port)
{
    static const QString usual[] = {QStringLiteral("21"), QStringLiteral("21"), QStringLiteral("990"),
                                     QStringLiteral("22")};
    if (choice < 0 || choice > kSftpChoice)
        return port;
    for (const QString& other : usual)
        if (port == other)
            return usual[choice];
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
        platform::MsgDlgType::Confirmation, platform::mbYes | platform::mbNo, platform::mbNo);
    return answer == platform::mrYes ? check.certificate.fingerprint : QString();
}

QString AskToTrustHostKey(const TServerCheck& check)
{
    platform::Dialogs().MessageBeep();
    const int answer = platform::Dialogs().MessageDlg(
        QStringLiteral("The server's SSH host key is not known yet.\r\rHost key fingerprint: ") + check.hostKey +
            QStringLiteral("\r\rTrust this key for this server? Check the fingerprint with the server's owner first."),
        platform::MsgDlgType::Confirmation, platform::mbYes | platform::mbNo, platform::mbNo);
    return answer == platform::mrYes ? check.hostKey : QString();
}

QString ReportServerCheck(const TServerCheck& check)
{
    using HostKey = TUploadResult::HostKey;
    switch (check.hostKeyState) {
    case HostKey::Trusted:
        if (check.message.isEmpty()) {
            platform::Dialogs().MessageDlg(QStringLiteral("The server's SSH host key is trusted.\r\rHost key fingerprint: ") +
                                               check.hostKey,
                                           platform::MsgDlgType::Information, platform::mbOK);
            return {};
        }
        break;
    case HostKey::Unknown:
        return AskToTrustHostKey(check);
    case HostKey::Changed:
        // Never replaced from here: the user clears the pin deliberately.
        platform::Dialogs().MessageBeep();
        platform::Dialogs().MessageDlg(
            QStringLiteral("The server's SSH host key has changed: someone may be between you and the server.\r\r"
                           "Trusted key: ") +
                (check.pinnedHostKey.isEmpty() ? check.knownHostKey + QStringLiteral(" (from known_hosts)")
                                               : check.pinnedHostKey) +
                QStringLiteral("\rServer's key: ") + check.hostKey +
                QStringLiteral("\r\rAsk the server's owner. Only if they confirm the new key, clear the trusted "
                               "host key and check again."),
            platform::MsgDlgType::Error, platform::mbOK);
        return {};
    case HostKey::Revoked:
        // Never offered for trust: known_hosts forbids it.
        platform::Dialogs().MessageBeep();
        platform::Dialogs().MessageDlg(
            QStringLiteral("The server's SSH host key is revoked: known_hosts marks it @revoked, so it is never "
                           "trusted.\r\rServer's key: ") +
                check.hostKey + QStringLiteral("\r\rAsk the server's owner which key the server should show."),
            platform::MsgDlgType::Error, platform::mbOK);
        return {};
    case HostKey::None:
        break;
    }
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
