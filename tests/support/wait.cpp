#include "tests/support/wait.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>

namespace testsupport {
namespace {
const QString kWatcherName = QStringLiteral("testsupport.WhenModal");
}  // namespace

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

void WhenModal(const QString& objectName, std::function<void(QDialog*)> act)
{
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setObjectName(kWatcherName);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, objectName, act = std::move(act)] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || dialog->objectName() != objectName)
            return;
        timer->stop();
        timer->deleteLater();
        act(dialog);
    });
    timer->start();
}

void CancelModalWatchers()
{
    for (QTimer* timer : QCoreApplication::instance()->findChildren<QTimer*>(kWatcherName, Qt::FindDirectChildrenOnly))
        delete timer;
}

}  // namespace testsupport
