#pragma once

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
