#include "platform/eventloop/ReverseResolver.h"

#include <ares.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/eventloop/SocketAddress.h"
#include "platform/eventloop/Winsock.h"

namespace orvyn::eventloop {

namespace {

// Per-try time-out and tries: a name server that does not answer delays a
// connection that waits for its name by at most a few seconds.
constexpr int kTryTimeoutMs = 2000;
constexpr int kTries = 2;

bool InitLibrary() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS; });
    return ok;
}

}  // namespace

struct ReverseResolver::Query {
    ReverseResolver* owner;
    int handle;
};

ReverseResolver::ReverseResolver(WatchFn watch) : watch_(std::move(watch)) {}

ReverseResolver::~ReverseResolver() {
    if (channel_ != nullptr) {
        // Outstanding callbacks run now with ARES_EDESTRUCTION and only free
        // their query records.
        destroying_ = true;
        ares_destroy(channel_);
        channel_ = nullptr;
    }
}

bool ReverseResolver::EnsureChannel() {
    if (channel_ != nullptr) return true;
    if (!InitLibrary()) return false;
    ares_options opts{};
    opts.sock_state_cb = &ReverseResolver::SockStateCb;
    opts.sock_state_cb_data = this;
    opts.timeout = kTryTimeoutMs;
    opts.tries = kTries;
    const int mask = ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    ares_channel ch = nullptr;
    if (ares_init_options(&ch, &opts, mask) != ARES_SUCCESS) {
        if (ch != nullptr) ares_destroy(ch);
        return false;
    }
    channel_ = ch;
    return true;
}

bool ReverseResolver::Start(const sockaddr* addr, socklen_t len, int handle) {
    if (addr == nullptr) return false;
    in_addr v4{};
    in6_addr v6{};
    const void* raw = nullptr;
    int rawLen = 0;
    int family = 0;
    if (addr->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        std::memcpy(&v4, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, sizeof v4);
        raw = &v4;
        rawLen = sizeof v4;
        family = AF_INET;
    } else if (addr->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        std::memcpy(&v6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, sizeof v6);
        if (const uint8_t* mapped = MappedIPv4Bytes(v6)) {
            std::memcpy(&v4, mapped, sizeof v4);
            raw = &v4;
            rawLen = sizeof v4;
            family = AF_INET;
        } else {
            raw = &v6;
            rawLen = sizeof v6;
            family = AF_INET6;
        }
    } else {
        return false;
    }
    if (!EnsureChannel()) return false;
    auto* q = new Query{this, handle};
    ++pending_;
    // May complete before returning (hosts file, immediate failure).
    ares_gethostbyaddr(channel_, raw, rawLen, family, &ReverseResolver::HostCb, q);
    return true;
}

void ReverseResolver::ProcessFd(int fd, bool readable, bool writable) {
    if (channel_ == nullptr) return;
    ares_process_fd(channel_, readable ? fd : ARES_SOCKET_BAD, writable ? fd : ARES_SOCKET_BAD);
}

void ReverseResolver::ProcessTimeouts() {
    if (channel_ == nullptr || pending_ == 0) return;
    ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
}

std::vector<ReverseResolver::Completion> ReverseResolver::TakeCompletions() {
    std::vector<Completion> out;
    out.swap(completions_);
    return out;
}

void ReverseResolver::SockStateCb(void* data, int fd, int readable, int writable) {
    auto* self = static_cast<ReverseResolver*>(data);
    if (self->watch_) self->watch_(fd, readable != 0, writable != 0);
}

void ReverseResolver::HostCb(void* arg, int status, int /*timeouts*/, ::hostent* host) {
    std::unique_ptr<Query> q(static_cast<Query*>(arg));
    ReverseResolver* self = q->owner;
    --self->pending_;
    if (status == ARES_EDESTRUCTION || self->destroying_) return;
    Completion c{q->handle, 0, {}};
    if (status == ARES_SUCCESS && host != nullptr && IsAcceptableName(host->h_name)) {
        c.hostName = host->h_name;
    } else {
        c.wsaError = status == ARES_SUCCESS ? WSANO_DATA : WsaFromAresStatus(status);
    }
    self->completions_.push_back(std::move(c));
}

int ReverseResolver::WsaFromAresStatus(int status) {
    switch (status) {
    case ARES_SUCCESS: return 0;
    case ARES_ENODATA: return WSANO_DATA;
    case ARES_ESERVFAIL:
    case ARES_ETIMEOUT:
    case ARES_ECONNREFUSED: return WSATRY_AGAIN;
    case ARES_ENOMEM: return WSAENOBUFS;
    case ARES_EBADFAMILY: return WSAEAFNOSUPPORT;
    default: return WSAHOST_NOT_FOUND;
    }
}

bool ReverseResolver::IsAcceptableName(const char* name) {
    if (name == nullptr || *name == '\0') return false;
    size_t n = 0;
    for (const char* p = name; *p != '\0'; ++p, ++n) {
        const auto c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c >= 0x7f || n >= kMaxHostName) return false;
    }
    return true;
}

}  // namespace orvyn::eventloop
