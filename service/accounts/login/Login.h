// The USER and PASS commands and the login behind them.
//
// USER names the user (and with Secure 0 logs in at once); PASS checks the
// password through Authenticate, which asks the instance's external
// authentication library when one is loaded, else the own password store or,
// with ServerType "NTSAM", the system's accounts. A successful login reads
// the user's options, confines the session (restriction root), loads its
// rights, checks the home directory as the user and fills the virtual
// directories. Failed logins are counted per connection: the MaxHacks-th
// closes it, every other one holds its 530 back for two timer ticks.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/accounts/Token.h"
#include "service/accounts/login/LoginSession.h"

namespace orvyn {

class CLogin {
public:
    explicit CLogin(ILoginSession& session, ISystemAccounts& system = SystemAccounts())
        : session_(session), system_(system) {}

    // The USER command with its argument.
    void User(std::string_view name);
    // The PASS command with its (possibly empty) argument.
    void Pass(std::string_view password);

    // The login for the session's user name; password is nullopt for the
    // login USER makes by itself with Secure 0 (no 230 of its own then).
    // Returns whether the session is logged in afterwards.
    bool Login(std::optional<std::string_view> password);

    // Decides whether user may log in with password: on acceptance token
    // holds the account's credentials (or none) and home the home directory
    // (ending in "/", except where the external library supplied it). Asks
    // PAM or the external library on the calling thread.
    bool Authenticate(std::string_view user, std::string_view password, accounts::TokenPtr& token,
                      std::string& home);

private:
    // A login's question to PAM or to the external library (Login.cpp).
    struct Question;

    // The question Authenticate has to ask for user, or null when the own
    // password store (or nobody) decides.
    std::shared_ptr<Question> Prepare(std::string_view user, std::string_view password);
    // Authenticate's decision once the question has been answered.
    bool Answer(Question& q, accounts::TokenPtr& token, std::string& home);
    // The rest of the login once Authenticate has decided.
    bool Conclude(std::optional<std::string_view> password, bool anonymous, bool ok, accounts::TokenPtr token,
                  const std::string& home);
    bool AuthenticateOwnStore(std::string_view user, std::string_view password, std::string& home);
    bool HomeFallback(std::string_view user, std::string& home);
    // Success path of the login: options, root, rights, home check. Returns
    // whether the user is logged in.
    bool Admit(const LoginPolicy& policy, bool anonymous, const std::string& home,
               std::optional<std::string_view> password);
    bool RefuseForForbiddenClearText();
    void Log(char category, const char* format, ...) __attribute__((format(printf, 3, 4)));

    ILoginSession& session_;
    ISystemAccounts& system_;
};

}  // namespace orvyn
