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

// Acts on the next modal dialog with this object name (any, when empty) once it
// shows. The watcher belongs to the application, so one still waiting when a
// test ends goes with it.
void WhenModal(const QString& objectName, std::function<void(QDialog*)> act);

}  // namespace testsupport
