// The event log of the service: numbered events with the program's message
// texts, written to syslog (ident = the event source name, facility daemon).
//
// Setting ORVYN_EVENTLOG_FILE additionally appends every reported event as one
// line "<source>: <type> <id>: <text>" to that file, so that a program started
// detached (where syslog may not be collected) can be observed.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/Registry.h"

namespace orvyn::eventlog {

// Event types, numbered as the event log numbers them.
enum class EventType : uint16_t {
    Error = 0x0001,
    Warning = 0x0002,
    Information = 0x0004,
};
const char* EventTypeName(EventType type);  // "error", "warning", "information"

// Event ids of the message table.
inline constexpr uint32_t EVMSG_INSTALLED = 100;
inline constexpr uint32_t EVMSG_REMOVED = 101;
inline constexpr uint32_t EVMSG_NOTREMOVED = 102;
inline constexpr uint32_t EVMSG_CTRLHANDLERNOTINSTALLED = 103;
inline constexpr uint32_t EVMSG_FAILEDINIT = 104;
inline constexpr uint32_t EVMSG_STARTED = 105;
inline constexpr uint32_t EVMSG_BADREQUEST = 106;
inline constexpr uint32_t EVMSG_DEBUG = 107;
inline constexpr uint32_t EVMSG_STOPPED = 108;

// The message text of an event id with its insertion marks (%1 ...) and its
// closing "\r\n"; nullptr for an id the table does not hold.
const char* MessageText(uint32_t id);

// The message text with %1..%9 replaced by the insertion strings in order.
// A mark without a string stays as it is. An id the table does not hold
// gives a generic text naming the id and the strings.
std::string FormatEvent(uint32_t id, const std::vector<std::string>& inserts);

// An event source: opened on the first report, closed when destroyed.
// Reports may come from several threads.
class EventSource {
public:
    explicit EventSource(std::string sourceName);
    ~EventSource();
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    const std::string& name() const { return name_; }

    // Up to three insertion strings; only the non-empty ones are used, in
    // their order. Returns the text that was logged (without "\r\n").
    std::string Report(EventType type, uint32_t id, std::string_view s1 = {},
                       std::string_view s2 = {}, std::string_view s3 = {});

private:
    void AppendToFile(const char* file, EventType type, uint32_t id, const std::string& text);

    std::string name_;
    std::mutex mutex_;
    bool opened_ = false;
};

// Store key of an event source: SYSTEM\CurrentControlSet\Services\EventLog\Application\<name>.
std::string SourceKeyPath(std::string_view sourceName);

// Registers an event source in the store: EventMessageFile (REG_EXPAND_SZ,
// the program that holds the message texts) and TypesSupported (REG_DWORD 7).
reg::Status RegisterSource(reg::Store& store, std::string_view sourceName,
                           std::string_view messageFile);

}  // namespace orvyn::eventlog
