// Load client for the relay benchmark. Usage: bench_client MODE --key value ...
//   rtt          --port P [--count N] [--size B] [--timeout-seconds S]
//   hold         --port P [--count N] [--inflight N] [--timeout-seconds S] [--hold-seconds S]
//                [--stall-seconds S]
//   concurrency  --port P [--count N] [--inflight N] [--timeout-seconds S] [--size B]
//                [--stall-seconds S]
//   transfer     --port P [--bytes N] [--timeout-seconds S]

#include <cstdio>
#include <cstring>

#include "client_modes.h"
#include "tests/support/process_figures.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_client rtt|hold|concurrency|transfer --port P ...\n");
        return 2;
    }
    const bench::Args args(argc, argv, 2);
    if (!args.ok() || !args.has("port")) {
        std::fprintf(stderr, "bench_client: options are --key value pairs and need --port\n");
        return 2;
    }
    figures::setOpenFiles(figures::openFilesHardLimit());
    const char* mode = argv[1];
    if (std::strcmp(mode, "rtt") == 0) {
        return bench::runRtt(args);
    }
    if (std::strcmp(mode, "hold") == 0) {
        return bench::runSwarm(args, false);
    }
    if (std::strcmp(mode, "concurrency") == 0) {
        return bench::runSwarm(args, true);
    }
    if (std::strcmp(mode, "transfer") == 0) {
        return bench::runTransfer(args);
    }
    std::fprintf(stderr, "bench_client: unknown mode %s\n", mode);
    return 2;
}
