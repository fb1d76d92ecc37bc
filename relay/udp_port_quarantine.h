#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "platform/loop_timer.h"
#include "relay/udp_session.h"

// Ended sessions, each kept with its socket open for a while, so that the kernel cannot hand
// the session's local port to a new session (connected to the same destination) while the
// destination's late answers to the old client may still come; those answers are read here
// and dropped. Each goes, oldest first, once its time is up; the owner bounds the count.
// Ownership: owns the sessions it holds. Thread: the relay's.
class UdpPortQuarantine final : private UdpSessionOwner {
  public:
    UdpPortQuarantine() = default;
    ~UdpPortQuarantine() = default;
    UdpPortQuarantine(const UdpPortQuarantine&) = delete;
    UdpPortQuarantine& operator=(const UdpPortQuarantine&) = delete;

    // Keeps an ended session for the given time when its socket is open; otherwise it goes now.
    void hold(std::unique_ptr<UdpSession> session, std::chrono::milliseconds time);
    std::size_t size() const { return held_.size(); }
    // Answers dropped since the start.
    std::uint64_t discarded() const { return discarded_; }

  private:
    struct Held {
        std::unique_ptr<UdpSession> session;
        std::chrono::steady_clock::time_point until;
    };

    void answersReady(UdpSession& session) override;
    void sessionError(UdpSession& /*session*/, int /*wsaError*/) override {}
    void release();
    void armTimer();

    std::deque<Held> held_;
    std::uint64_t discarded_ = 0;
    LoopTimer timer_;
};
