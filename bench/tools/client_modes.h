#pragma once

// The measurements of bench_client. Each prints one result line on standard output
// ("key=value" words after the mode name) and returns the process exit code.

#include "bench_net.h"

namespace bench {

// Round-trip times of small messages on one connection to an echo server.
int runRtt(const Args& args);

// Many connections open at once. With echo, each sends a message and waits for its
// echo; without, each waits for the holding server's one-byte greeting. All stay open
// until every one has finished, and then for --hold-seconds, so the relay's memory
// can be read meanwhile.
int runSwarm(const Args& args, bool echo);

// One connection to an echo server, sending and receiving at the same time, every
// returned byte checked against the sent stream.
int runTransfer(const Args& args);

}  // namespace bench
