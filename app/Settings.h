#pragma once
// The two settings files: "Tarvo Lite.sif" (program settings) and
// "vcap.sif" (the capture driver index), their keys, and the start-up load
// and close-time save of the main window.

#include "app/ProgramFiles.h"
#include "platform/inifile.h"

#include <QString>

#include <cstdint>

namespace app {

namespace keys {
inline const QString FtpSettings = QStringLiteral("FTP Settings");
inline const QString FtpHost = QStringLiteral("FTP_Host");
inline const QString FtpPort = QStringLiteral("FTP_Port");
inline const QString FtpTimeout = QStringLiteral("FTP_Timeout");
inline const QString UserId = QStringLiteral("User_ID");
inline const QString Password = QStringLiteral("Password");
inline const QString UpdateInterval = QStringLiteral("Update_Interval");
inline const QString AutoStart = QStringLiteral("AutoStart");
inline const QString PassiveMode = QStringLiteral("Passive_Mode");

inline const QString OtherSettings = QStringLiteral("Other Settings");
inline const QString LogErrors = QStringLiteral("LogErrors");
inline const QString ErrorBeep = QStringLiteral("ErrorBeep");
inline const QString FirstRun = QStringLiteral("FirstRun");

inline const QString CaptureParameters = QStringLiteral("Capture Parameters");
inline const QString FrameRate = QStringLiteral("FrameRate");
inline const QString CaptureTime = QStringLiteral("Capture_Time");
inline const QString IndexSize = QStringLiteral("Index_Size");
inline const QString BufferSize = QStringLiteral("Buffer_Size");
inline const QString CaptureAudio = QStringLiteral("Capture_Audio");

inline const QString Driver = QStringLiteral("Driver");
inline const QString Index = QStringLiteral("index");
}  // namespace keys

// The program settings file, created and rewritten readable by its owner
// only: it holds the FTP password in clear.
platform::IniFile ProgramSettingsFile(const ProgramFiles& files);
platform::IniFile DriverSettingsFile(const ProgramFiles& files);

// What the start-up load fills in; the initial values are the built-in ones
// that stand when there is no settings file.
struct ProgramSettings {
    QString updateInterval = QStringLiteral("3");
    std::uint16_t frameRate = 15;
    std::uint16_t captureTime = 0;
    std::uint32_t indexSize = 0;
    std::uint16_t bufferSize = 0;
    bool captureAudio = false;
    QString ftpHost;
    QString ftpPort = QStringLiteral("ftp");
    int ftpTimeout = 15;
    QString userId;
    QString password;
    bool passiveMode = true;
    bool logErrors = true;
    bool errorBeep = false;
    bool firstRun = true;
    bool autoStart = false;
};

// Reads every key, in the start-up order, with its default, when the file
// exists; answers false (and changes nothing) when it does not. A capture
// number outside its property's range keeps the built-in value; the other
// keys still load.
bool LoadProgramSettings(const platform::IniFile& file, ProgramSettings& settings);

// The values the main window saves when it closes, as its fields hold them.
struct CloseTimeSettings {
    QString ftpHost;
    QString ftpPort;  // an empty port is saved as "21"
    QString ftpTimeout;
    QString userId;
    QString password;
    QString updateInterval;
    bool autoStart = false;
    bool passiveMode = true;
    bool logErrors = true;
    bool errorBeep = false;
    bool firstRun = true;
};

// Writes the eleven keys in order; raises EIniFileException on the first
// write that fails.
void SaveProgramSettings(platform::IniFile& file, const CloseTimeSettings& settings);

// "index" of section "Driver", -1 (no driver) when absent or not an integer.
int ReadDriverIndex(const platform::IniFile& file);
void WriteDriverIndex(platform::IniFile& file, int index);

}  // namespace app
