// Resident memory of the running program with the live preview on: the real
// main window (test-pattern camera, preview ticked, shown offscreen) runs
// 1,000 website update ticks, called directly, against a loopback pyftpdlib
// server. Prints the resident size after 100 and after 1,000 ticks: the aim
// is under 80 MB and no growth between the two.
//
// tarvo_memory_bench [TICKS]

#include "app/Forms.h"
#include "app/Main.h"
#include "capture/videocap.h"
#include "platform/application.h"
#include "tests/support/fake_dialogs.h"
#include "tests/support/ftp_real_server.h"
#include "tests/soak/soak_engine.h"
#include "tests/support/wait.h"

#include <QCheckBox>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

}  // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    platform::Application app(argc, argv);
    app.setApplicationName(QStringLiteral("Tarvo Lite"));
    const int ticks = argc > 1 ? std::max(100, std::atoi(argv[1])) : 1000;

    testsupport::ScopedFakeDialogs dialogs;
    testsupport::FtpRealServer server(QStringLiteral("bench"), QStringLiteral("bench"));
    if (!server.Start()) {
        std::fprintf(stderr, "the FTP server did not start: %s\n", server.Error().toLocal8Bit().constData());
        return 1;
    }
    QTemporaryDir dir;
    auto path = [&dir](const char* name) { return dir.path() + QLatin1Char('/') + QString::fromLatin1(name); };
    QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/stopcap.jpg"), path("stopcap.jpg"));
    QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/stoptime.bmp"), path("stoptime.bmp"));
    const int camera = static_cast<int>(GetDriverList()->size()) - 1;  // the test pattern
    WriteFile(path("vcap.sif"), "[Driver]\nindex=" + QByteArray::number(camera) + "\n");
    WriteFile(path("Tarvo Lite.sif"), "[FTP Settings]\nFTP_Host=127.0.0.1\nFTP_Port=" + server.PortText().toLatin1() +
                                          "\nUser_ID=bench\nPassword=bench\nUpdate_Interval=999\n"
                                          "[Other Settings]\nFirstRun=0\nLogErrors=1\n");

    int exitCode = 0;
    {
        TForms forms(dir.path());
        TMain& main = *forms.Main();
        main.show();
        testsupport::WaitUntil([&main] { return main.isVisible(); }, 5000);
        auto* preview = main.findChild<QCheckBox*>(QStringLiteral("CheckPrev"));
        if (preview && !preview->isChecked())
            preview->setChecked(true);
        if (!main.VideoCap1()->VideoPreview()) {
            std::fprintf(stderr, "the preview is not on\n");
            return 1;
        }

        long after100 = 0;
        for (int i = 1; i <= ticks; ++i) {
            main.Timer1Timer();
            testsupport::WaitUntil([&main] { return !main.SequenceRunning(); }, 60000);
            testsupport::DrainEvents();  // preview frames between ticks too
            if (i == 100)
                after100 = testsupport::ResidentKb();
            if (i % 100 == 0) {
                std::printf("%d ticks: %ld kB resident, %d descriptors\n", i, testsupport::ResidentKb(),
                            testsupport::OpenDescriptorCount());
                std::fflush(stdout);
            }
        }
        const long afterAll = testsupport::ResidentKb();
        const QByteArray log = [&] {
            QFile f(path("Error.log"));
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        if (!log.isEmpty()) {
            std::fprintf(stderr, "uploads failed during the run:\n%s\n", log.constData());
            exitCode = 1;
        }
        QFile uploaded(server.Root() + QStringLiteral("/Capture.jpg"));
        if (!uploaded.exists()) {
            std::fprintf(stderr, "nothing arrived on the server\n");
            exitCode = 1;
        }

        const double mb100 = after100 / 1024.0;
        const double mbAll = afterAll / 1024.0;
        std::printf("resident memory with preview on: %.1f MB after 100 ticks, %.1f MB after %d ticks\n", mb100,
                    mbAll, ticks);
        // The size itself against its aim, then the growth from 100 to the last tick.
        std::printf("BENCH memory-preview-%d-ticks %.1fMB %.1fMB - <=80MB\n", ticks, mbAll, mb100);
        std::printf("BENCH memory-growth-100-%d %.1fMB %.1fMB %.3f <=1.05\n", ticks, mbAll, mb100, mbAll / mb100);
        main.close();
        testsupport::WaitUntil([&main] { return main.Closed(); }, 30000);
    }
    return exitCode;
}
