// One whole website update tick of the real main window at 640 x 480 (grab,
// "Capture.bmp", "Capture.jpg", "datetime.bmp", login, type, two stores,
// each under a temporary name and renamed, quit) against a shell pipeline
// doing the same work with peers on the same bitmap and the same loopback
// server: cjpeg -quality 90, then curl uploading both files in one invocation,
// renaming each after its store. With --plain both store under the real
// names. Rounds alternate; prints the medians and the ratio ours / peers'.
//
// tarvo_app_bench --port N --user U --password P --root SERVER_ROOT --work DIR [--rounds 20] [--plain]

#include "app/Forms.h"
#include "app/Main.h"
#include "capture/videocap.h"
#include "platform/application.h"

#include <QAction>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Setup {
    QString port, user, password, root, work;
};

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Picks 640 x 480 in the camera's format dialog once it shows.
void ChooseLargeFormat()
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || dialog->objectName() != QStringLiteral("CaptureFormatDialog"))
            return;
        timer->stop();
        timer->deleteLater();
        auto* sizes = dialog->findChild<QComboBox*>(QStringLiteral("FrameSizeCombo"));
        sizes->setCurrentIndex(sizes->findText(QStringLiteral("640 x 480")));
        dialog->accept();
    });
    timer->start();
}

double RunPeers(const Setup& s, const QString& peerFolder, const QString& bitmap, bool plain)
{
    const QString script = QStringLiteral("cjpeg -quality 90 -outfile Capture.jpg \"$1\" && ") +
                           (plain ? QStringLiteral("curl -s -S --user \"$2\" -T '{Capture.jpg,datetime.bmp}' \"ftp://127.0.0.1:$3/\"")
                                  : QStringLiteral("curl -s -S --user \"$2\" -T Capture.jpg \"ftp://127.0.0.1:$3/Capture.tmp.jpg\" "
                                                   "-Q '-RNFR Capture.tmp.jpg' -Q '-RNTO Capture.jpg' --next "
                                                   "--user \"$2\" -T datetime.bmp \"ftp://127.0.0.1:$3/datetime.tmp.bmp\" "
                                                   "-Q '-RNFR datetime.tmp.bmp' -Q '-RNTO datetime.bmp'"));
    QProcess shell;
    shell.setWorkingDirectory(peerFolder);
    QElapsedTimer t;
    t.start();
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script, QStringLiteral("sh"), bitmap,
                                            s.user + QLatin1Char(':') + s.password, s.port});
    if (!shell.waitForFinished(120000) || shell.exitStatus() != QProcess::NormalExit || shell.exitCode() != 0) {
        std::fprintf(stderr, "peer pipeline failed: %s\n", shell.readAllStandardError().constData());
        return -1;
    }
    return t.nsecsElapsed() / 1e6;
}

bool Uploaded(const Setup& s, const QString& localFolder)
{
    for (const char* name : {"Capture.jpg", "datetime.bmp"}) {
        const QFileInfo there(QDir(s.root).filePath(QString::fromLatin1(name)));
        const QFileInfo here(QDir(localFolder).filePath(QString::fromLatin1(name)));
        if (!there.exists() || there.size() != here.size())
            return false;
    }
    return QImage(QDir(s.root).filePath(QStringLiteral("Capture.jpg"))).size() == QSize(640, 480);
}

}  // namespace

int main(int argc, char** argv)
{
    platform::Application app(argc, argv);
    QCommandLineParser parser;
    for (const char* name : {"port", "user", "password", "root", "work", "rounds"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    parser.addOption(QCommandLineOption(QStringLiteral("plain")));
    parser.process(app);
    const bool plain = parser.isSet(QStringLiteral("plain"));
    Setup s{parser.value(QStringLiteral("port")), parser.value(QStringLiteral("user")),
            parser.value(QStringLiteral("password")), parser.value(QStringLiteral("root")),
            parser.value(QStringLiteral("work"))};
    const int rounds = parser.isSet(QStringLiteral("rounds")) ? parser.value(QStringLiteral("rounds")).toInt() : 20;

    // The program folder: the test-pattern camera, the account, no wizard.
    const QString program = QDir(s.work).filePath(QStringLiteral("program"));
    const QString peers = QDir(s.work).filePath(QStringLiteral("peers"));
    QDir().mkpath(program);
    QDir().mkpath(peers);
    const int camera = static_cast<int>(GetDriverList()->size()) - 1;
    if (!WriteFile(QDir(program).filePath(QStringLiteral("vcap.sif")), "[Driver]\nindex=" + QByteArray::number(camera) + "\n") ||
        !WriteFile(QDir(program).filePath(QStringLiteral("Tarvo Lite.sif")),
                   "[FTP Settings]\nFTP_Host=127.0.0.1\nFTP_Port=" + s.port.toUtf8() + "\nUser_ID=" + s.user.toUtf8() +
                       "\nPassword=" + s.password.toUtf8() + (plain ? "\nSafe_Upload=0" : "") +
                       "\n[Other Settings]\nFirstRun=0\n")) {
        std::fprintf(stderr, "cannot prepare the program folder\n");
        return 1;
    }

    TForms forms(program);
    TMain* main = forms.Main();
    ChooseLargeFormat();
    main->findChild<QAction*>(QStringLiteral("menuVideoFormat1"))->trigger();
    if (main->VideoCap1()->ImageWidth() != 640) {
        std::fprintf(stderr, "the camera did not take 640 x 480\n");
        return 1;
    }

    // A tick waits for a frame taken after it asked; the peers start from a
    // bitmap on disk. At the camera's top rate that wait is the least.
    main->VideoCap1()->SetPreviewRate(30);
    const QString bitmap = QDir(program).filePath(QStringLiteral("Capture.bmp"));
    std::vector<double> ours, theirs;
    for (int i = -1; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        main->Timer1Timer();
        while (main->SequenceRunning())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        const double x = t.nsecsElapsed() / 1e6;
        if (!Uploaded(s, program) || !main->LastUploadOk()) {
            std::fprintf(stderr, "our tick did not upload both pictures\n");
            return 1;
        }
        // The peers start from the same frame and caption.
        QFile::remove(QDir(peers).filePath(QStringLiteral("datetime.bmp")));
        QFile::copy(QDir(program).filePath(QStringLiteral("datetime.bmp")), QDir(peers).filePath(QStringLiteral("datetime.bmp")));
        const double y = RunPeers(s, peers, bitmap, plain);
        if (y < 0 || !Uploaded(s, peers))
            return 1;
        if (i >= 0) {
            ours.push_back(x);
            theirs.push_back(y);
        }
    }
    const double a = Median(ours);
    const double b = Median(theirs);
    std::printf("one update tick at 640 x 480 (grab, BMP, JPEG, caption, login, type, two stores%s, quit)\n",
                plain ? "" : " renamed");
    std::printf("ours %.2f ms, cjpeg + curl %.2f ms (medians of %d)\n", a, b, rounds);
    std::printf("ratio = %.2f   (aim <= 1.0)\n", a / b);
    std::printf("BENCH update_tick_640x480%s %.2fms %.2fms %.2f <=1.0\n", plain ? "_plain" : "", a, b,
                a / b);  // for scripts/bench
    main->close();
    return 0;
}
