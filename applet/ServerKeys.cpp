#include "applet/ServerKeys.h"

#include <cctype>

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

reg::Status RenameServer(reg::IStore& store, std::string_view from, std::string_view to) {
    if (!IsServerName(from) || !IsServerName(to))
        return {reg::kInvalidParameter, "not a server name"};
    if (from == to)
        return reg::Status::Ok();
    const std::string oldKey = ServerKey(from);
    if (reg::Status st = store.KeyExists(oldKey); !st)
        return st;

    // A new spelling of the same name renames the key in place; another
    // name must be free.
    if (!SameIgnoringCase(from, to)) {
        const reg::Status exists = store.KeyExists(ServerKey(to));
        if (exists.ok())
            return {reg::kInvalidParameter, "a server named " + std::string(to) + " exists"};
        if (exists.code != reg::kNotFound)
            return exists;
    }
    // One step in the store: a service reading it, or an applet that is
    // stopped half-way, never sees a part of the server under the new name
    // beside the whole of it under the old one.
    return store.RenameKey(oldKey, to);
}

}  // namespace orvyn::applet
