#pragma once
// Waiting in tests: pump the event loop until a condition holds, with a deadline.

#include <functional>

namespace testsupport {

// True once cond() holds; false when timeoutMs passed first.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 10000);

// Runs the event loop for everything already posted (no waiting).
void DrainEvents();

}  // namespace testsupport
