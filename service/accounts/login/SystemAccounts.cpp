// The system's accounts as the login sees them: PAM for the password, the
// password database for who the account is.
#include "platform/accounts/SystemLogon.h"
#include "service/accounts/login/LoginSession.h"

namespace orvyn {
namespace {

class PlatformAccounts final : public ISystemAccounts {
public:
    accounts::LogonResult Logon(std::string_view account, std::string_view domain, std::string_view password,
                                std::string_view remoteHost) override {
        return accounts::LogonUser(account, domain, password, remoteHost);
    }
    std::string LastResortHome() override { return accounts::LastResortHome(); }
};

}  // namespace

ISystemAccounts& SystemAccounts() {
    // Holds no state: one object serves every session.
    static PlatformAccounts accounts;
    return accounts;
}

}  // namespace orvyn
