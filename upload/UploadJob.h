#pragma once
// An upload as plain data: who asked, the account as it stood when the job
// was made, the files with their names on the server, and how they are
// published. Settings confirmed while a job runs apply to the next one.

#include "net/WSocketTls.h"
#include "settings/Settings.h"

#include <QByteArray>
#include <QString>

#include <vector>

enum class TUploadPurpose {
    Update,        // the website update's pictures
    StopPictures,  // the pictures that say the camera is off
    Motion,        // a picture taken on motion
    WizardPage,    // the web page and the stop pictures, from the wizard's last page
    Check,         // no files: the connection and its certificate only
    Test,          // the connection test: every step once, with a small file it leaves nowhere
};

// A step of a job, as the connection test lists it.
enum class TUploadStepKind {
    Resolve,   // the host name resolved
    Connect,   // the connection made
    Secure,    // TLS and its certificate, or the SSH host key
    Login,     // user and password, or key, accepted
    Folder,    // the remote folder found or made
    DataMode,  // FTP: the data connection, passive or active
    Store,     // a file stored
    Rename,    // renamed over its real name
    Delete,    // deleted
};

// What a failed step means, as far as the transport can tell: the
// connection test's advice is looked up by it.
enum class TUploadFault {
    None,
    UnknownHost,          // the name does not resolve
    NothingListening,     // connection refused on that port
    NoAnswer,             // nothing within the time limit
    SpeaksFtp,            // SFTP: the port greets as an FTP server
    SpeaksSsh,            // FTP: the port greets as an SSH server
    EncryptionRequired,   // the server wants TLS
    CertificateName,      // the certificate names another host
    CertificateUntrusted, // not signed by a known authority, or not the pinned one
    HostKeyUnknown,       // SFTP: a host key not pinned and not in known_hosts
    HostKeyChanged,       // SFTP: not the pinned or known key, or known_hosts holds another type
    HostKeyRevoked,       // SFTP: known_hosts marks the key @revoked
    LoginRefused,         // user, password or key refused
    KeyFileUnusable,      // SFTP: the key file missing, unreadable, not a key, or its passphrase wrong
    KeyFileTooOpen,       // SFTP: the key file can be read by other users
    PassiveFailed,        // FTP: the passive data connection failed
    ActiveFailed,         // FTP: the active data connection failed
    FolderNotWritable,    // the folder cannot be made or written
    FolderIsFile,         // a file has the remote folder's name
    RenameRefused,        // the server will not rename
    Other,
};

struct TUploadStep {
    TUploadStepKind kind;
    bool ok = false;
    QString detail;  // what happened, in the server's or the system's words
    TUploadFault fault = TUploadFault::None;
};

struct TUploadFile {
    QString localPath;   // absolute: no job depends on the current folder
    QString remoteName;  // in the account's remote folder
};

// The name a file is stored under before its rename, in the same folder. The
// extension stays last: servers that filter uploads by it take it too.
QString TemporaryName(const QString& remoteName);
// The name the old file stands aside under while the new one is renamed in,
// on a server that will not rename over it. A job cut short in between
// leaves it there; the next job puts it back.
QString AsideName(const QString& remoteName);

// The small file a connection test stores, renames and deletes again.
extern const QString kConnectionTestName;
extern const QByteArray kConnectionTestContent;

struct TUploadJob {
    TUploadPurpose purpose = TUploadPurpose::Update;
    settings::FtpAccount account;
    std::vector<TUploadFile> files;
    // Each file under a temporary name in the same folder, then renamed over
    // its real name, so that a visitor never loads half a picture.
    bool safe = true;
};

// How a job ended.
struct TUploadResult {
    bool ok = false;         // every step succeeded
    bool cancelled = false;  // given up on request of whoever asked
    QString text;            // the failure that ended the job; empty when ok
    TUploadFault fault = TUploadFault::None;  // what that failure means, where known
    // The control connection as its opening left it: whether the opening
    // succeeded (the log-in, or a check's connection), whether with TLS and a
    // trusted certificate, the TLS failure code (0 for none) and the
    // server's certificate, also one that was refused.
    bool connected = false;
    bool secured = false;
    int tlsError = 0;
    TTlsCertificateInfo certificate;
    // SFTP: the server's host key as "SHA256:..." and what was known of it;
    // for a key changed against known_hosts, the keys it holds for the
    // server ("SHA256:... (type)"). A revoked key is never offered for trust.
    enum class HostKey { None, Trusted, Unknown, Changed, Revoked };
    HostKey hostKeyState = HostKey::None;
    QString hostKey;
    QString knownHostKey;
};
