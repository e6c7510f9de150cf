// A logged-on account's credentials, standing for the logon token of the
// design: the account name, its uid and gid, its supplementary groups and its
// home directory. Shared read-only between a session and the listing workers
// that act for it, so it is held by shared_ptr and never changed after logon.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace orvyn::accounts {

struct Token {
    std::string name;             // account name as the password database spells it
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;    // supplementary groups (getgrouplist), including gid
    std::string home;             // passwd home directory, may be empty
};

using TokenPtr = std::shared_ptr<const Token>;

}  // namespace orvyn::accounts
