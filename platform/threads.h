#pragma once
// Scheduling of the calling thread.

namespace platform {

// Makes the calling thread, and every thread it starts from now on, yield to
// the rest of the program: long background work (a video encoder and its own
// threads) must not make the live picture or the update stutter. Answers
// false when the system refuses.
bool LowerCurrentThreadPriority();

}  // namespace platform
