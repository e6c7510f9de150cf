#include "applet/ServerKeys.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

#include "platform/registry/KeyNames.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn::applet {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

reg::Status SetText(reg::IStore& store, const std::string& key, const char* name, std::string_view text) {
    const auto data = reg::StringData(text);
    return store.SetValue(key, name, reg::REG_SZ, data.data(), data.size());
}

}  // namespace

std::string ServerKey(std::string_view name) { return std::string(kServersKey) + "\\" + std::string(name); }

bool IsServerName(std::string_view name) { return !name.empty() && name.find('\\') == std::string_view::npos; }

bool IsValidAddress(std::string_view address) {
    if (address.empty())
        return false;
    if (!IsDigit(address.front()))
        return true;  // a host name
    int parts = 0;
    size_t i = 0;
    while (true) {
        const size_t start = i;
        int value = 0;
        while (i < address.size() && IsDigit(address[i])) {
            value = value * 10 + (address[i] - '0');
            if (value > 255)
                return false;
            ++i;
        }
        const size_t length = i - start;
        if (length == 0 || (length > 1 && address[start] == '0'))
            return false;
        ++parts;
        if (i == address.size())
            return parts == 4;
        if (address[i] != '.' || parts == 4)
            return false;
        ++i;
    }
}

bool IsValidPort(std::string_view port) {
    if (port.empty())
        return false;
    if (!IsDigit(port.front()))
        return true;  // a service name
    for (char c : port)
        if (!IsDigit(c))
            return false;
    return true;
}

reg::Status CreateServer(reg::IStore& store, std::string_view name, std::string_view address,
                         std::string_view port) {
    if (!IsServerName(name))
        return {reg::kInvalidParameter, "not a server name: " + std::string(name)};
    const std::string key = ServerKey(name);
    const reg::Status exists = store.KeyExists(key);
    if (exists.ok())
        return {reg::kInvalidParameter, "a server named " + std::string(name) + " exists"};
    if (exists.code != reg::kNotFound)
        return exists;
    if (reg::Status st = store.CreateKey(key); !st)
        return st;
    const auto disabled = reg::DwordData(0);
    reg::Status st = store.SetValue(key, "Enabled", reg::REG_DWORD, disabled.data(), disabled.size());
    if (st)
        st = SetText(store, key, "Address", address);
    if (st)
        st = SetText(store, key, "Port", port);
    if (!st)
        store.DeleteTree(key);
    return st;
}

reg::Status CopyKeyTree(reg::IStore& store, std::string_view from, std::string_view to) {
    // Depth first without recursion: each pending pair is a source key and
    // the key its copy goes into.
    std::vector<std::pair<std::string, std::string>> pending{{std::string(from), std::string(to)}};
    while (!pending.empty()) {
        auto [source, target] = std::move(pending.back());
        pending.pop_back();
        if (reg::Status st = store.CreateKey(target); !st)
            return st;
        std::vector<std::string> subkeys;
        if (reg::Status st = store.EnumSubkeys(source, subkeys); !st)
            return st;
        for (const std::string& name : subkeys)
            pending.emplace_back(source + "\\" + name, target + "\\" + name);
        std::vector<reg::Value> values;
        if (reg::Status st = store.EnumValues(source, values); !st)
            return st;
        for (const reg::Value& value : values)
            if (reg::Status st = store.SetValue(target, value); !st)
                return st;
    }
    return reg::Status::Ok();
}

reg::Status RenameServer(reg::IStore& store, std::string_view from, std::string_view to) {
    if (!IsServerName(from) || !IsServerName(to))
        return {reg::kInvalidParameter, "not a server name"};
    if (from == to)
        return reg::Status::Ok();
    const std::string oldKey = ServerKey(from);
    if (reg::Status st = store.KeyExists(oldKey); !st)
        return st;

    // Keys compare without regard to case: a new spelling of the same name
    // goes through a key of a third name, since copying a key onto itself and
    // deleting the "old" one would lose it.
    std::string via;
    if (SameIgnoringCase(from, to)) {
        // The passing name must itself be a valid one: a long name gives up
        // its end to the mark.
        auto passing = [&to](const std::string& mark) {
            const size_t room = reg::detail::kMaxKeyNameChars > mark.size() ? reg::detail::kMaxKeyNameChars - mark.size() : 0;
            return ServerKey(std::string(to.substr(0, std::min(room, to.size()))) + mark);
        };
        via = passing(" (renaming)");
        for (int n = 2; store.KeyExists(via).code != reg::kNotFound; ++n) {
            if (n > 100)
                return {reg::kInvalidParameter, "no free name to rename through"};
            via = passing(" (renaming " + std::to_string(n) + ")");
        }
    } else {
        const reg::Status exists = store.KeyExists(ServerKey(to));
        if (exists.ok())
            return {reg::kInvalidParameter, "a server named " + std::string(to) + " exists"};
        if (exists.code != reg::kNotFound)
            return exists;
    }

    // Moves one key's tree to another key; on failure nothing but the
    // source is left.
    auto move = [&store](const std::string& source, const std::string& target) -> reg::Status {
        reg::Status st = CopyKeyTree(store, source, target);
        if (st)
            st = store.DeleteTree(source);
        if (!st)
            store.DeleteTree(target);
        return st;
    };
    const std::string newKey = ServerKey(to);
    if (via.empty())
        return move(oldKey, newKey);
    if (reg::Status st = move(oldKey, via); !st)
        return st;
    if (reg::Status st = move(via, newKey); !st) {
        move(via, oldKey);  // back under its old name
        return st;
    }
    return reg::Status::Ok();
}

}  // namespace orvyn::applet
