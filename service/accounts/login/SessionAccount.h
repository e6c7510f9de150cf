// Who is logged in on one FTP session, where, and with which rights: the
// account's credentials, the options read from the user's settings at login,
// the home and current directories, the restriction root that confines every
// path of the session, the rights and the virtual directories.
//
// One object per session, owned by it. USER, REIN and the end of the session
// put it back to its empty state (Reset); only the count of failed logins
// survives that, because it counts the attempts of the whole connection.
#pragma once

#include <memory>
#include <string>

#include "platform/accounts/Token.h"
#include "service/accounts/paths/PathRights.h"
#include "service/accounts/paths/VirtualDirs.h"
#include "service/accounts/users/UserSettings.h"

namespace orvyn {

class ILogSink;

// Anonymous e-mail shown when an anonymous user gave no password.
inline constexpr const char* kNoEmail = "{none}";
// Longest anonymous e-mail kept.
inline constexpr size_t kMaxAnonymousEmail = 50;

class CSessionAccount {
public:
    CSessionAccount() = default;
    CSessionAccount(const CSessionAccount&) = delete;
    CSessionAccount& operator=(const CSessionAccount&) = delete;

    // Back to nobody: token closed, options cleared, directories and root
    // empty, rights and maps emptied. The failed login count is kept.
    void Reset();

    // ---- credentials ------------------------------------------------------------
    const accounts::TokenPtr& token() const { return token_; }
    void setToken(accounts::TokenPtr token) { token_ = std::move(token); }
    void CloseToken() { token_.reset(); }

    // ---- options of the login ---------------------------------------------------
    bool anonymous() const { return anonymous_; }
    void setAnonymous(bool on) { anonymous_ = on; }
    const std::string& anonymousEmail() const { return anonymousEmail_; }
    void setAnonymousEmail(std::string email);
    bool administrator() const { return administrator_; }
    void setAdministrator(bool on) { administrator_ = on; }
    bool restricted() const { return restricted_; }
    void setRestricted(bool on) { restricted_ = on; }
    bool docutech() const { return docutech_; }
    void setDocutech(bool on) { docutech_ = on; }
    const NameSuffix& nameSuffix() const { return suffix_; }
    void setNameSuffix(NameSuffix suffix) { suffix_ = std::move(suffix); }

    // ---- failed logins ------------------------------------------------------------
    int failedLogins() const { return failedLogins_; }
    int CountFailedLogin() { return ++failedLogins_; }
    void ClearFailedLogins() { failedLogins_ = 0; }

    // ---- places --------------------------------------------------------------------
    // Disk paths. The home directory ends in "/"; the restriction root is
    // empty (no confinement) or ends in "/".
    const std::string& homeDirectory() const { return home_; }
    void setHomeDirectory(std::string dir) { home_ = std::move(dir); }
    const std::string& currentDirectory() const { return current_; }
    void setCurrentDirectory(std::string dir) { current_ = std::move(dir); }
    const std::string& restrictionRoot() const { return root_; }
    void setRestrictionRoot(std::string root) { root_ = std::move(root); }

    // The current directory as the client sees it: below the restriction
    // root, through the virtual directories; empty when the client cannot
    // see it.
    std::string FtpCurrentDirectory() const;

    // The login gate's check: acting as the user, the current directory must
    // still exist, else the session moves to the home directory, which must
    // exist then; the directory found must pass the restriction check (which
    // logs under conn when it fails). False when no directory is left.
    bool CheckDirectories(ILogSink* log, int conn);

    // ---- rights and virtual directories -------------------------------------------
    PathRights& rights() { return *rights_; }
    const PathRights& rights() const { return *rights_; }
    // The session's forward and back maps of virtual directories.
    VirtualDirs& maps() { return maps_; }
    const VirtualDirs& maps() const { return maps_; }

private:
    accounts::TokenPtr token_;
    bool anonymous_ = false;
    std::string anonymousEmail_;
    bool administrator_ = false;
    bool restricted_ = false;
    bool docutech_ = false;
    NameSuffix suffix_;
    int failedLogins_ = 0;
    std::string home_;
    std::string current_;
    std::string root_;
    // Replaced by an empty one on Reset, so nothing of an earlier login
    // (its token above all) outlives it.
    std::unique_ptr<PathRights> rights_ = std::make_unique<PathRights>();
    VirtualDirs maps_;
};

// Acts as the session's user on the file system for the lifetime of the
// object, through the session's rights (which hold the account's token), and
// always reverts when it ends. ok() is false when the identity could not be
// taken on: nothing may then be done on the account's behalf.
class UserIdentity {
public:
    explicit UserIdentity(PathRights& rights) : rights_(rights), ok_(rights.Impersonate()) {}
    ~UserIdentity() {
        if (ok_) rights_.Revert();
    }
    UserIdentity(const UserIdentity&) = delete;
    UserIdentity& operator=(const UserIdentity&) = delete;

    bool ok() const { return ok_; }

private:
    PathRights& rights_;
    bool ok_;
};

}  // namespace orvyn
