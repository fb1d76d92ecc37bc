#pragma once

#include <functional>
#include <string>
#include <thread>

// Drains a pipe on a thread of its own and hands every chunk read to a callback, on that
// thread. Reading elsewhere than on the writer's thread is what keeps a writer from
// blocking itself on a full pipe.
//
// Ownership: owns the read end it is given and a wake-up pipe of its own.
// Thread: construct, start and destroy on one thread; the callback runs on the reader
// thread. Destruction reads what is still in the pipe, then joins the thread.
class CPipeReader {
  public:
    using Sink = std::function<void(std::string chunk)>;

    CPipeReader(int readFd, Sink sink);
    ~CPipeReader();
    CPipeReader(const CPipeReader&) = delete;
    CPipeReader& operator=(const CPipeReader&) = delete;

    // False when the thread or its wake-up pipe could not be made.
    bool start();

  private:
    void run();

    int readFd_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    Sink sink_;
    std::thread thread_;
};
