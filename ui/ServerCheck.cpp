#include "ui/ServerCheck.h"

#include "platform/dialogs.h"
#include "upload/FtpTransport.h"

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
    const bool started = transport_->Start(job, [alive, done = std::move(done)](const TUploadResult& result) {
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
