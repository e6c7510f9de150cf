#include "service/core/server/LoginBans.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "platform/eventloop/SocketAddress.h"

namespace orvyn {

size_t CLoginBans::KeyHash::operator()(const Key& k) const {
    uint64_t a = 0;
    uint64_t b = 0;
    std::memcpy(&a, k.data(), 8);
    std::memcpy(&b, k.data() + 8, 8);
    return static_cast<size_t>(a * 0x9E3779B97F4A7C15ULL ^ (b + 0x632BE59BD9B4E019ULL + (a << 6) + (a >> 2)));
}

bool CLoginBans::KeyOf(const sockaddr* addr, socklen_t len, Key& key) {
    key.fill(0);
    if (addr == nullptr) return false;
    if (addr->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        key[10] = key[11] = 0xff;
        std::memcpy(key.data() + 12, eventloop::IPv4Bytes(addr), 4);
        return true;
    }
    if (addr->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        std::memcpy(key.data(), reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr.s6_addr, 16);
        return true;
    }
    return false;
}

bool CLoginBans::IsLoopback(const Key& key) {
    static const Key kLoopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const bool mapped = std::all_of(key.begin(), key.begin() + 10, [](uint8_t b) { return b == 0; }) &&
                        key[10] == 0xff && key[11] == 0xff;
    return key == kLoopback6 || (mapped && key[12] == 127);
}

long CLoginBans::NoteFailure(const sockaddr* addr, socklen_t len, int64_t now, const BanPolicy& policy) {
    Key key;
    if (policy.failures <= 0 || policy.windowSeconds <= 0 || policy.banSeconds <= 0) return 0;
    if (!KeyOf(addr, len, key) || (!policy.loopback && IsLoopback(key))) return 0;
    auto it = entries_.find(key);
    if (it == entries_.end()) {
        if (entries_.size() >= kMaxAddresses) Forget(entries_.find(order_.front()));
        order_.push_back(key);
        Entry fresh;
        fresh.windowStart = now;
        fresh.age = std::prev(order_.end());
        it = entries_.emplace(key, fresh).first;
    } else {
        order_.splice(order_.end(), order_, it->second.age);
    }
    Entry& e = it->second;
    if (e.bannedUntil > now) return 0;  // already banned (a session from before the ban)
    const int64_t window = policy.windowSeconds;
    if (now - e.windowStart >= 2 * window) {
        e.previous = 0;
        e.current = 0;
        e.windowStart = now;
    } else if (now - e.windowStart >= window) {
        e.previous = e.current;
        e.current = 0;
        e.windowStart += window;
    }
    ++e.current;
    // The part of the previous window that still lies within the last
    // `window` seconds, counted at its average rate.
    const double overlap = 1.0 - static_cast<double>(now - e.windowStart) / static_cast<double>(window);
    const double recent = e.current + e.previous * std::max(0.0, overlap);
    if (recent + 1e-9 < static_cast<double>(policy.failures)) return 0;
    e.bannedUntil = now + policy.banSeconds;
    e.previous = 0;
    e.current = 0;
    e.windowStart = now;
    return policy.banSeconds;
}

bool CLoginBans::Banned(const sockaddr* addr, socklen_t len, int64_t now) const {
    if (entries_.empty()) return false;
    Key key;
    if (!KeyOf(addr, len, key)) return false;
    const auto it = entries_.find(key);
    return it != entries_.end() && it->second.bannedUntil > now;
}

void CLoginBans::Expire(int64_t now, const BanPolicy& policy) {
    const int64_t window = std::max<long>(policy.windowSeconds, 1);
    for (auto it = entries_.begin(); it != entries_.end();) {
        const Entry& e = it->second;
        if (e.bannedUntil <= now && now - e.windowStart >= 2 * window) {
            order_.erase(e.age);
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

void CLoginBans::Forget(std::unordered_map<Key, Entry, KeyHash>::iterator it) {
    if (it == entries_.end()) return;
    order_.erase(it->second.age);
    entries_.erase(it);
}

}  // namespace orvyn
