#pragma once

#include <cstdint>

// What the kernel knows of one TCP socket's queues and state, by descriptor; a socket that
// cannot tell (one that never connected) holds nothing.
// Thread: any; each call is one query of the kernel.

// Bytes received and not yet read (SIOCINQ).
int unreadBytes(int fd);
// Bytes queued for sending and not yet acknowledged by the peer (SIOCOUTQ). A reset
// connection keeps reporting the count it had.
int unsentBytes(int fd);
// True when the connection is closed (reset), or its state cannot be read.
bool connectionReset(int fd);

// What closing the socket now would put at stake, from one query of the kernel.
struct CloseStakes {
    bool reset = true;    // closed by a reset, or the state cannot be read
    bool unsent = false;  // bytes still queued for the peer or unacknowledged
    bool unread = false;  // something received is not read yet; the peer's end counts
};
// bytesRead is what the owner has read from the socket so far (urgent bytes included).
CloseStakes closeStakes(int fd, std::uint64_t bytesRead);
