#include "service/accounts/users/UserSettings.h"

#include <utility>

#include "service/base/text/NoCase.h"

namespace orvyn {
namespace {

// Names of the keys a user's own key holds; they are not accounts.
bool IsUserSubkey(std::string_view name) {
    return EqualsNoCase(name, kUserRightsKey) || EqualsNoCase(name, kVirtualDirectoriesKey);
}

std::string Section(std::string_view user) { return std::string(kUsersSection) + "\\" + std::string(user); }

}  // namespace

bool IsAnonymousName(std::string_view name) {
    return EqualsNoCase(name, "anonymous") || EqualsNoCase(name, "ftp");
}

bool IsDefaultUser(std::string_view name) { return EqualsNoCase(name, kDefaultUserName); }

CUserSettings::CUserSettings(CServerRegistry& registry, ILogSink* log) : registry_(registry), log_(log) {}

std::optional<std::string> CUserSettings::UserSection(std::string_view user) {
    if (user.empty() || user.find('\0') != std::string_view::npos) return std::nullopt;
    const size_t sep = user.find('\\');
    const std::string_view first = user.substr(0, sep);
    // "DefaultRights" under Users holds the rights of "default", not a user.
    if (first.empty() || EqualsNoCase(first, kDefaultRightsKey)) return std::nullopt;
    if (sep != std::string_view::npos) {
        const std::string_view account = user.substr(sep + 1);
        // One level of nesting only, and never into a user's own subkeys:
        // "bob\Rights" would read and write bob's rights entries.
        if (account.empty() || account.find('\\') != std::string_view::npos || IsUserSubkey(account))
            return std::nullopt;
    }
    return Section(user);
}

std::optional<std::string> CUserSettings::RightsSection(std::string_view user) {
    if (IsDefaultUser(user)) return std::string(kUsersSection) + "\\" + kDefaultRightsKey;
    auto section = UserSection(user);
    if (section) *section += std::string("\\") + kUserRightsKey;
    return section;
}

std::optional<std::string> CUserSettings::VirtualDirsSection(std::string_view user) {
    auto section = UserSection(user);
    if (section) *section += std::string("\\") + kVirtualDirectoriesKey;
    return section;
}

long CUserSettings::ReadUserInt(std::string_view user, const char* name, long def) const {
    const auto section = UserSection(user);
    return section ? registry_.ReadInt(section->c_str(), name, def) : def;
}

std::string CUserSettings::ReadUserString(std::string_view user, const char* name, std::string_view def) const {
    const auto section = UserSection(user);
    return section ? registry_.ReadString(section->c_str(), name, def) : std::string(def);
}

std::string CUserSettings::Passwd(std::string_view user) const { return ReadUserString(user, kPasswdValue, ""); }

std::string CUserSettings::OwnHome(std::string_view user) const { return ReadUserString(user, "Home", ""); }

std::string CUserSettings::DefaultHome() const { return OwnHome(kDefaultUserName); }

std::string CUserSettings::Home(std::string_view user) const {
    std::string home = OwnHome(user);
    return home.empty() ? DefaultHome() : home;
}

bool CUserSettings::Restricted(std::string_view user) const {
    const long fallback = IsAnonymousName(user) ? 1 : ReadUserInt(kDefaultUserName, "Restricted", 0);
    return ReadUserInt(user, "Restricted", fallback) != 0;
}

bool CUserSettings::ForceEFS(std::string_view user) const {
    return ReadUserInt(user, "ForceEFS", ReadUserInt(kDefaultUserName, "ForceEFS", 0)) != 0;
}

bool CUserSettings::RemoteAdmin(std::string_view user) const { return ReadUserInt(user, "RemoteAdmin", 0) != 0; }

bool CUserSettings::XeroxDocutech(std::string_view user) const {
    return ReadUserInt(user, "XeroxDocutech", 0) != 0;
}

bool CUserSettings::Disabled(std::string_view user) const { return ReadUserInt(user, "Disabled", 0) != 0; }

bool CUserSettings::HideVDirs(std::string_view user) const {
    return ReadUserInt(user, "HideVDirs", registry_.ReadInt(nullptr, "HideVDirs", 0)) != 0;
}

NameSuffix CUserSettings::AddSuffix(std::string_view user, int conn) const {
    std::string text = ReadUserString(user, "AddSuffix", "*");
    if (text.size() > kMaxSuffixLength) {
        if (log_) log_->Log(conn, '!', "Suffix %s is too long.", text.c_str());
        text.clear();
    }
    NameSuffix suffix;
    suffix.present = !text.empty() && text != "*";
    if (suffix.present) suffix.text = std::move(text);
    return suffix;
}

bool CUserSettings::WriteUserString(std::string_view user, const char* name, std::string_view text) {
    const auto section = UserSection(user);
    // A NUL would silently cut the text that is stored.
    if (!section || text.find('\0') != std::string_view::npos) return false;
    const std::string value(text);
    return registry_.WriteString(section->c_str(), name, value.empty() ? nullptr : value.c_str());
}

bool CUserSettings::SetHome(std::string_view user, std::string_view home) {
    return WriteUserString(user, "Home", home);
}

bool CUserSettings::SetPasswd(std::string_view user, std::string_view hash) {
    return WriteUserString(user, kPasswdValue, hash);
}

bool CUserSettings::SetRestricted(std::string_view user, std::optional<bool> restricted) {
    const auto section = UserSection(user);
    if (!section) return false;
    if (!restricted) return registry_.WriteString(section->c_str(), "Restricted", nullptr);
    return registry_.WriteInt(section->c_str(), "Restricted", *restricted ? 1 : 0);
}

bool CUserSettings::SetDisabled(std::string_view user, bool disabled) {
    const auto section = UserSection(user);
    return section && registry_.WriteInt(section->c_str(), "Disabled", disabled ? 1 : 0);
}

bool CUserSettings::DeleteUser(std::string_view user) {
    const auto section = UserSection(user);
    if (!section || !registry_.DeleteSubkeyTree(section->c_str())) return false;

    const size_t sep = user.find('\\');
    if (sep == std::string_view::npos) return true;
    // The domain key goes with its last account unless it holds values.
    const std::string domain = Section(user.substr(0, sep));
    reg::KeyInfo info;
    if (registry_.store().QueryInfo(registry_.KeyPath(domain.c_str()), info).ok() && info.subkeys == 0 &&
        info.values == 0)
        registry_.DeleteSubkeyTree(domain.c_str());
    return true;
}

std::vector<std::string> CUserSettings::ListUsers() const {
    std::vector<std::string> users;
    const std::string usersKey = registry_.KeyPath(kUsersSection);
    // A path cut at the limit would name some other key.
    if (usersKey.size() >= kMaxKeyPath) return users;

    reg::IStore& store = registry_.store();
    std::vector<std::string> names;
    if (!store.EnumSubkeys(usersKey, names).ok()) return users;
    for (std::string& name : names) {
        if (EqualsNoCase(name, kDefaultRightsKey)) continue;
        const std::string key = usersKey + "\\" + name;
        std::vector<std::string> children;
        std::vector<reg::Value> values;
        // A key that vanished meanwhile reads as an empty one.
        store.EnumSubkeys(key, children);
        store.EnumValues(key, values);
        std::vector<std::string> accounts;
        for (std::string& child : children) {
            if (!IsUserSubkey(child)) accounts.push_back(name + "\\" + child);
        }
        if (!values.empty() || accounts.empty()) users.push_back(name);
        for (std::string& account : accounts) users.push_back(std::move(account));
    }
    return users;
}

}  // namespace orvyn
