#include "platform/accounts/Impersonation.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <system_error>

namespace orvyn::accounts {

namespace {

// The kernel keeps credentials per thread; these go straight to the system
// calls so that only the calling thread changes. setfsuid/setfsgid return the
// previous value and never fail visibly, so success is checked by asking again
// with an invalid id, which changes nothing and returns the current value.
uid_t ThreadFsuid(uid_t uid) { return static_cast<uid_t>(syscall(SYS_setfsuid, uid)); }
gid_t ThreadFsgid(gid_t gid) { return static_cast<gid_t>(syscall(SYS_setfsgid, gid)); }
uid_t CurrentFsuid() { return ThreadFsuid(static_cast<uid_t>(-1)); }
gid_t CurrentFsgid() { return ThreadFsgid(static_cast<gid_t>(-1)); }

int ThreadSetGroups(const std::vector<gid_t>& groups) {
    return static_cast<int>(syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data()));
}

std::vector<gid_t> ThreadGroups() {
    int n = static_cast<int>(syscall(SYS_getgroups, 0, nullptr));
    if (n < 0) {
        throw std::system_error(errno, std::generic_category(), "getgroups");
    }
    std::vector<gid_t> groups(static_cast<size_t>(n));
    for (;;) {
        n = static_cast<int>(syscall(SYS_getgroups, groups.size(), groups.data()));
        if (n >= 0) {
            groups.resize(static_cast<size_t>(n));
            return groups;
        }
        if (errno != EINVAL) {
            throw std::system_error(errno, std::generic_category(), "getgroups");
        }
        // The list grew between the two calls; ask for its size again.
        groups.resize(static_cast<size_t>(syscall(SYS_getgroups, 0, nullptr)));
    }
}

// The identity this thread's scopes have given it; read from the kernel the
// first time a scope asks.
struct ThreadIdentity {
    bool known = false;
    uid_t fsuid = 0;
    gid_t fsgid = 0;
    std::vector<gid_t> groups;  // the supplementary groups as set
};
thread_local ThreadIdentity t_identity;

// The groups an identity's access checks use: the supplementary groups and
// the gid, sorted (a list that names the gid again grants nothing more).
std::vector<gid_t> AccessGroups(std::vector<gid_t> groups, gid_t gid) {
    if (std::find(groups.begin(), groups.end(), gid) == groups.end()) groups.push_back(gid);
    std::sort(groups.begin(), groups.end());
    return groups;
}

const ThreadIdentity& CurrentIdentity() {
    if (!t_identity.known) {
        t_identity.fsgid = CurrentFsgid();
        t_identity.fsuid = CurrentFsuid();
        t_identity.groups = ThreadGroups();
        t_identity.known = true;
    }
    return t_identity;
}

}  // namespace

bool CanImpersonate() {
    // The service never changes its effective uid.
    static const bool root = geteuid() == 0;
    return root;
}

bool ThreadActsForAnother() {
    if (!t_identity.known) return false;
    static const uid_t uid = geteuid();
    static const gid_t gid = getegid();
    return t_identity.fsuid != uid || t_identity.fsgid != gid;
}

ImpersonationScope::ImpersonationScope(const Token* token) {
    if (token == nullptr || !CanImpersonate()) {
        return;
    }
    std::vector<gid_t> groups = token->groups;
    if (std::find(groups.begin(), groups.end(), token->gid) == groups.end()) {
        groups.push_back(token->gid);
    }
    if (groups.size() > static_cast<size_t>(NGROUPS_MAX)) {
        groups.resize(static_cast<size_t>(NGROUPS_MAX));
    }
    const ThreadIdentity& now = CurrentIdentity();
    if (now.fsuid == token->uid && now.fsgid == token->gid &&
        AccessGroups(now.groups, now.fsgid) == AccessGroups(groups, token->gid)) {
        return;  // the thread has that identity already: access checks would not change
    }
    savedGroups_ = now.groups;
    savedFsgid_ = now.fsgid;
    savedFsuid_ = now.fsuid;

    // Groups and gid before the uid; the revert undoes them in reverse order.
    if (ThreadSetGroups(groups) != 0) {
        int err = errno;
        throw std::system_error(err, std::generic_category(), "setgroups");
    }
    ThreadFsgid(token->gid);
    ThreadFsuid(token->uid);
    if (CurrentFsgid() != token->gid || CurrentFsuid() != token->uid) {
        ThreadFsuid(savedFsuid_);
        ThreadFsgid(savedFsgid_);
        ThreadSetGroups(savedGroups_);
        throw std::system_error(EPERM, std::generic_category(),
                                "cannot take on uid " + std::to_string(token->uid) + " gid " +
                                    std::to_string(token->gid));
    }
    t_identity.fsuid = token->uid;
    t_identity.fsgid = token->gid;
    t_identity.groups = std::move(groups);
    active_ = true;
}

ImpersonationScope::~ImpersonationScope() {
    if (!active_) {
        return;
    }
    ThreadFsuid(savedFsuid_);
    ThreadFsgid(savedFsgid_);
    ThreadSetGroups(savedGroups_);
    t_identity.fsuid = savedFsuid_;
    t_identity.fsgid = savedFsgid_;
    t_identity.groups = std::move(savedGroups_);
}

ServiceScope::ServiceScope() {
    if (!ThreadActsForAnother()) return;
    static const Token service = [] {
        Token t;
        t.uid = geteuid();
        t.gid = getegid();
        t.groups = {t.gid};
        return t;
    }();
    try {
        scope_.emplace(&service);
    } catch (const std::system_error&) {
        // Could not switch: the work runs as the thread is.
    }
}

// ---------------------------------------------------------------------------
// Access decisions for a token, made the way the kernel makes them.

namespace {

constexpr int kMaxSymlinks = 40;  // as the kernel's path walk

// The POSIX access ACL as the kernel stores it in the system.posix_acl_access
// attribute: a little-endian version word (2) followed by 8-byte entries of
// tag, permission bits and id.
struct AclEntry {
    uint16_t tag;
    uint16_t perm;
    uint32_t id;
};

constexpr uint16_t kAclUserObj = 0x01;
constexpr uint16_t kAclUser = 0x02;
constexpr uint16_t kAclGroupObj = 0x04;
constexpr uint16_t kAclGroup = 0x08;
constexpr uint16_t kAclMask = 0x10;
constexpr uint16_t kAclOther = 0x20;

uint32_t Le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }

// Reads the access ACL of `path`; an empty result means none, or one that
// cannot be read, in which case the mode bits decide.
std::vector<AclEntry> ReadAccessAcl(const std::string& path) {
    std::vector<unsigned char> buf(4 + 8 * 32);
    ssize_t n = getxattr(path.c_str(), "system.posix_acl_access", buf.data(), buf.size());
    if (n < 0 && errno == ERANGE) {
        n = getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0);
        if (n <= 0 || n > 4 + 8 * 65536) {
            return {};
        }
        buf.resize(static_cast<size_t>(n));
        n = getxattr(path.c_str(), "system.posix_acl_access", buf.data(), buf.size());
    }
    if (n < 4 || Le32(buf.data()) != 2 || (n - 4) % 8 != 0) {
        return {};
    }
    std::vector<AclEntry> out;
    for (size_t off = 4; off < static_cast<size_t>(n); off += 8) {
        out.push_back({Le16(&buf[off]), Le16(&buf[off + 2]), Le32(&buf[off + 4])});
    }
    return out;
}

bool InGroup(const Token& token, gid_t gid) {
    return token.gid == gid || std::find(token.groups.begin(), token.groups.end(), gid) != token.groups.end();
}

// want: a subset of R_OK|W_OK|X_OK (4, 2, 1, the same values as rwx bits).
bool Allowed(unsigned granted, unsigned want) { return (granted & want) == want; }

bool AclPermits(const Token& token, const struct stat& st, const std::vector<AclEntry>& acl, unsigned want) {
    // Named users and every group entry are limited by the mask entry.
    unsigned mask = 7;
    for (const AclEntry& e : acl) {
        if (e.tag == kAclMask) {
            mask = e.perm & 7u;
        }
    }
    for (const AclEntry& e : acl) {
        if (e.tag == kAclUserObj && token.uid == st.st_uid) {
            return Allowed(e.perm & 7u, want);
        }
    }
    for (const AclEntry& e : acl) {
        if (e.tag == kAclUser && e.id == token.uid) {
            return Allowed(e.perm & mask, want);
        }
    }
    bool matchedGroup = false;
    for (const AclEntry& e : acl) {
        bool match = (e.tag == kAclGroupObj && InGroup(token, st.st_gid)) ||
                     (e.tag == kAclGroup && InGroup(token, static_cast<gid_t>(e.id)));
        if (match) {
            if (Allowed(e.perm & mask, want)) {
                return true;
            }
            matchedGroup = true;
        }
    }
    if (matchedGroup) {
        return false;
    }
    for (const AclEntry& e : acl) {
        if (e.tag == kAclOther) {
            return Allowed(e.perm & 7u, want);
        }
    }
    return false;
}

// The access ACL that can decide for token on one object (empty: the mode
// bits decide). Root never needs one, nor does the owner (the ACL's owner
// entry is the mode's owner bits); and the kernel consults the ACL only when
// the group class bits (the ACL's mask) grant something.
std::vector<AclEntry> DecidingAcl(const Token& token, std::string_view path, const struct stat& st) {
    if (token.uid == 0 || token.uid == st.st_uid || S_ISLNK(st.st_mode) || (st.st_mode & S_IRWXG) == 0) {
        return {};
    }
    return ReadAccessAcl(std::string(path));
}

// Permission of the token on one object whose stat is `st` and whose
// deciding ACL has been read already.
bool PermitsWith(const Token& token, const struct stat& st, const std::vector<AclEntry>& acl, unsigned want) {
    if (want == 0) {
        return true;
    }
    if (token.uid == 0) {
        // Root passes every check except execute of a non-directory that no
        // one may execute.
        return !((want & X_OK) && !S_ISDIR(st.st_mode) && (st.st_mode & 0111) == 0);
    }
    const bool extended =
        std::any_of(acl.begin(), acl.end(), [](const AclEntry& e) { return e.tag == kAclUser || e.tag == kAclGroup; });
    if (extended) {
        return AclPermits(token, st, acl, want);
    }
    unsigned bits;
    if (token.uid == st.st_uid) {
        bits = (st.st_mode >> 6) & 7u;
    } else if (InGroup(token, st.st_gid)) {
        bits = (st.st_mode >> 3) & 7u;
    } else {
        bits = st.st_mode & 7u;
    }
    return Allowed(bits, want);
}

// Permission of the token on one object whose stat is `st`, found at `path`.
bool Permits(const Token& token, const std::string& path, const struct stat& st, unsigned want) {
    if (want == 0) {
        return true;
    }
    return PermitsWith(token, st, DecidingAcl(token, path, st), want);
}

std::deque<std::string> SplitComponents(const std::string& path) {
    std::deque<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) {
            j = path.size();
        }
        if (j > i) {
            parts.emplace_back(path.substr(i, j - i));
        }
        i = j + 1;
    }
    return parts;
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string Parent(const std::string& dir) {
    size_t slash = dir.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

// Walks `path` component by component as the kernel would for the token,
// following symbolic links, and checks search permission on every directory
// passed through. On success `resolved` is the object reached and `st` its stat.
int WalkAs(const Token& token, const std::string& path, std::string& resolved, struct stat& st) {
    std::string start = path;
    if (start.empty() || start[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            return errno;
        }
        start = std::string(cwd) + "/" + start;
    }
    bool trailingSlash = start.size() > 1 && start.back() == '/';
    std::deque<std::string> todo = SplitComponents(start);
    std::string cur = "/";
    if (lstat("/", &st) != 0) {
        return errno;
    }
    int links = 0;
    while (!todo.empty()) {
        // `cur` is a directory; entering any name in it needs search permission.
        if (!Permits(token, cur, st, X_OK)) {
            return EACCES;
        }
        std::string name = std::move(todo.front());
        todo.pop_front();
        if (name == ".") {
            continue;
        }
        if (name.size() > NAME_MAX) {
            return ENAMETOOLONG;
        }
        std::string next = name == ".." ? Parent(cur) : Join(cur, name);
        struct stat nst;
        if (lstat(next.c_str(), &nst) != 0) {
            return errno;
        }
        if (S_ISLNK(nst.st_mode)) {
            if (++links > kMaxSymlinks) {
                return ELOOP;
            }
            char target[PATH_MAX];
            ssize_t n = readlink(next.c_str(), target, sizeof target - 1);
            if (n < 0) {
                return errno;
            }
            if (n == 0) {
                return ENOENT;
            }
            std::string t(target, static_cast<size_t>(n));
            std::deque<std::string> more = SplitComponents(t);
            todo.insert(todo.begin(), more.begin(), more.end());
            if (t[0] == '/') {
                cur = "/";
                if (lstat("/", &st) != 0) {
                    return errno;
                }
            }
            continue;
        }
        if (!todo.empty() && !S_ISDIR(nst.st_mode)) {
            return ENOTDIR;
        }
        cur = std::move(next);
        st = nst;
    }
    if (trailingSlash && !S_ISDIR(st.st_mode)) {
        return ENOTDIR;
    }
    resolved = std::move(cur);
    return 0;
}

}  // namespace

int AccessAs(const Token* token, const std::string& path, int mode) {
    if (path.empty() || path.find('\0') != std::string::npos || (mode & ~(R_OK | W_OK | X_OK)) != 0) {
        return EINVAL;
    }
    if (path.size() >= PATH_MAX) {
        return ENAMETOOLONG;
    }
    if (token == nullptr) {
        return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 ? 0 : errno;
    }
    std::string resolved;
    struct stat st;
    int err = WalkAs(*token, path, resolved, st);
    if (err != 0) {
        return err;
    }
    if (!Permits(*token, resolved, st, static_cast<unsigned>(mode))) {
        return EACCES;
    }
    if (mode & W_OK) {
        struct statvfs vfs;
        if (statvfs(resolved.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY) &&
            !(S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
            return EROFS;
        }
    }
    return 0;
}

int GrantedModes(const Token& token, std::string_view path, const struct stat& st, bool readOnlyMount) {
    const bool special = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    // One ACL read serves all three modes; each is judged on its own, as
    // AccessAs judges one mode at a time.
    const std::vector<AclEntry> acl = DecidingAcl(token, path, st);
    int modes = 0;
    for (const int mode : {R_OK, W_OK, X_OK}) {
        if (PermitsWith(token, st, acl, static_cast<unsigned>(mode))) modes |= mode;
    }
    if (readOnlyMount && !special) modes &= ~W_OK;
    return modes;
}

Token ProcessToken() {
    Token token;
    token.uid = geteuid();
    token.gid = getegid();
    const int n = getgroups(0, nullptr);
    if (n > 0) {
        token.groups.resize(static_cast<size_t>(n));
        const int got = getgroups(n, token.groups.data());
        token.groups.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
    if (std::find(token.groups.begin(), token.groups.end(), token.gid) == token.groups.end()) {
        token.groups.push_back(token.gid);
    }
    return token;
}

}  // namespace orvyn::accounts
