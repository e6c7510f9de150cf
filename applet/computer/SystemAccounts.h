// The system accounts the users editor offers under the system account
// model: the password database of this computer as NSS gives it (local
// files, directory services), without the accounts that cannot log in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvyn::applet {

// Whether an account with this login shell and password field can log in:
// not with a shell ending in "/nologin" or "/false", and not with a locked
// or disabled password ("!" or "*" first) where the field can be read (the
// shadow database is asked when the passwd field is only "x").
bool AccountCanLogIn(std::string_view shell, std::string_view passwordField);

// The names of every account of the password database that can log in, each
// once, in database order.
std::vector<std::string> LoginAccounts();

// Whether the password database knows the account.
bool AccountExists(const std::string& name);

}  // namespace orvyn::applet
