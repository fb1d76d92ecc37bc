#include "relay/udp_port_quarantine.h"

#include <algorithm>

namespace {
using Clock = std::chrono::steady_clock;
// Datagrams dropped per wake-up of one socket, so that one flood cannot hold the thread.
constexpr unsigned kDropsPerWake = 64;
}  // namespace

void UdpPortQuarantine::hold(std::unique_ptr<UdpSession> session, std::chrono::milliseconds time) {
    if (!session || !session->socket.isOpen()) {
        return;  // no port was taken: nothing to keep
    }
    session->owner = this;
    session->pending.reset();
    Clock::time_point until = Clock::now() + time;
    // Kept in order of release, so that only the front is ever due.
    if (!held_.empty()) {
        until = std::max(until, held_.back().until);
    }
    held_.push_back({std::move(session), until});
    if (held_.size() == 1) {
        armTimer();
    }
}

void UdpPortQuarantine::answersReady(UdpSession& session) {
    discarded_ += session.socket.discardWaiting(kDropsPerWake);
}

void UdpPortQuarantine::release() {
    const Clock::time_point now = Clock::now();
    while (!held_.empty() && held_.front().until <= now) {
        held_.pop_front();
    }
    armTimer();
}

void UdpPortQuarantine::armTimer() {
    if (held_.empty()) {
        timer_.cancel();
        return;
    }
    const auto due =
        std::chrono::ceil<std::chrono::milliseconds>(held_.front().until - Clock::now());
    timer_.start(std::max(due, std::chrono::milliseconds{1}), [this] { release(); });
}
