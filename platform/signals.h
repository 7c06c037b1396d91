#pragma once
// Termination requests from outside (SIGTERM, SIGINT) delivered on the GUI
// thread, so that a session logout or a service stop closes the program as
// its close box does instead of killing it mid-write.

#include <functional>

namespace platform {

// Calls handler on the thread that installed it, once per arriving SIGTERM or
// SIGINT, through the event loop. Installing again replaces the handler; an
// empty handler restores the default actions. Answers false when the signals
// cannot be caught (they then keep their default action).
bool SetTerminationHandler(std::function<void(int signalNumber)> handler);

}  // namespace platform
