// The commands of orvyn-reg, run against one store. Every command checks its
// whole input (key, type, data, existing values and files) before it writes,
// so a refused command leaves the store as it was.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "platform/registry/Registry.h"
#include "tools/orvyn-reg/Arguments.h"

namespace orvyn::regtool {

// Asks the person at the terminal before something is deleted.
class Confirmation {
public:
    virtual ~Confirmation() = default;
    // Whether someone is there to answer (standard input is a terminal).
    virtual bool CanAsk() const = 0;
    // Shows the question and returns true when the answer is yes.
    virtual bool Ask(const std::string& question) = 0;
};

// Longest new password passwd accepts.
inline constexpr size_t kMaxNewPassword = 1024;

// Where passwd gets the new password from.
class PasswordSource {
public:
    virtual ~PasswordSource() = default;
    // Reads the new password into password (a longer one than
    // kMaxNewPassword shows as such, cut a little beyond); on failure
    // returns false with the reason in error, without the "ERROR: " prefix.
    virtual bool Read(std::string& password, std::string& error) = 0;
};

class Commands {
public:
    // passwords may be null when no passwd command is run.
    Commands(reg::Store& store, std::ostream& out, std::ostream& err, Confirmation& confirmation,
             PasswordSource* passwords = nullptr);

    // Runs the request; returns the exit status (0 success, 1 failure with
    // "ERROR: ..." written to err).
    int Run(const Request& request);

private:
    bool Query(const Request& request);
    bool Add(const Request& request);
    bool Delete(const Request& request);
    bool Save(const Request& request);
    bool Restore(const Request& request);
    bool Passwd(const Request& request);
    bool CertList();
    bool CertUse(const Request& request);

    // Visits key and every key below it, depth first, subkeys in store
    // order. Subkeys that vanish while walking (another writer) are skipped.
    bool Walk(const KeyName& key, const std::function<reg::Status(const KeyName&)>& visit);

    // The key's path line, its value lines and a blank line.
    reg::Status AppendKeyBlock(const KeyName& key, std::string& text) const;

    bool RequireKey(const KeyName& key);
    bool Confirm(bool force, const std::string& question);
    bool Done();
    bool Fail(const std::string& message);
    bool StoreFailure(const reg::Status& status, const std::string& what);

    reg::Store& store_;
    std::ostream& out_;
    std::ostream& err_;
    Confirmation& confirmation_;
    PasswordSource* passwords_;
};

}  // namespace orvyn::regtool
