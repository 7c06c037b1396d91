#pragma once
// Ends a child process by its id: SIGTERM first, so that it can close as it
// would at a logout, then SIGKILL when it has not ended in time.

#include <QProcess>

#include <signal.h>

namespace testsupport {

inline void EndProcess(QProcess& process, int timeoutMs = 15000)
{
    const qint64 pid = process.processId();
    if (pid <= 0 || process.state() == QProcess::NotRunning)
        return;
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    if (!process.waitForFinished(timeoutMs)) {
        ::kill(static_cast<pid_t>(pid), SIGKILL);
        process.waitForFinished(5000);
    }
}

}  // namespace testsupport
