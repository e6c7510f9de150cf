#include "platform/accounts/ExternalAuth.h"

#include <dlfcn.h>
#include <limits.h>
#include <string.h>

#include "platform/accounts/SystemLogon.h"

namespace orvyn::accounts {

namespace {
constexpr size_t kMaxAccountBytes = 256;
constexpr size_t kMaxUserBytes = 1024;
constexpr size_t kMaxPasswordBytes = 1024;
}  // namespace

ExternalAuthLibrary::~ExternalAuthLibrary() { unload(); }

void ExternalAuthLibrary::unload() {
    handle_.reset();
    name_.clear();
    authenticate_ = nullptr;
    approve_ = nullptr;
    finished_ = nullptr;
}

bool ExternalAuthLibrary::load(const std::string& name) {
    if (handle_ != nullptr && name == name_) {
        return true;
    }
    unload();
    loadError_.clear();
    if (name.empty()) {
        return false;
    }
    if (name.size() >= PATH_MAX || name.find('\0') != std::string::npos) {
        loadError_ = "invalid library name";
        return false;
    }
    dlerror();
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        loadError_ = why != nullptr ? why : "cannot load library";
        return false;
    }
    void* auth = dlsym(handle, "ORVYN_AuthenticateA");
    if (auth == nullptr) {
        loadError_ = "ORVYN_AuthenticateA not found in " + name;
        dlclose(handle);
        return false;
    }
    handle_ = std::shared_ptr<void>(handle, [](void* h) { dlclose(h); });
    name_ = name;
    // A data pointer to function pointer conversion, as dlsym requires.
    static_assert(sizeof(void*) == sizeof(ORVYN_AuthenticateA_fn));
    memcpy(&authenticate_, &auth, sizeof auth);
    approve_ = dlsym(handle, "ORVYN_ApproveA");
    finished_ = dlsym(handle, "ORVYN_FinishedA");
    return true;
}

ExternalAuthLibrary::Call ExternalAuthLibrary::caller() const {
    Call call;
    call.handle_ = handle_;
    call.authenticate_ = handle_ ? authenticate_ : nullptr;
    return call;
}

ExternalAuthResult ExternalAuthLibrary::Call::operator()(int connection, std::string_view user,
                                                         std::string_view password) const {
    ExternalAuthResult result;
    if (authenticate_ == nullptr || user.size() > kMaxUserBytes || password.size() > kMaxPasswordBytes) {
        return result;
    }
    // The library sees C strings: a NUL inside would silently shorten what it
    // is asked about, so such input is refused here.
    if (user.find('\0') != std::string_view::npos || password.find('\0') != std::string_view::npos) {
        return result;
    }
    std::string u(user);
    std::string p(password);
    char home[ORVYN_HOME_SIZE] = {};
    void* token = nullptr;
    int answer = authenticate_(connection, u.c_str(), p.c_str(), &token, home);
    explicit_bzero(p.data(), p.size());
    home[ORVYN_HOME_SIZE - 1] = '\0';
    result.home = home;
    if (answer == 0) {
        return result;
    }
    if (token != nullptr) {
        const char* account = static_cast<const char*>(token);
        size_t len = strnlen(account, kMaxAccountBytes + 1);
        if (len == 0 || len > kMaxAccountBytes) {
            result.tokenError = "the library returned an invalid account name";
            return result;
        }
        std::string accountName(account, len);
        result.token = AccountToken(accountName);
        if (result.token == nullptr) {
            result.tokenError = "the library named the unknown account " + accountName;
            return result;
        }
    }
    result.accepted = true;
    return result;
}

}  // namespace orvyn::accounts
