#include "applet/computer/SystemAccounts.h"

#include <pwd.h>
#include <shadow.h>
#include <sys/types.h>

#include <set>
#include <vector>

namespace orvyn::applet {

namespace {

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool Locked(std::string_view field) { return !field.empty() && (field[0] == '!' || field[0] == '*'); }

// The shadow entry's password field where this process may read it.
std::string ShadowField(const char* name) {
    spwd entry{};
    spwd* found = nullptr;
    std::vector<char> buffer(4096);
    if (getspnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->sp_pwdp)
        return {};
    return found->sp_pwdp;
}

}  // namespace

bool AccountCanLogIn(std::string_view shell, std::string_view passwordField) {
    if (EndsWith(shell, "/nologin") || EndsWith(shell, "/false") || shell == "nologin" || shell == "false")
        return false;
    return !Locked(passwordField);
}

std::vector<std::string> LoginAccounts() {
    std::vector<std::string> names;
    std::set<std::string> seen;
    setpwent();
    while (const passwd* pw = getpwent()) {
        if (!pw->pw_name || !*pw->pw_name)
            continue;
        std::string field = pw->pw_passwd ? pw->pw_passwd : "";
        if (field == "x")
            field = ShadowField(pw->pw_name);
        if (AccountCanLogIn(pw->pw_shell ? pw->pw_shell : "", field) && seen.insert(pw->pw_name).second)
            names.push_back(pw->pw_name);
    }
    endpwent();
    return names;
}

bool AccountExists(const std::string& name) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    return getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found;
}

}  // namespace orvyn::applet
