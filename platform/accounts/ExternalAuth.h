// The external authentication library of a server instance: a shared object
// named by the instance's ExternalDLL value that decides logins in place of
// the password store and the system accounts (see OrvynAuth.h for what such a
// library exports).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/accounts/OrvynAuth.h"
#include "platform/accounts/Token.h"

namespace orvyn::accounts {

struct ExternalAuthResult {
    bool accepted = false;
    std::string home;        // what the library wrote, at most 260 bytes
    TokenPtr token;          // the local account the library named, if any
    std::string tokenError;  // why a named account could not be used (login refused)
};

// Keeps one library loaded for one server instance and calls it. Loading the
// same name again keeps the loaded library; another name (or none) frees it
// first. The library is freed with the object.
class ExternalAuthLibrary {
public:
    ExternalAuthLibrary() = default;
    ~ExternalAuthLibrary();

    ExternalAuthLibrary(const ExternalAuthLibrary&) = delete;
    ExternalAuthLibrary& operator=(const ExternalAuthLibrary&) = delete;

    // Loads the library `name` (a path, or a name the dynamic loader searches
    // for). Returns whether a library is in use afterwards. An empty name
    // means none. When loading fails, or the library has no
    // ORVYN_AuthenticateA, no library is in use and loadError() says why.
    bool load(const std::string& name);

    bool loaded() const { return handle_ != nullptr; }
    const std::string& name() const { return name_; }
    const std::string& loadError() const { return loadError_; }

    // The reserved exports, as found at load time (null when absent).
    void* approveExport() const { return approve_; }
    void* finishedExport() const { return finished_; }

    // Asks the library about a login. Not accepted when no library is loaded.
    ExternalAuthResult authenticate(int connection, std::string_view user, std::string_view password) const {
        return caller()(connection, user, password);
    }

    // The library's login question, bound to the library as loaded now: it
    // keeps the library loaded while it exists, so a question asked on a
    // worker thread may outlive a reload. Not accepted when none is loaded.
    class Call {
    public:
        ExternalAuthResult operator()(int connection, std::string_view user, std::string_view password) const;

    private:
        friend class ExternalAuthLibrary;
        std::shared_ptr<void> handle_;
        ORVYN_AuthenticateA_fn authenticate_ = nullptr;
    };
    Call caller() const;

private:
    void unload();

    std::shared_ptr<void> handle_;
    std::string name_;
    std::string loadError_;
    ORVYN_AuthenticateA_fn authenticate_ = nullptr;
    void* approve_ = nullptr;
    void* finished_ = nullptr;
};

}  // namespace orvyn::accounts
