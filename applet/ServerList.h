// What the main dialog shows of the server instances of a store: one record
// per instance key under Servers, its state, and the sort order of the list.
// Pure logic over the store, without widgets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/Registry.h"

namespace orvyn::applet {

// Service states as the service manager reports them.
enum ServiceState : uint32_t {
    kServiceUnknown = 0,
    kServiceStopped = 1,
    kServiceStartPending = 2,
    kServiceStopPending = 3,
    kServiceRunning = 4,
};

// Row states, also the index of the row's icon.
enum ServerState : int {
    kStateStopped = 0,
    kStateRunning = 1,
    kStatePaused = 2,
    kStateFatalError = 3,
};

const char* StateText(int state);

struct ServerRecord {
    std::string name;
    std::string address;     // at most 64 characters; "0.0.0.0" when missing
    std::string numAddress;  // empty unless enabled and not failed
    std::string port;        // at most 19 characters; "ftp" when missing
    std::string numPort;     // empty unless enabled and not failed
    bool enabled = true;     // Enabled; missing counts as true
    bool failed = false;     // Started present and false

    int State(uint32_t serviceState) const;
    // The key the Status column sorts by: enabled + 2 * failed.
    int StatusKey() const { return (enabled ? 1 : 0) + (failed ? 2 : 0); }
};

// A value read as a boolean: REG_SZ starting with n, N or 0 is false, a
// (big-endian) DWORD of 0 is false, anything else and a missing value true.
bool ValueAsBool(const reg::Value* value);

// The record of the instance `name`; missing values take their defaults.
ServerRecord ReadServerRecord(const reg::IStore& store, const std::string& name);

// Names of the instance keys in store order, empty names left out.
std::vector<std::string> ServerNames(const reg::IStore& store);

// The running test every command applies: the service runs and neither
// Enabled nor Started, read as numbers (missing: 1), is 0.
bool IsServerRunning(const reg::IStore& store, const std::string& name, uint32_t serviceState);

// Caption and enabled state of the service button for a service state.
struct ServiceButtonLook {
    const char* caption;
    bool enabled;
};
ServiceButtonLook ServiceButtonFor(uint32_t serviceState);

// Server list columns, in their default order (counted from 1 in sort states).
enum ServerColumn : int { kColName = 1, kColAddress, kColNumAddress, kColPort, kColNumPort, kColStatus };

// Compares two records by a sort state (+k ascending, -k descending by
// column k; 0 compares equal). Texts compare without regard to case.
int CompareServers(const ServerRecord& a, const ServerRecord& b, int sortState);

// Text comparison without regard to case, as the lists use it.
int CompareTextNoCase(std::string_view a, std::string_view b);

}  // namespace orvyn::applet
