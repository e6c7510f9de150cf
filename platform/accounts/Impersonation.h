// Acting for a logged-on account on the file system.
//
// A session thread that opens, creates or lists files for a client takes on
// the client's file-system identity for the duration of the work, so the
// kernel's permission checks apply to the account and not to the service.
// Only the calling thread changes: the identity switch uses the per-thread
// fsuid/fsgid/supplementary-group system calls directly (the C library's
// wrappers would broadcast the change to every thread of the process).
//
// Switching identity needs root. When the service does not run as root every
// scope is inactive and file access happens with the service's own identity.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/accounts/Token.h"

namespace orvyn::accounts {

// True when the process can switch identities (effective uid 0).
bool CanImpersonate();

// True while a scope of the calling thread has given it a file-system uid or
// gid other than the process's own (the thread acts for an account).
bool ThreadActsForAnother();

// Takes on the token's uid, gid and supplementary groups as this thread's
// file-system identity; the destructor always restores the identity that was
// in effect before (also when leaving through an exception). Scopes nest: an
// inner scope restores the outer scope's identity.
//
// A null token, or a process that is not root, gives an inactive scope that
// changes nothing; so does a token whose identity the thread has already
// (each thread remembers the identity its scopes gave it, so nested scopes
// of the same identity cost no system call). A scope belongs to the thread
// that created it and must be destroyed on that thread; it cannot be copied
// or moved.
//
// When the kernel refuses the switch (for instance a uid that is not mapped in
// the service's user namespace), the constructor restores what it had changed
// and throws std::system_error: work must never go on with the service's own
// identity in place of the account's.
class ImpersonationScope {
public:
    explicit ImpersonationScope(const Token* token);
    ~ImpersonationScope();

    ImpersonationScope(const ImpersonationScope&) = delete;
    ImpersonationScope& operator=(const ImpersonationScope&) = delete;

    // True when this scope switched the thread's identity.
    bool active() const { return active_; }

private:
    bool active_ = false;
    uid_t savedFsuid_ = 0;
    gid_t savedFsgid_ = 0;
    std::vector<gid_t> savedGroups_;
};

// The process's own identity (its effective uid and gid) for the lifetime
// of the object, whoever the thread acts for at the moment: nests inside any
// scope and restores it. For what belongs to the service (the store, the
// log) while a thread works for an account; free on a thread that acts as
// itself. When the switch is refused the thread goes on as it is.
class ServiceScope {
public:
    ServiceScope();
    ServiceScope(const ServiceScope&) = delete;
    ServiceScope& operator=(const ServiceScope&) = delete;

private:
    std::optional<ImpersonationScope> scope_;
};

// Whether the token's account may access `path` with `mode` (any of R_OK,
// W_OK, X_OK, or F_OK for existence). Returns 0 when allowed, otherwise an
// errno value: EACCES (denied), ENOENT, ENOTDIR, ENAMETOOLONG, ELOOP, EINVAL
// (bad mode or empty path), or whatever stat reported.
//
// With a token the decision is made from the file's owner, group and mode bits
// (and its access ACL where the system has one), plus search permission on every
// directory on the way, as the kernel would decide for that account; it does
// not depend on the service running as root. A token for uid 0 has every
// access, except execute on a non-directory with no execute bit at all.
// Without a token (nullptr) the service's own effective identity is checked.
int AccessAs(const Token* token, const std::string& path, int mode);

// The modes among R_OK, W_OK and X_OK the token's account has on one object
// already examined with lstat (st, not a symbolic link) at `path`, decided as
// AccessAs decides the last step of a path; the caller vouches that the
// folder holding it can be reached. readOnlyMount: the object's file system
// is mounted read-only (no write to files and folders). Reads the object's
// ACL only when the account is neither root nor the owner and the group
// class grants something, so that judging a folder's entries costs no more
// than the lstat the caller made anyway.
int GrantedModes(const Token& token, std::string_view path, const struct stat& st, bool readOnlyMount);

// The process's own effective identity (uid, gid, supplementary groups) as a
// token, for judging with GrantedModes what AccessAs(nullptr, ...) judges.
Token ProcessToken();

}  // namespace orvyn::accounts
