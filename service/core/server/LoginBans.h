// Failed logins per client address, across sessions, and the temporary bans
// they earn. A session counts its own failures for MaxHacks; this table
// stops a client that simply reconnects after each disconnect.
//
// The rate is a sliding window estimated from two fixed windows (the count of
// the previous window weighted by how much of it still overlaps, plus the
// count of the current one), so an address costs a fixed few bytes however
// many failures it makes. The table holds at most kMaxAddresses addresses;
// when full, the address that failed least recently is forgotten first.
//
// Not thread-safe: the instance uses it on the loop's thread only.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <list>
#include <unordered_map>

namespace orvyn {

struct BanPolicy {
    long failures = 20;       // Security\BanFailures: failed logins that ban (0: never)
    long windowSeconds = 600;  // Security\BanWindow: within this many seconds
    long banSeconds = 900;     // Security\BanSeconds: how long the ban lasts
    bool loopback = false;     // Security\BanLoopback: loopback callers can be banned too
};

class CLoginBans {
public:
    static constexpr size_t kMaxAddresses = 65536;

    // Counts a failed login from addr at now (seconds of a steady clock).
    // Returns the length of the ban this failure starts, or 0.
    long NoteFailure(const sockaddr* addr, socklen_t len, int64_t now, const BanPolicy& policy);
    // Whether addr is banned at now.
    bool Banned(const sockaddr* addr, socklen_t len, int64_t now) const;
    // Forgets what can no longer matter: ended bans and windows long past.
    void Expire(int64_t now, const BanPolicy& policy);

    size_t size() const { return entries_.size(); }

private:
    // IPv4 (also IPv4-mapped) as ::ffff:a.b.c.d; IPv6 as it is.
    using Key = std::array<uint8_t, 16>;
    struct KeyHash {
        size_t operator()(const Key& k) const;
    };
    struct Entry {
        int64_t windowStart = 0;
        uint32_t previous = 0;  // failures of the window before windowStart
        uint32_t current = 0;   // failures since windowStart
        int64_t bannedUntil = 0;
        std::list<Key>::iterator age;  // position in order_
    };

    static bool KeyOf(const sockaddr* addr, socklen_t len, Key& key);
    static bool IsLoopback(const Key& key);
    void Forget(std::unordered_map<Key, Entry, KeyHash>::iterator it);

    std::unordered_map<Key, Entry, KeyHash> entries_;
    std::list<Key> order_;  // least recently failed first
};

}  // namespace orvyn
