#include "platform/datagram_batch.h"

#include <cerrno>
#include <cstring>

DatagramBatch::DatagramBatch()
    // Left uninitialised: untouched pages cost no memory.
    : data_(new char[static_cast<std::size_t>(kCount) * kSlotBytes]) {
    for (unsigned slot = 0; slot < kCount; ++slot) {
        inParts_[slot] = {slot_(slot), kSlotBytes};
        in_[slot].msg_hdr.msg_iov = &inParts_[slot];
        in_[slot].msg_hdr.msg_iovlen = 1;
        out_[slot].msg_hdr.msg_iov = &outParts_[slot];
        out_[slot].msg_hdr.msg_iovlen = 1;
    }
}

int DatagramBatch::receive(int fd, bool withSources) {
    for (unsigned slot = 0; slot < kCount; ++slot) {
        msghdr& header = in_[slot].msg_hdr;
        header.msg_name = withSources ? sources_[slot].get() : nullptr;
        header.msg_namelen = withSources ? sizeof sources_[slot].storage : 0;
        header.msg_control = withSources ? control_[slot].data() : nullptr;
        header.msg_controllen = withSources ? sizeof control_[slot] : 0;
        header.msg_flags = 0;
    }
    int received = 0;
    do {
        received = recvmmsg(fd, in_.data(), kCount, MSG_DONTWAIT, nullptr);
    } while (received < 0 && errno == EINTR);
    for (int slot = 0; withSources && slot < received; ++slot) {
        sources_[slot].length = in_[slot].msg_hdr.msg_namelen;
    }
    return received;
}

LocalAddress DatagramBatch::localAddress(unsigned slot) const {
    LocalAddress local;
    msghdr header = in_[slot].msg_hdr;
    if (header.msg_control == nullptr) {
        return local;
    }
    for (cmsghdr* part = CMSG_FIRSTHDR(&header); part != nullptr;
         part = CMSG_NXTHDR(&header, part)) {
        if (part->cmsg_level == IPPROTO_IPV6 && part->cmsg_type == IPV6_PKTINFO) {
            local.family = AF_INET6;
            std::memcpy(&local.v6, CMSG_DATA(part), sizeof local.v6);
        } else if (part->cmsg_level == IPPROTO_IP && part->cmsg_type == IP_PKTINFO) {
            local.family = AF_INET;
            std::memcpy(&local.v4, CMSG_DATA(part), sizeof local.v4);
        }
    }
    return local;
}

unsigned DatagramBatch::sendPrepared(int fd, unsigned count, int& error) {
    error = 0;
    unsigned next = 0;
    unsigned sentCount = 0;
    unsigned refusalsTaken = 0;
    while (next < count) {
        int sent = sendmmsg(fd, out_.data() + next, count - next, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            next += static_cast<unsigned>(sent);
            sentCount += static_cast<unsigned>(sent);
            continue;
        }
        const int failure = sent < 0 ? errno : EAGAIN;
        if (failure == EINTR) {
            continue;
        }
        if (error == 0) {
            error = failure;
        }
        if (failure == EAGAIN || failure == EWOULDBLOCK || failure == ENOBUFS) {
            break;  // the socket is full: what is left is dropped, as the network may
        }
        if (failure == ECONNREFUSED && refusalsTaken++ < count) {
            continue;  // an earlier datagram's answer, not this one's fate
        }
        ++next;  // this one alone cannot go (too long for the path, say): the others still do
    }
    return sentCount;
}

unsigned DatagramBatch::sendSlots(int fd, const unsigned* slots, unsigned count, int& error) {
    for (unsigned i = 0; i < count; ++i) {
        outParts_[i] = {slot_(slots[i]), in_[slots[i]].msg_len};
        msghdr& header = out_[i].msg_hdr;
        header.msg_name = nullptr;
        header.msg_namelen = 0;
        header.msg_control = nullptr;
        header.msg_controllen = 0;
    }
    return sendPrepared(fd, count, error);
}

unsigned DatagramBatch::sendTo(int fd, unsigned first, unsigned count, const SocketAddress& to,
                               const LocalAddress& from, int& error) {
    std::size_t controlLength = 0;
    if (from.family != 0) {
        msghdr probe{};
        probe.msg_control = sendControl_.data();
        probe.msg_controllen = sizeof sendControl_;
        cmsghdr* part = CMSG_FIRSTHDR(&probe);
        const bool v6 = from.family == AF_INET6;
        part->cmsg_level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
        part->cmsg_type = v6 ? IPV6_PKTINFO : IP_PKTINFO;
        part->cmsg_len = v6 ? CMSG_LEN(sizeof from.v6) : CMSG_LEN(sizeof from.v4);
        // The address alone: the route picks the interface.
        in6_pktinfo v6Info{from.v6.ipi6_addr, 0};
        // The local address the datagram came in on (for a broadcast, not the broadcast).
        in_pktinfo v4Info{};
        v4Info.ipi_spec_dst = from.v4.ipi_spec_dst;
        std::memcpy(CMSG_DATA(part), v6 ? static_cast<const void*>(&v6Info) : &v4Info,
                    v6 ? sizeof v6Info : sizeof v4Info);
        controlLength = v6 ? CMSG_SPACE(sizeof v6Info) : CMSG_SPACE(sizeof v4Info);
    }
    for (unsigned i = 0; i < count; ++i) {
        outParts_[i] = {slot_(first + i), in_[first + i].msg_len};
        msghdr& header = out_[i].msg_hdr;
        header.msg_name = const_cast<sockaddr*>(to.get());
        header.msg_namelen = to.length;
        header.msg_control = controlLength != 0 ? sendControl_.data() : nullptr;
        header.msg_controllen = controlLength;
    }
    return sendPrepared(fd, count, error);
}
