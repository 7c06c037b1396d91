#include "tests/support/python_server.h"

#include <QDeadlineTimer>

namespace testsupport {

QByteArray StartPythonServer(QProcess& process, const QStringList& args, int timeoutMs, const QString& what,
                             QString& error)
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QStringLiteral("/usr/bin/python3"), args);
    if (!process.waitForStarted(timeoutMs)) {
        error = process.errorString();
        return {};
    }
    QDeadlineTimer deadline(timeoutMs);
    QByteArray out;
    while (!out.contains('\n')) {
        if (deadline.hasExpired() || process.state() != QProcess::Running) {
            error = QStringLiteral("no port from the ") + what + QStringLiteral(": ") +
                    QString::fromLocal8Bit(process.readAllStandardError());
            return {};
        }
        process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        out += process.readAllStandardOutput();
    }
    return out.left(out.indexOf('\n')).trimmed();
}

}  // namespace testsupport
