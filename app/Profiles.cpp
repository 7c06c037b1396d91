#include "app/Profiles.h"

#include "app/ProgramFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSaveFile>

namespace app {
namespace {

constexpr int kMaxNameLength = 64;
constexpr int kConnectMs = 2000;
const QByteArray kShowRequest = QByteArrayLiteral("show\n");

// A short, fixed-length key for a path or an identity, fit for a file or socket name.
QString Key(const QString& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex().left(16));
}

// Only a process that is gone leaves a lock behind: a live holder keeps it
// however long it runs.
void TakeStaleLocks(QLockFile& lock)
{
    lock.setStaleLockTime(0);
}

}  // namespace

QString ProfileNameError(const QString& name)
{
    if (name.trimmed().isEmpty())
        return QStringLiteral("A profile needs a name.");
    if (name.size() > kMaxNameLength)
        return QStringLiteral("The profile name \"%1\" is too long: at most %2 characters.").arg(name).arg(kMaxNameLength);
    if (name != name.trimmed())
        return QStringLiteral("The profile name \"%1\" begins or ends with a space.").arg(name);
    for (QChar c : name) {
        if (!c.isLetterOrNumber() && c != QLatin1Char(' ') && c != QLatin1Char('-') && c != QLatin1Char('_'))
            return QStringLiteral("The profile name \"%1\" holds \"%2\": use letters, digits, spaces, \"-\" and \"_\" only.")
                .arg(name, c);
    }
    return QString();
}

QString ProfilesFolder(const ProgramFiles& defaultFiles)
{
    return defaultFiles.DefaultFolder() + QStringLiteral("profiles/");
}

QStringList ProfileNames(const ProgramFiles& defaultFiles)
{
    QStringList names;
    const QStringList folders = QDir(ProfilesFolder(defaultFiles)).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& folder : folders) {
        if (ProfileNameError(folder).isEmpty())
            names << folder;
    }
    return names;
}

QString ProgramTitle(const QString& profile)
{
    const QString program = QString::fromLatin1(kProgramName);
    return profile.isEmpty() ? program : program + QStringLiteral(" \u2014 ") + profile;
}

QString CameraClaimsFolder(const ProgramFiles& defaultFiles)
{
    return ProfilesFolder(defaultFiles) + QStringLiteral(".cameras/");
}

// ---------------------------------------------------------------------------

TProfileInstance::TProfileInstance(const QString& dataFolder)
    : serverName_(QStringLiteral("tarvo-lite-") + Key(QDir::cleanPath(QDir(dataFolder).absolutePath()))),
      lock_(QDir(dataFolder).filePath(QStringLiteral("instance.lock")))
{
    QDir().mkpath(dataFolder);
    TakeStaleLocks(lock_);
}

TProfileInstance::~TProfileInstance()
{
    if (server_)
        server_->close();
}

bool TProfileInstance::Acquire()
{
    if (!lock_.tryLock(0))
        return false;
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // What a crashed holder left is ours to clear: the lock says nobody listens.
    QLocalServer::removeServer(serverName_);
    server_->listen(serverName_);
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                if (!socket->canReadLine())
                    return;
                const bool show = socket->readLine() == kShowRequest;
                socket->disconnectFromServer();
                if (show && OnShowRequested)
                    OnShowRequested();
            });
        }
    });
    return true;
}

bool TProfileInstance::AskRunningToShow() const
{
    QLocalSocket socket;
    socket.connectToServer(serverName_);
    if (!socket.waitForConnected(kConnectMs))
        return false;
    socket.write(kShowRequest);
    const bool sent = socket.waitForBytesWritten(kConnectMs);
    socket.disconnectFromServer();
    return sent;
}

// ---------------------------------------------------------------------------

TCameraClaim::TCameraClaim(QString claimsFolder, QString holder) : folder_(std::move(claimsFolder)), holder_(std::move(holder)) {}

TCameraClaim::~TCameraClaim()
{
    Release();
}

QString TCameraClaim::Take(const QString& identity)
{
    if (identity.isEmpty() || identity == identity_)
        return QString();
    QDir().mkpath(folder_);
    const QString base = QDir(folder_).filePath(Key(identity));
    auto lock = std::make_unique<QLockFile>(base + QStringLiteral(".lock"));
    TakeStaleLocks(*lock);
    if (!lock->tryLock(0)) {
        // The holder's name sits beside its lock; a holder that has not
        // written it yet is still another instance.
        QFile name(base + QStringLiteral(".holder"));
        const QString holder = name.open(QIODevice::ReadOnly) ? QString::fromUtf8(name.readAll()) : QString();
        if (holder.isEmpty())
            return QStringLiteral("This camera is in use by another instance of the program.");
        return QStringLiteral("This camera is in use by the profile %1.").arg(holder);
    }
    Release();
    QSaveFile name(base + QStringLiteral(".holder"));
    if (name.open(QIODevice::WriteOnly)) {
        name.write(holder_.toUtf8());
        name.commit();
    }
    identity_ = identity;
    lock_ = std::move(lock);
    return QString();
}

void TCameraClaim::Release()
{
    lock_.reset();
    identity_.clear();
}

}  // namespace app
