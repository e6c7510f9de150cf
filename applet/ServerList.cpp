#include "applet/ServerList.h"

#include <cstring>

#include "service/base/settings/ServerRegistry.h"
#include "service/base/text/Environment.h"

namespace orvyn::applet {

namespace {

constexpr size_t kMaxAddress = 64;
constexpr size_t kMaxPort = 19;

std::string InstanceKey(const std::string& name) { return std::string(kServersKey) + "\\" + name; }

uint32_t Dword(const reg::Value& v) {
    const auto& d = v.data;
    if (d.size() < 4)
        return 1;  // not a number: counts as set
    if (v.type == reg::REG_DWORD_BIG_ENDIAN)
        return uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | d[3];
    return uint32_t(d[3]) << 24 | uint32_t(d[2]) << 16 | uint32_t(d[1]) << 8 | d[0];
}

// REG_SZ up to its NUL, REG_EXPAND_SZ expanded; nullopt for other types.
bool TextOf(const reg::Value& v, std::string& out) {
    if (v.type != reg::REG_SZ && v.type != reg::REG_EXPAND_SZ)
        return false;
    const char* p = reinterpret_cast<const char*>(v.data.data());
    const void* nul = std::memchr(p, 0, v.data.size());
    out.assign(p, nul ? static_cast<const char*>(nul) - p : v.data.size());
    if (v.type == reg::REG_EXPAND_SZ)
        out = ExpandEnvironment(out);
    return true;
}

// Text, expanded text or a DWORD in the given numeric form; empty otherwise.
std::string NumericOrText(const reg::Value* v, bool dotted) {
    std::string out;
    if (!v)
        return out;
    if (TextOf(*v, out))
        return out;
    if ((v->type == reg::REG_DWORD || v->type == reg::REG_DWORD_BIG_ENDIAN) && v->data.size() >= 4) {
        uint32_t n = Dword(*v);
        if (dotted) {
            // The bytes in memory order, as the address was stored.
            uint8_t b[4];
            std::memcpy(b, v->data.data(), 4);
            return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
                   std::to_string(b[3]);
        }
        return std::to_string(static_cast<long>(static_cast<int32_t>(n)));
    }
    return out;
}

}  // namespace

const char* StateText(int state) {
    switch (state) {
    case kStateStopped: return "Stopped";
    case kStatePaused: return "Paused";
    case kStateFatalError: return "Fatal Error";
    default: return "Running";
    }
}

int ServerRecord::State(uint32_t serviceState) const {
    if (!enabled)
        return kStateStopped;
    if (serviceState != kServiceRunning)
        return kStatePaused;
    if (failed)
        return kStateFatalError;
    return kStateRunning;
}

bool ValueAsBool(const reg::Value* v) {
    if (!v)
        return true;
    if (v->type == reg::REG_SZ)
        return v->data.empty() || (v->data[0] != 'n' && v->data[0] != 'N' && v->data[0] != '0');
    if (v->type == reg::REG_DWORD || v->type == reg::REG_DWORD_BIG_ENDIAN)
        return v->data.size() < 4 || Dword(*v) != 0;
    return true;
}

ServerRecord ReadServerRecord(const reg::IStore& store, const std::string& name) {
    ServerRecord r;
    r.name = name;
    const std::string key = InstanceKey(name);
    std::vector<reg::Value> values;
    store.EnumValues(key, values);
    auto find = [&](std::string_view want) -> const reg::Value* {
        for (const auto& v : values)
            if (CompareTextNoCase(v.name, want) == 0)
                return &v;
        return nullptr;
    };
    r.enabled = ValueAsBool(find("Enabled"));
    r.failed = !ValueAsBool(find("Started"));

    const reg::Value* address = find("Address");
    if (!address || !TextOf(*address, r.address))
        r.address = "0.0.0.0";
    if (r.address.size() > kMaxAddress)
        r.address.resize(kMaxAddress);

    const reg::Value* port = find("Port");
    r.port = port ? NumericOrText(port, false) : std::string();
    if (!port || (r.port.empty() && port->type != reg::REG_SZ && port->type != reg::REG_EXPAND_SZ))
        r.port = "ftp";
    if (r.port.size() > kMaxPort)
        r.port.resize(kMaxPort);

    if (r.enabled && !r.failed) {
        r.numAddress = NumericOrText(find("NumAddress"), true);
        r.numPort = NumericOrText(find("NumPort"), false);
    }
    return r;
}

std::vector<std::string> ServerNames(const reg::IStore& store) {
    std::vector<std::string> names, out;
    store.EnumSubkeys(kServersKey, names);
    for (auto& n : names)
        if (!n.empty() && n.size() <= 1024)
            out.push_back(std::move(n));
    return out;
}

bool IsServerRunning(const reg::IStore& store, const std::string& name, uint32_t serviceState) {
    if (serviceState != kServiceRunning)
        return false;
    // CServerRegistry only reads here; the cast never leads to a write.
    CServerRegistry registry(const_cast<reg::IStore&>(store), name, nullptr);
    return registry.ReadInt(nullptr, "Enabled", 1) != 0 && registry.ReadInt(nullptr, "Started", 1) != 0;
}

ServiceButtonLook ServiceButtonFor(uint32_t state) {
    switch (state) {
    case kServiceStopped: return {"Start &Service", true};
    case kServiceStartPending: return {"Svc starting...", false};
    case kServiceStopPending: return {"Svc stopping...", false};
    case kServiceRunning: return {"Stop &Service", true};
    case 5:
    case 6:
    case 7: return {"Crazy stuff", false};
    default: return {"No Svc status", false};
    }
}

int CompareTextNoCase(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int CompareServers(const ServerRecord& a, const ServerRecord& b, int sortState) {
    int column = sortState < 0 ? -sortState : sortState;
    int c = 0;
    switch (column) {
    case kColName: c = CompareTextNoCase(a.name, b.name); break;
    case kColAddress: c = CompareTextNoCase(a.address, b.address); break;
    case kColNumAddress: c = CompareTextNoCase(a.numAddress, b.numAddress); break;
    case kColPort: c = CompareTextNoCase(a.port, b.port); break;
    case kColNumPort: c = CompareTextNoCase(a.numPort, b.numPort); break;
    case kColStatus: c = a.StatusKey() - b.StatusKey(); break;
    default: return 0;
    }
    return sortState < 0 ? -c : c;
}

}  // namespace orvyn::applet
