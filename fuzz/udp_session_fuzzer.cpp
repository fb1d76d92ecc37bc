// Drives one UDP repeater per input through a script of clients that appear, talk, go
// silent, are cut and go away, on loopback, and checks its session table. Everything runs
// on one thread: the relay's loop is dispatched between the script's own socket calls, and
// the destination is a plain socket here that echoes what it reads.
//
// Input: byte 0 chooses the session bound (1..8, bits 0-2), whether the relay knows the
// destination by a name that a fake lookup resolves (bit 3), whether a loopback-only filter
// refuses clients on 127.0.0.2 (bit 4) and the idle timeout (10..80 ms, bits 5-7). Then up
// to 64 operations, each a code byte (taken modulo 7) and two argument bytes; missing bytes
// read as 0. A client byte names one of 16 client slots (bit 4: the slot's socket sits on
// 127.0.0.2).
//   0 client, n: the client sends 1 + n % 4 datagrams of a size taken from n
//   1 ms: run the loop for 0..15 ms
//   2 ms: silence, the loop runs for 0..127 ms (sessions may idle out)
//   3 client: cut its session (disconnect by serial, as the status list does)
//   4 client: the client goes away; a new socket (a new port) takes its slot
//   5 stop the relay and start it again
//   6 client: the client reads what has come back for it
//
// Checked for every input, besides what the sanitizers catch:
// - the table never holds more sessions than its bound, and the count reported to the
//   listener is always the table's size;
// - every session in the table belongs to a client that sent since the last start and was
//   admitted; a refused client never gets a session and none of its datagrams reaches the
//   destination;
// - the destination receives each datagram whole and unchanged, and each client's in the
//   order sent;
// - a client receives only answers to its own datagrams, whole and unchanged, also when the
//   destination answers late: every other datagram is answered after twice the idle time,
//   when its session may have ended (an ended session's port is held for three times it);
// - after a stop the table is empty and the count 0; cutting a session takes it out;
// - no descriptor is left open after the input.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "address/ip_filter.h"
#include "platform/socket_event_loop.h"
#include "platform/trace.h"
#include "relay/udp_repeater.h"
#include "tests/support/process_figures.h"
#include "tests/support/quiet_trace.h"
#include "tests/support/test_forward.h"
#include "tests/support/udp_peer.h"

namespace {
using namespace std::chrono;

[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

constexpr int kSlots = 16;
constexpr std::size_t kHeader = 8;

struct Script {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 1;
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    bool more() const { return at < size; }
};

// A datagram carries its client's identity (slot and generation) and its sequence number;
// the rest is a pattern derived from them, so a cut or mixed datagram shows.
std::string datagram(std::uint32_t client, std::uint32_t sequence, std::size_t size) {
    std::string text(std::max(size, kHeader), '\0');
    std::memcpy(text.data(), &client, 4);
    std::memcpy(text.data() + 4, &sequence, 4);
    for (std::size_t i = kHeader; i < text.size(); ++i) {
        text[i] = static_cast<char>((client * 31 + sequence * 7 + i) & 0xFF);
    }
    return text;
}

bool wellFormed(const std::string& text, std::uint32_t& client, std::uint32_t& sequence) {
    if (text.size() < kHeader) {
        return false;
    }
    std::memcpy(&client, text.data(), 4);
    std::memcpy(&sequence, text.data() + 4, 4);
    return text == datagram(client, sequence, text.size());
}

struct Client {
    int fd = -1;
    std::uint32_t id = 0;  // slot | generation << 8
    std::uint32_t sent = 0;
    bool outsider = false;
    bool refused = false;
};

int clientName(bool outsider, int port) {
    return (outsider ? 65536 : 0) + port;
}

struct CountCheck : RepeaterListener {
    int last = 0;
    void notifyConnectionCount(int count) override { last = count; }
};

class Harness {
  public:
    explicit Harness(std::uint8_t flags)
        : bound_(1 + (flags & 7)),
          names_((flags & 8) != 0),
          filtered_((flags & 16) != 0),
          repeater_(tuningFor(flags)) {
        destination_ = udp::bindAt("127.0.0.1", 0, 0ms);
        if (destination_ < 0) {
            fail("no destination socket");
        }
        repeater_.setListener(&counts_);
        lateBy_ = 2 * idleFor(flags);
        ForwardConfig config =
            testForward(0, names_ ? "echo.test" : "127.0.0.1", udp::localPort(destination_));
        config.udp = true;
        if (filtered_) {
            config.filter.mode = CIpFilter::kLoopbackOnly;
        }
        repeater_.configure(config);
        repeater_.setLookupFunction(
            [](const std::string&, int port, std::vector<SocketAddress>& out) {
                SocketAddress address;
                parseNumericAddress("127.0.0.1", port, address);
                out = {address};
                return 0;
            });
        start();
    }
    ~Harness() {
        for (Client& client : clients_) {
            if (client.fd >= 0) {
                close(client.fd);
            }
        }
        close(destination_);
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    void run(Script& script) {
        for (int op = 0; op < 64 && script.more(); ++op) {
            std::uint8_t code = script.byte() % 7;
            std::uint8_t a = script.byte();
            std::uint8_t b = script.byte();
            step(code, a, b);
            pump(milliseconds(0));
            checkTable();
        }
        pump(milliseconds(5));
        repeater_.stop();
        if (repeater_.connectionCount() != 0 || counts_.last != 0) {
            fail("sessions left after stop");
        }
    }

  private:
    static milliseconds idleFor(std::uint8_t flags) { return milliseconds(10 + 10 * (flags >> 5)); }
    RepeaterTuning tuningFor(std::uint8_t flags) const {
        RepeaterTuning tuning;
        tuning.maxSessions = bound_;
        tuning.idleTimeout = idleFor(flags);
        tuning.quarantine = 3 * idleFor(flags);
        return tuning;
    }

    void start() {
        if (!repeater_.start()) {
            fail("the relay does not start");
        }
        relayPort_ = static_cast<int>(repeater_.listenPort());
        talkedSinceStart_.clear();
    }

    Client& client(std::uint8_t pick) {
        Client& c = clients_[pick % kSlots];
        if (c.fd < 0) {
            const bool outsider = (pick & 16) != 0;
            c.fd = udp::bindAt(outsider ? "127.0.0.2" : "127.0.0.1", 0, 0ms);
            if (c.fd < 0) {
                fail("no client socket");
            }
            c.id = static_cast<std::uint32_t>(pick % kSlots) | (++generation_ << 8);
            c.sent = 0;
            c.outsider = outsider;
            c.refused = filtered_ && outsider;
        }
        return c;
    }

    void step(std::uint8_t code, std::uint8_t a, std::uint8_t b) {
        switch (code) {
            case 0:
                send(client(a), b);
                break;
            case 1:
                pump(milliseconds(a % 16));
                break;
            case 2:
                pump(milliseconds(a % 128));
                break;
            case 3:
                cut(client(a));
                break;
            case 4:
                leave(client(a));
                break;
            case 5:
                repeater_.stop();
                if (repeater_.connectionCount() != 0 || !repeater_.rows().empty()) {
                    fail("a stop left sessions");
                }
                start();
                break;
            default:
                readAnswers(client(a));
                break;
        }
    }

    void send(Client& c, std::uint8_t n) {
        const std::size_t size = n == 255 ? 65507 : kHeader + std::size_t{n % 64u} * 17;
        for (int i = 0; i <= n % 4; ++i) {
            udp::sendTo(c.fd, "127.0.0.1", relayPort_, datagram(c.id, c.sent++, size));
        }
        if (!c.refused) {
            talkedSinceStart_.insert(clientName(c.outsider, udp::localPort(c.fd)));
        }
    }

    void cut(Client& c) {
        const auto port = static_cast<unsigned>(udp::localPort(c.fd));
        for (const ConnectionRow& row : repeater_.rows()) {
            if (static_cast<unsigned>(row.acceptPeer.port) == port) {
                if (!repeater_.disconnect(row.serial)) {
                    fail("a listed session could not be cut");
                }
                for (const ConnectionRow& left : repeater_.rows()) {
                    if (left.serial == row.serial) {
                        fail("a cut session stays listed");
                    }
                }
            }
        }
    }

    void leave(Client& c) {
        readAnswers(c);
        close(c.fd);
        c.fd = -1;
    }

    void readAnswers(Client& c) {
        std::string text(65536, '\0');
        for (int i = 0; i < 256; ++i) {
            ssize_t n = recv(c.fd, text.data(), text.size(), MSG_DONTWAIT);
            if (n < 0) {
                return;
            }
            std::string answer(text.data(), static_cast<std::size_t>(n));
            std::uint32_t id = 0;
            std::uint32_t sequence = 0;
            if (!wellFormed(answer, id, sequence) || id != c.id || sequence >= c.sent) {
                fail("a client got an answer that is not its own or not whole");
            }
        }
    }

    // Dispatches the relay and echoes what reached the destination, for the given time.
    void pump(milliseconds duration) {
        auto until = steady_clock::now() + duration;
        do {
            loop_.dispatchReady();
            echoAtDestination();
            checkTable();
            if (duration.count() > 0) {
                std::this_thread::sleep_for(1ms);
            }
        } while (steady_clock::now() < until);
    }

    void echoAtDestination() {
        std::string text(65536, '\0');
        for (int i = 0; i < 256; ++i) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            ssize_t n = recvfrom(destination_, text.data(), text.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0) {
                return;
            }
            std::string got(text.data(), static_cast<std::size_t>(n));
            std::uint32_t id = 0;
            std::uint32_t sequence = 0;
            if (!wellFormed(got, id, sequence)) {
                fail("the destination got a datagram that is cut or changed");
            }
            const Client& sender = clients_[id & 0xFF];
            if (sender.id == id && sender.refused) {
                fail("a refused client's datagram reached the destination");
            }
            auto last = lastSequence_.find(id);
            if (last != lastSequence_.end() && sequence <= last->second) {
                fail("a client's datagrams reached the destination out of order");
            }
            lastSequence_[id] = sequence;
            if (sequence % 2 == 1) {
                late_.push_back({steady_clock::now() + lateBy_, from, length, std::move(got)});
            } else {
                sendto(destination_, got.data(), got.size(), 0, reinterpret_cast<sockaddr*>(&from),
                       length);
            }
        }
        answerLate();
    }

    void answerLate() {
        const auto now = steady_clock::now();
        while (!late_.empty() && late_.front().due <= now) {
            Late& answer = late_.front();
            sendto(destination_, answer.datagram.data(), answer.datagram.size(), 0,
                   reinterpret_cast<sockaddr*>(&answer.to), answer.length);
            late_.pop_front();
        }
    }

    void checkTable() {
        const auto rows = repeater_.rows();
        if (rows.size() > bound_ || repeater_.connectionCount() != static_cast<int>(rows.size())) {
            fail("%zu sessions, bound %zu", rows.size(), bound_);
        }
        if (counts_.last != repeater_.connectionCount()) {
            fail("the listener was told %d sessions, the table holds %d", counts_.last,
                 repeater_.connectionCount());
        }
        for (const ConnectionRow& row : rows) {
            if (!talkedSinceStart_.contains(
                    clientName(row.acceptPeer.address == "127.0.0.2", row.acceptPeer.port))) {
                fail("a session for a client that did not send or was refused");
            }
        }
    }

    std::size_t bound_;
    bool names_;
    bool filtered_;
    SocketEventLoop loop_;
    CountCheck counts_;
    UdpRepeater repeater_;
    int destination_ = -1;
    int relayPort_ = 0;
    std::uint32_t generation_ = 0;
    std::array<Client, kSlots> clients_{};
    // Clients (address and port) that sent admitted datagrams since the last start.
    std::set<int> talkedSinceStart_;
    std::map<std::uint32_t, std::uint32_t> lastSequence_;
    // Answers the destination holds back, in the order due.
    struct Late {
        steady_clock::time_point due;
        sockaddr_storage to;
        socklen_t length;
        std::string datagram;
    };
    std::deque<Late> late_;
    milliseconds lateBy_{0};
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    if (!sendTraceToNullDevice()) {
        fail("cannot send the trace to /dev/null");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    int before = figures::openDescriptors();
    {
        Script script{data, size};
        Harness harness(data[0]);
        harness.run(script);
    }
    // A resolver thread lets go of the loop's wake descriptor as it ends, just after the relay.
    int after = figures::openDescriptorsSettlingAt(before);
    if (after != before) {
        fail("%d descriptors before the input, %d after", before, after);
    }
    return 0;
}
