#include "platform/socket_loop_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "platform/socket_event_loop.h"

namespace {

using namespace std::chrono_literals;

// Calls run on the loop's thread and have finished when call() returns; between calls the
// loop runs by itself (a timer fires with nobody calling), and it ends with its owner.
TEST(SocketLoopThread, CallsRunThereAndTheLoopRunsOnItsOwn) {
    auto thread = std::make_unique<SocketLoopThread>();
    ASSERT_TRUE(thread->isOpen());

    std::thread::id ranOn;
    SocketEventLoop* loop = nullptr;
    thread->call([&] {
        ranOn = std::this_thread::get_id();
        loop = SocketEventLoop::current();
    });
    EXPECT_NE(ranOn, std::thread::id());
    EXPECT_NE(ranOn, std::this_thread::get_id());
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(SocketEventLoop::current(), nullptr);

    std::promise<std::thread::id> fired;
    thread->call(
        [&] { loop->runAfter(20ms, [&] { fired.set_value(std::this_thread::get_id()); }); });
    std::future<std::thread::id> firedOn = fired.get_future();
    ASSERT_EQ(firedOn.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(firedOn.get(), ranOn);

    // A timer still due when the thread ends never runs.
    bool late = false;
    thread->call([&] { loop->runAfter(1h, [&] { late = true; }); });
    thread.reset();
    EXPECT_FALSE(late);
}

// A cancelled timer never runs, a repeating one runs until cancelled, and work that throws
// hands its exception to the caller of call().
TEST(SocketLoopThread, TimersCancelAndCallsPassExceptionsBack) {
    SocketLoopThread thread;
    ASSERT_TRUE(thread.isOpen());
    std::atomic<int> once{0};
    std::atomic<int> repeated{0};
    std::promise<void> thirdRun;
    SocketEventLoop* loop = nullptr;
    SocketEventLoop::TimerId every = 0;
    thread.call([&] {
        loop = SocketEventLoop::current();
        loop->cancel(loop->runAfter(10ms, [&] { ++once; }));
        every = loop->runEvery(5ms, [&] {
            if (++repeated == 3) {
                thirdRun.set_value();
            }
        });
    });
    ASSERT_EQ(thirdRun.get_future().wait_for(5s), std::future_status::ready);
    thread.call([&] { loop->cancel(every); });
    int runs = repeated.load();
    std::size_t left = 1;
    thread.call([&] { left = loop->timerCount(); });
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(repeated.load(), runs);
    EXPECT_EQ(once.load(), 0);
    EXPECT_THROW(thread.call([] { throw std::runtime_error("from the loop"); }),
                 std::runtime_error);
}

}  // namespace
