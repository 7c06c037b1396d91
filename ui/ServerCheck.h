#pragma once
// "Check server": opens a control connection with the account's TLS choice,
// shows the server's certificate, and asks whether to trust one that is not
// trusted yet (the answer pins its fingerprint). The network dialog and the
// wizard's first page share it.

#include "net/WSocketTls.h"
#include "settings/Settings.h"

#include <QString>

#include <initializer_list>

class QWidget;

struct TServerCheck {
    bool secured = false;  // the connection came up with TLS and a trusted certificate
    QString message;       // why it did not
    int tlsError = 0;      // the TLS failure code, 0 for none
    TTlsCertificateInfo certificate;

    // A certificate came and was refused: trusting it would let it through.
    bool Untrusted() const
    {
        return !certificate.IsEmpty() && (tlsError == tlsCertificateNotTrusted || tlsError == tlsFingerprintMismatch);
    }
};

// Blocking, with the event loop running: connects to the account's host and
// port with its time-out, TLS choice and pin, and ends the connection again.
// The widgets named rest (disabled) meanwhile, so that the window cannot
// close or check again under the running check.
TServerCheck CheckFtpServer(const settings::FtpAccount& account, std::initializer_list<QWidget*> resting);

// The port to suggest for a TLS choice: implicit TLS with the FTP port 21
// suggests 990, another choice with 990 suggests 21; else the port stays.
QString SuggestedPort(int tlsMode, const QString& port);

// For a refused certificate: shows it and why, and asks whether to trust it.
// The fingerprint to pin, or empty when the user said no.
QString AskToTrust(const TServerCheck& check);

// The network dialog's report: a trusted certificate is shown, a refused
// one asked about, any other failure said. The fingerprint to pin, or empty.
QString ReportServerCheck(const TServerCheck& check);
