#include "relay/lingering_closer.h"

#include <algorithm>

#include "platform/socket_event_loop.h"
#include "platform/socket_wait.h"
#include "platform/tcp_queues.h"
#include "platform/wsa_error.h"

namespace {
using namespace std::chrono_literals;

// A peer that neither reads nor ends for this long is given up on.
constexpr auto kQuietBound = 10s;
// However much a peer trickles, lingering ends after this.
constexpr auto kTotalBound = 60s;
constexpr auto kSweepInterval = 100ms;
constexpr std::size_t kScratchBytes = std::size_t{16} * 1024;
// Reads per wake-up, so one chatty peer cannot hold the thread.
constexpr int kReadsPerWake = 16;

// A reset connection keeps reporting the unsent count it had; nothing of it can be sent.
int sendableBytes(int fd) {
    return connectionReset(fd) ? 0 : unsentBytes(fd);
}

// Closing loses nothing and sends a FIN when nothing is unread and nothing unsent in the
// kernel. After the peer's end neither matters: everything before it has been read, and the
// kernel still sends what it holds, since no later data from the peer can turn the close
// into a reset. One query tells both.
bool nothingAtStake(const CAsyncSocket& socket) {
    if (socket.peerEnded()) {
        return true;
    }
    CloseStakes stakes = closeStakes(socket.handle(), socket.bytesRead());
    return stakes.reset || (!stakes.unread && !stakes.unsent);
}

}  // namespace

LingeringSocket::LingeringSocket(LingeringCloser& owner, std::uint64_t serial, SendRing queue,
                                 bool resetAtEnd)
    : owner_(owner),
      serial_(serial),
      queue_(std::move(queue)),
      resetAtEnd_(resetAtEnd),
      started_(Clock::now()),
      deadline_(started_ + kQuietBound) {}

LingeringSocket::~LingeringSocket() {
    if (isOpen() && !failed_ && (resetAtEnd_ || undelivered())) {
        SetResetOnClose();
    }
}

void LingeringSocket::progressed() {
    deadline_ = std::min(Clock::now() + kQuietBound, started_ + kTotalBound);
}

void LingeringSocket::flush() {
    while (!queue_.empty()) {
        SendRing::Spans data = queue_.dataSpans();
        int sent = SendFrom(data.first, static_cast<int>(data.firstLength), data.second,
                            static_cast<int>(data.secondLength));
        if (sent == SOCKET_ERROR) {
            // Would-block arms OnSend; anything else means the peer is gone.
            failed_ = WSAGetLastError() != WSAEWOULDBLOCK;
            return;
        }
        queue_.consume(static_cast<std::uint32_t>(sent));
        progressed();
    }
    if (!streamEnded_ && !resetAtEnd_) {
        streamEnded_ = true;
        ShutDown(SHUT_WR);
    }
}

bool LingeringSocket::done() {
    if (failed_ || !isOpen()) {
        return true;
    }
    if (resetAtEnd_) {
        // Its peer has it all: the reset loses nothing.
        return !undelivered();
    }
    if (!queue_.empty() || !streamEnded_ || !peerEnded()) {
        return false;
    }
    return sendableBytes(handle()) <= 0;
}

bool LingeringSocket::undelivered() {
    return isOpen() && !failed_ && (!queue_.empty() || sendableBytes(handle()) > 0);
}

bool LingeringSocket::stalled(Clock::time_point now) {
    // The kernel's queue shrinking means the peer still reads.
    int unsent = sendableBytes(handle());
    if (unsent != lastUnsent_) {
        lastUnsent_ = unsent;
        progressed();
    }
    return deadline_ <= now;
}

void LingeringSocket::drain() {
    std::vector<unsigned char>& scratch = owner_.scratch();
    for (int round = 0; round < kReadsPerWake * 4; ++round) {
        if (Receive(scratch.data(), static_cast<int>(scratch.size())) <= 0) {
            return;
        }
    }
}

void LingeringSocket::maybeFinish() {
    if (done()) {
        owner_.finished(serial_);  // destroys this object
    }
}

void LingeringSocket::OnReceive(int nErrorCode) {
    failed_ = failed_ || nErrorCode != 0;
    std::vector<unsigned char>& scratch = owner_.scratch();
    for (int round = 0; round < kReadsPerWake && !failed_; ++round) {
        int n = Receive(scratch.data(), static_cast<int>(scratch.size()));
        if (n > 0) {
            progressed();
            continue;
        }
        // 0 is the peer's end (the socket notes it); would-block re-arms this notification.
        failed_ = n < 0 && WSAGetLastError() != WSAEWOULDBLOCK;
        break;
    }
    maybeFinish();
}

void LingeringSocket::OnSend(int nErrorCode) {
    failed_ = failed_ || nErrorCode != 0;
    if (!failed_) {
        flush();
    }
    maybeFinish();
}

void LingeringSocket::OnClose(int nErrorCode) {
    // A reset leaves nothing to protect; a plain end is what we wait for.
    failed_ = failed_ || nErrorCode != 0;
    maybeFinish();
}

LingeringCloser::LingeringCloser() : scratch_(kScratchBytes) {}

LingeringCloser::~LingeringCloser() {
    closeAll();
}

void LingeringCloser::close(CAsyncSocket& stream, SendRing queue, End end) {
    if (!stream.isOpen()) {
        return;
    }
    if (end == End::Reset && queue.empty() &&
        !closeStakes(stream.handle(), stream.bytesRead()).unsent) {
        stream.SetResetOnClose();
        stream.Close();
        return;
    }
    if (end == End::Clean && queue.empty() && nothingAtStake(stream)) {
        // With nothing unread, closing is the orderly end in both directions by itself.
        stream.Close();
        return;
    }
    if (sockets_.size() >= kMaxLingering) {
        closeNow(leastProgressed());
    }
    std::uint64_t serial = nextSerial_++;
    auto socket =
        std::make_unique<LingeringSocket>(*this, serial, std::move(queue), end == End::Reset);
    socket->TakeOver(stream);
    LingeringSocket& added = *socket;
    sockets_.emplace(serial, std::move(socket));
    added.flush();
    if (added.done()) {
        finished(serial);
        return;
    }
    if (!sweepTimer_.active()) {
        sweepTimer_.startRepeating(
            std::chrono::duration_cast<std::chrono::milliseconds>(kSweepInterval),
            [this] { sweep(); });
    }
}

LingeringCloser::Sockets::iterator LingeringCloser::leastProgressed() {
    return std::min_element(sockets_.begin(), sockets_.end(), [](const auto& a, const auto& b) {
        return a.second->deadline() < b.second->deadline();
    });
}

void LingeringCloser::closeNow(Sockets::iterator entry) {
    // Read away first, so that a clean close sends a FIN; the socket resets as it goes if it
    // still holds bytes.
    entry->second->drain();
    sockets_.erase(entry);
}

void LingeringCloser::closeAll() {
    while (!sockets_.empty()) {
        closeNow(sockets_.begin());
    }
    sweepTimer_.cancel();
}

void LingeringCloser::finishWithin(std::chrono::milliseconds grace) {
    auto deadline = LingeringSocket::Clock::now() + grace;
    SocketWait ready;
    std::vector<std::uint64_t> serials;
    for (;;) {
        for (auto entry = sockets_.begin(); entry != sockets_.end();) {
            auto current = entry++;
            if (current->second->done() || current->second->delivered()) {
                closeNow(current);
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - LingeringSocket::Clock::now());
        if (sockets_.empty() || left.count() <= 0) {
            return;
        }
        ready.clear();
        serials.clear();
        for (auto& [serial, socket] : sockets_) {
            ready.add(socket->handle(), socket->wantsToSend());
            serials.push_back(serial);
        }
        // Short waits: only asking the kernel tells that its queue has gone out.
        if (!ready.wait(std::min(left, std::chrono::milliseconds{20}))) {
            return;
        }
        for (std::size_t i = 0; i < ready.size(); ++i) {
            serveReady(serials[i], ready.writable(i), ready.readable(i));
        }
    }
}

void LingeringCloser::serveReady(std::uint64_t serial, bool writable, bool readable) {
    // Each handler may finish the socket, which destroys it: look it up again after each.
    if (writable) {
        auto found = sockets_.find(serial);
        if (found != sockets_.end()) {
            found->second->OnSend(0);
        }
    }
    if (readable) {
        auto found = sockets_.find(serial);
        if (found != sockets_.end()) {
            found->second->OnReceive(0);
        }
    }
}

void LingeringCloser::finished(std::uint64_t serial) {
    sockets_.erase(serial);
    if (sockets_.empty()) {
        sweepTimer_.cancel();
    }
}

void LingeringCloser::sweep() {
    auto now = LingeringSocket::Clock::now();
    for (auto entry = sockets_.begin(); entry != sockets_.end();) {
        auto current = entry++;
        if (current->second->done()) {
            sockets_.erase(current);
        } else if (current->second->stalled(now)) {
            closeNow(current);
        }
    }
    if (sockets_.empty()) {
        sweepTimer_.cancel();
    }
}
