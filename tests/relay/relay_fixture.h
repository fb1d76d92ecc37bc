#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "platform/socket_event_loop.h"
#include "platform/trace.h"
#include "relay/tcp_repeater.h"
#include "tests/support/loopback.h"
#include "tests/support/test_forward.h"

using namespace std::chrono_literals;

// Records every count the repeater reports.
struct CountRecorder : RepeaterListener {
    std::vector<int> counts;
    void notifyConnectionCount(int count) override { counts.push_back(count); }
    int last() const { return counts.empty() ? -1 : counts.back(); }
};

// A repeater on an ephemeral port, driven by this test's event loop; peers run on threads.
// Trace lines are off unless a test turns them on to read them.
class RelayTest : public ::testing::Test {
  protected:
    void SetUp() override { setTraceEnabled(false); }
    void TearDown() override { setTraceEnabled(true); }

    SocketEventLoop loop;
    CTcpRepeater repeater;
    CountRecorder recorder;
    // What startRelay configures the repeater with; tests set options and filter here.
    ForwardConfig config = testForward(0, "127.0.0.1", 0);

    void startRelay(int destinationPort, const std::string& host = "127.0.0.1",
                    int bufferKb = 128) {
        repeater.setListener(&recorder);
        config.forwardHost = host;
        config.forwardPort = destinationPort;
        config.bufferSizeKb = bufferKb;
        repeater.configure(config);
        repeater.start();
        ASSERT_TRUE(repeater.isListening());
        relayPort = static_cast<int>(repeater.listenPort());
        ASSERT_GT(relayPort, 0);
    }

    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
        return loop.runUntil(done, timeout);
    }

    // Runs work on its own thread while this thread dispatches the relay, and returns its
    // result; fails the test if it does not finish in time.
    template <class Work>
    auto whileRelaying(Work work, std::chrono::milliseconds timeout = 60s) {
        auto result = std::async(std::launch::async, std::move(work));
        bool finished =
            runUntil([&] { return result.wait_for(0s) == std::future_status::ready; }, timeout);
        EXPECT_TRUE(finished) << "peer work did not finish in time";
        return result.get();
    }

    CTcpSockPair* firstPair() {
        int cursor = 0;
        return repeater.getNextPair(cursor);
    }

    int pairCount() {
        int cursor = 0;
        int pairs = 0;
        while (repeater.getNextPair(cursor) != nullptr) {
            ++pairs;
        }
        return pairs;
    }

    std::vector<int> pairIndexes() {
        std::vector<int> indexes;
        int cursor = 0;
        while (CTcpSockPair* pair = repeater.getNextPair(cursor)) {
            indexes.push_back(static_cast<int>(pair->acceptSocket->index()));
        }
        return indexes;
    }

    int relayPort = 0;
};
