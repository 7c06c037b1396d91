#include "upload/SftpSequence.h"

#include "ftp/FtpReply.h"
#include "net/SocketCommon.h"
#include "platform/exception.h"
#include "platform/sockets.h"
#include "platform/stream.h"
#include "upload/KnownHosts.h"

#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QRegularExpression>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <utility>

namespace {

const QString kRenameRefused = QStringLiteral(
    "The SFTP server cannot rename files: pictures are stored directly until the website update stops");
const QString kDefaultPort = QStringLiteral("22");
const char kPosixRename[] = "posix-rename@openssh.com";
// How long the connection waits for the server's first line before libssh
// takes over: both SSH and FTP servers speak first.
constexpr int kGreetingWaitMs = 3000;
// Servers reset sessions that send larger write packets.
constexpr qint64 kChunkBytes = 32 * 1024;
// libssh's connection progress once the server's greeting has been read.
constexpr float kGreetingReceived = 0.4f;
// How long a job given up, or a destroyed transport, waits for its worker to
// end before leaving it.
constexpr auto kWorkerEndWait = std::chrono::seconds(3);
// How long a job's end waits for what it still has to send, then for the
// server to close after the disconnect.
constexpr int kFlushWaitMs = 1000;
constexpr int kPeerEndWaitMs = 1000;

// The user's known_hosts and the system's, one after the other.
QByteArray ReadKnownHosts()
{
    QByteArray text;
    for (const QString& path : {QDir::homePath() + QStringLiteral("/.ssh/known_hosts"),
                                QStringLiteral("/etc/ssh/ssh_known_hosts")}) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            text += file.readAll() + '\n';
    }
    return text;
}

QString SftpErrorText(int status)
{
    switch (status) {
    case SSH_FX_NO_SUCH_FILE:
        return QStringLiteral("No such file");
    case SSH_FX_PERMISSION_DENIED:
        return QStringLiteral("Permission denied");
    case SSH_FX_FAILURE:
        return QStringLiteral("Failure");
    case SSH_FX_OP_UNSUPPORTED:
        return QStringLiteral("Operation unsupported");
    case SSH_FX_FILE_ALREADY_EXISTS:
        return QStringLiteral("File already exists");
    default:
        return QStringLiteral("SFTP error %1").arg(status);
    }
}

// libssh writes a packet at once only while its last poll found the socket
// writable and nothing was written since; else the packet waits for the next
// poll. ssh_disconnect queues its message and drops the queue without one:
// so what waits goes out first, and one poll makes the socket writable again.
void Disconnect(ssh_session session)
{
    ssh_blocking_flush(session, kFlushWaitMs);
    if (ssh_event event = ssh_event_new()) {
        if (ssh_event_add_session(event, session) == SSH_OK) {
            ssh_event_dopoll(event, 0);
            ssh_event_remove_session(event, session);
        }
        ssh_event_free(event);
    }
    ssh_disconnect(session);
}

void AppendU32(QByteArray& packet, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        packet.append(static_cast<char>((value >> shift) & 0xff));
}

void AppendString(QByteArray& packet, const QByteArray& text)
{
    AppendU32(packet, static_cast<std::uint32_t>(text.size()));
    packet.append(text);
}

// An FTP reply's start: three digits and a space or a hyphen.
bool IsFtpReply(const QByteArray& bytes)
{
    return bytes.size() >= 4 && std::isdigit(static_cast<unsigned char>(bytes[0])) &&
           std::isdigit(static_cast<unsigned char>(bytes[1])) && std::isdigit(static_cast<unsigned char>(bytes[2])) &&
           (bytes[3] == ' ' || bytes[3] == '-');
}

QString FirstLine(const QByteArray& bytes)
{
    const qsizetype end = bytes.indexOf('\n');
    return ftp::DecodeReply(end < 0 ? bytes : bytes.left(end)).trimmed();
}

// Permissions as the octal mode ls and chmod show.
int FileMode(QFileDevice::Permissions p)
{
    const auto bits = static_cast<int>(p.toInt());
    return ((bits >> 12) & 7) << 6 | ((bits >> 4) & 7) << 3 | (bits & 7);
}

// A path as a shell command takes it: quoted when it holds more than plain characters.
QString ShellQuoted(const QString& path)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./~+:@%-]+$"));
    if (plain.match(path).hasMatch())
        return path;
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

std::uint32_t ReadU32(const QByteArray& bytes, qsizetype at)
{
    std::uint32_t value = 0;
    for (qsizetype i = at; i < at + 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

}  // namespace

// What this side and a job's worker share. The descriptor is ours; libssh
// works on a duplicate that it closes itself, so shutting ours down from this
// side can never hit a descriptor that has been reused.
struct TSftpSequence::Link {
    std::mutex mutex;
    int stream = -1;
    bool stopped = false;    // given up: reports go nowhere, the stream is shut
    bool ownerGone = false;  // the transport is destroyed: not even the end is told
    bool ended = false;      // the worker has closed everything and returns
    std::condition_variable endedChanged;

    void Stop(bool destroyed = false)
    {
        std::lock_guard lock(mutex);
        stopped = true;
        ownerGone = ownerGone || destroyed;
        if (stream >= 0)
            platform::ShutdownStream(stream);
    }
};

// One job on its own thread; the only user of its SSH session.
class TSftpSequence::Worker
{
public:
    Worker(TSftpSequence* owner, std::uint64_t jobId, std::shared_ptr<Link> link, TUploadJob job, bool storeDirectly)
        : owner_(owner), jobId_(jobId), link_(std::move(link)), job_(std::move(job)), renaming_(!storeDirectly)
    {
        const int seconds = TimeoutMs(job_.account.TimeoutSeconds()) / 1000;
        sshTimeoutSeconds_ = seconds + 5;  // this side's limit comes first
    }

    void Run()
    {
        const bool ok = Connect() && (Check() || (Login() && Folder() && Files()));
        // The outcome is known: the goodbye has short bounds of its own, and
        // a slow one must not turn the job into a time-out.
        Report([](TSftpSequence& s) { s.watchdog_.stop(); });
        Close();
        // Told also to a job given up: it ends once nothing of it is left.
        std::lock_guard lock(link_->mutex);
        link_->ended = true;
        link_->endedChanged.notify_all();
        if (!link_->ownerGone) {
            TSftpSequence* owner = owner_;
            QMetaObject::invokeMethod(owner, [owner, jobId = jobId_, ok] { owner->WorkerEnded(jobId, ok); },
                                      Qt::QueuedConnection);
        }
    }

private:
    bool Check() const { return job_.purpose == TUploadPurpose::Check; }
    bool Test() const { return job_.purpose == TUploadPurpose::Test; }

    // Posts a report to the owner's thread, unless the job has been given up.
    void Report(std::function<void(TSftpSequence&)> report)
    {
        std::lock_guard lock(link_->mutex);
        if (link_->stopped)
            return;
        TSftpSequence* owner = owner_;
        owner_->Post(jobId_, [owner, report = std::move(report)] { report(*owner); });
    }
    void Begin(TUploadStepKind kind)
    {
        Report([kind](TSftpSequence& s) { s.Begin(kind); });
    }
    void Progress()
    {
        Report([](TSftpSequence& s) { s.Progress(); });
    }
    bool Done(TUploadStepKind kind, const QString& detail)
    {
        Report([step = TUploadStep{kind, true, detail}](TSftpSequence& s) { s.StepDone(step); });
        return true;
    }
    bool Fail(TUploadStepKind kind, const QString& message, TUploadFault fault)
    {
        Report([step = TUploadStep{kind, false, message, fault}](TSftpSequence& s) {
            s.Failed(step.detail, step.fault);
            s.StepDone(step);
        });
        return false;
    }
    QString SshError() const { return QString::fromUtf8(ssh_get_error(session_)); }
    bool Connected() const { return session_ && ssh_is_connected(session_); }
    // A failed SFTP request: its status, or the connection that was lost.
    bool FailSftp(TUploadStepKind kind, const QString& what, TUploadFault refusal)
    {
        if (!Connected())
            return Fail(kind, what + QStringLiteral(": ") + SshError(), TUploadFault::Other);
        const int status = sftp_get_error(sftp_);
        const bool denied = status == SSH_FX_PERMISSION_DENIED || status == SSH_FX_FAILURE ||
                            status == SSH_FX_WRITE_PROTECT || status == SSH_FX_NO_SUCH_FILE;
        return Fail(kind, what + QStringLiteral(": ") + SftpErrorText(status), denied ? refusal : TUploadFault::Other);
    }
    QByteArray RemotePath(const QString& name) const
    {
        QString folder = job_.account.remoteFolder;
        while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
            folder.chop(1);
        if (folder.isEmpty())
            return name.toUtf8();
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        return (folder + name).toUtf8();
    }

    bool Connect()
    {
        const settings::FtpAccount& a = job_.account;
        Begin(TUploadStepKind::Resolve);
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        try {
            address = WSocketResolveHost(a.host);
        } catch (const Exception& e) {
            return Fail(TUploadStepKind::Resolve, e.Message(), TUploadFault::UnknownHost);
        }
        try {
            port = WSocketResolvePort(a.port.trimmed().isEmpty() ? kDefaultPort : a.port, QStringLiteral("tcp"));
        } catch (const Exception& e) {
            return Fail(TUploadStepKind::Resolve, e.Message(), TUploadFault::Other);
        }
        const QString ip = platform::InetNtoa(address);
        const QString where = ip + QLatin1Char(':') + QString::number(port);
        Done(TUploadStepKind::Resolve, a.host.trimmed() == ip ? ip + QStringLiteral(", an address: nothing to look up")
                                                              : a.host.trimmed() + QStringLiteral(" is ") + ip);

        Begin(TUploadStepKind::Connect);
        {
            std::lock_guard lock(link_->mutex);
            if (link_->stopped)
                return false;
            link_->stream = platform::OpenStream();
        }
        if (link_->stream < 0)
            return Fail(TUploadStepKind::Connect, QStringLiteral("Cannot make a socket"), TUploadFault::Other);
        QString why;
        switch (platform::ConnectStream(link_->stream, address, port, &why)) {
        case platform::StreamError::None:
            break;
        case platform::StreamError::Refused:
            return Fail(TUploadStepKind::Connect, QStringLiteral("Cannot connect to %1: %2").arg(where, why),
                        TUploadFault::NothingListening);
        case platform::StreamError::TimedOut:
        case platform::StreamError::Unreachable:
            return Fail(TUploadStepKind::Connect, QStringLiteral("Cannot connect to %1: %2").arg(where, why),
                        TUploadFault::NoAnswer);
        case platform::StreamError::Other:
            return Fail(TUploadStepKind::Connect, QStringLiteral("Cannot connect to %1: %2").arg(where, why),
                        TUploadFault::Other);
        }
        // An FTP server on the port would otherwise read as a silent one:
        // libssh takes its greeting for lines before the SSH banner. Anything
        // else, or nothing in a short while, is libssh's to judge.
        char first[256];
        const int waitMs = std::min(kGreetingWaitMs, TimeoutMs(a.TimeoutSeconds()) / 2);
        const QByteArray greeting(first, platform::PeekStream(link_->stream, first, sizeof first, 4, waitMs));
        if (IsFtpReply(greeting))
            return Fail(TUploadStepKind::Connect, OtherProtocolText(true, QString::number(port), FirstLine(greeting)),
                        TUploadFault::SpeaksFtp);
        // The connection step lasts until the server's greeting, as with FTP.
        connected_ = QStringLiteral("Connected to %1:%2").arg(a.host.trimmed()).arg(port);
        Report([](TSftpSequence& s) { s.GreetingAwaited(); });
        session_ = ssh_new();
        socket_t own = session_ ? platform::DuplicateStream(link_->stream) : -1;
        if (own < 0)
            return Fail(TUploadStepKind::Connect, QStringLiteral("Cannot start an SSH session"), TUploadFault::Other);
        ssh_callbacks_init(&callbacks_);
        callbacks_.userdata = this;
        callbacks_.connect_status_function = [](void* self, float status) {
            static_cast<Worker*>(self)->ConnectStatus(status);
        };
        ssh_set_callbacks(session_, &callbacks_);
        const QByteArray host = a.host.trimmed().toUtf8();
        const QByteArray user = a.userId.toUtf8();
        const QByteArray knownHosts = (QDir::homePath() + QStringLiteral("/.ssh/known_hosts")).toUtf8();
        unsigned int sshPort = port;
        long timeout = sshTimeoutSeconds_;
        bool processConfig = false;
        ssh_options_set(session_, SSH_OPTIONS_FD, &own);
        ssh_options_set(session_, SSH_OPTIONS_HOST, host.constData());
        ssh_options_set(session_, SSH_OPTIONS_PORT, &sshPort);
        ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &processConfig);
        // Only to ask first for the key types known_hosts holds for the server.
        ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, knownHosts.constData());
        ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &timeout);
        if (!user.isEmpty())
            ssh_options_set(session_, SSH_OPTIONS_USER, user.constData());
        if (ssh_connect(session_) != SSH_OK)
            return Fail(greeted_ ? TUploadStepKind::Secure : TUploadStepKind::Connect,
                        QStringLiteral("SSH: ") + SshError(), TUploadFault::Other);
        return HostKey(port);
    }

    // libssh's progress through its connection: past the server's greeting
    // comes the key exchange, the encryption step.
    void ConnectStatus(float status)
    {
        if (greeted_ || status < kGreetingReceived)
            return;
        greeted_ = true;
        Done(TUploadStepKind::Connect, connected_);
        Begin(TUploadStepKind::Secure);
    }

    // A key known_hosts revokes is refused even when pinned; another key
    // known for the host, of any type, makes this one a changed key.
    bool HostKey(std::uint16_t port)
    {
        ssh_key key = nullptr;
        char* base64 = nullptr;
        const bool read = ssh_get_server_publickey(session_, &key) == SSH_OK &&
                          ssh_pki_export_pubkey_base64(key, &base64) == SSH_OK;
        ssh_key_free(key);
        if (!read)
            return Fail(TUploadStepKind::Secure, QStringLiteral("SSH: ") + SshError(), TUploadFault::Other);
        const QByteArray blob = QByteArray::fromBase64(base64);
        ssh_string_free_char(base64);
        const QString fingerprint = HostKeyFingerprint(blob);
        const TKnownHostsVerdict known = CheckKnownHosts(ReadKnownHosts(), job_.account.host, port, blob);
        const QString& pinned = job_.account.ssh.hostKey;
        using State = TUploadResult::HostKey;
        State state = State::Trusted;
        QString message;
        if (known.state == TKnownHostsVerdict::Revoked) {
            state = State::Revoked;
            message = QStringLiteral("The SFTP server's host key %1 is marked @revoked in known_hosts: it is never trusted")
                          .arg(DescribeHostKey(blob));
        } else if (!pinned.isEmpty()) {
            if (fingerprint != pinned) {
                state = State::Changed;
                message = QStringLiteral("The SFTP server's host key %1 is not the pinned key %2").arg(fingerprint, pinned);
            }
        } else if (known.state == TKnownHostsVerdict::Changed) {
            state = State::Changed;
            message = QStringLiteral("The SFTP server's host key %1 is not the one known_hosts holds for it: %2")
                          .arg(DescribeHostKey(blob), known.knownKeys.join(QStringLiteral(", ")));
        } else if (known.state == TKnownHostsVerdict::Unknown) {
            state = State::Unknown;
            message = QStringLiteral("The SFTP server's host key is unknown: %1").arg(fingerprint);
        }
        const QString knownKeys = pinned.isEmpty() ? known.knownKeys.join(QStringLiteral(", ")) : QString();
        Report([state, fingerprint, knownKeys](TSftpSequence& s) {
            s.result_.hostKeyState = state;
            s.result_.hostKey = fingerprint;
            s.result_.knownHostKey = knownKeys;
            s.result_.secured = state == State::Trusted;
            s.result_.connected = s.job_.purpose == TUploadPurpose::Check && state == State::Trusted;
        });
        if (state == State::Revoked)
            return Fail(TUploadStepKind::Secure, message, TUploadFault::HostKeyRevoked);
        if (state == State::Changed)
            return Fail(TUploadStepKind::Secure, message, TUploadFault::HostKeyChanged);
        if (state == State::Unknown)
            return Fail(TUploadStepKind::Secure, message, TUploadFault::HostKeyUnknown);
        return Done(TUploadStepKind::Secure, (pinned.isEmpty() ? QStringLiteral("SSH, host key trusted: ")
                                                               : QStringLiteral("SSH, the pinned host key: ")) +
                                                 fingerprint);
    }

    bool Login()
    {
        Begin(TUploadStepKind::Login);
        const settings::FtpAccount& a = job_.account;
        const QByteArray password = a.password.toUtf8();
        int rc = ssh_userauth_none(session_, nullptr);
        if (rc != SSH_AUTH_SUCCESS && rc != SSH_AUTH_ERROR) {
            const int methods = ssh_userauth_list(session_, nullptr);
            if (!a.ssh.keyFile.isEmpty()) {
                ssh_key key = nullptr;
                if (!LoadKey(&key))
                    return false;
                rc = ssh_userauth_publickey(session_, nullptr, key);
                ssh_key_free(key);
            } else {
                // An agent that cannot be reached is no reason to stop: the password follows.
                if ((methods & SSH_AUTH_METHOD_PUBLICKEY) && std::getenv("SSH_AUTH_SOCK")) {
                    rc = ssh_userauth_agent(session_, nullptr);
                    if (rc == SSH_AUTH_ERROR && Connected())
                        rc = SSH_AUTH_DENIED;
                }
                const auto untried = [&rc] { return rc == SSH_AUTH_DENIED || rc == SSH_AUTH_PARTIAL; };
                if (untried() && (methods & SSH_AUTH_METHOD_PASSWORD))
                    rc = ssh_userauth_password(session_, nullptr, password.constData());
                if (untried() && (methods & SSH_AUTH_METHOD_INTERACTIVE))
                    rc = KeyboardInteractive(password);
            }
        }
        if (rc == SSH_AUTH_SUCCESS) {
            Report([](TSftpSequence& s) { s.result_.connected = true; });
            return Done(TUploadStepKind::Login, QStringLiteral("Logged in as ") + a.userId);
        }
        if (rc == SSH_AUTH_ERROR || !Connected())
            return Fail(TUploadStepKind::Login, QStringLiteral("SSH: ") + SshError(), TUploadFault::Other);
        return Fail(TUploadStepKind::Login, QStringLiteral("SFTP login refused for user %1").arg(a.userId),
                    TUploadFault::LoginRefused);
    }

    // The account's key file, refused as SSH refuses it before the server
    // sees anything: missing or unreadable, open to other users, not a key,
    // or locked by another passphrase than the password field holds.
    bool LoadKey(ssh_key* key)
    {
        const QString& path = job_.account.ssh.keyFile;
        const auto refuse = [this](const QString& message, TUploadFault fault) {
            return Fail(TUploadStepKind::Login, message, fault);
        };
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return refuse(QStringLiteral("Cannot read the SSH key file %1: %2").arg(path, file.errorString()),
                          TUploadFault::KeyFileUnusable);
        const int mode = FileMode(file.permissions());
        if (mode & 077)
            return refuse(QStringLiteral("The SSH key file %1 is open to other users (mode %2), so SSH refuses it; "
                                         "make it yours alone: chmod 600 %3")
                              .arg(path, QStringLiteral("%1").arg(mode, 4, 8, QLatin1Char('0')), ShellQuoted(path)),
                          TUploadFault::KeyFileTooOpen);
        const QByteArray text = file.readAll();
        const QByteArray passphrase = job_.account.password.toUtf8();
        // Asked for a passphrase only when none was given and the key has one.
        bool locked = false;
        const ssh_auth_callback ask = [](const char*, char*, size_t, int, int, void* userdata) {
            *static_cast<bool*>(userdata) = true;
            return -1;
        };
        if (ssh_pki_import_privkey_base64(text.constData(), passphrase.isEmpty() ? nullptr : passphrase.constData(),
                                          ask, &locked, key) == SSH_OK)
            return true;
        if (!passphrase.isEmpty()) {
            ssh_key plain = nullptr;
            ssh_pki_import_privkey_base64(text.constData(), nullptr, ask, &locked, &plain);
            ssh_key_free(plain);
        }
        if (!locked)
            return refuse(QStringLiteral("The file %1 is not an SSH private key").arg(path),
                          TUploadFault::KeyFileUnusable);
        return refuse(passphrase.isEmpty()
                          ? QStringLiteral("The SSH key file %1 has a passphrase: type it in the password field").arg(path)
                          : QStringLiteral("The passphrase in the password field does not open the SSH key file %1")
                                .arg(path),
                      TUploadFault::KeyFileUnusable);
    }

    // Answers every question with the password; a server that asks nothing
    // may still be satisfied, one that keeps asking is refused.
    int KeyboardInteractive(const QByteArray& password)
    {
        int rc = ssh_userauth_kbdint(session_, nullptr, nullptr);
        for (int round = 0; rc == SSH_AUTH_INFO && round < 4; ++round) {
            const int prompts = ssh_userauth_kbdint_getnprompts(session_);
            for (int i = 0; i < prompts; ++i)
                ssh_userauth_kbdint_setanswer(session_, static_cast<unsigned>(i), password.constData());
            rc = ssh_userauth_kbdint(session_, nullptr, nullptr);
        }
        return rc == SSH_AUTH_INFO ? SSH_AUTH_DENIED : rc;
    }

    bool Folder()
    {
        Begin(TUploadStepKind::Folder);
        sftp_ = sftp_new(session_);
        if (!sftp_ || sftp_init(sftp_) != SSH_OK)
            return Fail(TUploadStepKind::Folder, QStringLiteral("SFTP: ") + SshError(), TUploadFault::Other);
        posixRename_ = sftp_extension_supported(sftp_, kPosixRename, "1") != 0;
        const QString& folder = job_.account.remoteFolder;
        if (folder.isEmpty())
            return Done(TUploadStepKind::Folder, QStringLiteral("The login folder"));
        if (Stat(folder.toUtf8()) == Entry::Folder)
            return Done(TUploadStepKind::Folder, folder + QStringLiteral(" found"));
        // Walked one level at a time, each missing one made.
        const QStringList levels = folder.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        QString path = folder.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : QString();
        bool made = false;
        for (const QString& level : levels) {
            path += level;
            const QByteArray bytes = path.toUtf8();
            const Entry entry = Stat(bytes);
            if (entry == Entry::File)
                return Fail(TUploadStepKind::Folder, path + QStringLiteral(" is a file, not a folder"),
                            TUploadFault::FolderIsFile);
            if (entry == Entry::None) {
                if (!Connected() || sftp_get_error(sftp_) != SSH_FX_NO_SUCH_FILE)
                    return FailSftp(TUploadStepKind::Folder, QStringLiteral("Cannot enter the remote folder ") + path,
                                    TUploadFault::FolderNotWritable);
                if (sftp_mkdir(sftp_, bytes.constData(), 0755) != 0)
                    return FailSftp(TUploadStepKind::Folder, QStringLiteral("Cannot make the remote folder ") + path,
                                    TUploadFault::FolderNotWritable);
                made = true;
            }
            Progress();
            path += QLatin1Char('/');
        }
        return Done(TUploadStepKind::Folder, folder + (made ? QStringLiteral(" made") : QStringLiteral(" found")));
    }

    // What a remote path names; None also when it cannot be asked (sftp_get_error says why).
    enum class Entry { None, Folder, File };
    Entry Stat(const QByteArray& path)
    {
        sftp_attributes attributes = sftp_stat(sftp_, path.constData());
        if (!attributes)
            return Entry::None;
        const bool folder = attributes->type == SSH_FILEXFER_TYPE_DIRECTORY;
        sftp_attributes_free(attributes);
        return folder ? Entry::Folder : Entry::File;
    }

    bool Files()
    {
        if (Test())
            return TestFile();
        if (!PutBackAsides())
            return false;
        for (std::size_t i = 0; i < job_.files.size(); ++i) {
            if (!File(job_.files[i]))
                return false;
            Report([i](TSftpSequence& s) { s.ReportFiles(i + 1, s.job_.files.size(), true); });
        }
        return true;
    }

    bool Exists(const QByteArray& path)
    {
        sftp_attributes attributes = sftp_stat(sftp_, path.constData());
        if (!attributes)
            return false;
        sftp_attributes_free(attributes);
        return true;
    }

    // Before anything is stored: an old file that a cut job left aside is
    // put back where the real one is missing, else deleted. Only a server
    // without posix-rename ever gets one.
    bool PutBackAsides()
    {
        if (!job_.safe || posixRename_)
            return true;
        for (const TUploadFile& file : job_.files) {
            const QByteArray aside = RemotePath(AsideName(file.remoteName));
            if (Exists(aside)) {
                // Refused, it stays for the next job.
                const QByteArray real = RemotePath(file.remoteName);
                if (Exists(real))
                    sftp_unlink(sftp_, aside.constData());
                else
                    sftp_rename(sftp_, aside.constData(), real.constData());
            }
            if (!Connected())
                return FailSftp(TUploadStepKind::Rename, QStringLiteral("Cannot put back ") + AsideName(file.remoteName),
                                TUploadFault::Other);
            Progress();
        }
        return true;
    }

    bool File(const TUploadFile& file)
    {
        QFile local(file.localPath);
        if (!local.open(QIODevice::ReadOnly))
            return Fail(TUploadStepKind::Store,
                        QStringLiteral("Cannot open %1: %2").arg(file.localPath, local.errorString()),
                        TUploadFault::Other);
        const QByteArray real = RemotePath(file.remoteName);
        if (!renaming_)
            return Store(local, real, file.remoteName);
        const QString temporaryName = TemporaryName(file.remoteName);
        const QByteArray temporary = RemotePath(temporaryName);
        if (!Store(local, temporary, temporaryName))
            return false;
        Begin(TUploadStepKind::Rename);
        switch (Publish(temporary, real, RemotePath(AsideName(file.remoteName)))) {
        case Outcome::Ok:
            return Done(TUploadStepKind::Rename, temporaryName + QStringLiteral(" renamed to ") + file.remoteName);
        case Outcome::Lost:
            return FailSftp(TUploadStepKind::Rename, QStringLiteral("Cannot rename to ") + file.remoteName,
                            TUploadFault::RenameRefused);
        case Outcome::Refused:
            break;
        }
        // This server cannot rename: direct stores for the rest of the run.
        renaming_ = false;
        Report([](TSftpSequence& s) { s.RenameRefused(kRenameRefused); });
        sftp_unlink(sftp_, temporary.constData());
        local.seek(0);
        return Store(local, real, file.remoteName);
    }

    bool Store(QIODevice& local, const QByteArray& remote, const QString& name)
    {
        Begin(TUploadStepKind::Store);
        sftp_file file = sftp_open(sftp_, remote.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!file)
            return FailSftp(TUploadStepKind::Store, QStringLiteral("Cannot store ") + name,
                            TUploadFault::FolderNotWritable);
        QByteArray chunk;
        qint64 stored = 0;
        while (!local.atEnd()) {
            chunk = local.read(kChunkBytes);
            if (chunk.isEmpty() && !local.atEnd()) {
                sftp_close(file);
                return Fail(TUploadStepKind::Store, QStringLiteral("Cannot read ") + name, TUploadFault::Other);
            }
            if (sftp_write(file, chunk.constData(), static_cast<size_t>(chunk.size())) != chunk.size()) {
                sftp_close(file);
                return FailSftp(TUploadStepKind::Store, QStringLiteral("Cannot store ") + name,
                                TUploadFault::FolderNotWritable);
            }
            stored += chunk.size();
            Progress();
        }
        if (sftp_close(file) != SSH_NO_ERROR)
            return FailSftp(TUploadStepKind::Store, QStringLiteral("Cannot store ") + name, TUploadFault::Other);
        return Done(TUploadStepKind::Store, QStringLiteral("%1 stored (%2 bytes)").arg(name).arg(stored));
    }

    enum class Outcome { Ok, Refused, Lost };

    // The temporary file over the real one: in one step where the server
    // offers it; else the real one is renamed aside, the new one renamed in
    // and the old one deleted, so that a cut leaves the old one at worst
    // aside, for the next job to put back.
    Outcome Publish(const QByteArray& from, const QByteArray& to, const QByteArray& aside)
    {
        if (posixRename_) {
            const int status = PosixRename(from, to);
            if (status == SSH_FX_OK)
                return Outcome::Ok;
            if (status < 0)
                return Outcome::Lost;
        }
        bool setAside = sftp_rename(sftp_, to.constData(), aside.constData()) == 0;
        // Refused with a real one there: an earlier aside in the way.
        if (!setAside && Connected() && sftp_get_error(sftp_) != SSH_FX_NO_SUCH_FILE &&
            sftp_unlink(sftp_, aside.constData()) == 0)
            setAside = sftp_rename(sftp_, to.constData(), aside.constData()) == 0;
        if (!Connected())
            return Outcome::Lost;
        if (sftp_rename(sftp_, from.constData(), to.constData()) != 0)
            return Connected() ? Outcome::Refused : Outcome::Lost;
        if (setAside && sftp_unlink(sftp_, aside.constData()) != 0 && !Connected())
            return Outcome::Lost;
        return Outcome::Ok;
    }

    // libssh has no call for this extension: the request and its status
    // reply go over the SFTP channel directly. No other request is pending,
    // so the reply is the next packet.
    int PosixRename(const QByteArray& from, const QByteArray& to)
    {
        constexpr std::uint8_t kExtended = 200;
        constexpr std::uint8_t kStatus = 101;
        const std::uint32_t id = 0x7a000000u + ++posixRenames_;
        QByteArray body;
        body.append(static_cast<char>(kExtended));
        AppendU32(body, id);
        AppendString(body, QByteArray(kPosixRename));
        AppendString(body, from);
        AppendString(body, to);
        QByteArray packet;
        AppendU32(packet, static_cast<std::uint32_t>(body.size()));
        packet.append(body);
        if (ssh_channel_write(sftp_->channel, packet.constData(), static_cast<uint32_t>(packet.size())) != packet.size())
            return -1;
        QByteArray header = ReadChannel(4);
        if (header.size() != 4)
            return -1;
        const std::uint32_t length = ReadU32(header, 0);
        if (length < 9 || length > 256 * 1024)
            return -1;
        const QByteArray reply = ReadChannel(static_cast<qsizetype>(length));
        if (reply.size() != static_cast<qsizetype>(length))
            return -1;
        if (static_cast<std::uint8_t>(reply[0]) != kStatus || ReadU32(reply, 1) != id)
            return -1;
        return static_cast<int>(ReadU32(reply, 5));
    }

    QByteArray ReadChannel(qsizetype count)
    {
        QByteArray bytes(count, Qt::Uninitialized);
        qsizetype have = 0;
        while (have < count) {
            const int n = ssh_channel_read(sftp_->channel, bytes.data() + have, static_cast<uint32_t>(count - have), 0);
            if (n <= 0)
                return bytes.left(have);
            have += n;
        }
        return bytes;
    }

    // The connection test's file: stored under its temporary name, renamed,
    // deleted; nothing stays behind, also when a step fails.
    bool TestFile()
    {
        QBuffer bytes;
        bytes.setData(kConnectionTestContent);
        bytes.open(QIODevice::ReadOnly);
        const QString temporaryName = TemporaryName(kConnectionTestName);
        const QByteArray temporary = RemotePath(temporaryName);
        const QByteArray real = RemotePath(kConnectionTestName);
        if (!Store(bytes, temporary, temporaryName)) {
            if (Connected())
                sftp_unlink(sftp_, temporary.constData());
            return false;
        }
        Begin(TUploadStepKind::Rename);
        const Outcome renamed = Publish(temporary, real, RemotePath(AsideName(kConnectionTestName)));
        if (renamed != Outcome::Ok) {
            const QString what = QStringLiteral("Cannot rename %1 to %2")
                                     .arg(QString::fromUtf8(temporary), kConnectionTestName);
            if (renamed == Outcome::Lost)
                return FailSftp(TUploadStepKind::Rename, what, TUploadFault::RenameRefused);
            const QString status = SftpErrorText(sftp_get_error(sftp_));
            sftp_unlink(sftp_, temporary.constData());
            return Fail(TUploadStepKind::Rename, what + QStringLiteral(": ") + status, TUploadFault::RenameRefused);
        }
        Done(TUploadStepKind::Rename, temporaryName + QStringLiteral(" renamed to ") + kConnectionTestName);
        Begin(TUploadStepKind::Delete);
        if (sftp_unlink(sftp_, real.constData()) != 0)
            return FailSftp(TUploadStepKind::Delete, QStringLiteral("Cannot delete ") + kConnectionTestName,
                            TUploadFault::FolderNotWritable);
        return Done(TUploadStepKind::Delete, kConnectionTestName + QStringLiteral(" deleted"));
    }

    void Close()
    {
        if (sftp_)
            sftp_free(sftp_);
        if (session_) {
            // libssh leaves a descriptor it was given open at the disconnect
            // and forgets it, yet closes it itself when a write fails. Taken
            // back from the options, it is libssh's alone: the disconnect
            // closes it, or the free does.
            ssh_options_set(session_, SSH_OPTIONS_FD, nullptr);
            if (ssh_is_connected(session_))
                Disconnect(session_);
            ssh_free(session_);
        }
        // The server answers the disconnect by closing: its last bytes are
        // read, so that our close is no reset that could lose the disconnect.
        if (link_->stream >= 0)
            platform::EndStream(link_->stream, kPeerEndWaitMs);
        std::lock_guard lock(link_->mutex);
        if (link_->stream >= 0)
            platform::CloseStream(link_->stream);
        link_->stream = -1;
    }

    TSftpSequence* owner_;
    std::uint64_t jobId_;
    std::shared_ptr<Link> link_;
    TUploadJob job_;
    bool renaming_;
    long sshTimeoutSeconds_ = 20;
    ssh_session session_ = nullptr;
    ssh_callbacks_struct callbacks_{};
    QString connected_;     // the connection step's words, said once the server greets
    bool greeted_ = false;
    sftp_session sftp_ = nullptr;
    bool posixRename_ = false;
    std::uint32_t posixRenames_ = 0;
};

TSftpSequence::TSftpSequence(QObject* parent) : TUploadTransport(parent)
{
    watchdog_.setSingleShot(true);
    connect(&watchdog_, &QTimer::timeout, this, [this] { Abandon(TUploadGiveUp::TimeLimit); });
    workerEndWait_.setSingleShot(true);
    workerEndWait_.setInterval(kWorkerEndWait);
    connect(&workerEndWait_, &QTimer::timeout, this, [this] {
        // Stuck in a name lookup, which nothing interrupts: left to end on
        // its own, reporting to nobody.
        worker_.detach();
        Finish();
    });
}

TSftpSequence::~TSftpSequence()
{
    watchdog_.stop();
    workerEndWait_.stop();
    if (!link_)
        return;
    link_->Stop(true);
    // The worker ends soon once its connection is shut.
    bool ended = false;
    {
        std::unique_lock lock(link_->mutex);
        ended = link_->endedChanged.wait_for(lock, kWorkerEndWait, [this] { return link_->ended; });
    }
    if (worker_.joinable()) {
        if (ended)
            worker_.join();
        else
            worker_.detach();
    }
}

bool TSftpSequence::Start(const TUploadJob& job)
{
    if (running_)
        return false;
    job_ = job;
    BeginJob();
    ok_ = false;
    finishing_ = false;
    current_ = TUploadStepKind::Resolve;
    greetingAwaited_ = false;
    running_ = true;
    ++jobId_;
    link_ = std::make_shared<Link>();
    // Started here, not on the worker: the sockets service is the program's.
    LoadSocketsLibrary();
    const bool storeDirectly = renameRefused_ || (!job.safe && job.purpose != TUploadPurpose::Test);
    worker_ = std::thread([worker = std::make_shared<Worker>(this, jobId_, link_, job, storeDirectly)] { worker->Run(); });
    watchdog_.start(TimeoutMs(job_.account.TimeoutSeconds()));
    return true;
}

void TSftpSequence::Post(std::uint64_t jobId, std::function<void()> report)
{
    QMetaObject::invokeMethod(this, [this, jobId, report = std::move(report)] {
        if (jobId == jobId_ && running_ && !finishing_)
            report();
    }, Qt::QueuedConnection);
}

void TSftpSequence::Progress()
{
    watchdog_.start();
}

void TSftpSequence::Begin(TUploadStepKind kind)
{
    current_ = kind;
    greetingAwaited_ = false;
    watchdog_.start();
}

void TSftpSequence::GreetingAwaited()
{
    greetingAwaited_ = true;
    watchdog_.start();
}

void TSftpSequence::StepDone(const TUploadStep& step)
{
    watchdog_.start();
    if (OnStep)
        OnStep(step);
}

void TSftpSequence::Failed(const QString& message, TUploadFault fault)
{
    if (ReportFailure(message))
        result_.fault = fault;
}

void TSftpSequence::RenameRefused(const QString& note)
{
    renameRefused_ = true;
    if (OnNote)
        OnNote(note);
}

void TSftpSequence::Abandon(TUploadGiveUp why)
{
    if (!running_ || finishing_)
        return;
    TUploadFault fault = TUploadFault::None;
    QString message;
    switch (why) {
    case TUploadGiveUp::TimeLimit:
        fault = TUploadFault::NoAnswer;
        message = QStringLiteral("SFTP Timeout: no answer within %1 seconds")
                      .arg(TimeoutMs(job_.account.TimeoutSeconds()) / 1000);
        if (greetingAwaited_)
            message += QStringLiteral(": the connection was made, but the server sent no greeting");
        break;
    case TUploadGiveUp::Cancel:
        message = QStringLiteral("SFTP Cancelled: stopped on request");
        break;
    case TUploadGiveUp::Closing:
        message = QStringLiteral("SFTP Closing: the program was closing and waited no longer");
        break;
    }
    if (why != TUploadGiveUp::Cancel)
        Failed(message, fault);
    else if (result_.text.isEmpty())
        result_.text = message;  // whoever cancelled knows: no failure to report
    if (OnStep)
        OnStep({current_, false, message, fault});
    GiveUp();
}

void TSftpSequence::GiveUp()
{
    watchdog_.stop();
    // The shut connection wakes the worker, which closes the session and ends.
    link_->Stop();
    ok_ = false;
    finishing_ = true;
    workerEndWait_.start();
}

void TSftpSequence::WorkerEnded(std::uint64_t jobId, bool ok)
{
    // A worker left behind by an earlier job has nothing to end.
    if (jobId != jobId_ || !running_)
        return;
    worker_.join();  // it has closed everything and is returning
    if (!finishing_)
        ok_ = ok;
    Finish();
}

void TSftpSequence::Finish()
{
    watchdog_.stop();
    workerEndWait_.stop();
    running_ = false;
    finishing_ = false;
    result_.ok = ok_ && result_.text.isEmpty();
    ReportFiles(job_.files.size(), job_.files.size(), false);
    if (OnFinished)
        OnFinished();
}
