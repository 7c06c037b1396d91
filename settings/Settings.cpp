#include "settings/Settings.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace settings {
namespace {

const QString kFtpSettings = QStringLiteral("FTP Settings");
const QString kUpdateInterval = QStringLiteral("Update_Interval");
const QString kAutoStart = QStringLiteral("AutoStart");
const QString kPassiveMode = QStringLiteral("Passive_Mode");

const QString kOtherSettings = QStringLiteral("Other Settings");
const QString kLogErrors = QStringLiteral("LogErrors");
const QString kErrorBeep = QStringLiteral("ErrorBeep");
const QString kFirstRun = QStringLiteral("FirstRun");
const QString kReleaseCamera = QStringLiteral("Release_Camera");

const QString kCaptureParameters = QStringLiteral("Capture Parameters");
const QString kFrameRate = QStringLiteral("FrameRate");
const QString kCaptureTime = QStringLiteral("Capture_Time");
const QString kIndexSize = QStringLiteral("Index_Size");
const QString kBufferSize = QStringLiteral("Buffer_Size");
const QString kCaptureAudio = QStringLiteral("Capture_Audio");

const QString kDriver = QStringLiteral("Driver");
const QString kName = QStringLiteral("name");
const QString kIndex = QStringLiteral("index");

// The account's text keys of section "FTP Settings", in the order every
// writer writes them, with their read defaults.
struct AccountText {
    const char* key;
    QString FtpAccount::*field;
    const char* readDefault;
};
constexpr char kFtpPort[] = "FTP_Port";
constexpr AccountText kAccountTexts[] = {
    {"FTP_Host", &FtpAccount::host, ""},
    {kFtpPort, &FtpAccount::port, "21"},
    {"FTP_Timeout", &FtpAccount::timeout, "15"},
    {"User_ID", &FtpAccount::userId, ""},
    {"Password", &FtpAccount::password, ""},
};

void ReadAccountTexts(const platform::IniFile& file, FtpAccount& account)
{
    for (const AccountText& t : kAccountTexts)
        account.*t.field = file.ReadString(kFtpSettings, QString::fromLatin1(t.key), QString::fromLatin1(t.readDefault));
}

void WriteAccountTexts(platform::IniFile& file, const FtpAccount& account)
{
    for (const AccountText& t : kAccountTexts) {
        QString value = account.*t.field;
        if (t.field == &FtpAccount::port && value.isEmpty())
            value = QString::fromLatin1(t.readDefault);  // an emptied port is saved as the default
        file.WriteString(kFtpSettings, QString::fromLatin1(t.key), value);
    }
}

// Safe publishing: its own key of section "FTP Settings", written by the
// network dialog only (the close leaves it as the dialog wrote it); files
// written before it existed mean it on.
const QString kSafeUpload = QStringLiteral("Safe_Upload");

void ReadSafeUpload(const platform::IniFile& file, FtpAccount& account)
{
    account.safeUpload = file.ReadBool(kFtpSettings, kSafeUpload, true);
}

void WriteSafeUpload(platform::IniFile& file, const FtpAccount& account)
{
    file.WriteBool(kFtpSettings, kSafeUpload, account.safeUpload);
}

// The upload folder: like the TLS keys, a file that never had one stays as
// it was.
const QString kRemoteFolder = QStringLiteral("Remote_Folder");

void ReadRemoteFolder(const platform::IniFile& file, FtpAccount& account)
{
    account.remoteFolder = file.ReadString(kFtpSettings, kRemoteFolder, QString()).trimmed();
}

void WriteRemoteFolder(platform::IniFile& file, const FtpAccount& account)
{
    const QString absent = QStringLiteral("\x01");
    if (account.remoteFolder.isEmpty() && file.ReadString(kFtpSettings, kRemoteFolder, absent) == absent)
        return;
    file.WriteString(kFtpSettings, kRemoteFolder, account.remoteFolder);
}

// --- FTP over TLS ----------------------------------------------------------

const QString kFtpSecurity = QStringLiteral("FTP_Security");
const QString kTlsFingerprint = QStringLiteral("TLS_Fingerprint");

void ReadSecurity(const platform::IniFile& file, FtpSecurity& tls)
{
    const int mode = file.ReadInteger(kFtpSettings, kFtpSecurity, 0);
    tls.mode = mode >= 0 && mode <= 2 ? mode : 0;
    tls.fingerprint = file.ReadString(kFtpSettings, kTlsFingerprint, QString()).trimmed();
}

void WriteSecurity(platform::IniFile& file, const FtpSecurity& tls)
{
    // A file that never had TLS stays as it was.
    const QString absent = QStringLiteral("\x01");
    const bool present = file.ReadString(kFtpSettings, kFtpSecurity, absent) != absent ||
                         file.ReadString(kFtpSettings, kTlsFingerprint, absent) != absent;
    if (tls.mode == 0 && tls.fingerprint.isEmpty() && !present)
        return;
    file.WriteInteger(kFtpSettings, kFtpSecurity, tls.mode);
    file.WriteString(kFtpSettings, kTlsFingerprint, tls.fingerprint);
}

// --- SFTP ------------------------------------------------------------------

const QString kProtocol = QStringLiteral("Protocol");
const QString kSshHostKey = QStringLiteral("SSH_HostKey");
const QString kSshKeyFile = QStringLiteral("SSH_KeyFile");

void ReadSsh(const platform::IniFile& file, SshSettings& ssh)
{
    ssh.protocol = file.ReadInteger(kFtpSettings, kProtocol, 0) == 1 ? Protocol::Sftp : Protocol::Ftp;
    ssh.hostKey = file.ReadString(kFtpSettings, kSshHostKey, QString()).trimmed();
    ssh.keyFile = file.ReadString(kFtpSettings, kSshKeyFile, QString()).trimmed();
}

void WriteSsh(platform::IniFile& file, const SshSettings& ssh)
{
    // A file that never used SFTP stays as it was.
    const QString absent = QStringLiteral("\x01");
    const bool present = file.ReadString(kFtpSettings, kProtocol, absent) != absent ||
                         file.ReadString(kFtpSettings, kSshHostKey, absent) != absent ||
                         file.ReadString(kFtpSettings, kSshKeyFile, absent) != absent;
    if (ssh == SshSettings{} && !present)
        return;
    file.WriteInteger(kFtpSettings, kProtocol, static_cast<int>(ssh.protocol));
    file.WriteString(kFtpSettings, kSshHostKey, ssh.hostKey);
    file.WriteString(kFtpSettings, kSshKeyFile, ssh.keyFile);
}

// ---------------------------------------------------------------------------

// A stored number outside the target's range leaves the target as it is.
template <typename T>
void ReadRanged(const platform::IniFile& file, const QString& key, int defaultValue, T& target)
{
    const int value = file.ReadInteger(kCaptureParameters, key, defaultValue);
    if (value >= 0 && static_cast<std::uint64_t>(value) <= std::numeric_limits<T>::max())
        target = static_cast<T>(value);
}

// The keys of the FTP account and the update, read by Load and LoadAccount alike.
void ReadAccount(const platform::IniFile& file, FtpAccount& account, QString& updateInterval)
{
    ReadAccountTexts(file, account);
    ReadSecurity(file, account.tls);
    ReadSsh(file, account.ssh);
    updateInterval = file.ReadString(kFtpSettings, kUpdateInterval, QStringLiteral("5"));
    account.autoStart = file.ReadBool(kFtpSettings, kAutoStart, false);
    account.passiveMode = file.ReadBool(kFtpSettings, kPassiveMode, true);
    ReadSafeUpload(file, account);
    ReadRemoteFolder(file, account);
}

// A time-out text as a number: decimal of any length, or an integer as the
// files spell one (hexadecimal included); none for anything else.
std::optional<qint64> TimeoutNumber(const QString& text)
{
    bool decimal = false;
    const qint64 seconds = text.toLongLong(&decimal);
    if (decimal)
        return seconds;
    constexpr int kNone = std::numeric_limits<int>::min();
    const int integer = platform::StrToIntDef(text, kNone);
    return integer == kNone ? std::nullopt : std::optional<qint64>(integer);
}

}  // namespace

int EffectiveFtpTimeout(qint64 seconds)
{
    if (seconds <= 0)
        return kFtpTimeoutDefault;
    return static_cast<int>(std::min<qint64>(seconds, kFtpTimeoutMax));
}

bool FtpTimeoutInRange(const QString& text)
{
    const std::optional<qint64> seconds = TimeoutNumber(text);
    return seconds && *seconds >= kFtpTimeoutMin && *seconds <= kFtpTimeoutMax;
}

int FtpAccount::TimeoutSeconds() const
{
    return EffectiveFtpTimeout(TimeoutNumber(timeout).value_or(0));
}

TProgramSettings::TProgramSettings(QString fileName) : fileName_(std::move(fileName)) {}

platform::IniFile TProgramSettings::File() const
{
    // The file holds the FTP password in clear: readable by its owner only.
    return platform::IniFile(fileName_, platform::ProfileFileMode::OwnerOnly);
}

bool TProgramSettings::Exists() const
{
    return File().Exists();
}

bool TProgramSettings::Load()
{
    const platform::IniFile file = File();
    if (!file.Exists())
        return false;
    ReadAccount(file, account, updateInterval);
    ReadRanged(file, kFrameRate, 15, frameRate);
    ReadRanged(file, kCaptureTime, 0, captureTime);
    ReadRanged(file, kIndexSize, 0, indexSize);
    ReadRanged(file, kBufferSize, 0, bufferSize);
    captureAudio = file.ReadBool(kCaptureParameters, kCaptureAudio, false);
    logErrors = file.ReadBool(kOtherSettings, kLogErrors, true);
    errorBeep = file.ReadBool(kOtherSettings, kErrorBeep, false);
    firstRun = file.ReadBool(kOtherSettings, kFirstRun, true);
    releaseCamera = file.ReadBool(kOtherSettings, kReleaseCamera, true);
    return true;
}

bool TProgramSettings::LoadAccount()
{
    const platform::IniFile file = File();
    if (!file.Exists())
        return false;
    ReadAccount(file, account, updateInterval);
    return true;
}

void TProgramSettings::SaveAccount(const FtpAccount& typed, const QString& interval)
{
    platform::IniFile file = File();
    file.BeginUpdate();
    WriteAccountTexts(file, typed);
    file.WriteString(kFtpSettings, kUpdateInterval, interval);
    file.WriteBool(kFtpSettings, kAutoStart, typed.autoStart);
    file.WriteBool(kFtpSettings, kPassiveMode, typed.passiveMode);
    WriteSafeUpload(file, typed);
    WriteRemoteFolder(file, typed);
    WriteSecurity(file, typed.tls);
    WriteSsh(file, typed.ssh);
    file.Commit();
    LoadAccount();
}

void TProgramSettings::SaveLogin(const QString& host, const QString& userId, const QString& password,
                                 const QString& remoteFolder)
{
    account.host = host;
    account.userId = userId;
    account.password = password;
    account.remoteFolder = remoteFolder;
    platform::IniFile file = File();
    file.BeginUpdate();
    for (const AccountText& t : kAccountTexts) {
        if (t.field != &FtpAccount::port && t.field != &FtpAccount::timeout)
            file.WriteString(kFtpSettings, QString::fromLatin1(t.key), account.*t.field);
    }
    WriteRemoteFolder(file, account);
    file.Commit();
}

void TProgramSettings::SaveWizardAccount()
{
    platform::IniFile file = File();
    file.BeginUpdate();
    WriteAccountTexts(file, account);
    file.WriteBool(kFtpSettings, kPassiveMode, account.passiveMode);
    WriteRemoteFolder(file, account);
    WriteSecurity(file, account.tls);
    WriteSsh(file, account.ssh);
    file.Commit();
}

void TProgramSettings::SaveSecurity(const FtpSecurity& tls, const QString& port)
{
    account.tls = tls;
    account.port = port;
    platform::IniFile file = File();
    file.BeginUpdate();
    file.WriteString(kFtpSettings, QString::fromLatin1(kFtpPort), port);
    WriteSecurity(file, tls);
    file.Commit();
}

void TProgramSettings::SaveSsh(const SshSettings& ssh)
{
    account.ssh = ssh;
    platform::IniFile file = File();
    file.BeginUpdate();
    WriteSsh(file, ssh);
    file.Commit();
}

void TProgramSettings::SaveAtClose(const QString& interval, bool logErrorsNow, bool errorBeepNow)
{
    updateInterval = interval;
    logErrors = logErrorsNow;
    errorBeep = errorBeepNow;
    platform::IniFile file = File();
    file.BeginUpdate();
    WriteAccountTexts(file, account);
    file.WriteString(kFtpSettings, kUpdateInterval, updateInterval);
    file.WriteBool(kFtpSettings, kAutoStart, account.autoStart);
    file.WriteBool(kFtpSettings, kPassiveMode, account.passiveMode);
    WriteSecurity(file, account.tls);
    WriteSsh(file, account.ssh);
    file.WriteBool(kOtherSettings, kLogErrors, logErrors);
    file.WriteBool(kOtherSettings, kErrorBeep, errorBeep);
    file.WriteBool(kOtherSettings, kFirstRun, firstRun);
    // A file that never had the key stays as it was while the option is on.
    if (!releaseCamera || file.ReadString(kOtherSettings, kReleaseCamera, QStringLiteral("\x01")) != QStringLiteral("\x01"))
        file.WriteBool(kOtherSettings, kReleaseCamera, releaseCamera);
    file.Commit();
}

CaptureParameters TProgramSettings::ReadCaptureParameters() const
{
    CaptureParameters p;
    const platform::IniFile file = File();
    if (!file.Exists())
        return p;
    p.frameRate = file.ReadString(kCaptureParameters, kFrameRate, p.frameRate);
    p.captureTime = file.ReadString(kCaptureParameters, kCaptureTime, p.captureTime);
    p.indexSize = file.ReadString(kCaptureParameters, kIndexSize, p.indexSize);
    p.bufferSize = file.ReadString(kCaptureParameters, kBufferSize, p.bufferSize);
    p.captureAudio = file.ReadBool(kCaptureParameters, kCaptureAudio, false);
    return p;
}

void TProgramSettings::SaveCaptureParameters(const CaptureParameters& p)
{
    platform::IniFile file = File();
    file.BeginUpdate();
    file.WriteString(kCaptureParameters, kFrameRate, p.frameRate);
    file.WriteString(kCaptureParameters, kCaptureTime, p.captureTime);
    file.WriteString(kCaptureParameters, kIndexSize, p.indexSize);
    file.WriteString(kCaptureParameters, kBufferSize, p.bufferSize);
    file.WriteBool(kCaptureParameters, kCaptureAudio, p.captureAudio);
    file.Commit();
}

int ReadDriverIndex(const QString& fileName)
{
    return platform::IniFile(fileName).ReadInteger(kDriver, kIndex, -1);
}

QString ReadDriverIdentity(const QString& fileName)
{
    return platform::IniFile(fileName).ReadString(kDriver, kName, QString());
}

void WriteDriverChoice(const QString& fileName, int index, const QString& identity)
{
    platform::IniFile file(fileName);
    file.BeginUpdate();
    file.WriteInteger(kDriver, kIndex, index);
    file.WriteString(kDriver, kName, identity);
    file.Commit();
}

}  // namespace settings
