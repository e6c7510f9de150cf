// What the data side of a session (DataTransfer.h) needs of the FTP session
// and of its server instance. The session implements IDataSession; the data
// side knows nothing else about sessions, instances or the command table.
//
// Everything here is called on the event loop's thread, from inside the
// session's own command handlers and data events.
#pragma once

#include <sys/socket.h>

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/eventloop/EventLoop.h"
#include "service/accounts/paths/PathResolver.h"
#include "service/transfer/security/TlsSock.h"

namespace orvyn {

class CChildReaper;
class CPasvPortSearch;
class CServerRegistry;
class CSessionAccount;

// The instance settings the data side reads from the instance's settings
// cache (they can change at run time without touching the store).
struct DataPolicy {
    bool disableLowPorts = true;   // Security\DisableLowPorts: no PORT to ports below 1024
    bool requireBackPort = true;   // Security\RequireBackPort: PORT only to the client's own address
    bool secure = true;            // Security\Secure: logins required, rights apply
    bool allowPuts = true;         // Security\Allow_Puts: uploads and changes allowed
};

class IDataSession {
public:
    virtual ~IDataSession() = default;

    // ---- the instance ---------------------------------------------------------------
    virtual eventloop::EventLoop& loop() = 0;
    virtual CServerRegistry& registry() = 0;
    virtual DataPolicy policy() const = 0;
    virtual CPasvPortSearch& pasvPorts() = 0;
    virtual CChildReaper& childReaper() = 0;
    // The resolver of client paths with the instance's join method.
    virtual PathResolver Resolver() const = 0;
    // Enters a data socket (or a conversion's pipe) into the instance's data
    // map, so that its events reach this session, or takes it out again.
    virtual void RouteData(eventloop::Socket s) = 0;
    virtual void UnrouteData(eventloop::Socket s) = 0;
    // Selects the "ORVYN Data" events of a data socket or pipe; 0 deselects
    // it (events already queued for it are dropped).
    virtual void SelectData(eventloop::Socket s, uint32_t events) = 0;
    // Queues an event for a data socket as if the loop had seen it.
    virtual void PostDataEvent(eventloop::Socket s, uint32_t event) = 0;
    // The instance's count of open sockets.
    virtual void SocketOpened() = 0;
    virtual void SocketClosed() = 0;

    // ---- the control connection ------------------------------------------------
    virtual eventloop::Socket controlSocket() const = 0;
    virtual const sockaddr_storage& peerAddress() const = 0;
    virtual socklen_t peerLength() const = 0;
    virtual const sockaddr_storage& localAddress() const = 0;
    virtual socklen_t localLength() const = 0;
    // Protection level of data connections (PROT): 2 is private.
    virtual int protectionState() const = 0;
    // A TLS layer for a new data connection, its credentials acquired and
    // its handshake started, expecting the control connection's sessions;
    // null after a failure, whose code is in *error.
    virtual std::unique_ptr<CTlsSock> NewDataTlsLayer(unsigned long* error) = 0;
    // One complete reply line, without its CR LF.
    virtual void Reply(std::string_view line) = 0;
    // While corked, replies collect and go out together at the uncork (or
    // when the session closes).
    virtual void CorkReplies(bool on) = 0;
    // The status text the administrators' monitor shows.
    virtual void SetStatus(std::string text) = 0;
    // A refusal: its reply, and the status "Fail".
    void Refuse(std::string_view reply) {
        Reply(reply);
        SetStatus("Fail");
    }
    virtual void LogV(char category, const char* format, va_list ap) = 0;
    void Log(char category, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        va_list ap;
        va_start(ap, format);
        LogV(category, format, ap);
        va_end(ap);
    }
    // The "Conn - Status" line of a failed socket call.
    void LogSocketError(int wsaError, int site, const char* call) {
        Log('?', "Conn - Status %d Line %d doing %s on %d", wsaError, site, call, controlSocket());
    }

    // ---- the session's transfer parameters and login ------------------------------
    // TYPE I or L 8 (no line-end conversion of names and listings).
    virtual bool imageType() const = 0;
    // MODE B: block framing; the data connection stays open between transfers.
    virtual bool blockMode() const = 0;
    virtual bool loggedIn() const = 0;
    virtual const std::string& userName() const = 0;
    virtual CSessionAccount& account() = 0;
};

}  // namespace orvyn
