#include "app/Settings.h"

#include <limits>

namespace app {
namespace {

// A stored number outside the target's range leaves the target as it is.
template <typename T>
void ReadRanged(const platform::IniFile& file, const QString& key, int defaultValue, T& target)
{
    const int value = file.ReadInteger(keys::CaptureParameters, key, defaultValue);
    if (value >= 0 && static_cast<std::uint64_t>(value) <= std::numeric_limits<T>::max())
        target = static_cast<T>(value);
}

}  // namespace

platform::IniFile ProgramSettingsFile(const ProgramFiles& files)
{
    return platform::IniFile(files.SettingsFile(), platform::ProfileFileMode::OwnerOnly);
}

platform::IniFile DriverSettingsFile(const ProgramFiles& files)
{
    return platform::IniFile(files.DriverSettingsFile());
}

bool LoadProgramSettings(const platform::IniFile& file, ProgramSettings& s)
{
    if (!file.Exists())
        return false;
    using namespace keys;
    s.updateInterval = file.ReadString(FtpSettings, UpdateInterval, QStringLiteral("5"));
    ReadRanged(file, FrameRate, 15, s.frameRate);
    ReadRanged(file, CaptureTime, 0, s.captureTime);
    ReadRanged(file, IndexSize, 0, s.indexSize);
    ReadRanged(file, BufferSize, 0, s.bufferSize);
    s.captureAudio = file.ReadBool(CaptureParameters, CaptureAudio, false);
    s.ftpHost = file.ReadString(FtpSettings, FtpHost, QString());
    s.ftpPort = file.ReadString(FtpSettings, FtpPort, QStringLiteral("21"));
    s.ftpTimeout = file.ReadInteger(FtpSettings, FtpTimeout, 15);
    s.userId = file.ReadString(FtpSettings, UserId, QString());
    s.password = file.ReadString(FtpSettings, Password, QString());
    s.passiveMode = file.ReadBool(FtpSettings, PassiveMode, true);
    s.logErrors = file.ReadBool(OtherSettings, LogErrors, true);
    s.errorBeep = file.ReadBool(OtherSettings, ErrorBeep, false);
    s.firstRun = file.ReadBool(OtherSettings, FirstRun, true);
    s.autoStart = file.ReadBool(FtpSettings, AutoStart, false);
    return true;
}

void SaveProgramSettings(platform::IniFile& file, const CloseTimeSettings& s)
{
    using namespace keys;
    file.WriteString(FtpSettings, FtpHost, s.ftpHost);
    file.WriteString(FtpSettings, FtpPort, s.ftpPort.isEmpty() ? QStringLiteral("21") : s.ftpPort);
    file.WriteString(FtpSettings, FtpTimeout, s.ftpTimeout);
    file.WriteString(FtpSettings, UserId, s.userId);
    file.WriteString(FtpSettings, Password, s.password);
    file.WriteString(FtpSettings, UpdateInterval, s.updateInterval);
    file.WriteBool(FtpSettings, AutoStart, s.autoStart);
    file.WriteBool(FtpSettings, PassiveMode, s.passiveMode);
    file.WriteBool(OtherSettings, LogErrors, s.logErrors);
    file.WriteBool(OtherSettings, ErrorBeep, s.errorBeep);
    file.WriteBool(OtherSettings, FirstRun, s.firstRun);
}

int ReadDriverIndex(const platform::IniFile& file)
{
    return file.ReadInteger(keys::Driver, keys::Index, -1);
}

void WriteDriverIndex(platform::IniFile& file, int index)
{
    file.WriteInteger(keys::Driver, keys::Index, index);
}

}  // namespace app
