#pragma once
// What a known_hosts file says of a server's host key, read as OpenSSH reads
// it: host patterns with wildcards and negations, hashed names, "[host]:port"
// for another port than 22, and the @revoked marker. A key of another type
// than the server's, held for that host, counts as a changed key; a revoked
// key is never trusted, whatever else the file holds.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

struct TKnownHostsVerdict {
    enum State { Unknown, Known, Changed, Revoked };
    State state = Unknown;
    // Changed: the keys the file holds for the host, each "SHA256:... (type)".
    QStringList knownKeys;
};

// The verdict of known_hosts text on a server's public key blob (the key in
// SSH wire form, as a known_hosts line holds it in base64).
TKnownHostsVerdict CheckKnownHosts(const QByteArray& knownHosts, const QString& host, std::uint16_t port,
                                   const QByteArray& keyBlob);

// A key blob's fingerprint as OpenSSH prints it: "SHA256:" and base64 without padding.
QString HostKeyFingerprint(const QByteArray& keyBlob);
// The fingerprint with the key's type: "SHA256:... (ssh-ed25519)".
QString DescribeHostKey(const QByteArray& keyBlob);
