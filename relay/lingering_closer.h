#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/async_socket.h"
#include "platform/loop_timer.h"
#include "relay/send_ring.h"

class SocketEventLoop;
class LingeringCloser;

// A relayed socket whose pair has gone, closing without throwing data away.
//
// A socket closed while its peer still sends, or while the kernel still holds unsent bytes
// of it, answers the peer with a reset, and a reset discards whatever had not been delivered
// yet. So this socket first sends what the relay still held for the peer, then ends its
// stream (the kernel sends its queue and a FIN), reads and discards what the peer still
// sends, and closes once the peer has ended and the kernel has sent everything.
// One that is to end in a reset (what it carried was cut off at its source) sends no FIN:
// it resets once its peer has acknowledged everything, so the peer reads it all, then the
// reset.
// Ownership: owns its descriptor and the queue it was handed; belongs to a LingeringCloser.
// Thread: the relay's thread.
class LingeringSocket : public CAsyncSocket {
  public:
    using Clock = std::chrono::steady_clock;

    LingeringSocket(LingeringCloser& owner, std::uint64_t serial, SendRing queue,
                    bool resetAtEnd = false);
    // Resets the connection unless everything went out and it was to end cleanly.
    ~LingeringSocket() override;

    void OnReceive(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

    // Sends what it can of the queue and ends the stream once the queue is out.
    void flush();
    // True when nothing of ours is left to lose by closing now.
    bool done();
    // Reads away whatever waits, so that closing sends a FIN rather than a reset.
    void drain();
    // True while bytes for the peer are still held here or unsent in the kernel.
    bool undelivered();
    // True when everything for the peer has gone out and the end was sent after it.
    bool delivered() { return streamEnded_ && !undelivered(); }
    bool wantsToSend() const { return !queue_.empty(); }

    // True once the peer has neither taken nor sent anything for too long.
    bool stalled(Clock::time_point now);
    // Until when it may stay quiet; the earliest is the one that made the least progress.
    Clock::time_point deadline() const { return deadline_; }

  private:
    void progressed();
    void maybeFinish();

    LingeringCloser& owner_;
    std::uint64_t serial_;
    SendRing queue_;
    bool streamEnded_ = false;
    bool failed_ = false;
    bool resetAtEnd_ = false;
    Clock::time_point started_;
    Clock::time_point deadline_;
    int lastUnsent_ = -1;
};

// The sockets of one port that are closing without losing data: bounded in number and time.
//
// A socket with nothing at stake (nothing queued, nothing unread, nothing unsent in the
// kernel) is closed at once; only the others linger. While any linger, a sweep every tenth of
// a second closes those whose peer has ended and whose kernel queue is empty (no event tells
// that) and those past their deadline. Whenever one is closed before it has delivered
// everything (its deadline passed, it was evicted, the port stops), it is reset, so that its
// peer never takes a cut-off stream for a complete one; so is one handed over to end in a
// reset, as soon as its peer has everything (or it has nothing left to deliver).
// Ownership: owns the lingering sockets and a scratch buffer for discarded input; the loop is
// not owned. Thread: the relay's thread.
class LingeringCloser {
  public:
    // Past this many, the one that made the least progress is closed to make room, so that
    // peers which never read cannot push out the others cheaply.
    static constexpr std::size_t kMaxLingering = 1024;

    LingeringCloser();
    ~LingeringCloser();
    LingeringCloser(const LingeringCloser&) = delete;
    LingeringCloser& operator=(const LingeringCloser&) = delete;

    // How a closing socket ends once its bytes are out: a FIN, or a reset.
    enum class End { Clean, Reset };

    // Takes the stream's descriptor (and the bytes it still held for its peer) and closes it
    // without losing them; the stream is left without a socket.
    void close(CAsyncSocket& stream, SendRing queue, End end = End::Clean);
    // Lets the lingering sockets finish for at most the grace (in all, not each), serving
    // them here without the loop; the caller closes what is left.
    void finishWithin(std::chrono::milliseconds grace);
    // Closes every lingering socket now, reading away what waits first; those that still
    // hold bytes for their peer are reset.
    void closeAll();

    std::size_t size() const { return sockets_.size(); }

    // For LingeringSocket.
    void finished(std::uint64_t serial);
    std::vector<unsigned char>& scratch() { return scratch_; }

  private:
    using Sockets = std::map<std::uint64_t, std::unique_ptr<LingeringSocket>>;

    void sweep();
    void closeNow(Sockets::iterator entry);
    Sockets::iterator leastProgressed();
    void serveReady(std::uint64_t serial, bool writable, bool readable);

    Sockets sockets_;
    std::vector<unsigned char> scratch_;
    std::uint64_t nextSerial_ = 1;
    LoopTimer sweepTimer_;
};
