#include "applet/users/UserRights.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "service/accounts/hash/PasswordHash.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn::applet {

namespace {

constexpr const char* kDefaultRightsKey = "DefaultRights";
constexpr size_t kMaxUserName = 50;

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

bool IsDefault(std::string_view user) { return SameNoCase(user, kDefaultUser); }

constexpr const char* kFtpUser = "ftp";

std::string TextOf(const reg::Value& v) {
    std::string text(v.data.begin(), v.data.end());
    if (const size_t nul = text.find('\0'); nul != std::string::npos)
        text.resize(nul);
    return text;
}

void SlashesOnly(std::string& path) { std::replace(path.begin(), path.end(), '\\', '/'); }

}  // namespace

std::string LettersOfMask(int mask) {
    std::string letters;
    if (mask & kCreate) letters += 'C';
    if (mask & kList) letters += 'L';
    if (mask & kOverwrite) letters += 'O';
    if (mask & kRead) letters += 'R';
    return letters;
}

std::string EntryName(std::string path) {
    SlashesOnly(path);
    if (path != kEverywhere && (path.empty() || path.back() != '/'))
        path += '/';
    return path;
}

const std::string* EntryDifferingInCase(const RightsEntries& entries, std::string_view name) {
    for (const auto& [stored, mask] : entries)
        if (stored != name && SameNoCase(stored, name))
            return &stored;
    return nullptr;
}

int EffectiveRights(const RightsEntries& own, const RightsEntries* defaults, std::string_view path) {
    std::string p = EntryName(std::string(path));
    if (p != kEverywhere) {
        while (!p.empty()) {
            if (auto it = own.find(p); it != own.end())
                return it->second;
            // Back to the separator before the last component, keeping it.
            const size_t cut = p.size() >= 2 ? p.find_last_of('/', p.size() - 2) : std::string::npos;
            if (cut == std::string::npos)
                break;
            p.resize(cut + 1);
        }
    }
    if (auto it = own.find(kEverywhere); it != own.end())
        return it->second;
    return defaults ? EffectiveRights(*defaults, nullptr, path) : kAllFour;
}

std::string HomeOfFolder(std::string path) {
    SlashesOnly(path);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool IsAnonymousName(std::string_view user) {
    return SameNoCase(user, kAnonymousUser) || SameNoCase(user, kFtpUser);
}

bool ValidUserName(std::string_view name) {
    if (name.empty() || name.size() > kMaxUserName || SameNoCase(name, kDefaultRightsKey))
        return false;
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return c == '\\' || c == '/' || static_cast<unsigned char>(c) < 0x20; });
}

CUsersKey::CUsersKey(reg::IStore& store, const std::string& server, const std::string& domain)
    : store_(store), key_(std::string(kServersKey) + "\\" + server + "\\Users") {
    if (!domain.empty())
        key_ += "\\" + domain;
}

std::string CUsersKey::UserKey(std::string_view user) const { return key_ + "\\" + std::string(user); }

std::string CUsersKey::RightsKey(std::string_view user) const {
    return IsDefault(user) ? key_ + "\\" + kDefaultRightsKey : UserKey(user) + "\\Rights";
}

std::vector<std::string> CUsersKey::Names() const {
    std::vector<std::string> names;
    store_.EnumSubkeys(key_, names);
    for (std::string& name : names)
        if (SameNoCase(name, kDefaultRightsKey))
            name = kDefaultUser;
    return names;
}

bool CUsersKey::Exists(std::string_view user) const {
    if (IsDefault(user))
        return store_.KeyExists(UserKey(user)).ok() || store_.KeyExists(RightsKey(user)).ok();
    return store_.KeyExists(UserKey(user)).ok();
}

namespace {

// The rights a key's values give, as the service reads them. Names spelt
// differently may stand for one folder ("/pub", "/pub/", "\pub\"): the
// longest name wins, the first of equally long ones; letters count only in
// text, anything else grants nothing.
RightsEntries RightsOf(const std::vector<reg::Value>& values) {
    RightsEntries rights;
    std::map<std::string, size_t> spelling;
    for (const reg::Value& v : values) {
        if (v.name.empty())
            continue;
        const std::string entry = EntryName(v.name);
        if (auto it = spelling.find(entry); it != spelling.end() && it->second >= v.name.size())
            continue;
        spelling[entry] = v.name.size();
        rights[entry] = v.type == reg::REG_SZ ? ParseRights(TextOf(v)) : 0;
    }
    return rights;
}

}  // namespace

RightsEntries CUsersKey::LoadRights(std::string_view user) const {
    std::vector<reg::Value> values;
    store_.EnumValues(RightsKey(user), values);
    return RightsOf(values);
}

UserRecord CUsersKey::Load(std::string_view user, bool xeroxOption) const {
    UserRecord r;
    const std::string key = UserKey(user);
    const bool isDefault = IsDefault(user);
    auto flag = [&](const char* name) -> std::optional<bool> {
        reg::Value v;
        if (!store_.QueryValue(key, name, v).ok())
            return std::nullopt;
        // As the service's integer reader: DWORD in either byte order, or text.
        if ((v.type == reg::REG_DWORD || v.type == reg::REG_DWORD_BIG_ENDIAN) && v.data.size() >= 4)
            return (v.data[0] | v.data[1] | v.data[2] | v.data[3]) != 0;
        if (v.type == reg::REG_SZ) {
            const std::string text = TextOf(v);
            return std::atol(text.c_str()) != 0;
        }
        return std::nullopt;
    };
    reg::Value home;
    if (store_.QueryValue(key, "Home", home).ok()) {
        if (home.type == reg::REG_SZ)
            r.home = TextOf(home);
        else
            r.keepStoredHome = true;
    }
    r.restricted = flag("Restricted");
    r.forceEfs = flag("ForceEFS");
    if (isDefault) {
        r.restricted = r.restricted.value_or(false);
        r.forceEfs = r.forceEfs.value_or(false);
    } else if (!r.restricted && IsAnonymousName(user)) {
        r.restricted = true;
    }
    if (!isDefault && !SameNoCase(user, kAnonymousUser)) {
        r.remoteAdmin = !IsAnonymousName(user) && flag("RemoteAdmin").value_or(false);
        r.disabled = flag("Disabled").value_or(false);
        if (xeroxOption)
            r.xerox = flag("XeroxDocutech").value_or(false);
    }
    r.rights = LoadRights(user);
    return r;
}

bool CUsersKey::Save(std::string_view user, const UserRecord& r, bool xeroxOption) {
    const std::string key = UserKey(user);
    const std::string rightsKey = RightsKey(user);
    if (!store_.CreateKey(key).ok() || !store_.CreateKey(rightsKey).ok())
        return false;
    bool ok = true;
    // Only the folders whose rights changed are written: an entry left as it
    // was keeps its stored form (its spelling, its type, other spellings of
    // the same folder), and so does what the editor does not show (an entry
    // without a name).
    std::vector<reg::Value> stored;
    store_.EnumValues(rightsKey, stored);
    const RightsEntries before = RightsOf(stored);
    RightsEntries wanted;
    for (const auto& [path, mask] : r.rights)
        wanted[EntryName(path)] = mask;
    std::set<std::string> changed;
    for (const auto& [path, mask] : wanted) {
        const auto it = before.find(path);
        if (it == before.end() || it->second != mask)
            changed.insert(path);
    }
    for (const auto& [path, mask] : before)
        if (wanted.count(path) == 0)
            changed.insert(path);
    for (const reg::Value& v : stored)
        if (!v.name.empty() && changed.count(EntryName(v.name)) != 0)
            ok = store_.DeleteValue(rightsKey, v.name).ok() && ok;
    for (const auto& [path, mask] : wanted) {
        if (changed.count(path) == 0)
            continue;
        const auto data = reg::StringData(LettersOfMask(mask));
        ok = store_.SetValue(rightsKey, path, reg::REG_SZ, data.data(), data.size()).ok() && ok;
    }
    auto dword = [&](const char* name, bool on) {
        const auto data = reg::DwordData(on ? 1 : 0);
        ok = store_.SetValue(key, name, reg::REG_DWORD, data.data(), data.size()).ok() && ok;
    };
    auto remove = [&](const char* name) {
        const reg::Status s = store_.DeleteValue(key, name);
        ok = (s.ok() || s.code == reg::kNotFound) && ok;
    };
    if (!r.home.empty()) {
        const auto data = reg::StringData(r.home);
        ok = store_.SetValue(key, "Home", reg::REG_SZ, data.data(), data.size()).ok() && ok;
    } else if (!r.keepStoredHome) {
        remove("Home");
    }
    // What Load does not read is not written: anonymous is disabled only
    // through the service's own commands, and the editor never shows it.
    if (!IsDefault(user) && !SameNoCase(user, kAnonymousUser)) {
        dword("Disabled", r.disabled);
        dword("RemoteAdmin", r.remoteAdmin);
        if (xeroxOption)
            dword("XeroxDocutech", r.xerox);
    }
    r.restricted ? dword("Restricted", *r.restricted) : remove("Restricted");
    r.forceEfs ? dword("ForceEFS", *r.forceEfs) : remove("ForceEFS");
    return ok;
}

bool CUsersKey::Create(std::string_view user) { return store_.CreateKey(UserKey(user)).ok(); }

bool CUsersKey::Delete(std::string_view user) {
    const reg::Status s = store_.DeleteTree(UserKey(user));
    return s.ok() || s.code == reg::kNotFound;
}

bool CUsersKey::SetPassword(std::string_view user, std::string_view password) {
    const auto data = reg::StringData(PasswordHash(password, NewSalt()));
    return store_.SetValue(UserKey(user), "Passwd", reg::REG_SZ, data.data(), data.size()).ok();
}

}  // namespace orvyn::applet
