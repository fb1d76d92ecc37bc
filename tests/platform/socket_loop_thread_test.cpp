#include "platform/socket_loop_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
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

}  // namespace
