#pragma once
// What this process holds, read from /proc: for checking that a job, a run
// or a soak leaves nothing behind.

#include <QtGlobal>

namespace testsupport {

// Open descriptors of this process (/proc/self/fd).
int OpenDescriptorCount();
// Resident memory (VmRSS of /proc/self/status), in kB.
long ResidentKb();
// Threads of this process (/proc/self/task).
int ThreadCount();
// TCP connections of this process, in any state, whose far end is this port
// on loopback: a session not closed on our side, also one the server ended.
int ConnectionsToPort(quint16 port);

}  // namespace testsupport
