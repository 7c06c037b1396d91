// The start-up load of "Tarvo Lite.sif" from an arbitrary file, and the
// close-time save of what was loaded: loading the saved file again gives the
// same settings.

#include "fuzz/fuzz_support.h"
#include "app/Settings.h"

#include <QFile>

namespace {

bool HasBreak(const QString& s)
{
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::EnsureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const app::ProgramFiles files(fuzz::ScratchFolder());
    {
        QFile f(files.SettingsFile());
        FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    platform::IniFile file = app::ProgramSettingsFile(files);
    app::ProgramSettings s;
    FUZZ_CHECK(app::LoadProgramSettings(file, s));
    for (const QString* text : {&s.updateInterval, &s.ftpHost, &s.ftpPort, &s.userId, &s.password})
        FUZZ_CHECK(text->size() <= platform::kProfileBufferSize - 1);
    (void)app::ReadDriverIndex(file);

    // Values with line breaks cannot be written back; the save refuses them.
    for (const QString* text : {&s.updateInterval, &s.ftpHost, &s.ftpPort, &s.userId, &s.password})
        if (HasBreak(*text))
            return 0;
    app::CloseTimeSettings c;
    c.ftpHost = s.ftpHost;
    c.ftpPort = s.ftpPort;
    c.ftpTimeout = QString::number(s.ftpTimeout);
    c.userId = s.userId;
    c.password = s.password;
    c.updateInterval = s.updateInterval;
    c.autoStart = s.autoStart;
    c.passiveMode = s.passiveMode;
    c.logErrors = s.logErrors;
    c.errorBeep = s.errorBeep;
    c.firstRun = s.firstRun;
    try {
        app::SaveProgramSettings(file, c);
    } catch (const platform::EIniFileException&) {
        FUZZ_CHECK(false);  // the folder is writable and every value is writable text
    }
    app::ProgramSettings again;
    FUZZ_CHECK(app::LoadProgramSettings(file, again));
    FUZZ_CHECK(again.ftpHost == s.ftpHost);
    FUZZ_CHECK(again.ftpPort == (s.ftpPort.isEmpty() ? QStringLiteral("21") : s.ftpPort));
    FUZZ_CHECK(again.ftpTimeout == s.ftpTimeout);
    FUZZ_CHECK(again.userId == s.userId);
    FUZZ_CHECK(again.password == s.password);
    FUZZ_CHECK(again.updateInterval == s.updateInterval);
    FUZZ_CHECK(again.autoStart == s.autoStart && again.passiveMode == s.passiveMode);
    FUZZ_CHECK(again.logErrors == s.logErrors && again.errorBeep == s.errorBeep && again.firstRun == s.firstRun);
    FUZZ_CHECK(again.frameRate == s.frameRate && again.captureTime == s.captureTime);
    return 0;
}
