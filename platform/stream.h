#pragma once
// A blocking TCP connection whose descriptor a library takes over (the SSH
// session of an SFTP job). Made and used on one worker thread; another thread
// may only shut it down, which wakes whatever waits on it, also a connect.

#include <QString>

#include <cstdint>

namespace platform {

enum class StreamError {
    None,
    Refused,      // nothing listens on that port
    TimedOut,     // no answer from the host
    Unreachable,  // no route to the host or its network
    Other,
};

// A new IPv4 stream socket; -1 when none can be made.
int OpenStream();
// Connects it, blocking; text says why not.
StreamError ConnectStream(int stream, std::uint32_t addressNetOrder, std::uint16_t port, QString* text);
// Copies up to size of the first bytes the peer sends, leaving them to be
// read: waits until at least atLeast bytes have come, the peer has ended or
// waitMs have passed. Returns the count copied, 0 when none came.
int PeekStream(int stream, char* buffer, int size, int atLeast, int waitMs);
// A second descriptor of the same connection, for a library that closes its own.
int DuplicateStream(int stream);
// Ends both directions: any thread, any time before CloseStream.
void ShutdownStream(int stream);
// Sends our end and reads (and drops) what the peer still sends until it ends
// its side too, for at most waitMs. A close with bytes unread resets the
// connection, and the peer may then lose the last message it was sent.
void EndStream(int stream, int waitMs);
void CloseStream(int stream);

}  // namespace platform
