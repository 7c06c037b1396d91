#include "upload/Advice.h"

#include <algorithm>

namespace {
constexpr TUploadAdvice kAdvice[] = {
    {TUploadFault::UnknownHost, "The host name is unknown.",
     "Check the spelling of the host name, and that this computer is online."},
    {TUploadFault::NothingListening, "Nothing answers on this port.",
     "Check the port: FTP and explicit TLS use 21, implicit TLS 990, SFTP 22."},
    {TUploadFault::NoAnswer, "No answer came within the time limit.",
     "A firewall may drop the connection: check the host name and port, allow the program through the "
     "firewall, or raise the time limit."},
    {TUploadFault::SpeaksFtp, "This port speaks FTP, not SFTP.",
     "Choose FTP (with or without TLS) as the protocol, or give the port of the server's SSH service (usually 22)."},
    {TUploadFault::SpeaksSsh, "This port speaks SSH, not FTP.",
     "Choose SFTP as the protocol: it uploads over SSH."},
    {TUploadFault::EncryptionRequired, "The server wants an encrypted connection.",
     "Choose explicit TLS (or implicit TLS on port 990)."},
    {TUploadFault::CertificateName, "The server's certificate names another host.",
     "Use the host name the certificate names, or check the server and trust this certificate."},
    {TUploadFault::CertificateUntrusted, "The server's certificate is not trusted.",
     "Compare its fingerprint with the one the server's owner gives, then use \"Check server\" to trust it."},
    {TUploadFault::HostKeyUnknown, "The server's SSH host key is not known yet.",
     "Compare the fingerprint shown with the one the server's owner gives, then accept it."},
    {TUploadFault::HostKeyChanged, "The server's SSH host key has changed.",
     "Someone may be in between: do not accept it before the server's owner confirms the new key; both "
     "fingerprints are shown."},
    {TUploadFault::HostKeyRevoked, "The server's SSH host key is revoked.",
     "known_hosts marks this key @revoked, so it is never accepted: ask the server's owner which key the server "
     "should show."},
    {TUploadFault::LoginRefused, "The user name or password was refused.",
     "Check both, as the provider gave them; mind capital letters."},
    {TUploadFault::KeyFileUnusable, "The SSH key file cannot be used.",
     "The line above names the file and why: check its name, that you may read it, and its passphrase in the "
     "password field."},
    {TUploadFault::KeyFileTooOpen, "The SSH key file is open to other users.",
     "SSH refuses such a key: make it yours alone with the command shown (chmod 600 and the file's name)."},
    {TUploadFault::PassiveFailed, "The passive data connection failed.",
     "When active mode works (the test tries it), untick \"Use Passive Mode for FTP\"."},
    {TUploadFault::ActiveFailed, "The active data connection failed.",
     "When passive mode works (the test tries it), tick \"Use Passive Mode for FTP\"."},
    {TUploadFault::FolderNotWritable, "The folder cannot be made or written to.",
     "Choose a remote folder the account may write to, or ask the provider for write access."},
    {TUploadFault::FolderIsFile, "A file has the remote folder's name.",
     "Choose another remote folder, or delete or rename that file on the server."},
    {TUploadFault::RenameRefused, "The server does not allow renaming.",
     "Nothing to do: safe publishing falls back to storing the pictures directly."},
    {TUploadFault::Other, "The step failed for another reason.",
     "The line above gives the server's or the system's own words; the error log keeps them too."},
};
}  // namespace

std::span<const TUploadAdvice> UploadAdviceTable()
{
    return kAdvice;
}

const TUploadAdvice* FindUploadAdvice(TUploadFault fault)
{
    const auto row = std::find_if(std::begin(kAdvice), std::end(kAdvice),
                                  [fault](const TUploadAdvice& a) { return a.fault == fault; });
    return row == std::end(kAdvice) ? nullptr : row;
}

QString UploadStepName(TUploadStepKind kind)
{
    switch (kind) {
    case TUploadStepKind::Resolve: return QStringLiteral("Host name");
    case TUploadStepKind::Connect: return QStringLiteral("Connection");
    case TUploadStepKind::Secure: return QStringLiteral("Encryption");
    case TUploadStepKind::Login: return QStringLiteral("Log-in");
    case TUploadStepKind::Folder: return QStringLiteral("Folder");
    case TUploadStepKind::DataMode: return QStringLiteral("Data connection");
    case TUploadStepKind::Store: return QStringLiteral("Store");
    case TUploadStepKind::Rename: return QStringLiteral("Rename");
    case TUploadStepKind::Delete: return QStringLiteral("Delete");
    }
    return {};
}
