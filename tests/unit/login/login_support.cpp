#include "login_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "service/accounts/hash/PasswordHash.h"
#include "service/accounts/users/UserSettings.h"
#include "service/base/replies/Catalogue.h"

namespace orvyn::test {

FakeSession::FakeSession() : registry_(store_.store(), "Main", &log_) {
    // The instance key exists, as it does for a running instance.
    registry_.WriteInt(nullptr, "Port", 21);
}

std::string FakeSession::MakeDir(const std::string& name) {
    const std::filesystem::path p = store_.dir() / name;
    std::filesystem::create_directories(p);
    ::chmod(p.c_str(), 0755);
    return p.string() + "/";
}

void FakeSession::AddUser(const std::string& user, const std::string& password, const std::string& home) {
    CUserSettings users(registry_, nullptr);
    if (!password.empty()) users.SetPasswd(user, PasswordHash(password, NewSalt()));
    if (!home.empty()) users.SetHome(user, home);
    // Make sure the key exists even without values.
    SetUserValue(user, "Disabled", 0);
}

void FakeSession::SetUserValue(const std::string& user, const std::string& name, long value) {
    const std::string section = std::string("Users\\") + user;
    registry_.WriteInt(section.c_str(), name.c_str(), value);
}

void FakeSession::SetUserString(const std::string& user, const std::string& name, const std::string& value) {
    const std::string section = std::string("Users\\") + user;
    registry_.WriteString(section.c_str(), name.c_str(), value.c_str());
}

std::string FakeSession::ReplyTexts() const {
    std::string text;
    for (int n : replies) {
        const char* t = MessageText(n);
        text += t != nullptr ? t : "<missing " + std::to_string(n) + ">";
    }
    return text;
}

std::vector<std::string> FakeSession::LogLines() const {
    std::vector<std::string> lines;
    for (const auto& l : log_.lines) lines.push_back(std::string(1, l.category) + " " + l.text);
    return lines;
}

bool FakeSession::Logged(const std::string& line) const {
    for (const auto& l : LogLines()) {
        if (l == line) return true;
    }
    return false;
}

void FakeSession::ClearRecords() {
    replies.clear();
    log_.lines.clear();
    loginMessages.clear();
    holdTicks = 0;
    status.clear();
}

accounts::TokenPtr FakeAccounts::Token(const std::string& name, const std::string& home) {
    auto t = std::make_shared<accounts::Token>();
    t->name = name;
    t->uid = ::geteuid();
    t->gid = ::getegid();
    t->groups = {t->gid};
    t->home = home;
    return t;
}

accounts::LogonResult FakeAccounts::Logon(std::string_view account, std::string_view domain,
                                          std::string_view password, std::string_view) {
    calls.push_back(std::string(account) + "|" + std::string(domain) + "|" + std::string(password));
    const std::string key = domain.empty() ? std::string(account) : std::string(domain) + "\\" + std::string(account);
    accounts::LogonResult r;
    auto it = entries.find(key);
    if (it == entries.end() || (it->second.error == 0 && it->second.password != password)) {
        r.error = accounts::kLogonWrongPassword;
        r.errorText = accounts::LogonErrorText(r.error);
        return r;
    }
    if (it->second.error != 0) {
        r.error = it->second.error;
        r.errorText = accounts::LogonErrorText(r.error);
        return r;
    }
    r.ok = true;
    r.token = it->second.token;
    return r;
}

}  // namespace orvyn::test
