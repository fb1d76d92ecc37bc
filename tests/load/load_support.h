#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/process_figures.h"

// Shared pieces of the load tests: limits and process figures, an epoll loop for
// non-blocking peers, and child processes that run the relay or an echo server, so that each
// side has its own open-files limit and the relay's figures are its own.
namespace load {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The short form runs with the suite; TARNWICK_LOAD=full selects the long one.
bool fullForm();
template <class T>
T byForm(T shortValue, T fullValue) {
    return fullForm() ? fullValue : shortValue;
}

using figures::openDescriptors;
using figures::setOpenFiles;
using loopback::connectStart;
using loopback::resetOnClose;
using loopback::socketError;

// Bytes the allocator has handed out and not had back.
std::uint64_t heapInUse();
// User and system CPU time used so far by this process.
double cpuSeconds();
double percentile(std::vector<double> values, double fraction);

// A non-blocking listening socket on 127.0.0.1 at an ephemeral port; -1 on failure.
int listenOn(int& port, int backlog = 4096);

// An epoll set that runs a handler per registration.
class Poller {
  public:
    using Handler = std::function<void(std::uint32_t events)>;

    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    std::uint64_t add(int fd, std::uint32_t events, Handler handler);
    void modify(std::uint64_t token, std::uint32_t events);
    // Forgets the registration; the caller closes the descriptor.
    void remove(std::uint64_t token);
    int poll(std::chrono::milliseconds timeout);
    // Polls until done() holds or the timeout passes; returns done().
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    std::size_t size() const { return entries_.size(); }

  private:
    struct Entry {
        int fd;
        Handler handler;
    };
    int epollFd_ = -1;
    std::uint64_t nextToken_ = 1;
    std::unordered_map<std::uint64_t, Entry> entries_;
};

// Echoes every connection on a poller; stops reading a connection while its echo waits.
class EchoServer {
  public:
    explicit EchoServer(Poller& poller);
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    int port() const { return port_; }
    int connections() const { return static_cast<int>(conns_.size()); }
    // Stops serving a connection and hands its descriptor over (the only one, when there is
    // only one); -1 when there is none.
    int takeOver();

  private:
    struct Conn {
        std::uint64_t token = 0;
        std::string pending;
    };
    void acceptAll();
    void serve(int fd, std::uint32_t events);
    void drop(int fd);

    Poller& poller_;
    int listenFd_ = -1;
    int port_ = 0;
    std::uint64_t listenToken_ = 0;
    std::unordered_map<int, Conn> conns_;
    std::vector<char> buffer_;
};

// A forked process that runs body(control) and ends with its result. The control socket is
// a packet socket pair; the child dies with the test process.
class Child {
  public:
    explicit Child(const std::function<int(int control)>& body);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool send(const void* message, std::size_t size);
    // Waits for one message of exactly size bytes.
    bool receive(void* message, std::size_t size, std::chrono::milliseconds timeout);
    // Asks the child to end, waits, and returns its exit code; -1 when it had to be killed.
    int finish(std::chrono::milliseconds timeout = 30s);

  private:
    pid_t pid_ = -1;
    int control_ = -1;
    int exitCode_ = -1;
};

struct RelayTarget {
    std::string host;
    int port = 0;
    int bufferKb = 128;
    // Above 0: SO_SNDBUF of the sockets the repeater accepts (set on its listening socket,
    // which they inherit), so that what a slow client does not take stays in the relay.
    int acceptedSendBuffer = 0;
};

constexpr int kMaxRepeaters = 8;

// Figures of a relay child, per repeater and for the whole process.
struct RelayStats {
    int repeaters = 0;
    int pairs[kMaxRepeaters] = {};
    int connections[kMaxRepeaters] = {};
    int listening[kMaxRepeaters] = {};
    // Sockets of closed pairs still delivering their last bytes.
    int lingering = 0;
    // Streams whose send queue has no room left, and the bytes queued in all of them.
    int fullQueues = 0;
    long long queuedBytes = 0;
    int descriptors = 0;
    long long heapBytes = 0;
    long openFilesLimit = 0;
    double cpuSeconds = 0;

    int totalPairs() const;
    int totalConnections() const;
};

// Repeaters, one per target, on one event loop in a child process, listening on 127.0.0.1.
class RelayChild {
  public:
    // openFiles above 0 sets the child's open-files limit first.
    explicit RelayChild(const std::vector<RelayTarget>& targets, long openFiles = 0);

    bool started() const { return !ports_.empty(); }
    int port(std::size_t index = 0) const { return ports_.at(index); }
    pid_t pid() const { return child_.pid(); }
    // Empty stats (repeaters 0) when the child does not answer.
    RelayStats stats();
    // Sets the child's open-files limit; returns the limit in force, or -1.
    long limitOpenFiles(long limit);
    // Keeps asking until done(stats) holds or the timeout passes; the poller, if any, runs
    // between the questions so that the test's own peers keep moving.
    bool waitFor(const std::function<bool(const RelayStats&)>& done,
                 std::chrono::milliseconds timeout, Poller* poller = nullptr);
    // Stops every repeater and ends the child; 0 when it ended cleanly (under the leak
    // checker: without leaks).
    int finish() { return child_.finish(); }

  private:
    Child child_;
    std::vector<int> ports_;
};

// An EchoServer in a child process.
class EchoChild {
  public:
    explicit EchoChild(long openFiles = 0);
    int port() const { return port_; }
    long openFilesLimit() const { return openFiles_; }
    int finish() { return child_.finish(); }

  private:
    Child child_;
    int port_ = 0;
    long openFiles_ = 0;
};

// One direction of a connection carrying an endless pattern, on a non-blocking socket. The
// period is prime, so a piece that arrives twice, late or out of place does not match.
class PatternStream {
  public:
    static constexpr std::size_t kPeriod = 1000003;
    static constexpr std::size_t kMost = std::size_t{64} << 20;

    explicit PatternStream(int fd) : fd_(fd) {}

    // Sends as much as the socket takes, up to kMost in all; false once it takes no more.
    bool push();
    // Reads what waits and checks it; false at the end of the stream or a wrong byte.
    bool pull();

    std::size_t sent() const { return sent_; }
    std::size_t received() const { return received_; }
    bool intact() const { return intact_; }

  private:
    int fd_;
    std::size_t sent_ = 0;
    std::size_t received_ = 0;
    bool intact_ = true;
};

// Clients that each send a distinct message per round and check its echo, byte for byte.
class EchoClients {
  public:
    // Closed: ended by the other side (or never connected); Left: closed by the test.
    enum class State { Connecting, Waiting, Echoed, Closed, Left };

    EchoClients(Poller& poller, int port);
    ~EchoClients();
    EchoClients(const EchoClients&) = delete;
    EchoClients& operator=(const EchoClients&) = delete;

    // Starts one more connection; it sends its message as soon as it is connected.
    void open();
    // Every echoed connection sends its message of this round.
    void sendRound(int round);
    // Closes every connection in that state; they become Left.
    void closeWhere(State state);
    int count(State state) const { return counts_[static_cast<int>(state)]; }
    int inFlight() const { return count(State::Connecting) + count(State::Waiting); }
    int total() const { return static_cast<int>(clients_.size()); }
    int mismatches() const { return mismatches_; }
    // Milliseconds from the first byte of a message sent to the last byte of its echo.
    const std::vector<double>& roundTrips() const { return roundTrips_; }
    // Connections whose first message came back whole.
    int served() const { return served_; }
    std::uint64_t bytesChecked() const { return bytesChecked_; }

    static std::string message(int id, int round);

  private:
    struct Client {
        int fd = -1;
        std::uint64_t token = 0;
        State state = State::Connecting;
        std::string expected;
        std::size_t sent = 0;
        std::size_t received = 0;
        int round = 0;
        Clock::time_point sentAt;
    };
    void setState(Client& client, State state);
    void onEvents(int id, std::uint32_t events);
    void push(int id);
    void closeClient(Client& client, State state);

    Poller& poller_;
    int port_;
    std::vector<Client> clients_;
    int counts_[5] = {};
    int mismatches_ = 0;
    int served_ = 0;
    std::uint64_t bytesChecked_ = 0;
    std::vector<double> roundTrips_;
};

}  // namespace load
