// A stand-in for the FTP session around a login: it records the replies,
// log lines and state changes the login makes, on a temporary store with one
// instance "Main" whose settings and users the test writes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/accounts/ExternalAuth.h"
#include "service/accounts/login/Login.h"
#include "service/accounts/login/SessionAccount.h"
#include "service/base/settings/ServerRegistry.h"
#include "tests/unit/settings/TempStore.h"

namespace orvyn::test {

class FakeSession final : public ILoginSession {
public:
    FakeSession();

    // ---- set-up --------------------------------------------------------------------
    CServerRegistry& settings() { return registry_; }
    // A folder below the temporary folder (created, mode 0755), ending in "/".
    std::string MakeDir(const std::string& name);
    std::string Path(const std::string& name) const { return store_.file(name); }
    // Writes the user's password hash and, when given, the home.
    void AddUser(const std::string& user, const std::string& password, const std::string& home = "");
    void SetUserValue(const std::string& user, const std::string& name, long value);
    void SetUserString(const std::string& user, const std::string& name, const std::string& value);

    LoginPolicy policyValue;
    bool protectedConnection = false;
    bool forcedStop = false;
    accounts::ExternalAuthLibrary library;

    // ---- what the login did -------------------------------------------------------
    // Catalogue numbers sent since the last Take.
    std::vector<int> replies;
    // The texts of those replies, joined.
    std::string ReplyTexts() const;
    // Log lines as "<category> <text>".
    std::vector<std::string> LogLines() const;
    bool Logged(const std::string& line) const;
    void ClearRecords();

    int failuresReported = 0;
    bool banned = false;
    int holdTicks = 0;
    bool accepting = true;
    std::string status;
    std::vector<std::string> loginMessages;

    // ---- ILoginSession -------------------------------------------------------------
    int connectionNumber() const override { return 7; }
    ILogSink& log() override { return log_; }
    CServerRegistry& registry() override { return registry_; }
    LoginPolicy policy() const override { return policyValue; }
    const accounts::ExternalAuthLibrary& externalAuth() const override { return library; }
    bool forcedStopReached() const override { return forcedStop; }
    bool controlProtected() const override { return protectedConnection; }
    std::string peerAddressText() const override { return "127.0.0.9"; }
    bool ClosingGate() override { return !accepting; }
    void ReplyText(int number) override { replies.push_back(number); }
    void SendLoginMessage(const std::string& directory) override { loginMessages.push_back(directory); }
    void SetStatus(const char* text) override { status = text; }
    void HoldReplies(int ticks) override { holdTicks = ticks; }
    void LoginFailed() override { ++failuresReported; }
    bool AddressBanned() override { return banned; }
    void StopAcceptingCommands() override { accepting = false; }
    // Asked and answered at once, as if the worker had been quick.
    bool AskAside(std::function<void()> ask, std::function<void(ILoginSession&)> answer) override {
        ask();
        answer(*this);
        return true;
    }
    const std::string& userName() const override { return user_; }
    void SetUserName(std::string name) override { user_ = std::move(name); }
    void SetUserDetail(std::string detail) override { detail_ = std::move(detail); }
    const std::string& userDetail() const { return detail_; }
    bool loggedIn() const { return loggedIn_; }
    void SetLoggedIn(bool on) override { loggedIn_ = on; }
    CSessionAccount& account() override { return account_; }

private:
    TempStore store_;
    RecordingLog log_;
    CServerRegistry registry_;
    std::string user_;
    std::string detail_;
    bool loggedIn_ = false;
    CSessionAccount account_;
};

// System accounts from a table: account name (as written, domain included)
// to its password and credentials, or to a logon error.
class FakeAccounts final : public ISystemAccounts {
public:
    struct Entry {
        std::string password;
        accounts::TokenPtr token;  // null: the logon fails with error
        int error = 0;
    };
    // An account of this process's own uid and gid, named name, with home.
    static accounts::TokenPtr Token(const std::string& name, const std::string& home);

    accounts::LogonResult Logon(std::string_view account, std::string_view domain, std::string_view password,
                                std::string_view remoteHost) override;
    std::string LastResortHome() override { return lastResort; }

    std::map<std::string, Entry> entries;  // key: "domain\account" or "account"
    std::string lastResort = "/";
    // Every logon asked for: "account|domain|password".
    std::vector<std::string> calls;
};

}  // namespace orvyn::test
