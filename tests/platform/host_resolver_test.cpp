#include "platform/host_resolver.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "platform/loop_inbox.h"

namespace {

using namespace std::chrono_literals;

// Lookups held inside the lookup function until the test releases them. Shared with the
// workers, which may still be in it when the test has ended.
struct HeldLookups {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> hosts;  // every call, in order
    int inside = 0;
    bool released = false;

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
    void SetUp() override { ASSERT_GE(wake_, 0); }
    void TearDown() override {
        held_->release(true);
        inbox_->close();
        close(wake_);
    }

    std::unique_ptr<HostResolver> makeResolver() {
        return std::make_unique<HostResolver>(
            inbox_, [held = held_](const std::string& host, int, std::vector<SocketAddress>&) {
                std::unique_lock<std::mutex> lock(held->mutex);
                held->hosts.push_back(host);
                ++held->inside;
                held->changed.notify_all();
                held->changed.wait_for(lock, 10s, [&] { return held->released; });
                --held->inside;
                return 0;
            });
    }
    std::uint64_t lookup(HostResolver& resolver, const std::string& host) {
        return resolver.lookup(host, 80, [this](auto...) { ++answered_; });
    }
    // Runs what the workers posted until done holds, for at most a few seconds.
    bool runInboxUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{wake_, POLLIN, 0};
            eventfd_t ignored = 0;
            if (poll(&ready, 1, 10) > 0 && eventfd_read(wake_, &ignored) == 0) {
                for (auto& work : inbox_->take()) {
                    work();
                }
            }
        }
        return done();
    }
    void occupyAllFourWorkers(HostResolver& resolver) {
        for (int i = 0; i < 4; ++i) {
            ASSERT_NE(lookup(resolver, "busy"), 0U);
        }
        ASSERT_TRUE(held_->waitFor([&] { return held_->inside == 4; }));
    }

    int wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::shared_ptr<LoopInbox> inbox_ = std::make_shared<LoopInbox>(wake_);
    std::shared_ptr<HeldLookups> held_ = std::make_shared<HeldLookups>();
    int answered_ = 0;
};

TEST_F(HostResolverTest, CancelledWaitingRequestsAreNeverLookedUp) {
    auto resolver = makeResolver();
    occupyAllFourWorkers(*resolver);
    for (int i = 0; i < 8; ++i) {
        resolver->cancel(lookup(*resolver, "gone"));
    }
    ASSERT_NE(lookup(*resolver, "kept"), 0U);
    held_->release(true);

    ASSERT_TRUE(runInboxUntil([&] { return answered_ == 5; }));
    std::lock_guard<std::mutex> lock(held_->mutex);
    EXPECT_EQ(held_->hosts.size(), 5U);
    EXPECT_EQ(std::count(held_->hosts.begin(), held_->hosts.end(), "gone"), 0);
}

TEST_F(HostResolverTest, WaitingRequestsAreBoundedAcrossResolvers) {
    auto resolver = makeResolver();
    auto other = makeResolver();
    occupyAllFourWorkers(*resolver);
    std::uint64_t last = 0;
    for (int i = 0; i < HostResolver::kMostWaiting; ++i) {
        ASSERT_NE(last = lookup(*resolver, "waiting"), 0U) << i;
    }
    EXPECT_EQ(lookup(*resolver, "one too many"), 0U);
    EXPECT_EQ(lookup(*other, "elsewhere"), 0U);
    resolver->cancel(last);
    EXPECT_NE(lookup(*other, "elsewhere"), 0U);
    // Requests dropped with their resolver give their places back.
    resolver.reset();
    EXPECT_NE(lookup(*other, "afterwards"), 0U);
}

TEST_F(HostResolverTest, TwoLookupsTogetherRunOnTwoWorkers) {
    auto resolver = makeResolver();
    held_->release(true);
    ASSERT_NE(lookup(*resolver, "first"), 0U);
    ASSERT_TRUE(runInboxUntil([&] { return answered_ == 1 && resolver->idleWorkers() == 1; }));

    held_->release(false);
    ASSERT_NE(lookup(*resolver, "a"), 0U);
    ASSERT_NE(lookup(*resolver, "b"), 0U);
    EXPECT_TRUE(held_->waitFor([&] { return held_->inside == 2; }));
}

}  // namespace
