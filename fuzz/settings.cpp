// The start-up load of "Tarvo Lite.sif" from an arbitrary file, and the
// close-time save of what was loaded: loading the saved file again gives the
// same settings.

#include "fuzz/fuzz_support.h"
#include "settings/Settings.h"

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
    const QString fileName = fuzz::ScratchFolder() + QStringLiteral("/Tarvo Lite.sif");
    {
        QFile f(fileName);
        FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    settings::TProgramSettings s(fileName);
    FUZZ_CHECK(s.Load());
    const settings::FtpAccount& a = s.account;
    const QString* texts[] = {&s.updateInterval, &a.host, &a.port, &a.timeout, &a.userId, &a.password};
    for (const QString* text : texts)
        FUZZ_CHECK(text->size() <= platform::kProfileBufferSize - 1);
    (void)settings::ReadDriverIndex(fileName);

    // Values with line breaks cannot be written back; the save refuses them.
    for (const QString* text : texts)
        if (HasBreak(*text))
            return 0;
    try {
        s.SaveAtClose(s.updateInterval, s.logErrors, s.errorBeep);
    } catch (const platform::EIniFileException&) {
        FUZZ_CHECK(false);  // the folder is writable and every value is writable text
    }
    settings::TProgramSettings again(fileName);
    FUZZ_CHECK(again.Load());
    const settings::FtpAccount& b = again.account;
    FUZZ_CHECK(b.host == a.host);
    FUZZ_CHECK(b.port == (a.port.isEmpty() ? QStringLiteral("21") : a.port));
    FUZZ_CHECK(b.timeout == a.timeout);
    FUZZ_CHECK(b.userId == a.userId);
    FUZZ_CHECK(b.password == a.password);
    FUZZ_CHECK(again.updateInterval == s.updateInterval);
    FUZZ_CHECK(b.autoStart == a.autoStart && b.passiveMode == a.passiveMode);
    FUZZ_CHECK(again.logErrors == s.logErrors && again.errorBeep == s.errorBeep && again.firstRun == s.firstRun);
    FUZZ_CHECK(again.frameRate == s.frameRate && again.captureTime == s.captureTime);
    return 0;
}
