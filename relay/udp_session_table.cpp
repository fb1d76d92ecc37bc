#include "relay/udp_session_table.h"

#include <netinet/in.h>

#include <cstring>

ClientKey ClientKey::of(const SocketAddress& address) {
    ClientKey key;
    if (address.family() == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address.storage);
        std::memcpy(key.address.data(), &v6.sin6_addr, 16);
        key.scope = v6.sin6_scope_id;
        key.port = v6.sin6_port;
    } else if (address.family() == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address.storage);
        key.address[10] = 0xFF;
        key.address[11] = 0xFF;
        std::memcpy(key.address.data() + 12, &v4.sin_addr, 4);
        key.port = v4.sin_port;
    }
    return key;
}

std::size_t ClientKeyHash::operator()(const ClientKey& key) const {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, key.address.data(), 8);
    std::memcpy(&low, key.address.data() + 8, 8);
    std::uint64_t mixed =
        (low ^ (high * 0x9E3779B97F4A7C15ull)) + key.port + (std::uint64_t{key.scope} << 16);
    mixed ^= mixed >> 29;
    mixed *= 0xBF58476D1CE4E5B9ull;
    return static_cast<std::size_t>(mixed ^ (mixed >> 32));
}

UdpSession* UdpSessionTable::find(const ClientKey& key) const {
    auto found = byKey_.find(key);
    return found == byKey_.end() ? nullptr : found->second.get();
}

UdpSession& UdpSessionTable::add(std::unique_ptr<UdpSession> session) {
    UdpSession& added = *session;
    byKey_[added.key] = std::move(session);
    linkNewest(added);
    return added;
}

std::unique_ptr<UdpSession> UdpSessionTable::remove(UdpSession& session) {
    auto found = byKey_.find(session.key);
    if (found == byKey_.end() || found->second.get() != &session) {
        return nullptr;
    }
    unlink(session);
    std::unique_ptr<UdpSession> removed = std::move(found->second);
    byKey_.erase(found);
    return removed;
}

void UdpSessionTable::touch(UdpSession& session, std::chrono::steady_clock::time_point now) {
    session.lastActive = now;
    if (newest_ != &session) {
        unlink(session);
        linkNewest(session);
    }
}

void UdpSessionTable::unlink(UdpSession& session) {
    (session.newer != nullptr ? session.newer->older : newest_) = session.older;
    (session.older != nullptr ? session.older->newer : oldest_) = session.newer;
    session.newer = nullptr;
    session.older = nullptr;
}

void UdpSessionTable::linkNewest(UdpSession& session) {
    session.newer = nullptr;
    session.older = newest_;
    if (newest_ != nullptr) {
        newest_->newer = &session;
    }
    newest_ = &session;
    if (oldest_ == nullptr) {
        oldest_ = &session;
    }
}
