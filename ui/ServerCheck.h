#pragma once
// "Check server": opens a connection with the account's protocol and TLS
// choice, shows the server's certificate or SSH host key, and asks whether to
// trust one that is not trusted yet (the answer pins its fingerprint). The network dialog and the
// wizard's first page share it; the connection is a job for the transport
// the program hands them.

#include "net/WSocketTls.h"
#include "settings/Settings.h"
#include "upload/UploadJob.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

class TUploadRunner;

struct TServerCheck {
    bool secured = false;  // the connection came up with TLS and a trusted certificate
    QString message;       // why it did not
    int tlsError = 0;      // the TLS failure code, 0 for none
    TTlsCertificateInfo certificate;
    // SFTP: the host key's fingerprint and what was known of it.
    TUploadResult::HostKey hostKeyState = TUploadResult::HostKey::None;
    QString hostKey;
    QString pinnedHostKey;  // the key the account expected, when it had one
    QString knownHostKey;   // else the keys known_hosts holds for the server, when another

    // A certificate came and was refused: trusting it would let it through.
    bool Untrusted() const
    {
        return !certificate.IsEmpty() && (tlsError == tlsCertificateNotTrusted || tlsError == tlsFingerprintMismatch);
    }
};

// Runs checks for one window, one at a time, without waiting.
class TServerChecker
{
public:
    TServerChecker();
    ~TServerChecker();
    TServerChecker(const TServerChecker&) = delete;
    TServerChecker& operator=(const TServerChecker&) = delete;

    void SetTransport(TUploadRunner* transport) { transport_ = transport; }
    bool Running() const { return running_; }

    // Connects to the account's host and port with its time-out, TLS choice
    // and pin, and ends the connection again; done follows with the outcome.
    // The widgets named rest (disabled) and the cursor is the hour glass
    // meanwhile, so that the window cannot confirm or check again under the
    // running check. False without a transport or while it is busy.
    bool Start(const settings::FtpAccount& account, std::initializer_list<QWidget*> resting,
               std::function<void(const TServerCheck&)> done);
    // Gives a running check up: the widgets are given back, done never comes.
    void Cancel();

private:
    void GiveBack();

    TUploadRunner* transport_ = nullptr;
    bool running_ = false;
    std::vector<QPointer<QWidget>> resting_;
    // Lets a result that arrives after this object is gone find nobody.
    std::shared_ptr<TServerChecker*> self_;
};

// The protocol choice of the dialogs: FTP with its TLS choice (0 to 2, as
// "FTP_Security") or SFTP.
constexpr int kSftpChoice = 3;
int ConnectionChoice(const settings::FtpAccount& account);
// Writes a choice into an account; choosing SFTP keeps the TLS choice for a
// return to FTP.
void ApplyConnectionChoice(int choice, settings::FtpAccount& account);

// The port to suggest for a choice: a usual port of another choice (21, 990,
// 22) becomes the usual port of this one; any other port stays.
QString SuggestedPort(int choice, const QString& port);

// For a refused certificate: shows it and why, and asks whether to trust it
// (No is the default button: trusting is a decision, not a reflex).
// The fingerprint to pin, or empty when the user said no.
QString AskToTrust(const TServerCheck& check);

// For an SSH host key that is not known: shows it and asks whether to trust
// it, No the default. The fingerprint to pin, or empty when the user said no.
QString AskToTrustHostKey(const TServerCheck& check);

// The network dialog's report: a trusted certificate or host key is shown, a
// refused certificate or an unknown host key asked about, a changed host key
// refused with both fingerprints and a revoked one refused, any other failure
// said. The fingerprint to pin, or empty.
QString ReportServerCheck(const TServerCheck& check);
