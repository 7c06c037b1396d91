#pragma once
// A real SFTP server on loopback for tests: asyncssh serving a temporary root
// to one user, by password or by a key it makes for the test. A fresh host
// key at each start. Started on a kernel-chosen port, stopped by its process id.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

class SftpServer
{
public:
    SftpServer(QString user = QStringLiteral("tarvo"), QString password = QStringLiteral("secret"));
    ~SftpServer();

    SftpServer(const SftpServer&) = delete;
    SftpServer& operator=(const SftpServer&) = delete;

    // Set before Start. A client key (ed25519) the server authorizes, written
    // to ClientKeyFile() with mode 0600, encrypted with the passphrase when one
    // is given.
    void SetClientKey(const QString& passphrase = {})
    {
        clientKey_ = true;
        passphrase_ = passphrase;
    }
    // The server does not offer posix-rename@openssh.com.
    void HidePosixRename() { hidePosixRename_ = true; }
    // Write requests after the first n are accepted and never answered.
    void StallAfterWrites(int n) { stallAfter_ = n; }
    // Each write request is answered this late.
    void DelayWrites(int ms) { writeDelayMs_ = ms; }
    // Every change inside this folder of the root is refused.
    void SetReadOnly(const QString& folder) { readOnly_ = folder; }
    // The connection is cut right after the nth rename or removal of the
    // server's run is done, before its answer.
    void CutAfterChange(int n) { cutAfter_ = n; }

    // Starts the server and waits for its port; false (with Error()) on failure.
    bool Start(int timeoutMs = 20000);
    void Stop();

    quint16 Port() const { return port_; }
    QString PortText() const { return QString::number(port_); }
    const QString& User() const { return user_; }
    const QString& Password() const { return password_; }
    // The served folder: the login folder and "/".
    QString Root() const { return root_.path(); }
    // The host key's fingerprint as OpenSSH prints it: "SHA256:...".
    const QString& HostKey() const { return hostKey_; }
    // Its line for a known_hosts file.
    QString KnownHostsLine() const;
    QString ClientKeyFile() const { return keys_.filePath(QStringLiteral("id_ed25519")); }
    const QString& Error() const { return error_; }
    // The SSH connections the server holds open now, and those that ended
    // without the client's disconnect message; -1 when it cannot say.
    int OpenSessions() const { return SessionCount(0); }
    int SessionsEndedWithoutDisconnect() const { return SessionCount(1); }

private:
    int SessionCount(int which) const;

    QString user_;
    QString password_;
    QTemporaryDir root_;
    QTemporaryDir keys_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
    QString hostKey_;
    QString hostPublic_;
    QString error_;
    bool clientKey_ = false;
    QString passphrase_;
    bool hidePosixRename_ = false;
    int stallAfter_ = -1;
    int writeDelayMs_ = 0;
    QString readOnly_;
    int cutAfter_ = -1;
};

}  // namespace testsupport
