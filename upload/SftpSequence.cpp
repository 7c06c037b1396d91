#include "upload/SftpSequence.h"

#include "net/SocketCommon.h"
#include "platform/exception.h"
#include "platform/sockets.h"
#include "platform/stream.h"

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QMetaObject>

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
// Servers reset sessions that send larger write packets.
constexpr qint64 kChunkBytes = 32 * 1024;
// How long a job given up, or a destroyed transport, waits for its worker to
// end before leaving it.
constexpr auto kWorkerEndWait = std::chrono::seconds(3);
// How long a job's end waits for what it still has to send, then for the
// server to close after the disconnect.
constexpr int kFlushWaitMs = 1000;
constexpr int kPeerEndWaitMs = 1000;

QString Fingerprint(ssh_key key)
{
    unsigned char* hash = nullptr;
    size_t length = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != 0)
        return {};
    const QByteArray bytes(reinterpret_cast<const char*>(hash), static_cast<qsizetype>(length));
    ssh_clean_pubkey_hash(&hash);
    // As OpenSSH prints it: base64 without its padding.
    return QStringLiteral("SHA256:") + QString::fromLatin1(bytes.toBase64(QByteArray::OmitTrailingEquals));
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
        Done(TUploadStepKind::Connect, QStringLiteral("Connected to %1:%2").arg(a.host.trimmed()).arg(port));

        Begin(TUploadStepKind::Secure);
        session_ = ssh_new();
        socket_t own = session_ ? platform::DuplicateStream(link_->stream) : -1;
        if (own < 0)
            return Fail(TUploadStepKind::Secure, QStringLiteral("Cannot start an SSH session"), TUploadFault::Other);
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
        ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, knownHosts.constData());
        ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &timeout);
        if (!user.isEmpty())
            ssh_options_set(session_, SSH_OPTIONS_USER, user.constData());
        if (ssh_connect(session_) != SSH_OK)
            return Fail(TUploadStepKind::Secure, QStringLiteral("SSH: ") + SshError(), TUploadFault::Other);
        return HostKey();
    }

    bool HostKey()
    {
        ssh_key key = nullptr;
        if (ssh_get_server_publickey(session_, &key) != SSH_OK)
            return Fail(TUploadStepKind::Secure, QStringLiteral("SSH: ") + SshError(), TUploadFault::Other);
        const QString fingerprint = Fingerprint(key);
        ssh_key_free(key);
        const QString& pinned = job_.account.ssh.hostKey;
        using State = TUploadResult::HostKey;
        State state = State::Trusted;
        QString message;
        if (!pinned.isEmpty()) {
            if (fingerprint != pinned) {
                state = State::Changed;
                message = QStringLiteral("The SFTP server's host key %1 is not the pinned key %2").arg(fingerprint, pinned);
            }
        } else {
            switch (ssh_session_is_known_server(session_)) {
            case SSH_KNOWN_HOSTS_OK:
                break;
            case SSH_KNOWN_HOSTS_CHANGED:
                state = State::Changed;
                message = QStringLiteral("The SFTP server's host key %1 is not the one known_hosts holds for it")
                              .arg(fingerprint);
                break;
            default:
                state = State::Unknown;
                message = QStringLiteral("The SFTP server's host key is unknown: %1").arg(fingerprint);
                break;
            }
        }
        Report([state, fingerprint](TSftpSequence& s) {
            s.result_.hostKeyState = state;
            s.result_.hostKey = fingerprint;
            s.result_.secured = state == State::Trusted;
            s.result_.connected = s.job_.purpose == TUploadPurpose::Check && state == State::Trusted;
        });
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
                const QByteArray file = QFile::encodeName(a.ssh.keyFile);
                if (ssh_pki_import_privkey_file(file.constData(), password.isEmpty() ? nullptr : password.constData(),
                                                nullptr, nullptr, &key) != SSH_OK)
                    return Fail(TUploadStepKind::Login,
                                QStringLiteral("Cannot read the private key %1 (or its passphrase is wrong)")
                                    .arg(a.ssh.keyFile),
                                TUploadFault::LoginRefused);
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
        if (IsFolder(folder.toUtf8()))
            return Done(TUploadStepKind::Folder, folder + QStringLiteral(" found"));
        // Walked one level at a time, each missing one made.
        const QStringList levels = folder.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        QString path = folder.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : QString();
        bool made = false;
        for (const QString& level : levels) {
            path += level;
            const QByteArray bytes = path.toUtf8();
            if (!IsFolder(bytes)) {
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

    bool IsFolder(const QByteArray& path)
    {
        sftp_attributes attributes = sftp_stat(sftp_, path.constData());
        if (!attributes)
            return false;
        const bool folder = attributes->type == SSH_FILEXFER_TYPE_DIRECTORY;
        sftp_attributes_free(attributes);
        return folder;
    }

    bool Files()
    {
        if (Test())
            return TestFile();
        for (std::size_t i = 0; i < job_.files.size(); ++i) {
            if (!File(job_.files[i]))
                return false;
            Report([i](TSftpSequence& s) { s.ReportFiles(i + 1, s.job_.files.size(), true); });
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
        switch (Publish(temporary, real)) {
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
    // offers it, else the real one deleted first.
    Outcome Publish(const QByteArray& from, const QByteArray& to)
    {
        if (posixRename_) {
            const int status = PosixRename(from, to);
            if (status == SSH_FX_OK)
                return Outcome::Ok;
            if (status < 0)
                return Outcome::Lost;
        }
        sftp_unlink(sftp_, to.constData());
        if (sftp_rename(sftp_, from.constData(), to.constData()) == 0)
            return Outcome::Ok;
        return Connected() ? Outcome::Refused : Outcome::Lost;
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
        const Outcome renamed = Publish(temporary, real);
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
