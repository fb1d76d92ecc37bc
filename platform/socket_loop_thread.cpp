#include "platform/socket_loop_thread.h"

#include <cassert>
#include <future>
#include <system_error>

#include "platform/loop_inbox.h"
#include "platform/socket_event_loop.h"

SocketLoopThread::SocketLoopThread() {
    std::promise<std::shared_ptr<LoopInbox>> started;
    std::future<std::shared_ptr<LoopInbox>> inbox = started.get_future();
    try {
        thread_ = std::thread([&started] {
            SocketEventLoop loop;
            if (!loop.isOpen()) {
                started.set_value(nullptr);
                return;
            }
            // The promise lives on the starting thread's stack: it is not touched after this.
            started.set_value(loop.inbox());
            loop.run();
        });
    } catch (const std::system_error&) {
        return;  // no thread to be had: the socket layer reports itself unusable
    }
    inbox_ = inbox.get();
}

SocketLoopThread::~SocketLoopThread() {
    if (inbox_ != nullptr) {
        inbox_->post([] { SocketEventLoop::current()->quit(); });
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SocketLoopThread::call(const std::function<void()>& work) {
    // From the loop's own thread the wait below would never end.
    assert(std::this_thread::get_id() != thread_.get_id() && "call from the loop's thread");
    if (inbox_ == nullptr) {
        return;
    }
    std::packaged_task<void()> task(work);
    std::future<void> done = task.get_future();
    // Shared, because the inbox copies what it holds; a task dropped unrun (the loop has
    // gone) breaks its promise, so the wait below ends either way.
    auto shared = std::make_shared<std::packaged_task<void()>>(std::move(task));
    if (!inbox_->post([shared] { (*shared)(); })) {
        return;
    }
    try {
        done.get();  // an exception of the work is thrown again here
    } catch (const std::future_error& dropped) {
        if (dropped.code() != std::future_errc::broken_promise) {
            throw;
        }
    }
}

void runOnSocketLoop(SocketLoopThread* thread, const std::function<void()>& work) {
    if (thread != nullptr) {
        thread->call(work);
    } else {
        work();
    }
}
