#include "tests/support/wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace testsupport {

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake;  // bounds each blocking wait so the deadline is seen
    wake.start(5);
    while (!cond()) {
        if (clock.elapsed() > timeoutMs)
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void DrainEvents()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace testsupport
