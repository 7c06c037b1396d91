#pragma once
// The two settings files: "Tarvo Lite.sif" (program settings) and "vcap.sif"
// (the capture driver). This module alone knows their sections and keys; the
// main window, the dialogs and the wizard load and save through it.

#include "platform/inifile.h"
#include "settings/CaptionSettings.h"
#include "settings/MotionSettings.h"
#include "settings/PrivacyMaskSettings.h"

#include <QString>

#include <cstdint>

namespace settings {

// FTP over TLS, in two keys of its own in "FTP Settings". A file without
// them means plain FTP and no pinned certificate, and is written without
// them until TLS or a pin is chosen.
struct FtpSecurity {
    int mode = 0;         // "FTP_Security": 0 plain FTP, 1 explicit TLS, 2 implicit TLS
    QString fingerprint;  // "TLS_Fingerprint": the pinned SHA-256 fingerprint, empty for none

    bool operator==(const FtpSecurity&) const = default;
};

// SFTP, in keys of its own in "FTP Settings". A file without them means
// FTP, and is written without them until SFTP, a key file or a pinned host
// key is chosen.
enum class Protocol { Ftp = 0, Sftp = 1 };
struct SshSettings {
    Protocol protocol = Protocol::Ftp;  // "Protocol"
    QString hostKey;  // "SSH_HostKey": the pinned key's fingerprint, "SHA256:...", empty for none
    // "SSH_KeyFile": a private key file; empty logs in with the password (or
    // the agent when one runs). With a key file the password is its passphrase.
    QString keyFile;

    bool operator==(const SshSettings&) const = default;
};

// The FTP account and the update's own choices, as the network dialog and
// the wizard edit them.
struct FtpAccount {
    QString host;
    QString port = QStringLiteral("21");     // a number or a service name
    QString timeout = QStringLiteral("15");  // seconds, kept as typed
    QString userId;
    QString password;  // in clear, as typed
    bool passiveMode = true;
    bool autoStart = false;
    // Pictures go up under a temporary name and are renamed over the real
    // one, so that a visitor never loads half a picture.
    bool safeUpload = true;
    // "Remote_Folder": where the uploads go, made on the server when missing;
    // empty for the folder the login starts in. A file without the key is
    // written without it until a folder is chosen.
    QString remoteFolder;

    // The time limit as every caller takes it (see EffectiveFtpTimeout): the
    // text as a number of seconds, 15 when it is not a number.
    int TimeoutSeconds() const;

    FtpSecurity tls;
    SshSettings ssh;

    bool Sftp() const { return ssh.protocol == Protocol::Sftp; }

    bool operator==(const FtpAccount&) const = default;
};

// The FTP time limit, in seconds: how long a request may go without progress.
constexpr int kFtpTimeoutMin = 1;
constexpr int kFtpTimeoutMax = 3600;
constexpr int kFtpTimeoutDefault = 15;
// The limit for a number of seconds: 0 or less, which would wait for ever,
// gives the default; more than an hour gives an hour.
int EffectiveFtpTimeout(qint64 seconds);
// Whether a time-out text, as typed or stored, is a limit that stands as it is.
bool FtpTimeoutInRange(const QString& text);

// The capture parameters as their dialog shows them: numbers as text.
struct CaptureParameters {
    QString frameRate = QStringLiteral("15");
    QString captureTime = QStringLiteral("0");
    QString indexSize = QStringLiteral("0");
    QString bufferSize = QStringLiteral("0");
    bool captureAudio = false;
};

// "Tarvo Lite.sif". Holds the values that were loaded or accepted (the
// initial ones are the built-in values that stand without a file); every
// operation opens the file afresh. Each save replaces the file once, with
// all its keys, so that a crash never leaves half a save; a save the file
// refuses raises EIniFileException and leaves the file as it was.
class TProgramSettings
{
public:
    explicit TProgramSettings(QString fileName);

    const QString& FileName() const { return fileName_; }
    bool Exists() const;

    FtpAccount account;
    QString updateInterval = QStringLiteral("3");
    std::uint16_t frameRate = 15;
    std::uint16_t captureTime = 0;
    std::uint32_t indexSize = 0;
    std::uint16_t bufferSize = 0;
    bool captureAudio = false;
    bool logErrors = true;
    bool errorBeep = false;
    bool firstRun = true;
    // "Release_Camera" (section "Other Settings"): the camera is let go
    // between updates while the window is out of sight. On without the key;
    // the key is written once it was turned off.
    bool releaseCamera = true;

    // The start-up load: every key in its order, each with its default;
    // false (nothing changes) without a file. A capture number outside its
    // property's range keeps the built-in value; the other keys still load.
    bool Load();
    // The network dialog's read of the account and the interval; false
    // (nothing changes) without a file.
    bool LoadAccount();
    // The network dialog's OK: writes the account and the interval, then
    // reads them back as the accepted values.
    void SaveAccount(const FtpAccount& typed, const QString& interval);
    // The wizard's first page: host, user, password and remote folder, also
    // accepted here.
    void SaveLogin(const QString& host, const QString& userId, const QString& password,
                   const QString& remoteFolder);
    // The wizard's finish: the account without the auto start.
    void SaveWizardAccount();
    // The wizard's first page: the TLS choice and the port it may have
    // changed, also accepted here.
    void SaveSecurity(const FtpSecurity& tls, const QString& port);
    // The SFTP keys alone, also accepted here: the wizard's first page, a
    // host key the user agreed to pin.
    void SaveSsh(const SshSettings& ssh);
    // The close-time save: the account as loaded or accepted, then the
    // interval and the two log options given here, and the first-run flag.
    void SaveAtClose(const QString& interval, bool logErrorsNow, bool errorBeepNow);

    // The capture parameters dialog's read (defaults without a file) and save.
    CaptureParameters ReadCaptureParameters() const;
    void SaveCaptureParameters(const CaptureParameters& parameters);

    // Motion detection: read at start-up (off without a file or section) and
    // saved by its dialog's OK; values out of range are clamped on reading.
    MotionSettings ReadMotion() const;
    void SaveMotion(const MotionSettings& motion);

    // Privacy masks: read before the camera opens (none without a file or
    // section) and saved by their dialog's OK. A setting that cannot be read
    // is left out, or gives black for the fill, and adds one line saying so
    // to unreadable; the other masks still apply.
    PrivacyMaskSettings ReadPrivacyMasks(QStringList* unreadable = nullptr) const;
    void SavePrivacyMasks(const PrivacyMaskSettings& masks);

    // The caption on "Capture.jpg": read at start-up (none without a file or
    // section; a value that cannot be read keeps its default) and saved by
    // its dialog's OK.
    CaptionSettings ReadCaption() const;
    void SaveCaption(const CaptionSettings& caption);

private:
    platform::IniFile File() const;

    QString fileName_;
};

// "index" of section "Driver" in "vcap.sif": -1 (no driver) when absent or
// not an integer.
int ReadDriverIndex(const QString& fileName);
// "name" of section "Driver": the chosen device's identity (card and bus);
// empty in files written before it was kept.
QString ReadDriverIdentity(const QString& fileName);
void WriteDriverChoice(const QString& fileName, int index, const QString& identity);

}  // namespace settings
