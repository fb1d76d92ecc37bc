#include "platform/host_resolver.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/loop_inbox.h"

namespace {

using namespace std::chrono_literals;

// Lookups that the test holds inside the lookup function until it releases them. Shared
// with the resolver's workers, which may still run in it after the test has moved on.
struct HeldLookups {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> hosts;  // every call, in order
    int inside = 0;
    int mostInside = 0;
    bool released = false;

    static LookupFunction function(const std::shared_ptr<HeldLookups>& held) {
        return [held](const std::string& host, int, std::vector<SocketAddress>&) {
            std::unique_lock<std::mutex> lock(held->mutex);
            held->hosts.push_back(host);
            held->mostInside = std::max(held->mostInside, ++held->inside);
            held->changed.notify_all();
            held->changed.wait_for(lock, 10s, [&] { return held->released; });
            --held->inside;
            return 0;
        };
    }
    bool waitFor(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 5s, done);
    }
    void release(bool on) {
        std::lock_guard<std::mutex> lock(mutex);
        released = on;
        changed.notify_all();
    }
};

class HostResolverTest : public testing::Test {
  protected:
    void SetUp() override {
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ASSERT_GE(wake_, 0);
        inbox_ = std::make_shared<LoopInbox>(wake_);
    }
    void TearDown() override {
        held_->release(true);
        inbox_->close();
        close(wake_);
    }

    // Runs what the workers posted until done holds, for at most a few seconds.
    bool runInboxUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{wake_, POLLIN, 0};
            if (poll(&ready, 1, 10) > 0) {
                eventfd_t ignored = 0;
                eventfd_read(wake_, &ignored);
                for (auto& work : inbox_->take()) {
                    work();
                }
            }
        }
        return done();
    }
    HostResolver::Done counted() {
        return [this](std::uint64_t, int, std::vector<SocketAddress>) { ++answered_; };
    }
    // Fills every worker with a held lookup.
    void occupyWorkers(HostResolver& resolver) {
        for (int i = 0; i < 4; ++i) {
            ASSERT_NE(resolver.lookup("busy" + std::to_string(i), 80, counted()), 0U);
        }
        ASSERT_TRUE(held_->waitFor([&] { return held_->inside == 4; }));
    }

    int wake_ = -1;
    std::shared_ptr<LoopInbox> inbox_;
    std::shared_ptr<HeldLookups> held_ = std::make_shared<HeldLookups>();
    int answered_ = 0;
};

TEST_F(HostResolverTest, CancelledWaitingRequestsAreNeverLookedUp) {
    HostResolver resolver(inbox_, HeldLookups::function(held_));
    occupyWorkers(resolver);
    for (int i = 0; i < 8; ++i) {
        resolver.cancel(resolver.lookup("gone", 80, counted()));
    }
    ASSERT_NE(resolver.lookup("kept", 80, counted()), 0U);
    held_->release(true);

    ASSERT_TRUE(runInboxUntil([&] { return answered_ == 5; }));
    std::lock_guard<std::mutex> lock(held_->mutex);
    EXPECT_EQ(std::count(held_->hosts.begin(), held_->hosts.end(), "gone"), 0);
    EXPECT_EQ(held_->hosts.size(), 5U);
    EXPECT_EQ(held_->hosts.back(), "kept");
}

TEST_F(HostResolverTest, WaitingRequestsAreBoundedAcrossResolvers) {
    {
        HostResolver resolver(inbox_, HeldLookups::function(held_));
        occupyWorkers(resolver);
        std::uint64_t last = 0;
        for (int i = 0; i < HostResolver::kMostWaiting; ++i) {
            last = resolver.lookup("waiting", 80, counted());
            ASSERT_NE(last, 0U) << i;
        }
        EXPECT_EQ(resolver.lookup("one too many", 80, counted()), 0U);
        HostResolver other(inbox_, HeldLookups::function(held_));
        EXPECT_EQ(other.lookup("elsewhere", 80, counted()), 0U);
        // A cancelled request frees its place.
        resolver.cancel(last);
        EXPECT_NE(other.lookup("elsewhere", 80, counted()), 0U);
    }
    // Requests dropped with their resolver free their places too.
    HostResolver fresh(inbox_, HeldLookups::function(held_));
    EXPECT_NE(fresh.lookup("afterwards", 80, counted()), 0U);
}

TEST_F(HostResolverTest, TwoLookupsTogetherRunOnTwoWorkers) {
    HostResolver resolver(inbox_, HeldLookups::function(held_));
    held_->release(true);
    ASSERT_NE(resolver.lookup("first", 80, counted()), 0U);
    ASSERT_TRUE(runInboxUntil([&] { return answered_ == 1 && resolver.idleWorkers() == 1; }));

    held_->release(false);
    ASSERT_NE(resolver.lookup("a", 80, counted()), 0U);
    ASSERT_NE(resolver.lookup("b", 80, counted()), 0U);
    EXPECT_TRUE(held_->waitFor([&] { return held_->inside == 2; }));
    held_->release(true);
    EXPECT_TRUE(runInboxUntil([&] { return answered_ == 3; }));
}

}  // namespace
