#pragma once
// Waiting in tests: pump the event loop until a condition holds, with a deadline.

#include <functional>

class QDialog;
class QString;

namespace testsupport {

// True once cond() holds; false when timeoutMs passed first.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 10000);

// Runs the event loop for everything already posted (no waiting).
void DrainEvents();

// Acts on the next modal dialog with this object name once it shows. The
// watcher belongs to the application, so that it outlives the objects of the
// call that set it.
void WhenModal(const QString& objectName, std::function<void(QDialog*)> act);
// Drops the watchers still waiting; the test entry point calls it after each
// test, so that a dialog a test expected and never saw cannot be answered in
// a later test.
void CancelModalWatchers();

}  // namespace testsupport
