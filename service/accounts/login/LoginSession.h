// What a login needs of the FTP session and of its server instance, and of
// the system's account database. The session implements ILoginSession; the
// login itself (Login.h) knows nothing else about sessions or sockets, so
// its decisions can be exercised without a network.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/accounts/ExternalAuth.h"
#include "platform/accounts/SystemLogon.h"

namespace orvyn {

class CServerRegistry;
class CSessionAccount;
class ILogSink;

// The instance settings a login reads from the instance's settings cache
// (they can change at run time without touching the store).
struct LoginPolicy {
    bool secure = true;               // Security\Secure: logins required, confinement on
    bool allowAnon = false;           // Security\Allow_Anon
    long maxHacks = 5;                // Security\MaxHacks: failed logins before the 421 (0: no limit)
    bool ntsam = false;               // Security\ServerType is "NTSAM": system accounts
    std::string restrictToDirectory;  // Security\RestrictToDirectory, without a trailing separator
    bool secureDefault = true;        // what Secure means where the store has no value
};

class ILoginSession {
public:
    virtual ~ILoginSession() = default;

    // ---- the instance ---------------------------------------------------------------
    virtual int connectionNumber() const = 0;
    virtual ILogSink& log() = 0;
    virtual CServerRegistry& registry() = 0;
    virtual LoginPolicy policy() const = 0;
    virtual const accounts::ExternalAuthLibrary& externalAuth() const = 0;
    // The administrative stop has reached its forced-disconnect time.
    virtual bool forcedStopReached() const = 0;

    // ---- the control connection ------------------------------------------------
    // TLS protects the control connection.
    virtual bool controlProtected() const = 0;
    virtual std::string peerAddressText() const = 0;
    // The session's closing gate: true (after its 421) when the session no
    // longer accepts commands.
    virtual bool ClosingGate() = 0;
    // Sends catalogue text `number` (no printf arguments).
    virtual void ReplyText(int number) = 0;
    // Sends the login message of a directory as 230 continuation lines (the
    // message file is read as the user).
    virtual void SendLoginMessage(const std::string& directory) = 0;
    virtual void SetStatus(const char* text) = 0;
    // Keeps the reply buffer back for that many timer ticks; the session
    // reads no further command meanwhile.
    virtual void HoldReplies(int ticks) = 0;
    // A login from this connection's address failed: it counts towards a
    // ban of the address, across sessions.
    virtual void LoginFailed() = 0;
    // Whether this connection's address is banned now (it may have been
    // banned after the connection was accepted).
    virtual bool AddressBanned() = 0;
    // The session closes after the current command.
    virtual void StopAcceptingCommands() = 0;
    // Runs `ask` (a question to PAM or to the external library, which may
    // take its time) on a worker thread, and afterwards `answer` on the
    // network thread with the session as it is then; the session reads no
    // further command meanwhile. Nothing is called once the session has
    // ended. False when no worker could take the question (nothing is
    // called then either).
    virtual bool AskAside(std::function<void()> ask, std::function<void(ILoginSession&)> answer) = 0;

    // ---- the session's login fields ------------------------------------------
    virtual const std::string& userName() const = 0;
    virtual void SetUserName(std::string name) = 0;
    virtual void SetUserDetail(std::string detail) = 0;
    virtual void SetLoggedIn(bool on) = 0;
    virtual CSessionAccount& account() = 0;
};

// The system's account database ("NTSAM" logins).
class ISystemAccounts {
public:
    virtual ~ISystemAccounts() = default;
    // Checks a password; a non-empty domain qualifies the account.
    virtual accounts::LogonResult Logon(std::string_view account, std::string_view domain,
                                        std::string_view password, std::string_view remoteHost) = 0;
    // The home of last resort.
    virtual std::string LastResortHome() = 0;
};

// PAM and the password database (platform/accounts).
ISystemAccounts& SystemAccounts();

}  // namespace orvyn
