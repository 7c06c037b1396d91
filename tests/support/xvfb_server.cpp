#include "tests/support/xvfb_server.h"

#include "tests/support/end_process.h"
#include "tests/support/wait.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>

namespace testsupport {

XvfbServer::~XvfbServer() { Stop(); }

bool XvfbServer::Start(int timeoutMs, const QStringList& extraArgs)
{
    Stop();
    // The number is chosen here rather than by -displayfd: the server skips its
    // lock file then, and where sockets have no abstract names two servers
    // started together take the same display. With a number of our own the
    // lock settles it: a server that finds the display taken exits, and the
    // next number is tried. A random start high above the displays a desktop
    // uses keeps parallel tests apart.
    const QDeadlineTimer deadline(timeoutMs);
    int number = 100 + static_cast<int>(QRandomGenerator::global()->bounded(4000));
    for (int attempt = 0; attempt < 10 && !deadline.hasExpired(); ++attempt, ++number) {
        process_ = std::make_unique<QProcess>();
        display_ = QStringLiteral(":%1").arg(number);
        // Without -noreset the server resets when its last client leaves (the
        // readiness probe below) and refuses whoever connects meanwhile.
        process_->start(QStringLiteral("Xvfb"), QStringList{display_, QStringLiteral("-screen"), QStringLiteral("0"),
                                                            QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                                            QStringLiteral("tcp"), QStringLiteral("-noreset")} +
                                                    extraArgs);
        // Ours once the lock names our server and a client gets in.
        const QString lock = QStringLiteral("/tmp/.X%1-lock").arg(number);
        const auto ready = [&] {
            if (process_->state() != QProcess::Running)
                return false;
            QFile file(lock);
            return file.open(QIODevice::ReadOnly) && file.readAll().trimmed().toLongLong() == process_->processId() &&
                   Answers();
        };
        if (WaitUntil([&] { return process_->state() == QProcess::NotRunning || ready(); },
                      static_cast<int>(deadline.remainingTime())) &&
            process_->state() == QProcess::Running)
            return true;
        error_ = QStringLiteral("no display %1 from Xvfb: %2 %3")
                     .arg(display_, process_->errorString(), QString::fromLocal8Bit(process_->readAllStandardError()));
        Stop();
    }
    return false;
}

void XvfbServer::Stop()
{
    if (process_)
        EndProcess(*process_, 5000);
    process_.reset();
    display_.clear();
}

QProcessEnvironment XvfbServer::Environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("DISPLAY"), display_);
    return env;
}

bool XvfbServer::Answers() const
{
    QProcess info;
    info.setProcessEnvironment(Environment());
    info.start(QStringLiteral("xwininfo"), {QStringLiteral("-root")});
    return info.waitForFinished(10000) && info.exitStatus() == QProcess::NormalExit && info.exitCode() == 0;
}

bool XvfbServer::HasWindow(const QString& caption) const
{
    QProcess tree;
    tree.setProcessEnvironment(Environment());
    tree.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")});
    if (!tree.waitForFinished(10000))
        return false;
    return QString::fromLocal8Bit(tree.readAllStandardOutput()).contains(QLatin1Char('"') + caption + QLatin1Char('"'));
}

}  // namespace testsupport
