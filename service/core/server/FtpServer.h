// One server instance: a key under Servers in the configuration store, with
// its listeners, its cached settings, its sessions and its activity log.
//
// The instance receives the events of all its sockets from the event loop:
// listeners ("ORVYN Accept"), control connections ("ORVYN Command"), data
// connections ("ORVYN Data") and finished reverse lookups ("ORVYN Async").
// Everything runs on the loop's thread; only the user and open-socket counts
// are atomic because administration paths read them.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/accounts/ExternalAuth.h"
#include "platform/eventloop/EventLoop.h"
#include "platform/registry/Registry.h"
#include "service/base/log/ActivityLog.h"
#include "service/base/settings/ServerRegistry.h"
#include "service/core/server/ConnectionCounter.h"
#include "service/core/server/Listener.h"
#include "service/core/server/LoginBans.h"
#include "service/core/server/MapSockToSess.h"
#include "service/transfer/conversions/ChildReaper.h"
#include "service/transfer/data/PasvPortSearch.h"
#include "service/transfer/listing/ListingQuota.h"
#include "service/transfer/security/TlsCredentials.h"

namespace orvyn {

class CFtpSession;
class CMonitorFeed;
struct CSessionRecord;

// Settings re-read on every refresh of a running instance.
struct CServerSettings {
    bool allowAnon = false;
    bool allowAnonPuts = false;
    bool allowPuts = true;
    bool disableLowPorts = true;
    long maxHacks = 5;
    long maxUsers = 0;
    bool requireBackPort = true;
    std::string restrictToDirectory;
    bool secure = true;
    long timeOut = 300;  // seconds, 0: no time-out
    long gfpnMethod = 1;
    bool allowAll = true;
    bool messageFtp = false;
    bool allowLogins = true;
    std::string serverType = "ORVYN";
    bool ntsam = false;
    long maxListings = 32;            // Security\MaxListings: listings in progress at once (0: no bound)
    long maxListingsPerAddress = 8;   // Security\MaxListingsPerAddress: of them from one address (0: no bound)
};

// Told about every session after each of its commands and when it ends (the
// administration monitors listen here).
class ISessionObserver {
public:
    virtual ~ISessionObserver() = default;
    virtual void SessionChanged(CFtpSession& session, bool ended) = 0;
};

class CFtpServer : public eventloop::IEventTarget {
public:
    // Greeting and farewell lists hold at most this many lines.
    static constexpr size_t kMaxMessageLines = 20;
    // A control socket whose session has ended waits this long for the
    // client to close it before the instance closes it.
    static constexpr uint32_t kOrphanGraceMs = 30000;

    CFtpServer(reg::Store& store, eventloop::EventLoop& loop, std::string name);
    ~CFtpServer() override;
    CFtpServer(const CFtpServer&) = delete;
    CFtpServer& operator=(const CFtpServer&) = delete;

    const std::string& name() const { return name_; }
    eventloop::EventLoop& loop() { return loop_; }
    CServerRegistry& registry() { return registry_; }
    ILogSink& log() { return log_; }
    const CServerSettings& settings() const { return settings_; }

    // Single-session mode: Secure defaults to 0, sessions start in Image
    // type, and the first session's end ends the event loop.
    void SetSingleSessionMode(bool on) { singleSession_ = on; }
    bool singleSessionMode() const { return singleSession_; }

    // Resolves "address:port" and the TLS port text, opens the listeners and
    // records the outcome in the store (NumPort, Started, Fatal Error).
    // Returns false when the instance cannot run.
    bool Start(const std::string& listenSpec, const std::string& tlsPortText);
    // Re-reads the cached settings and the greeting and farewell lines.
    void RefreshSettings();
    // Disconnects every session and closes the listeners.
    void Stop();
    // Administrative stop: forced disconnect after forcedMinutes (none when
    // negative), back up after backMinutes.
    void SetStopState(int forcedMinutes, int backMinutes);
    bool stopping() const { return stopping_; }
    // Resumes after an administrative stop: new connections and logins are
    // welcome again.
    void ClearStopState() { stopping_ = false; }
    // The administrative stop has reached its forced-disconnect time: no
    // more logins.
    bool ForcedDisconnectReached() const;
    // Disconnects one session (instance stop, administrative disconnect).
    void DisconnectSession(CFtpSession& session);
    // One tick of the instance timer.
    void TimerStep();

    // eventloop::IEventTarget
    void OnSocketEvent(eventloop::Message msg, eventloop::Socket s, uint32_t event, int wsaError) override;
    void OnLookupDone(int handle, int wsaError, const std::string& hostName) override;

    // ---- used by the sessions ----------------------------------------------
    CSessionRecord* FindSession(eventloop::Socket s) const { return sessionMap_.Lookup(s); }
    const CMapSockToSess& sessionMap() const { return sessionMap_; }
    CMapSockToSess& dataMap() { return dataMap_; }
    // Drops a closed session: out of the maps, its socket kept open until the
    // client closes it (or the grace period ends), the record destroyed.
    void DestroySession(CSessionRecord& record);
    // Stops events, sets the linger mode, closes a control socket whose
    // session is gone, and lowers the open-socket count.
    void CloseControlSocket(eventloop::Socket s, bool zeroLinger);
    // Runs the host check of a freshly accepted session (at once, or once
    // the reverse lookup finished).
    void HostCheck(CFtpSession& session);
    void CancelLookup(CFtpSession& session);
    void NotifyObservers(CFtpSession& session, bool ended);
    // A login of the session failed: counts towards a ban of its address.
    void NoteFailedLogin(CFtpSession& session);
    // Whether the session's address is banned for failed logins now.
    bool AddressBanned(CFtpSession& session) const;
    void SetSessionObserver(ISessionObserver* observer) { observer_ = observer; }
    // The administration monitors (the observer unless a test sets its own).
    CMonitorFeed& monitors() { return *monitors_; }
    // The goodbye sound of a closing session: the file named by
    // Messages\GoodbyeSound, else the built-in one, never waited for.
    void PlayGoodbyeSound();
    // The external authentication library named by ExternalDLL, loaded once
    // when the instance is created (none when the value is empty or the
    // library cannot be loaded).
    const accounts::ExternalAuthLibrary& externalAuth() const { return externalAuth_; }

    const std::vector<std::string>& greetingLines() const { return greeting_; }
    const std::vector<std::string>& farewellLines() const { return farewell_; }

    long userCount() const { return userCount_.load(); }
    long openSockets() const { return openSockets_.load(); }
    long IncrementUserCount() { return ++userCount_; }
    long DecrementUserCount() { return --userCount_; }
    void IncrementOpenSockets() { ++openSockets_; }
    void DecrementOpenSockets() { --openSockets_; }

    int port() const { return port_; }

    // The passive port search of this instance (its table goes with every
    // refresh of the settings).
    CPasvPortSearch& pasvPorts() { return pasvPorts_; }
    // The instance's server credentials (its certificate, sessions and
    // tickets); 0 or the failure code.
    unsigned long AcquireTlsCredentials(std::shared_ptr<CTlsCredentials>& out) {
        return tlsCredentials_.Acquire(registry_, log_, out);
    }
    // Collects the conversion commands the sessions have ended.
    CChildReaper& childReaper() { return childReaper_; }
    // The listings in progress, bounded by MaxListings and MaxListingsPerAddress.
    ListingQuota& listingQuota() { return listingQuota_; }
    int tlsPort() const { return tlsPort_; }

private:
    // MaxCmdLine as it is now, held to what a receive buffer takes.
    size_t ReadMaxCmdLine() const;
    void OnAccept(eventloop::Socket listener);
    void OnCommandEvent(eventloop::Socket s, uint32_t event, int wsaError);
    void OnDataEvent(eventloop::Socket s, uint32_t event, int wsaError);
    void OnListenerClosed(eventloop::Socket s);
    void OnOrphanEvent(eventloop::Socket s, uint32_t event);
    void FatalError(const std::string& text);
    int NextConnectionNumber();
    // Accept failed for lack of descriptors (or memory): every waiting client
    // is told 421 and closed through the reserved descriptor, and accepting
    // resumes as soon as nothing waits (or after a short pause when not even
    // the reserve is left).
    void RefuseForLackOfDescriptors(eventloop::Socket listener);
    // Security\Ban*: when failed logins ban an address.
    BanPolicy ReadBanPolicy();
    bool ForcedDisconnectDue(int64_t nowMs) const;
    void ReapOrphans(uint32_t now);
    void CloseListener(CListener& l);
    static std::vector<std::string> MessageLines(const std::string& text);

    reg::Store& store_;
    eventloop::EventLoop& loop_;
    std::string name_;
    CServerRegistry registry_;
    CConnectionCounter connections_{registry_};
    CActivityLog log_;
    CServerSettings settings_;
    bool singleSession_ = false;

    CDescriptorReserve& reserve_ = CDescriptorReserve::ForProcess();
    bool descriptorsExhausted_ = false;  // an episode has been logged and not yet ended
    CLoginBans bans_;
    int acceptRetryTimer_ = 0;
    CListener listener_;
    CListener tlsListener_;
    int port_ = 0;
    int tlsPort_ = 0;

    std::unordered_map<CSessionRecord*, std::unique_ptr<CSessionRecord>> records_;
    CMapSockToSess sessionMap_;
    CMapSockToSess dataMap_;
    std::unordered_map<int, CSessionRecord*> lookupMap_;
    // Control sockets whose session ended, with the tick it ended.
    std::unordered_map<eventloop::Socket, uint32_t> orphans_;

    std::atomic<long> openSockets_{0};
    std::atomic<long> userCount_{0};

    bool stopping_ = false;
    bool forcedSet_ = false;
    // Milliseconds of the steady clock: a stop may be set up to a year ahead,
    // beyond what the 32-bit tick count can tell apart.
    int64_t forcedAt_ = 0;
    int64_t backAt_ = 0;

    std::vector<std::string> greeting_;
    std::vector<std::string> farewell_;
    std::unique_ptr<CMonitorFeed> monitors_;
    ISessionObserver* observer_ = nullptr;
    CPasvPortSearch pasvPorts_;
    CTlsCredentialCache tlsCredentials_{name_};
    CChildReaper childReaper_;
    ListingQuota listingQuota_;
    accounts::ExternalAuthLibrary externalAuth_;
};

}  // namespace orvyn
