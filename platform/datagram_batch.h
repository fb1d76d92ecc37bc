#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <memory>

#include "platform/socket_address.h"

// The local address a datagram was sent to (IP_PKTINFO / IPV6_PKTINFO), so that the
// answer leaves from it; family 0 when the socket does not report it.
struct LocalAddress {
    int family = 0;
    in_pktinfo v4{};
    in6_pktinfo v6{};
};

// Room for one batch of whole datagrams, read with one recvmmsg and written with sendmmsg.
//
// Every slot holds the largest datagram either family can carry, so nothing is ever cut
// (MSG_TRUNC is still checked, by the caller). Made once per repeater: relaying allocates
// nothing per datagram. The pages of a slot are touched only by datagrams that reach them.
// Ownership: owns its memory. Thread: one at a time (the relay's).
class DatagramBatch {
  public:
    static constexpr unsigned kCount = 16;
    static constexpr std::size_t kSlotBytes = 65536;

    DatagramBatch();
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    // Reads up to kCount datagrams without waiting, with their sources and local addresses
    // when asked; the count, or -1 with errno (EAGAIN when none waits).
    int receive(int fd, bool withSources);

    const char* data(unsigned slot) const { return slot_(slot); }
    std::size_t length(unsigned slot) const { return in_[slot].msg_len; }
    bool truncated(unsigned slot) const { return (in_[slot].msg_hdr.msg_flags & MSG_TRUNC) != 0; }
    const SocketAddress& source(unsigned slot) const { return sources_[slot]; }
    LocalAddress localAddress(unsigned slot) const;

    // Sends the given slots, in that order, on a connected socket; or slots
    // first..first+count-1 to one peer from the given local address; returns how many went out.
    // error is the errno of the first failure (0 when all went). A full socket ends the sending;
    // a datagram that cannot go for itself is skipped and the rest still go. A refusal the kernel
    // kept from an earlier datagram is taken (error ECONNREFUSED), and the sending goes on.
    unsigned sendSlots(int fd, const unsigned* slots, unsigned count, int& error);
    unsigned sendTo(int fd, unsigned first, unsigned count, const SocketAddress& to,
                    const LocalAddress& from, int& error);

  private:
    // Enough for either family's packet-information message.
    using Control = std::array<std::max_align_t, 8>;

    char* slot_(unsigned slot) const { return data_.get() + slot * kSlotBytes; }
    unsigned sendPrepared(int fd, unsigned count, int& error);

    std::unique_ptr<char[]> data_;
    std::array<mmsghdr, kCount> in_{};
    std::array<mmsghdr, kCount> out_{};
    std::array<iovec, kCount> inParts_{};
    std::array<iovec, kCount> outParts_{};
    std::array<SocketAddress, kCount> sources_{};
    std::array<Control, kCount> control_{};
    Control sendControl_{};
};
