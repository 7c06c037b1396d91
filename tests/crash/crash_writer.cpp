// Rewrites one file in a loop until killed, printing the generation of each
// completed write on its own line:
//   tarvo_crash_writer sif|log FOLDER
// sif: "Tarvo Lite.sif" through the settings file access, one key per write.
// log: "Error.log" through the error log, one FTP failure per write.

#include "app/ErrorLog.h"
#include "app/ProgramFiles.h"
#include "platform/inifile.h"
#include "tests/crash/crash_content.h"
#include "ui/LogForm.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    if (argc != 3)
        return 2;
    const QString mode = QString::fromLocal8Bit(argv[1]);
    const app::ProgramFiles files(QString::fromLocal8Bit(argv[2]));
    if (mode == QLatin1String("sif")) {
        platform::IniFile file(files.SettingsFile(), platform::ProfileFileMode::OwnerOnly);
        for (int k = 1;; ++k) {
            file.WriteString(crashtest::kSection, crashtest::kKey, crashtest::SettingsValue(k));
            std::printf("%d\n", k);
            std::fflush(stdout);
        }
    }
    if (mode == QLatin1String("log")) {
        TLogForm viewer;
        viewer.SetProgramFolder(files.Folder());
        TErrorLog log(viewer);
        log.Now = [] { return crashtest::FixedNow(); };
        for (int k = 1;; ++k) {
            log.FtpError(crashtest::LogText(k));
            std::printf("%d\n", k);
            std::fflush(stdout);
        }
    }
    return 2;
}
