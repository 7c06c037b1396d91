#include "tests/support/xvfb_server.h"

#include "tests/support/end_process.h"

#include <QDeadlineTimer>

namespace testsupport {

XvfbServer::~XvfbServer() { Stop(); }

bool XvfbServer::Start(int timeoutMs)
{
    Stop();
    process_ = std::make_unique<QProcess>();
    // -displayfd: the server takes a free display number and writes it to stdout.
    process_->start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                             QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                             QStringLiteral("tcp")});
    QDeadlineTimer deadline(timeoutMs);
    QByteArray out;
    while (!out.contains('\n')) {
        if (deadline.hasExpired() || process_->state() == QProcess::NotRunning) {
            error_ = QStringLiteral("no display from Xvfb: ") + process_->errorString() + QLatin1Char(' ') +
                     QString::fromLocal8Bit(process_->readAllStandardError());
            Stop();
            return false;
        }
        process_->waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        out += process_->readAllStandardOutput();
    }
    display_ = QLatin1Char(':') + QString::fromLatin1(out.trimmed());
    return true;
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
