// Whole server instance keys in a configuration store: the rules for a new
// instance's name, address and port, its creation, and the copy of a key's
// whole tree that renaming is built on. Pure logic over reg::IStore, so it
// works the same on this computer's store and on another computer's.
#pragma once

#include <string>
#include <string_view>

#include "platform/registry/Registry.h"

namespace orvyn::applet {

// The instance key of a server: Servers\<name>.
std::string ServerKey(std::string_view name);

// A name that can be a key of its own under Servers: not empty and without
// the key separator "\" (which would make it a key further down).
bool IsServerName(std::string_view name);

// Listening address: not empty; a text starting with a digit must be a
// dotted quad (four decimal parts below 256, no leading zeros, nothing
// else); any other text is a host name.
bool IsValidAddress(std::string_view address);

// Port: not empty; a text starting with a digit must be all digits; any
// other text is a service name.
bool IsValidPort(std::string_view port);

// Creates the instance `name` disabled (Enabled 0) with its address and
// port. Fails with kInvalidParameter when the key exists already; a write
// that fails removes the new key again.
reg::Status CreateServer(reg::IStore& store, std::string_view name, std::string_view address,
                         std::string_view port);

// Renames the instance `from` to `to` with its whole tree, in one step of the
// store; on failure `from` stays as it was. A name that differs only in
// letter case respells the same key. kInvalidParameter when `to` names
// another existing instance.
reg::Status RenameServer(reg::IStore& store, std::string_view from, std::string_view to);

}  // namespace orvyn::applet
