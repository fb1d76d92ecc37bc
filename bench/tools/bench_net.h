#pragma once

// Socket, pattern and argument helpers shared by the benchmark load tools. Plain POSIX,
// loopback only, and of the project only the test-support library, so the tools measure
// nothing but the kernel and the relay under test.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace bench {

void setNoDelay(int fd);

std::int64_t nowNs();

// Bytes of the deterministic test stream at the given offset: both ends of a
// transfer generate it independently, so every received byte can be checked.
void fillPattern(std::uint64_t offset, char* out, std::size_t len);

// Offset of the first byte that differs from the pattern, or len when all match.
std::size_t checkPattern(std::uint64_t offset, const char* data, std::size_t len);

// "--key value" pairs after the mode word; unknown keys are left for the caller.
class Args {
  public:
    Args(int argc, char** argv, int first);
    long long integer(const std::string& key, long long fallback) const;
    bool has(const std::string& key) const { return values_.count(key) != 0; }
    bool ok() const { return ok_; }

  private:
    std::map<std::string, std::string> values_;
    bool ok_ = true;
};

// The whole life of a server tool: "[--port P] [--max-seconds S]", a non-blocking
// loopback listener in an epoll set, "port N" on standard output once it listens, then
// events until the time is up. onListener runs when connections wait to be accepted,
// onEvent for every other descriptor. Returns the process's exit status.
int runServerTool(int argc, char** argv, const char* name, int& epollFd,
                  const std::function<void(int listener)>& onListener,
                  const std::function<void(int fd, std::uint32_t events)>& onEvent);

}  // namespace bench
