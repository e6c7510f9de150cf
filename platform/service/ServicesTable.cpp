#include "platform/service/ServicesTable.h"

#include <strings.h>

#include <cstring>

#include "platform/service/ServiceStatus.h"

namespace orvyn::service {

namespace {

constexpr const char* kServicesRoot = "SYSTEM\\CurrentControlSet\\Services";
constexpr size_t kMaxImagePath = 4096;

long SetString(reg::Store& store, const std::string& key, const char* name, uint32_t type,
               const std::string& text) {
    auto data = reg::StringData(text);
    return ServicesTable::ErrorFromStore(store.SetValue(key, name, type, data.data(), data.size()));
}

long SetDword(reg::Store& store, const std::string& key, const char* name, uint32_t v) {
    auto data = reg::DwordData(v);
    return ServicesTable::ErrorFromStore(store.SetValue(key, name, reg::REG_DWORD, data.data(), data.size()));
}

bool ReadString(const reg::Store& store, const std::string& key, const char* name, std::string& out) {
    reg::Value v;
    if (!store.QueryValue(key, name, v)) return false;
    if (v.type != reg::REG_SZ && v.type != reg::REG_EXPAND_SZ) return false;
    const char* p = reinterpret_cast<const char*>(v.data.data());
    out.assign(p, strnlen(p, v.data.size()));
    return true;
}

bool ReadDword(const reg::Store& store, const std::string& key, const char* name, uint32_t& out) {
    reg::Value v;
    if (!store.QueryValue(key, name, v) || v.type != reg::REG_DWORD || v.data.size() != 4) return false;
    out = static_cast<uint32_t>(v.data[0]) | static_cast<uint32_t>(v.data[1]) << 8 |
          static_cast<uint32_t>(v.data[2]) << 16 | static_cast<uint32_t>(v.data[3]) << 24;
    return true;
}

}  // namespace

std::string ServicesTable::KeyPath(const std::string& serviceName) {
    return std::string(kServicesRoot) + "\\" + serviceName;
}

long ServicesTable::ErrorFromStore(const reg::Status& st) {
    switch (st.code) {
        case reg::kSuccess: return ERROR_SUCCESS;
        case reg::kNotFound: return ERROR_SERVICE_DOES_NOT_EXIST;
        case reg::kAccessDenied: return ERROR_ACCESS_DENIED;
        case reg::kInvalidParameter: return ERROR_INVALID_PARAMETER;
        default: return st.code;
    }
}

long ServicesTable::Find(const std::string& serviceName) const {
    if (!IsValidServiceName(serviceName)) return ERROR_INVALID_NAME;
    return ErrorFromStore(store_.KeyExists(KeyPath(serviceName)));
}

std::string ServicesTable::StoredName(const std::string& serviceName) const {
    std::vector<std::string> names;
    if (!store_.EnumSubkeys(kServicesRoot, names)) return serviceName;
    for (const std::string& name : names) {
        if (::strcasecmp(name.c_str(), serviceName.c_str()) == 0) return name;
    }
    return serviceName;
}

long ServicesTable::Create(const std::string& serviceName, const ServiceConfig& config) {
    if (!IsValidServiceName(serviceName)) return ERROR_INVALID_NAME;
    if (config.imagePath.empty() || config.imagePath[0] != '/' || config.imagePath.size() > kMaxImagePath) {
        return ERROR_INVALID_PARAMETER;
    }
    long found = Find(serviceName);
    if (found == ERROR_SUCCESS) return ERROR_SERVICE_EXISTS;
    if (found != ERROR_SERVICE_DOES_NOT_EXIST) return found;

    const std::string key = KeyPath(serviceName);
    long err = SetDword(store_, key, "Type", config.type);
    if (err == 0) err = SetDword(store_, key, "Start", config.start);
    if (err == 0) err = SetDword(store_, key, "ErrorControl", config.errorControl);
    if (err == 0) err = SetString(store_, key, "ImagePath", reg::REG_EXPAND_SZ, config.imagePath);
    if (err == 0) err = SetString(store_, key, "DisplayName", reg::REG_SZ, config.displayName);
    if (err == 0) err = SetString(store_, key, "ObjectName", reg::REG_SZ, config.objectName);
    if (err != 0) {
        // A half-written entry would read as installed: take it away again.
        store_.DeleteTree(key);
    }
    return err;
}

long ServicesTable::MarkForDelete(const std::string& serviceName) {
    long found = Find(serviceName);
    if (found != ERROR_SUCCESS) return found;
    return SetDword(store_, KeyPath(serviceName), "DeleteFlag", 1);
}

bool ServicesTable::MarkedForDelete(const std::string& serviceName) const {
    uint32_t flag = 0;
    return IsValidServiceName(serviceName) && ReadDword(store_, KeyPath(serviceName), "DeleteFlag", flag) && flag != 0;
}

long ServicesTable::Delete(const std::string& serviceName) {
    long found = Find(serviceName);
    if (found != ERROR_SUCCESS) return found;
    return ErrorFromStore(store_.DeleteTree(KeyPath(serviceName)));
}

long ServicesTable::Read(const std::string& serviceName, ServiceConfig& config) const {
    long found = Find(serviceName);
    if (found != ERROR_SUCCESS) return found;
    const std::string key = KeyPath(serviceName);
    ServiceConfig c;
    if (!ReadString(store_, key, "ImagePath", c.imagePath) || c.imagePath.empty() || c.imagePath[0] != '/') {
        return ERROR_FILE_NOT_FOUND;
    }
    ReadString(store_, key, "DisplayName", c.displayName);
    ReadString(store_, key, "ObjectName", c.objectName);
    ReadDword(store_, key, "Type", c.type);
    ReadDword(store_, key, "Start", c.start);
    ReadDword(store_, key, "ErrorControl", c.errorControl);
    config = std::move(c);
    return ERROR_SUCCESS;
}

}  // namespace orvyn::service
