#include "tools/orvyn-reg/Commands.h"

#include <string.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "service/accounts/hash/PasswordHash.h"
#include "service/accounts/users/UserSettings.h"
#include "service/base/settings/ServerRegistry.h"
#include "service/transfer/security/CertStore.h"
#include "tools/orvyn-reg/ValueText.h"

namespace orvyn::regtool {
namespace {

std::string ValueLabel(const Request& request) {
    return request.target == ValueTarget::Named ? request.valueName : std::string("(Default)");
}

std::string ValueNameOf(const Request& request) {
    return request.target == ValueTarget::Named ? request.valueName : std::string();
}

// Overwrites a password before its memory is given back.
class SecretText {
public:
    SecretText() { text_.reserve(kMaxNewPassword + 3); }
    ~SecretText() { explicit_bzero(text_.data(), text_.capacity()); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    std::string& text() { return text_; }

private:
    std::string text_;
};

}  // namespace

Commands::Commands(reg::Store& store, std::ostream& out, std::ostream& err,
                   Confirmation& confirmation, PasswordSource* passwords)
    : store_(store), out_(out), err_(err), confirmation_(confirmation), passwords_(passwords) {}

int Commands::Run(const Request& request) {
    bool ok = false;
    switch (request.command) {
        case Command::Query: ok = Query(request); break;
        case Command::Add: ok = Add(request); break;
        case Command::Delete: ok = Delete(request); break;
        case Command::Save: ok = Save(request); break;
        case Command::Restore: ok = Restore(request); break;
        case Command::Passwd: ok = Passwd(request); break;
        case Command::CertList: ok = CertList(); break;
        case Command::CertUse: ok = CertUse(request); break;
        case Command::Serve: break;  // a conversation, not a command: see Serve.h
    }
    return ok ? 0 : 1;
}

bool Commands::Query(const Request& request) {
    if (!RequireKey(request.key)) return false;
    std::string text;

    if (request.target == ValueTarget::None) {
        if (request.recursive) {
            if (!Walk(request.key, [&](const KeyName& key) { return AppendKeyBlock(key, text); })) {
                return false;
            }
        } else {
            reg::Status status = AppendKeyBlock(request.key, text);
            if (!status) return StoreFailure(status, request.key.display);
            std::vector<std::string> names;
            status = store_.EnumSubkeys(request.key.path, names);
            if (!status) return StoreFailure(status, request.key.display);
            for (const std::string& name : names) text += ChildKey(request.key, name).display + "\n";
        }
        out_ << text;
        return true;
    }

    const std::string name = ValueNameOf(request);
    if (!request.recursive) {
        reg::Value value;
        reg::Status status = store_.QueryValue(request.key.path, name, value);
        if (status.code == reg::kNotFound) {
            return Fail("The value " + ValueLabel(request) + " does not exist in " +
                        request.key.display + ".");
        }
        if (!status) return StoreFailure(status, request.key.display);
        out_ << request.key.display << "\n" << ValueLine(value) << "\n";
        return true;
    }

    // /v with /s: every key of the subtree that holds the value.
    size_t found = 0;
    bool walked = Walk(request.key, [&](const KeyName& key) {
        reg::Value value;
        reg::Status status = store_.QueryValue(key.path, name, value);
        if (status.code == reg::kNotFound) {
            // The key exists (it was just enumerated); only the value is missing.
            if (store_.KeyExists(key.path)) return reg::Status::Ok();
            return status;
        }
        if (status) {
            text += key.display + "\n" + ValueLine(value) + "\n";
            ++found;
        }
        return status;
    });
    if (!walked) return false;
    if (found == 0) {
        return Fail("The value " + ValueLabel(request) + " does not exist in " +
                    request.key.display + " or below it.");
    }
    out_ << text;
    return true;
}

bool Commands::Add(const Request& request) {
    if (request.target == ValueTarget::None) {
        if (request.type || request.data) return Fail("/t and /d need /v NAME or /ve.");
        reg::Status status = store_.CreateKey(request.key.path);
        if (!status) return StoreFailure(status, request.key.display);
        return Done();
    }

    const std::string typeText = request.type.value_or("REG_SZ");
    std::optional<uint32_t> type = ParseTypeName(typeText);
    if (!type) {
        return Fail("Invalid type \"" + typeText +
                    "\"; use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, "
                    "REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY or REG_NONE.");
    }
    std::vector<uint8_t> data;
    std::string error;
    if (!EncodeData(*type, request.data, data, error)) return Fail(error);

    const std::string name = ValueNameOf(request);
    if (!request.force) {
        // Scripts run without anyone to ask, so replacing needs /f.
        reg::Value existing;
        reg::Status status = store_.QueryValue(request.key.path, name, existing);
        if (status) {
            return Fail("The value " + ValueLabel(request) + " already exists in " +
                        request.key.display + "; use /f to overwrite it.");
        }
        if (status.code != reg::kNotFound) return StoreFailure(status, request.key.display);
    }
    reg::Status status = store_.SetValue(request.key.path, name, *type, data.data(), data.size());
    if (!status) return StoreFailure(status, request.key.display);
    return Done();
}

bool Commands::Delete(const Request& request) {
    switch (request.target) {
        case ValueTarget::None: {
            if (request.key.path.empty()) return Fail("The root key cannot be deleted.");
            if (!RequireKey(request.key)) return false;
            if (!Confirm(request.force,
                         "Permanently delete the registry key " + request.key.display + " (Yes/No)?")) {
                return false;
            }
            reg::Status status = store_.DeleteTree(request.key.path);
            if (!status) return StoreFailure(status, request.key.display);
            return Done();
        }
        case ValueTarget::Named:
        case ValueTarget::Unnamed: {
            if (!RequireKey(request.key)) return false;
            const std::string name = ValueNameOf(request);
            reg::Value value;
            reg::Status status = store_.QueryValue(request.key.path, name, value);
            if (status.code == reg::kNotFound) {
                return Fail("The value " + ValueLabel(request) + " does not exist in " +
                            request.key.display + ".");
            }
            if (!status) return StoreFailure(status, request.key.display);
            if (!Confirm(request.force,
                         "Delete the registry value " + ValueLabel(request) + " (Yes/No)?")) {
                return false;
            }
            status = store_.DeleteValue(request.key.path, name);
            if (!status) return StoreFailure(status, request.key.display);
            return Done();
        }
        case ValueTarget::All: {
            if (!RequireKey(request.key)) return false;
            if (!Confirm(request.force, "Delete all values under the registry key " +
                                            request.key.display + " (Yes/No)?")) {
                return false;
            }
            std::vector<reg::Value> values;
            reg::Status status = store_.EnumValues(request.key.path, values);
            if (!status) return StoreFailure(status, request.key.display);
            for (const reg::Value& value : values) {
                status = store_.DeleteValue(request.key.path, value.name);
                // Another writer may have removed it meanwhile.
                if (!status && status.code != reg::kNotFound) {
                    return StoreFailure(status, request.key.display);
                }
            }
            return Done();
        }
    }
    return Fail("Nothing to delete.");
}

bool Commands::Save(const Request& request) {
    if (!RequireKey(request.key)) return false;
    struct stat st;
    if (::lstat(request.file.c_str(), &st) == 0 && !request.overwrite) {
        return Fail("The file " + request.file + " already exists; use /y to overwrite it.");
    }
    reg::Status status = store_.SaveKey(request.key.path, request.file, request.overwrite);
    if (!status) return StoreFailure(status, "saving " + request.key.display + " to " + request.file);
    return Done();
}

bool Commands::Restore(const Request& request) {
    if (request.key.path.empty()) return Fail("The root key cannot be replaced.");
    struct stat st;
    if (::stat(request.file.c_str(), &st) != 0) {
        return Fail("Cannot open " + request.file + ": " + std::strerror(errno) + ".");
    }
    if (!S_ISREG(st.st_mode)) return Fail(request.file + " is not a saved key.");
    reg::Status status = store_.RestoreKey(request.key.path, request.file);
    if (!status) {
        return StoreFailure(status, "restoring " + request.key.display + " from " + request.file);
    }
    return Done();
}

bool Commands::Passwd(const Request& request) {
    // Everything about the names is checked before anyone is asked for a
    // password.
    if (request.server.empty() || request.server.find('\\') != std::string::npos) {
        return Fail("Invalid server name \"" + request.server + "\".");
    }
    const KeyName serverKey{std::string(kServersKey) + "\\" + request.server,
                            "HKEY_LOCAL_MACHINE\\" + std::string(kServersKey) + "\\" + request.server};
    reg::Status status = store_.KeyExists(serverKey.path);
    if (status.code == reg::kNotFound) return Fail("The server " + request.server + " does not exist.");
    if (!status) return StoreFailure(status, serverKey.display);

    const std::optional<std::string> section = CUserSettings::UserSection(request.user);
    if (!section) {
        return Fail("Invalid user name \"" + request.user +
                    "\"; use NAME or DOMAIN\\NAME (not DefaultRights, Rights or Virtual Directories).");
    }
    if (IsDefaultUser(request.user)) {
        return Fail("The user \"" + request.user + "\" only supplies settings to other users and "
                    "cannot log in; it takes no password.");
    }
    CServerRegistry settings(store_, request.server, nullptr);
    const KeyName userKey{settings.KeyPath(section->c_str()),
                          "HKEY_LOCAL_MACHINE\\" + settings.KeyPath(section->c_str())};
    if (userKey.path.size() >= kMaxKeyPath) return Fail("The server and user names are too long.");

    if (passwords_ == nullptr) return Fail("No password input available.");
    SecretText password;
    std::string error;
    if (!passwords_->Read(password.text(), error)) return Fail(error + " Nothing was changed.");
    const std::string& text = password.text();
    if (text.empty()) return Fail("Empty password refused; nothing was changed.");
    if (text.size() > kMaxNewPassword) {
        return Fail("Password longer than " + std::to_string(kMaxNewPassword) +
                    " characters; nothing was changed.");
    }
    // Such a password could never be sent with PASS.
    if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos) {
        return Fail("The password contains a NUL, CR or LF character; nothing was changed.");
    }

    const std::string hash = PasswordHash(text, NewSalt());
    const std::vector<uint8_t> data = reg::StringData(hash);
    status = store_.SetValue(userKey.path, kPasswdValue, reg::REG_SZ, data.data(), data.size());
    if (!status) return StoreFailure(status, userKey.display);
    return Done();
}

bool Commands::Walk(const KeyName& top,
                    const std::function<reg::Status(const KeyName&)>& visit) {
    // An explicit stack: the depth of a stored tree is not ours to trust.
    std::vector<KeyName> pending{top};
    while (!pending.empty()) {
        KeyName key = std::move(pending.back());
        pending.pop_back();
        const bool isTop = key.path == top.path;

        reg::Status status = visit(key);
        if (status.code == reg::kNotFound && !isTop) continue;
        if (!status) return StoreFailure(status, key.display);

        std::vector<std::string> names;
        status = store_.EnumSubkeys(key.path, names);
        if (status.code == reg::kNotFound && !isTop) continue;
        if (!status) return StoreFailure(status, key.display);
        for (auto it = names.rbegin(); it != names.rend(); ++it) {
            pending.push_back(ChildKey(key, *it));
        }
    }
    return true;
}

reg::Status Commands::AppendKeyBlock(const KeyName& key, std::string& text) const {
    std::vector<reg::Value> values;
    reg::Status status = store_.EnumValues(key.path, values);
    if (!status) return status;
    text += key.display + "\n";
    for (const reg::Value& value : values) text += ValueLine(value);
    text += "\n";
    return status;
}

bool Commands::RequireKey(const KeyName& key) {
    reg::Status status = store_.KeyExists(key.path);
    if (status.code == reg::kNotFound) return Fail("The key " + key.display + " does not exist.");
    if (!status) return StoreFailure(status, key.display);
    return true;
}

bool Commands::Confirm(bool force, const std::string& question) {
    if (force) return true;
    if (!confirmation_.CanAsk()) {
        return Fail("Not deleting without confirmation: standard input is not a terminal; "
                    "use /f to delete without asking.");
    }
    if (!confirmation_.Ask(question)) return Fail("Cancelled; nothing was deleted.");
    return true;
}

bool Commands::Done() {
    out_ << "The operation completed successfully.\n";
    return true;
}

bool Commands::Fail(const std::string& message) {
    err_ << "ERROR: " << message << "\n";
    return false;
}

bool Commands::StoreFailure(const reg::Status& status, const std::string& what) {
    std::string reason = status.message;
    if (reason.empty()) {
        switch (status.code) {
            case reg::kNotFound: reason = "not found"; break;
            case reg::kAccessDenied: reason = "access denied"; break;
            case reg::kInvalidParameter: reason = "invalid parameter"; break;
            case reg::kKeyHasChildren: reason = "the key has subkeys"; break;
            case reg::kCorrupt: reason = "the store file is not a readable store"; break;
            default: reason = "store error " + std::to_string(status.code); break;
        }
    }
    std::string message = what + ": " + reason;
    // Failures of the store file itself name the file, which may not be the
    // one the user had in mind.
    if ((status.code == reg::kAccessDenied || status.code == reg::kCorrupt ||
         status.code == reg::kIoError) &&
        reason.find(store_.path()) == std::string::npos) {
        message += " (store " + store_.path() + ")";
    }
    if (message.back() != '.') message += '.';
    return Fail(message);
}

bool Commands::CertList() {
    for (long number : {0L, 1L}) {
        const std::string dir = tls::CertStoreDir(number);
        out_ << "Store " << number << " (" << (number == 0 ? "service" : "machine") << "): " << dir << "\n";
        std::vector<tls::CertEntry> entries;
        std::vector<tls::SkippedFile> skipped;
        if (const int err = tls::ReadStore(dir, entries, &skipped); err != 0) {
            out_ << "    (cannot be read: " << std::strerror(err) << ")\n";
            continue;
        }
        if (entries.empty()) out_ << "    (no certificates)\n";
        for (const tls::CertEntry& e : entries) {
            out_ << "    " << tls::HashText(e.hash) << "  expires " << e.notAfter << "  " << e.subject << "\n"
                 << "        " << e.path;
            if (!e.hasKey) out_ << "  [no private key]";
            if (e.keyExposed) out_ << "  [key readable by others: refused]";
            out_ << "\n";
        }
        // A file dropped into the folder that the service cannot use is
        // named, so that its absence above is not a mystery.
        for (const tls::SkippedFile& f : skipped) {
            out_ << "    not used: " << f.path << "  [";
            switch (f.error) {
                case EINVAL: out_ << "no PEM certificate in it, or not a regular file"; break;
                case EFBIG: out_ << "too large for a certificate file"; break;
                case ELOOP: out_ << "a symbolic link: links are not followed"; break;
                default: out_ << std::strerror(f.error); break;
            }
            out_ << "]\n";
        }
    }
    return true;
}

bool Commands::CertUse(const Request& request) {
    if (request.server.empty() || request.server.find('\\') != std::string::npos) {
        return Fail("Invalid server name \"" + request.server + "\".");
    }
    tls::CertHash hash{};
    if (!tls::ParseHashText(request.hash, hash)) {
        return Fail("Invalid hash \"" + request.hash + "\"; give the 40 hex digits cert list shows.");
    }
    const KeyName serverKey{std::string(kServersKey) + "\\" + request.server,
                            "HKEY_LOCAL_MACHINE\\" + std::string(kServersKey) + "\\" + request.server};
    reg::Status status = store_.KeyExists(serverKey.path);
    if (status.code == reg::kNotFound) return Fail("The server " + request.server + " does not exist.");
    if (!status) return StoreFailure(status, serverKey.display);
    for (long number : {0L, 1L}) {
        std::vector<tls::CertEntry> entries;
        if (tls::ReadStore(tls::CertStoreDir(number), entries) != 0) continue;
        for (const tls::CertEntry& e : entries) {
            if (e.hash != hash) continue;
            if (!e.hasKey) return Fail(e.path + " holds no private key; the server could not use it.");
            if (e.keyExposed) {
                return Fail(e.path + " may be read by other accounts; the server refuses such a key. "
                            "Make it owned by the service's account and readable by it only (chmod 600).");
            }
            CServerRegistry settings(store_, request.server, nullptr);
            const std::string key = settings.KeyPath("TLS");
            const uint32_t storeNumber = static_cast<uint32_t>(number);  // REG_DWORD: little-endian
            uint8_t dword[4] = {static_cast<uint8_t>(storeNumber), 0, 0, 0};
            status = store_.SetValue(key, "CertificateHash", reg::REG_BINARY, hash.data(), hash.size());
            if (status) status = store_.SetValue(key, "CertificateStore", reg::REG_DWORD, dword, sizeof dword);
            if (!status) return StoreFailure(status, "HKEY_LOCAL_MACHINE\\" + key);
            out_ << "The server " << request.server << " now uses " << e.subject << " (" << e.path << ").\n";
            return true;
        }
    }
    return Fail("No certificate with the hash " + tls::HashText(hash) + " is in the stores (see cert list).");
}

}  // namespace orvyn::regtool
