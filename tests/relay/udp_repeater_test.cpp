#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "address/ip_filter.h"
#include "relay/tcp_repeater.h"
#include "relay/udp_repeater.h"
#include "tests/relay/relay_fixture.h"
#include "tests/support/test_forward.h"
#include "tests/support/udp_peer.h"

namespace fs = std::filesystem;

namespace {
// Closes a test's UDP socket.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// Sends one datagram through the relay and returns the echo (empty when none came).
std::string roundTrip(int fd, const char* relayIp, int relayPort, const std::string& datagram) {
    std::string answer;
    if (udp::sendTo(fd, relayIp, relayPort, datagram)) {
        udp::receive(fd, answer);
    }
    return answer;
}

// True when a new socket could take 127.0.0.1:port (bound with no sharing, as the kernel
// would hand it to a new session).
bool portFree(int port) {
    Fd probe{udp::bindAt("127.0.0.1", port)};
    return probe.fd >= 0;
}
}  // namespace

// A UDP repeater on this test's loop, in front of an echo server; clients run on threads.
class UdpRelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setTraceEnabled(false);
        logPath = fs::temp_directory_path() /
                  ("tarnwick-udp-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
        fs::remove(logPath);
    }
    void TearDown() override {
        fs::remove(logPath);
        setTraceEnabled(true);
    }

    // Starts the repeater on config, relaying to the echo server and logging to logPath.
    void startRelay(const char* bindIp = "127.0.0.1", RelayOptions options = {}) {
        config.forwardPort = echo.port();
        config.listenHost = bindIp != nullptr ? bindIp : "";
        config.relay = options;
        config.log = true;
        config.logPath = logPath.string();
        startConfigured();
    }
    void startConfigured() {
        repeater->setListener(&recorder);
        repeater->configure(config);
        ASSERT_TRUE(repeater->start());
        relayPort = static_cast<int>(repeater->listenPort());
        ASSERT_GT(relayPort, 0);
    }

    static std::unique_ptr<UdpRepeater> tunedRepeater(std::size_t maxSessions,
                                                      std::chrono::milliseconds quarantine = {},
                                                      std::chrono::milliseconds idle = {}) {
        RepeaterTuning tuning;
        tuning.maxSessions = maxSessions;
        tuning.quarantine = quarantine;
        tuning.idleTimeout = idle;
        return std::make_unique<UdpRepeater>(tuning);
    }

    template <class Work>
    auto whileRelaying(Work work) {
        auto result = std::async(std::launch::async, std::move(work));
        EXPECT_TRUE(
            loop.runUntil([&] { return result.wait_for(0s) == std::future_status::ready; }, 30s));
        return result.get();
    }

    // The log's text once the repeater has stopped (stop flushes it).
    std::string stoppedLog() {
        repeater->stop();
        std::ifstream in(logPath);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static int count(const std::string& text, const std::string& word) {
        int n = 0;
        for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
            ++n;
        }
        return n;
    }

    SocketEventLoop loop;
    udp::EchoServer echo;
    std::unique_ptr<UdpRepeater> repeater = std::make_unique<UdpRepeater>();
    CountRecorder recorder;
    // What the repeater is started with; tests set the filter and buffer size here.
    ForwardConfig config = testForward(0, "127.0.0.1", 0);
    fs::path logPath;
    int relayPort = 0;
};

TEST_F(UdpRelayTest, DatagramsOfEverySizeArriveWholeAndInOrder) {
    startRelay();
    const std::vector<std::size_t> sizes = {1, 2, 1472, 1473, 8192, 8193, 65000, 65507};
    std::vector<std::string> answers = whileRelaying([&] {
        Fd client{udp::bindAt("127.0.0.1")};
        std::vector<std::string> got;
        for (std::size_t size : sizes) {
            got.push_back(roundTrip(client.fd, "127.0.0.1", relayPort,
                                    loopback::pattern(size, static_cast<unsigned>(size))));
        }
        // Ten in a row without waiting come back in the order sent.
        for (int i = 0; i < 10; ++i) {
            udp::sendTo(client.fd, "127.0.0.1", relayPort, "order-" + std::to_string(i));
        }
        for (int i = 0; i < 10; ++i) {
            std::string answer;
            udp::receive(client.fd, answer);
            got.push_back(answer);
        }
        return got;
    });
    ASSERT_EQ(answers.size(), sizes.size() + 10);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(answers[i], loopback::pattern(sizes[i], static_cast<unsigned>(sizes[i])))
            << sizes[i] << " bytes";
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(answers[sizes.size() + static_cast<std::size_t>(i)],
                  "order-" + std::to_string(i));
    }
    ASSERT_EQ(repeater->rows().size(), 1u);
    EXPECT_EQ(repeater->rows()[0].bytesUp, repeater->rows()[0].bytesDown);
}

TEST_F(UdpRelayTest, TwentyClientsAtOnceGetOnlyTheirOwnAnswers) {
    startRelay();
    constexpr int kClients = 20;
    int mixedUp = whileRelaying([&] {
        std::vector<std::future<int>> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.push_back(std::async(std::launch::async, [&, c] {
                Fd fd{udp::bindAt("127.0.0.1")};
                int wrong = 0;
                for (int i = 0; i < 5; ++i) {
                    std::string mine = "client-" + std::to_string(c) + "-" + std::to_string(i);
                    wrong += roundTrip(fd.fd, "127.0.0.1", relayPort, mine) == mine ? 0 : 1;
                }
                return wrong;
            }));
        }
        int wrong = 0;
        for (auto& client : clients) {
            wrong += client.get();
        }
        return wrong;
    });
    EXPECT_EQ(mixedUp, 0);
    EXPECT_EQ(echo.senders().size(), static_cast<std::size_t>(kClients));
    EXPECT_EQ(repeater->connectionCount(), kClients);
    EXPECT_EQ(recorder.last(), kClients);
}

TEST_F(UdpRelayTest, SilenceEndsASessionAndTheNextDatagramStartsANewOne) {
    startRelay("127.0.0.1", RelayOptions{false, 0, 1, false});
    Fd client{udp::bindAt("127.0.0.1")};
    EXPECT_EQ(whileRelaying([&] { return roundTrip(client.fd, "127.0.0.1", relayPort, "a"); }),
              "a");
    const std::uint64_t first = repeater->rows().at(0).serial;
    EXPECT_TRUE(loop.runUntil([&] { return repeater->connectionCount() == 0; }, 10s));
    EXPECT_EQ(whileRelaying([&] { return roundTrip(client.fd, "127.0.0.1", relayPort, "b"); }),
              "b");
    ASSERT_EQ(repeater->connectionCount(), 1);
    EXPECT_NE(repeater->rows().at(0).serial, first);
    std::string log = stoppedLog();
    EXPECT_EQ(count(log, "\tUDP:" + std::to_string(relayPort) + "\topen\t"), 2);
    EXPECT_EQ(count(log, "\tidle-timeout"), 1);
    EXPECT_EQ(count(log, "\t1\t1\t"), 2) << log;  // one byte each way, in both sessions
    EXPECT_EQ(count(log, "\tstopped"), 1);
    EXPECT_EQ(recorder.last(), 0);
}

TEST_F(UdpRelayTest, LoopbackFilterDropsAClientOn127002AndLogsItOnce) {
    config.filter.mode = CIpFilter::kLoopbackOnly;
    startRelay();
    // The repeater keeps its own copy: the panel's filter may change or go (empty lists
    // would refuse everyone).
    config.filter.mode = CIpFilter::kAllowDenyLists;
    auto [outsider, insider] = whileRelaying([&] {
        Fd other{udp::bindAt("127.0.0.2", 0, 300ms)};
        Fd local{udp::bindAt("127.0.0.1")};
        int answered = 0;
        for (int i = 0; i < 3; ++i) {
            answered += roundTrip(other.fd, "127.0.0.1", relayPort, "x").empty() ? 0 : 1;
        }
        return std::pair{answered, roundTrip(local.fd, "127.0.0.1", relayPort, "y")};
    });
    EXPECT_EQ(outsider, 0);
    EXPECT_EQ(insider, "y");
    EXPECT_EQ(repeater->connectionCount(), 1);
    std::string log = stoppedLog();
    EXPECT_EQ(count(log, "\trefused\t127.0.0.2:"), 1) << log;
}

TEST_F(UdpRelayTest, IPv6ClientsAndAnswersFromTheAddressTheClientSentTo) {
    startRelay("::1");
    EXPECT_EQ(whileRelaying([&] {
                  Fd client{udp::bindAt("::1")};
                  return roundTrip(client.fd, "::1", relayPort, "six");
              }),
              "six");
    EXPECT_EQ(repeater->rows().at(0).acceptPeer.address, "::1");
    repeater->stop();
    // Bound to any address, both families: a client that only takes answers from the
    // address it sent to (a connected socket) still gets them.
    startRelay(nullptr);
    auto answers = whileRelaying([&] {
        std::vector<std::string> got;
        for (const char* to : {"127.0.0.5", "::1"}) {
            Fd client{udp::bindAt(std::string(to) == "::1" ? "::1" : "127.0.0.1")};
            udp::connectTo(client.fd, to, relayPort);
            std::string answer;
            udp::send(client.fd, to);
            udp::receive(client.fd, answer);
            got.push_back(answer);
        }
        return got;
    });
    EXPECT_EQ(answers, (std::vector<std::string>{"127.0.0.5", "::1"}));
    auto rows = repeater->rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].acceptBind.address, "127.0.0.5");
    EXPECT_EQ(rows[0].connectPeer.port, echo.port());
}

TEST_F(UdpRelayTest, AtTheBoundTheLeastRecentlyActiveSessionMakesRoom) {
    repeater = tunedRepeater(3);
    startRelay();
    std::vector<int> ports = whileRelaying([&] {
        std::vector<int> clients;
        std::vector<int> seen;
        for (int c = 0; c < 5; ++c) {
            clients.push_back(udp::bindAt("127.0.0.1"));
            seen.push_back(udp::localPort(clients.back()));
        }
        for (int c = 0; c < 5; ++c) {
            roundTrip(clients[c], "127.0.0.1", relayPort, "hello");
            // The first client keeps talking, so the second is the one that goes first.
            roundTrip(clients[0], "127.0.0.1", relayPort, "again");
        }
        for (int fd : clients) {
            close(fd);
        }
        return seen;
    });
    std::set<unsigned> live;
    for (const ConnectionRow& row : repeater->rows()) {
        live.insert(static_cast<unsigned>(row.acceptPeer.port));
    }
    EXPECT_EQ(live,
              (std::set<unsigned>{static_cast<unsigned>(ports[0]), static_cast<unsigned>(ports[3]),
                                  static_cast<unsigned>(ports[4])}));
    EXPECT_LE(*std::max_element(recorder.counts.begin(), recorder.counts.end()), 3);
    EXPECT_TRUE(repeater->disconnect(repeater->rows().at(0).serial));
    EXPECT_FALSE(repeater->disconnect(9999));
    std::string log = stoppedLog();
    EXPECT_EQ(count(log, "\tevicted"), 2);
    EXPECT_EQ(count(log, "\tdisconnected"), 1);
    EXPECT_EQ(count(log, "\tstopped"), 2);
}

TEST_F(UdpRelayTest, ARefusingDestinationKeepsTheSessionAndANameIsLookedUpOnce) {
    // Nothing listens at the destination: the refusals come back as ICMP errors.
    int closedPort = 0;
    {
        Fd gone{udp::bindAt("127.0.0.1")};
        closedPort = udp::localPort(gone.fd);
    }
    config.forwardPort = closedPort;
    startConfigured();
    Fd client{udp::bindAt("127.0.0.1", 0, 100ms)};
    auto upBytes = [&] {
        auto rows = repeater->rows();
        return rows.empty() ? 0 : rows[0].bytesUp;
    };
    for (std::uint64_t sent = 7; sent <= 21; sent += 7) {
        udp::sendTo(client.fd, "127.0.0.1", relayPort, "anyone?");
        // Each one after the first meets the refusal the kernel kept from the one before.
        EXPECT_TRUE(loop.runUntil([&] { return upBytes() == sent; }, 10s));
    }
    EXPECT_EQ(repeater->connectionCount(), 1);
    repeater->stop();

    // By name: what comes during the lookup waits and then goes out in order.
    int lookups = 0;
    repeater->setLookupFunction([&](const std::string&, int port, std::vector<SocketAddress>& out) {
        ++lookups;
        SocketAddress address;
        parseNumericAddress("127.0.0.1", port, address);
        out = {address};
        return 0;
    });
    config.forwardHost = "echo.test";
    config.forwardPort = echo.port();
    startConfigured();
    auto answers = whileRelaying([&] {
        Fd named{udp::bindAt("127.0.0.1")};
        std::vector<std::string> got(3);
        for (int i = 0; i < 3; ++i) {
            udp::sendTo(named.fd, "127.0.0.1", relayPort, std::to_string(i));
        }
        for (std::string& answer : got) {
            udp::receive(named.fd, answer);
        }
        return got;
    });
    EXPECT_EQ(answers, (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_EQ(lookups, 1);
}

TEST_F(UdpRelayTest, ATcpPortMayShareItsNumberButASecondUdpPortMayNot) {
    CTcpRepeater tcp;
    tcp.configure(testForward(0, "127.0.0.1", echo.port()));
    ASSERT_TRUE(tcp.start());
    const int shared = static_cast<int>(tcp.listenPort());
    config = testForward(shared, "127.0.0.1", echo.port());
    repeater->configure(config);
    EXPECT_TRUE(repeater->start());
    UdpRepeater second;
    second.configure(config);
    EXPECT_FALSE(second.start());
    EXPECT_FALSE(second.isListening());
    EXPECT_EQ(whileRelaying([&] {
                  Fd client{udp::bindAt("127.0.0.1")};
                  return roundTrip(client.fd, "127.0.0.1", shared, "same number");
              }),
              "same number");
    tcp.stop();
}

// However a session ends, its port stays taken (so no new session can be handed it and get
// the old client's late answers) until its quarantine is over, and no longer.
TEST_F(UdpRelayTest, AnEndedSessionsPortStaysTakenUntilItsQuarantineIsOver) {
    enum class End { Evicted, Idle, Disconnected, Stopped };
    for (End end : {End::Evicted, End::Idle, End::Disconnected, End::Stopped}) {
        SCOPED_TRACE(static_cast<int>(end));
        repeater = tunedRepeater(1, 500ms, end == End::Idle ? 50ms : 60s);
        startRelay();
        Fd first{udp::bindAt("127.0.0.1")};
        Fd second{udp::bindAt("127.0.0.1")};
        ASSERT_EQ(whileRelaying([&] { return roundTrip(first.fd, "127.0.0.1", relayPort, "a"); }),
                  "a");
        const ConnectionRow row = repeater->rows().at(0);
        const int port = row.connectBind.port;
        ASSERT_GT(port, 0);
        switch (end) {
            case End::Evicted:
                ASSERT_EQ(whileRelaying(
                              [&] { return roundTrip(second.fd, "127.0.0.1", relayPort, "b"); }),
                          "b");
                break;
            case End::Idle:
                ASSERT_TRUE(loop.runUntil([&] { return repeater->connectionCount() == 0; }, 5s));
                break;
            case End::Disconnected:
                ASSERT_TRUE(repeater->disconnect(row.serial));
                break;
            case End::Stopped:
                repeater->stop();
                break;
        }
        EXPECT_EQ(repeater->quarantined(), 1u);
        EXPECT_FALSE(portFree(port)) << "the ended session's port was handed back at once";
        EXPECT_TRUE(loop.runUntil([&] { return portFree(port); }, 5s));
        EXPECT_EQ(repeater->quarantined(), 0u);
        repeater->stop();
    }
}

// Live and ended sessions together stay within twice the bound: past it a new client is
// dropped rather than given a port that may still get another client's answers.
TEST_F(UdpRelayTest, WhileEndedSessionsFillTheBoundANewClientWaitsForTheirPorts) {
    repeater = tunedRepeater(1, 400ms);
    startRelay();
    Fd a{udp::bindAt("127.0.0.1")};
    Fd b{udp::bindAt("127.0.0.1")};
    Fd c{udp::bindAt("127.0.0.1")};
    const int cPort = udp::localPort(c.fd);
    whileRelaying([&] {
        roundTrip(a.fd, "127.0.0.1", relayPort, "a");
        roundTrip(b.fd, "127.0.0.1", relayPort, "b");  // a is evicted
        udp::sendTo(c.fd, "127.0.0.1", relayPort, "c");
        // b's answer comes after c's datagram was read.
        return roundTrip(b.fd, "127.0.0.1", relayPort, "b2");
    });
    // b's own session (the second opened) is still there: c evicted nobody.
    ASSERT_EQ(repeater->rows().size(), 1u);
    EXPECT_EQ(repeater->rows()[0].serial, 2u);
    EXPECT_NE(repeater->rows()[0].acceptPeer.port, cPort);
    EXPECT_EQ(repeater->quarantined(), 1u);
    ASSERT_TRUE(loop.runUntil([&] { return repeater->quarantined() == 0; }, 5s));
    EXPECT_EQ(whileRelaying([&] { return roundTrip(c.fd, "127.0.0.1", relayPort, "c2"); }), "c2");
}

// A datagram too long for the destination's family fails alone; the others of its batch go.
TEST_F(UdpRelayTest, ADatagramThatCannotGoIsSkippedAndTheRestOfItsBatchGoes) {
    config.bufferSizeKb = 2048;
    startRelay("::1");
    Fd client{udp::bindAt("::1")};
    std::vector<std::string> sent;
    // Sent before the relay's loop runs, so that one read takes them all.
    for (int i = 0; i < 15; ++i) {
        if (i == 4) {
            ASSERT_TRUE(udp::sendTo(client.fd, "::1", relayPort, std::string(65527, 'x')));
        }
        sent.push_back("small-" + std::to_string(i));
        ASSERT_TRUE(udp::sendTo(client.fd, "::1", relayPort, sent.back()));
    }
    std::vector<std::string> answers = whileRelaying([&] {
        std::vector<std::string> got;
        std::string answer;
        while (got.size() < sent.size() && udp::receive(client.fd, answer)) {
            got.push_back(answer);
        }
        return got;
    });
    EXPECT_EQ(answers, sent);
}

// Either protocol behind the one interface: made by its kind, it relays, lists its client,
// cuts it and counts alike.
TEST_F(UdpRelayTest, EitherProtocolRelaysListsAndCutsThroughTheOneInterface) {
    loopback::Server tcpEcho(loopback::echo);
    for (bool datagrams : {false, true}) {
        SCOPED_TRACE(datagrams ? "UDP" : "TCP");
        ForwardConfig forward =
            testForward(0, "127.0.0.1", datagrams ? echo.port() : tcpEcho.port());
        forward.udp = datagrams;
        std::unique_ptr<PortRepeater> port = makeRepeater(forward);
        port->setListener(&recorder);
        ASSERT_TRUE(port->start());
        const int at = static_cast<int>(port->listenPort());
        Fd udpClient{udp::bindAt("127.0.0.1")};
        loopback::Client tcpClient;
        const int clientPort = datagrams ? udp::localPort(udpClient.fd) : 0;
        ASSERT_TRUE(datagrams || tcpClient.connectTo(at));
        EXPECT_EQ(whileRelaying([&] {
                      if (datagrams) {
                          return roundTrip(udpClient.fd, "127.0.0.1", at, "one");
                      }
                      return tcpClient.send("one") ? tcpClient.receive(3) : std::string();
                  }),
                  "one");
        ASSERT_TRUE(loop.runUntil([&] { return port->connectionCount() == 1; }, 10s));
        const std::vector<ConnectionRow> rows = port->rows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].acceptPeer.port, datagrams ? clientPort : tcpClient.localPort());
        EXPECT_EQ(rows[0].bytesUp, 3u);
        EXPECT_TRUE(port->disconnect(rows[0].serial));
        EXPECT_TRUE(loop.runUntil([&] { return port->connectionCount() == 0; }, 10s));
        EXPECT_EQ(recorder.last(), 0);
        port->stop(std::chrono::steady_clock::now());
    }
}

// New settings on a running port reach only connections made from then on; a drained port
// takes nobody new while its own connections go on to their end.
TEST_F(UdpRelayTest, NewSettingsReachNewConnectionsAndADrainedPortLetsItsOwnFinish) {
    loopback::Server tcpFirst(loopback::echo);
    loopback::Server tcpSecond(loopback::echo);
    udp::EchoServer udpSecond;
    for (bool datagrams : {false, true}) {
        SCOPED_TRACE(datagrams ? "UDP" : "TCP");
        ForwardConfig forward =
            testForward(0, "127.0.0.1", datagrams ? echo.port() : tcpFirst.port());
        forward.udp = datagrams;
        std::unique_ptr<PortRepeater> port =
            datagrams ? std::unique_ptr<PortRepeater>(tunedRepeater(16, 100ms))
                      : std::unique_ptr<PortRepeater>(std::make_unique<CTcpRepeater>());
        port->configure(forward);
        ASSERT_TRUE(port->start());
        const int at = static_cast<int>(port->listenPort());
        // Whether a new client of the port gets its echo, and an old one its own.
        Fd udpOld{udp::bindAt("127.0.0.1")};
        loopback::Client tcpOld;
        ASSERT_TRUE(datagrams || tcpOld.connectTo(at));
        auto oldEchoes = [&](const std::string& text) {
            return whileRelaying([&] {
                       if (datagrams) {
                           return roundTrip(udpOld.fd, "127.0.0.1", at, text);
                       }
                       return tcpOld.send(text) ? tcpOld.receive(text.size()) : std::string();
                   }) == text;
        };
        auto newEchoes = [&] {
            return whileRelaying([&] {
                Fd client{udp::bindAt("127.0.0.1", 0, 300ms)};
                loopback::Client stream;
                if (datagrams) {
                    return roundTrip(client.fd, "127.0.0.1", at, "new") == "new";
                }
                return stream.connectTo(at, 1s) && stream.send("new") && stream.receive(3) == "new";
            });
        };
        ASSERT_TRUE(oldEchoes("one"));
        const long firstBefore = datagrams ? echo.received() : tcpFirst.accepted();

        forward.forwardPort = datagrams ? udpSecond.port() : tcpSecond.port();
        port->update(forward);
        EXPECT_EQ(static_cast<int>(port->listenPort()), at);
        EXPECT_TRUE(newEchoes());
        EXPECT_EQ(datagrams ? udpSecond.received() : tcpSecond.accepted(), 1);
        const std::string big(datagrams ? 1000 : 1 << 16, 'o');
        EXPECT_TRUE(oldEchoes(big));
        EXPECT_EQ(datagrams ? echo.received() : tcpFirst.accepted(),
                  firstBefore + (datagrams ? 1 : 0));

        port->drain();
        EXPECT_FALSE(newEchoes());
        EXPECT_TRUE(oldEchoes("two"));
        EXPECT_FALSE(port->drained());
        const std::vector<ConnectionRow> rows = port->rows();
        ASSERT_FALSE(rows.empty());
        for (const ConnectionRow& row : rows) {
            port->disconnect(row.serial);
        }
        EXPECT_TRUE(loop.runUntil([&] { return port->drained(); }, 10s));
        port->stop(std::chrono::steady_clock::now());
    }
}

TEST(Reconfigure, KeepsARepeaterOfTheSameProtocolAndReplacesOneOfTheOther) {
    SocketEventLoop loop;
    std::unique_ptr<PortRepeater> repeater = makeRepeater(testForward(0, "127.0.0.1", 1));
    const PortRepeater* first = repeater.get();
    ForwardConfig next = testForward(0, "127.0.0.1", 2);
    reconfigure(repeater, next);
    EXPECT_EQ(repeater.get(), first);
    EXPECT_EQ(repeater->config(), next);
    next.udp = true;
    reconfigure(repeater, next);
    EXPECT_NE(dynamic_cast<UdpRepeater*>(repeater.get()), nullptr);
    EXPECT_EQ(repeater->config(), next);
}
