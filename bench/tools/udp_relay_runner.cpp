// Bench-only runner of the UDP relay engine, until the window can forward UDP: one
// UdpRepeater on a SocketEventLoop, on this thread, as the program's socket thread runs it.
//   udp_relay_runner --port P --to-port D [--buffer-kb K] [--max-seconds S]
// Relays 127.0.0.1:P (P 0: any free port) to 127.0.0.1:D, prints "port N" once bound, and
// runs until SIGTERM or SIGINT (taken through a signalfd on the loop) or the time is up.

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "bench_net.h"
#include "platform/socket_event_loop.h"
#include "platform/trace.h"
#include "relay/udp_repeater.h"

namespace {

// Quits the loop when a stop signal arrives.
class SignalWatch final : public LoopEventHandler {
  public:
    explicit SignalWatch(SocketEventLoop& loop) : loop_(loop) {
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGTERM);
        sigaddset(&stops, SIGINT);
        sigprocmask(SIG_BLOCK, &stops, nullptr);
        fd_ = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
        id_ = loop_.registerHandler(this);
        loop_.watch(id_, fd_, EPOLLIN);
    }
    ~SignalWatch() {
        loop_.unregisterSocket(id_);
        close(fd_);
    }
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    void handleLoopEvents(std::uint32_t /*events*/) override { loop_.quit(); }
    void detachFromLoop() override {}

  private:
    SocketEventLoop& loop_;
    int fd_ = -1;
    std::uint64_t id_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    bench::Args args(argc, argv, 1);
    if (!args.ok() || !args.has("to-port")) {
        std::fprintf(stderr, "usage: udp_relay_runner --port P --to-port D [--buffer-kb K]\n");
        return 2;
    }
    setTraceEnabled(false);
    SocketEventLoop loop;
    SignalWatch stops(loop);
    UdpRepeater repeater;
    repeater.setBufferSize(static_cast<int>(args.integer("buffer-kb", 128)));
    repeater.setListenBind(1, "127.0.0.1");
    if (!repeater.start(static_cast<int>(args.integer("port", 0)), "127.0.0.1",
                        static_cast<int>(args.integer("to-port", 0)))) {
        std::fprintf(stderr, "udp_relay_runner: cannot bind\n");
        return 1;
    }
    std::printf("port %u\n", repeater.getListenPort());
    std::fflush(stdout);
    LoopTimer limit;
    limit.start(std::chrono::seconds(args.integer("max-seconds", 7200)), [&] { loop.quit(); });
    loop.run();
    repeater.stop();
    return 0;
}
