#include "platform/accounts/SystemLogon.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace orvyn::accounts {

namespace {

constexpr const char* kPamService = "orvyn";
constexpr size_t kMaxNameBytes = 256;
constexpr size_t kMaxPasswordBytes = 512;  // PAM's own limit on a response

bool PrintableName(std::string_view s) {
    return std::none_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

// Overwrites a string that held a password before it is freed.
void Wipe(std::string& s) {
    explicit_bzero(s.data(), s.size());
    s.clear();
}

struct Conversation {
    const char* password;
};

// Answers PAM's prompts without anyone to ask: hidden prompts get the
// password, messages are acknowledged, visible prompts cannot be answered.
extern "C" int Converse(int count, const struct pam_message** msgs, struct pam_response** out, void* data) {
    if (count <= 0 || count > PAM_MAX_NUM_MSG || msgs == nullptr || out == nullptr) {
        return PAM_CONV_ERR;
    }
    *out = nullptr;
    auto* conv = static_cast<Conversation*>(data);
    auto* replies = static_cast<pam_response*>(calloc(static_cast<size_t>(count), sizeof(pam_response)));
    if (replies == nullptr) {
        return PAM_BUF_ERR;
    }
    for (int i = 0; i < count; ++i) {
        switch (msgs[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            replies[i].resp = strdup(conv->password);
            if (replies[i].resp == nullptr) {
                for (int j = 0; j < i; ++j) {
                    if (replies[j].resp != nullptr) {
                        explicit_bzero(replies[j].resp, strlen(replies[j].resp));
                        free(replies[j].resp);
                    }
                }
                free(replies);
                return PAM_BUF_ERR;
            }
            break;
        case PAM_TEXT_INFO:
        case PAM_ERROR_MSG:
            break;
        default:  // PAM_PROMPT_ECHO_ON and anything unknown
            for (int j = 0; j < i; ++j) {
                if (replies[j].resp != nullptr) {
                    explicit_bzero(replies[j].resp, strlen(replies[j].resp));
                    free(replies[j].resp);
                }
            }
            free(replies);
            return PAM_CONV_ERR;
        }
    }
    *out = replies;
    return PAM_SUCCESS;
}

// Replaces PAM's sleep after a failed attempt.
extern "C" void NoFailDelay(int, unsigned, void*) {}

LogonResult Failure(int error, std::string detail = {}) {
    LogonResult r;
    r.error = error;
    r.errorText = LogonErrorText(error);
    if (!detail.empty()) {
        r.errorText += " (" + detail + ")";
    }
    return r;
}

// Maps a PAM result of pam_authenticate or pam_acct_mgmt onto a failure number.
int MapPamResult(int rc) {
    switch (rc) {
    case PAM_AUTH_ERR:
    case PAM_USER_UNKNOWN:
        return kLogonWrongPassword;
    case PAM_CRED_INSUFFICIENT:
        return kLogonPrivilegeNotHeld;
    case PAM_PERM_DENIED:
        return kLogonAccountRestriction;
    case PAM_NEW_AUTHTOK_REQD:
    case PAM_AUTHTOK_EXPIRED:
    case PAM_CRED_EXPIRED:
        return kLogonPasswordExpired;
    case PAM_ACCT_EXPIRED:
        return kLogonAccountExpired;
    case PAM_MAXTRIES:
        return kLogonAccountLockedOut;
    case PAM_AUTHINFO_UNAVAIL:
    case PAM_CRED_UNAVAIL:
        return kLogonNoLogonServers;
    default:
        return kLogonInternalError;
    }
}

// Owns one PAM transaction.
class PamTransaction {
public:
    PamTransaction(const std::string& user, Conversation* conv) : conv_{&Converse, conv} {
        status_ = pam_start(kPamService, user.c_str(), &conv_, &handle_);
    }
    ~PamTransaction() {
        if (handle_ != nullptr) {
            pam_end(handle_, status_);
        }
    }
    PamTransaction(const PamTransaction&) = delete;
    PamTransaction& operator=(const PamTransaction&) = delete;

    pam_handle_t* handle() const { return handle_; }
    int status() const { return status_; }
    int record(int rc) {
        status_ = rc;
        return rc;
    }
    std::string error(int rc) const { return pam_strerror(handle_, rc); }

private:
    pam_conv conv_;
    pam_handle_t* handle_ = nullptr;
    int status_ = PAM_SUCCESS;
};

// getpwnam_r/getpwuid_r with a buffer that grows as needed.
template <typename Lookup>
bool ReadPasswd(Lookup lookup, struct passwd& pw, std::vector<char>& buf) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    buf.resize(hint > 0 ? static_cast<size_t>(hint) : 4096);
    for (;;) {
        struct passwd* found = nullptr;
        int rc = lookup(&pw, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        return rc == 0 && found != nullptr;
    }
}

std::vector<gid_t> GroupsOf(const char* name, gid_t gid) {
    int n = 32;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    for (int tries = 0; tries < 8; ++tries) {
        int want = n;
        if (getgrouplist(name, gid, groups.data(), &want) >= 0) {
            groups.resize(static_cast<size_t>(want));
            return groups;
        }
        n = std::max(want, n * 2);
        groups.resize(static_cast<size_t>(n));
    }
    return {gid};
}

}  // namespace

std::string LogonErrorText(int error) {
    switch (error) {
    case kLogonOk:
        return {};
    case kLogonPrivilegeNotHeld:
        return "privilege not held - the user context running ORVYN Pro must 'act as part of operating system'.";
    case kLogonAccountRestriction:
        return "user account restriction.";
    case kLogonTimeRestriction:
        return "account logon time restriction violation.";
    case kLogonWorkstationRestriction:
        return "user not allowed to log on to this computer.";
    case kLogonPasswordExpired:
        return "the account's password has expired.";
    case kLogonAccountDisabled:
        return "account currently disabled.";
    case 1380:
    case kLogonTypeNotGranted:
        return "the user has not been granted the requested logon type at this computer.";
    case kLogonWrongPassword:
        return "The user name or password is incorrect.";
    case kLogonNoLogonServers:
        return "There are currently no logon servers available to service the logon request.";
    case kLogonNoneMapped:
        return "No mapping between account names and security IDs was done.";
    case kLogonAccountExpired:
        return "The user's account has expired.";
    case kLogonAccountLockedOut:
        return "The referenced account is currently locked out and may not be logged on to.";
    case kLogonInternalError:
        return "An internal error occurred.";
    default:
        return "Unknown error " + std::to_string(error) + ".";
    }
}

TokenPtr AccountToken(std::string_view account) {
    if (account.empty() || account.size() > kMaxNameBytes || account.find('\0') != std::string_view::npos) {
        return nullptr;
    }
    std::string name(account);
    struct passwd pw;
    std::vector<char> buf;
    if (!ReadPasswd([&](struct passwd* p, char* b, size_t n, struct passwd** r) {
            return getpwnam_r(name.c_str(), p, b, n, r);
        }, pw, buf)) {
        return nullptr;
    }
    auto token = std::make_shared<Token>();
    token->name = pw.pw_name;
    token->uid = pw.pw_uid;
    token->gid = pw.pw_gid;
    token->home = pw.pw_dir != nullptr ? pw.pw_dir : "";
    token->groups = GroupsOf(pw.pw_name, pw.pw_gid);
    return token;
}

LogonResult LogonUser(std::string_view account, std::string_view domainOrEmpty, std::string_view password,
                      std::string_view remoteHost) {
    if (account.empty() || account.size() > kMaxNameBytes || domainOrEmpty.size() > kMaxNameBytes ||
        password.size() > kMaxPasswordBytes || !PrintableName(account) || !PrintableName(domainOrEmpty) ||
        password.find('\0') != std::string_view::npos) {
        return Failure(kLogonWrongPassword);
    }
    std::string user;
    if (!domainOrEmpty.empty()) {
        user.append(domainOrEmpty).append("\\");
    }
    user.append(account);

    std::string secret(password);
    Conversation conv{secret.c_str()};
    {
        PamTransaction pam(user, &conv);
        if (pam.status() != PAM_SUCCESS || pam.handle() == nullptr) {
            Wipe(secret);
            return Failure(kLogonInternalError, pam_strerror(nullptr, pam.status()));
        }
        pam_set_item(pam.handle(), PAM_FAIL_DELAY, reinterpret_cast<const void*>(&NoFailDelay));
        if (!remoteHost.empty() && remoteHost.size() <= kMaxNameBytes && PrintableName(remoteHost)) {
            std::string host(remoteHost);
            pam_set_item(pam.handle(), PAM_RHOST, host.c_str());
        }
        int rc = pam.record(pam_authenticate(pam.handle(), PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK));
        if (rc == PAM_SUCCESS) {
            rc = pam.record(pam_acct_mgmt(pam.handle(), PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK));
        }
        if (rc != PAM_SUCCESS) {
            int error = MapPamResult(rc);
            std::string detail = error == kLogonInternalError ? pam.error(rc) : std::string();
            Wipe(secret);
            return Failure(error, detail);
        }
        // Modules may have mapped the name onto another account.
        const void* item = nullptr;
        if (pam_get_item(pam.handle(), PAM_USER, &item) == PAM_SUCCESS && item != nullptr) {
            user = static_cast<const char*>(item);
        }
    }
    Wipe(secret);

    LogonResult result;
    result.token = AccountToken(user);
    if (result.token == nullptr) {
        return Failure(kLogonNoneMapped);
    }
    result.ok = true;
    return result;
}

std::string AccountHome(std::string_view account) {
    TokenPtr token = AccountToken(account);
    return token != nullptr ? token->home : std::string();
}

TokenPtr ServiceToken() {
    auto token = std::make_shared<Token>();
    token->uid = geteuid();
    token->gid = getegid();
    int n = getgroups(0, nullptr);
    if (n > 0) {
        token->groups.resize(static_cast<size_t>(n));
        n = getgroups(n, token->groups.data());
        token->groups.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    if (std::find(token->groups.begin(), token->groups.end(), token->gid) == token->groups.end()) {
        token->groups.push_back(token->gid);
    }
    struct passwd pw;
    std::vector<char> buf;
    uid_t uid = token->uid;
    if (ReadPasswd([&](struct passwd* p, char* b, size_t len, struct passwd** r) {
            return getpwuid_r(uid, p, b, len, r);
        }, pw, buf)) {
        token->name = pw.pw_name;
        token->home = pw.pw_dir != nullptr ? pw.pw_dir : "";
    } else {
        token->name = std::to_string(uid);
    }
    return token;
}

std::string NearestExistingDirectory(std::string_view path) {
    std::string p(path);
    while (p.size() > 1) {
        while (p.size() > 1 && p.back() == '/') {
            p.pop_back();
        }
        struct stat st;
        if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            return p;
        }
        size_t slash = p.rfind('/');
        if (slash == std::string::npos || slash == 0) {
            break;
        }
        p.resize(slash);
    }
    return "/";
}

std::string LastResortHome(std::string_view path) {
    const std::string home(path);
    const size_t users = home.rfind('/');
    const size_t data = users == std::string::npos || users == 0 ? std::string::npos : home.rfind('/', users - 1);
    struct stat st;
    if (data != std::string::npos && data > 0 && stat(home.substr(0, data).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        // Fails harmlessly where it exists already or may not be made.
        (void)mkdir(home.substr(0, users).c_str(), 0755);
        (void)mkdir(home.c_str(), 0755);
    }
    return NearestExistingDirectory(home);
}

}  // namespace orvyn::accounts
