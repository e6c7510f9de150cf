#include "service/accounts/login/Login.h"

#include <string.h>

#include <cstdarg>
#include <filesystem>
#include <system_error>

#include "platform/sound/Sound.h"
#include "service/accounts/hash/PasswordHash.h"
#include "service/accounts/login/SessionAccount.h"
#include "service/accounts/paths/DiskPath.h"
#include "service/accounts/paths/FileProbe.h"
#include "service/accounts/paths/PathResolver.h"
#include "service/accounts/users/UserSettings.h"
#include "service/base/log/LogSink.h"
#include "service/base/replies/Catalogue.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn {

namespace {

// Longest user name a session keeps.
constexpr size_t kMaxLoginName = 50;
// Ticks a refused password's 530 is held back.
constexpr int kFailedLoginHoldTicks = 2;
// A well-formed stored hash that no account has: checked against when the
// name is unknown.
constexpr std::string_view kTimingDecoy = "q7ZxNWv0kR2mE";
// Logon failure that is refused without a log line: wrong name or password.
constexpr int kWrongNameOrPassword = 1326;

// A copy of a secret that is overwritten before its memory is given back.
class Secret {
public:
    explicit Secret(std::string_view text) : text_(text) {}
    ~Secret() { Wipe(); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret& operator=(std::string_view text) {
        Wipe();
        text_.assign(text);
        return *this;
    }
    const std::string& text() const { return text_; }

private:
    void Wipe() {
        explicit_bzero(text_.data(), text_.size());
        text_.clear();
    }
    std::string text_;
};

void BackslashesToSlashes(std::string& path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
}

// A home directory the server can work with: a clean absolute path that
// fits. Anything else (a relative path above all, which would be taken from
// the service's own current directory) counts as a home that does not exist.
bool UsableHome(const std::string& home) {
    return !home.empty() && home.size() <= kMaxDiskPath && !HasControlChars(home) && IsCleanAbsolute(home);
}

std::string ServiceCurrentDirectory() {
    std::error_code ec;
    std::filesystem::path cwd = std::filesystem::current_path(ec);
    return ec ? std::string() : cwd.string();
}

}  // namespace

// A login's question to PAM or to the external library: made ready on the
// network thread (Prepare), asked on any thread (Ask), and its answer taken
// in on the network thread (Answer). It owns everything Ask uses.
struct CLogin::Question {
    bool external = false;  // the library's question, else the system's
    accounts::ExternalAuthLibrary::Call library;
    int connection = 0;
    std::string user;
    bool refused = false;  // decided without asking
    bool logon = false;    // a system logon is made (not for an anonymous login without a guest account)
    ISystemAccounts* system = nullptr;
    std::string account, domain, settingsName, remoteHost;
    Secret secret{std::string_view()};
    accounts::ExternalAuthResult libraryAnswer;
    accounts::LogonResult logonAnswer;

    bool slow() const { return external || logon; }
    void Ask() {
        if (external) {
            libraryAnswer = library(connection, user, secret.text());
        } else if (logon) {
            logonAnswer = system->Logon(account, domain, secret.text(), remoteHost);
        }
        secret = std::string_view();
    }
};

void CLogin::Log(char category, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    session_.log().LogV(session_.connectionNumber(), category, format, ap);
    va_end(ap);
}

bool CLogin::RefuseForForbiddenClearText() {
    if (session_.controlProtected()) return false;
    if (!session_.registry().ReadFlag("TLS", "ForbidClearUser", false)) return false;
    session_.ReplyText(MSG_MUST_ENCRYPT);
    return true;
}

// ---- USER -------------------------------------------------------------------------

void CLogin::User(std::string_view arg) {
    if (session_.ClosingGate()) return;
    if (RefuseForForbiddenClearText()) return;

    // Whoever was logged in is logged out.
    session_.SetUserName(std::string());
    session_.SetUserDetail(std::string());
    session_.SetLoggedIn(false);
    session_.account().Reset();

    std::string name(arg.substr(0, kMaxLoginName));
    const size_t lineEnd = name.find_first_of("\r\n", 1);
    if (lineEnd != std::string::npos) name.resize(lineEnd);
    session_.SetUserName(name);

    const LoginPolicy policy = session_.policy();
    if (!policy.secure) {
        // No login required: the user is in at once; the login only finds
        // the home directory (any complaint of its follows the 230).
        session_.ReplyText(MSG_LOGGED_IN);
        session_.SetStatus("Success");
        Login(std::nullopt);
        session_.SetLoggedIn(true);
        return;
    }
    if (session_.forcedStopReached()) {
        session_.ReplyText(MSG_SERVER_DOWN);
        session_.StopAcceptingCommands();
        return;
    }
    // Only the exact names ask for an e-mail address; PASS treats every
    // spelling as anonymous.
    if (name == "anonymous" || name == "ftp") {
        session_.SetUserName("anonymous");
        if (!policy.allowAnon) {
            session_.SetUserName(std::string());
            session_.ReplyText(MSG_ANON_NOT_ALLOWED);
            Log('A', "Anonymous access disabled - attempt denied");
            session_.SetStatus("Fail");
            return;
        }
        session_.ReplyText(MSG_ANON_ALLOWED);
        session_.ReplyText(MSG_ANON_EMAIL);
    }
    session_.ReplyText(MSG_GIVE_PASSWORD);
    session_.SetStatus("Success");
}

// ---- PASS and the login -----------------------------------------------------------------

void CLogin::Pass(std::string_view password) {
    session_.SetStatus("Fail");
    if (session_.ClosingGate()) return;
    if (RefuseForForbiddenClearText()) return;
    // A ban that began after this connection was accepted ends its guessing
    // too: no password is tried while the address is banned.
    if (session_.AddressBanned()) {
        session_.ReplyText(MSG_ADDRESS_BANNED);
        Log('!', "Login refused - address %s is under a ban", session_.peerAddressText().c_str());
        session_.SetLoggedIn(false);
        session_.StopAcceptingCommands();
        return;
    }
    Login(password);
}

bool CLogin::Login(std::optional<std::string_view> password) {
    CSessionAccount& account = session_.account();
    const bool anonymous = IsAnonymousName(session_.userName());
    // Every spelling of the anonymous names ("FTP", "Anonymous") is the
    // anonymous user, with its home, rights entries and virtual directories.
    if (anonymous) session_.SetUserName("anonymous");
    account.CountFailedLogin();
    account.CloseToken();

    const std::string_view given = password.value_or(std::string_view());
    std::shared_ptr<Question> q = session_.policy().secure ? Prepare(session_.userName(), given) : nullptr;
    if (q && q->slow()) {
        // PAM and the library may take their time (a directory server that
        // does not answer): the question is asked on a worker, and the
        // session's commands wait for the answer.
        ISystemAccounts& system = system_;
        std::shared_ptr<Secret> typed = password ? std::make_shared<Secret>(*password) : nullptr;
        auto answered = [q, typed, anonymous, &system](ILoginSession& later) {
            CLogin login(later, system);
            accounts::TokenPtr token;
            std::string home;
            const bool ok = login.Answer(*q, token, home);
            const std::optional<std::string_view> text =
                typed ? std::optional<std::string_view>(typed->text()) : std::nullopt;
            login.Conclude(text, anonymous, ok, std::move(token), home);
        };
        if (session_.AskAside([q] { q->Ask(); }, std::move(answered))) return false;
    }
    accounts::TokenPtr token;
    std::string home;
    bool ok = false;
    if (q) {
        q->Ask();
        ok = Answer(*q, token, home);
    } else {
        ok = Authenticate(session_.userName(), given, token, home);
    }
    return Conclude(password, anonymous, ok, std::move(token), home);
}

bool CLogin::Conclude(std::optional<std::string_view> password, bool anonymous, bool ok, accounts::TokenPtr token,
                      const std::string& home) {
    const LoginPolicy policy = session_.policy();
    CSessionAccount& account = session_.account();
    CServerRegistry& registry = session_.registry();
    if (ok && token != nullptr && !anonymous) {
        // From here on the account's own spelling of its name decides whose
        // settings apply.
        if (token->name.empty()) {
            ok = false;
        } else {
            session_.SetUserName(token->name.substr(0, kMaxLoginName));
        }
    }
    CUserSettings users(registry, &session_.log());
    if (ok && users.Disabled(session_.userName())) {
        Log('!', "User %s tried to log in while disabled\n", session_.userName().c_str());
        ok = false;
    }

    bool loggedIn = false;
    if (ok) {
        account.setToken(std::move(token));
        loggedIn = Admit(policy, anonymous, home, password);
    } else {
        session_.LoginFailed();
        if (policy.maxHacks != 0 && account.failedLogins() >= policy.maxHacks) {
            session_.ReplyText(MSG_TOO_MANY_ATTEMPTS);
            Log('!', "*** Too many attempts at user/password from site %s ***", session_.peerAddressText().c_str());
            session_.SetLoggedIn(false);
            session_.StopAcceptingCommands();
            return false;
        }
        session_.HoldReplies(kFailedLoginHoldTicks);
        session_.ReplyText(MSG_PASSWORD_INCORRECT);
        Log('C', "PASSword not accepted");
    }
    session_.SetLoggedIn(loggedIn);

    std::string shown = "not";
    if (anonymous) {
        if (loggedIn) {
            const std::string email =
                password && !password->empty() ? std::string(*password) : std::string(kNoEmail);
            Log('A', "Anonymous user logged in - pass=%s", email.c_str());
            session_.SetUserName("anonymous");
            account.setAnonymousEmail(email);
            session_.SetUserDetail(account.anonymousEmail());
            shown = session_.userName();
        }
    } else if (loggedIn && !session_.userName().empty()) {
        shown = session_.userName();
    }
    Log('L', "User %s logged in.", shown.c_str());
    session_.SetStatus(loggedIn ? "Success" : "Fail");

    if (loggedIn && registry.ReadInt("Messages", "PlayHelloSound", 0) == 1) {
        sound::PlaySoundAsync(registry.ReadString("Messages", "HelloSound", ""), "hello");
    }
    return loggedIn;
}

bool CLogin::Admit(const LoginPolicy& policy, bool anonymous, const std::string& givenHome,
                   std::optional<std::string_view> password) {
    // A home written with "//", "." or ".." is the folder they lead to.
    std::string home = givenHome;
    if (!home.empty() && home[0] == '/' && !IsCleanAbsolute(home) && !HasControlChars(home)) {
        if (std::optional<std::string> clean = OwnJoin("/", home)) home = WithTrailingSlash(*clean);
    }
    CSessionAccount& account = session_.account();
    CServerRegistry& registry = session_.registry();
    const int conn = session_.connectionNumber();
    const std::string user = session_.userName();
    CUserSettings users(registry, &session_.log());

    account.ClearFailedLogins();
    // Paths here have no short forms to expand: the home is used as it is.
    account.setHomeDirectory(home);
    account.setCurrentDirectory(home);

    const bool administrator = users.RemoteAdmin(user) && !anonymous;
    account.setAdministrator(administrator);
    account.setRestricted(users.Restricted(user) && !administrator);
    account.setNameSuffix(users.AddSuffix(user, conn));
    account.setDocutech(users.XeroxDocutech(user));
    account.setAnonymous(anonymous);

    std::string root;
    if (!policy.restrictToDirectory.empty() && policy.secure) {
        root = policy.restrictToDirectory;
        BackslashesToSlashes(root);
        root = WithTrailingSlash(root);
    }
    const bool usable = UsableHome(home);
    const bool restrictionOk = RestrictionCheck(home, root, account.maps(), &session_.log(), conn);
    if (restrictionOk && account.restricted() && policy.secure) root = WithTrailingSlash(home);
    account.setRestrictionRoot(root);

    account.rights().Load(registry, user, root, account.token(), false, policy.secureDefault);
    // The home is judged as the user; replies and log lines wait until the
    // service is itself again (the log is written as the service).
    bool exists = false;
    int mask = 0;
    bool refused = true;
    {
        UserIdentity asUser(account.rights());
        exists = asUser.ok() && usable && IsDirectory(home);
        mask = exists ? account.rights().GetRights(WithTrailingSlash(home), true) : 0;
        refused = !exists || (policy.secure && (!restrictionOk || mask == 0));
    }

    bool loggedIn = false;
    if (refused) {
        session_.ReplyText(MSG_HOME_INACCESSIBLE);
        std::string reasons;
        auto add = [&reasons](const char* reason) {
            if (!reasons.empty()) reasons += ", ";
            reasons += reason;
        };
        if (!restrictionOk) add("Restriction failed");
        if (!exists) add("Directory not found");
        if (mask == 0) add("User has no rights");
        if (reasons.empty()) add("Unknown reason");
        Log('!', "Home directory %s for user %s not accessible - %s", home.c_str(), user.c_str(), reasons.c_str());
        account.setAdministrator(false);
    } else {
        if (password) {
            session_.SendLoginMessage(home);
            session_.ReplyText(MSG_LOGGED_IN);
        }
        Log('C', "PASSword accepted");
        loggedIn = true;
    }

    account.maps().Clear();
    if (loggedIn) account.maps().Load(registry, user);
    return loggedIn;
}

// ---- Authenticate ---------------------------------------------------------------------

bool CLogin::Authenticate(std::string_view user, std::string_view password, accounts::TokenPtr& token,
                          std::string& home) {
    token.reset();
    home.clear();
    if (!session_.policy().secure) return HomeFallback(user, home);
    if (std::shared_ptr<Question> q = Prepare(user, password)) {
        q->Ask();
        return Answer(*q, token, home);
    }
    return AuthenticateOwnStore(user, password, home) && HomeFallback(user, home);
}

std::shared_ptr<CLogin::Question> CLogin::Prepare(std::string_view user, std::string_view password) {
    auto q = std::make_shared<Question>();
    q->connection = session_.connectionNumber();
    q->user = std::string(user);
    const accounts::ExternalAuthLibrary& library = session_.externalAuth();
    if (library.loaded()) {
        // The library's answer stands as it is: its home gets no fallback.
        q->external = true;
        q->library = library.caller();
        q->secret = password;
        return q;
    }
    if (!session_.policy().ntsam) return nullptr;

    const bool anonymous = IsAnonymousName(user);
    // Names of other spellings get past USER; with anonymous logins off they
    // are refused here too, never logged on as the guest or as nobody.
    if (anonymous && !session_.policy().allowAnon) {
        q->refused = true;
        return q;
    }
    CServerRegistry& registry = session_.registry();
    q->account = std::string(user);
    q->secret = password;
    q->settingsName = std::string(user);
    q->logon = true;
    if (anonymous) {
        // Anonymous users act as the configured guest account, or as nobody.
        const std::string guest = registry.ReadString("Security", "AnonUser", "Guest");
        if (guest.empty()) {
            q->logon = false;
        } else {
            q->account = guest;
            q->secret = registry.ReadString("Security", "AnonPass", "");
        }
    }
    if (q->logon) {
        const size_t sep = q->account.find_first_of("\\/");
        if (sep != std::string::npos) {
            q->domain = q->account.substr(0, sep);
            q->account.erase(0, sep + 1);
        } else if (q->account.find('@') == std::string::npos) {
            // A principal name (user@realm) names its own domain.
            q->domain = registry.ReadString("Security", "DefaultDomain", "");
        }
        q->system = &system_;
        q->remoteHost = session_.peerAddressText();
    }
    return q;
}

bool CLogin::Answer(Question& q, accounts::TokenPtr& token, std::string& home) {
    token.reset();
    home.clear();
    if (q.external) {
        accounts::ExternalAuthResult& r = q.libraryAnswer;
        home = r.home;
        BackslashesToSlashes(home);
        if (!r.tokenError.empty()) {
            Log('!', "External authentication of user %s refused - %s", q.user.c_str(), r.tokenError.c_str());
        }
        token = std::move(r.token);
        return r.accepted;
    }
    if (q.refused) return false;

    std::string settingsName = q.settingsName;
    if (q.logon) {
        accounts::LogonResult& r = q.logonAnswer;
        if (!r.ok) {
            if (r.error != kWrongNameOrPassword) {
                Log('!', "LogonUser(\"%.100s\",\"%.100s\",...) error %d - %.100s", q.account.c_str(),
                    q.domain.empty() ? "NULL" : q.domain.c_str(), r.error, r.errorText.c_str());
            }
            return false;
        }
        if (r.token == nullptr || r.token->name.empty()) {
            Log('!', "Unable to get user from handle - no space.");
            return false;
        }
        token = std::move(r.token);
        settingsName = token->name;
    }

    CUserSettings users(session_.registry(), &session_.log());
    auto take = [&](const std::string& candidate) {
        if (candidate.size() > kMaxDiskPath) {
            Log('!', "Home directory for user %s is too long.", settingsName.c_str());
            return false;
        }
        if (candidate.empty()) return false;
        home = candidate;
        return true;
    };
    if (!take(users.OwnHome(settingsName))) {
        const bool fromAccount = !IsAnonymousName(settingsName) && token != nullptr && take(token->home);
        if (!fromAccount && !take(users.DefaultHome())) take(system_.LastResortHome());
    }
    return HomeFallback(q.user, home);
}

bool CLogin::AuthenticateOwnStore(std::string_view user, std::string_view password, std::string& home) {
    home.clear();
    if (IsAnonymousName(user) && session_.policy().allowAnon) return true;
    CUserSettings users(session_.registry(), &session_.log());
    std::string stored = users.Passwd(user);
    if (stored.size() > kMaxStoredPasswd) stored.resize(kMaxStoredPasswd);
    if (stored.empty() || user.empty()) {
        // An unknown name costs what a wrong password costs, so that the time
        // of the refusal does not tell which names exist.
        static_cast<void>(PasswordMatches(password, kTimingDecoy));
        return false;
    }
    return PasswordMatches(password, stored);
}

bool CLogin::HomeFallback(std::string_view user, std::string& home) {
    if (home.empty()) {
        CUserSettings users(session_.registry(), &session_.log());
        home = users.Home(user);
        if (home.empty() && !session_.policy().secure) home = ServiceCurrentDirectory();
    }
    BackslashesToSlashes(home);
    if (home.empty()) return true;
    if (home.back() != '/') home += '/';
    // Refused rather than cut: a shortened path would name another folder.
    if (home.size() > kMaxDiskPath) {
        const std::string name(user);
        Log('!', "User %s has too long a home directory.", name.c_str());
        home.clear();
        return false;
    }
    return true;
}

}  // namespace orvyn
