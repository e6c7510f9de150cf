// The administration monitors of an instance: sessions that sent "SITE ADMN"
// and now receive a "300 MODI" line after every command of every session and
// a "300 DELE" line when a session ends.
//
// Lines are queued on the monitor's own reply buffer and leave with its
// normal output. A monitor that stops reading must neither make the instance
// buffer without bound nor slow the other sessions: while its unsent replies
// exceed the session's reply limit its lines are dropped, and the episode is
// logged once.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/eventloop/EventLoop.h"
#include "service/core/server/FtpServer.h"

namespace orvyn {

class CFtpSession;

// Longest name field of a MODI line.
inline constexpr size_t kMaxMonitorName = 260;

// The name field of a MODI line: an anonymous login's e-mail in double
// quotation marks, else the user name (empty before login), at most
// kMaxMonitorName characters, every blank turned into "_".
std::string MonitorName(const CFtpSession& session);

// The peer address field: the address the connection came from with its
// port ("10.1.2.3:4711", "[fd00::1]:4711"; an IPv4-mapped address as IPv4).
std::string MonitorAddress(const CFtpSession& session);

// Queues one MODI line about `about` on `to`; last selects the blank
// separator (a single line, or the last line of a list), else "-".
void SendModiLine(CFtpSession& to, CFtpSession& about, bool last);

class CMonitorFeed final : public ISessionObserver {
public:
    explicit CMonitorFeed(CFtpServer& server) : server_(server) {}

    // Monitor update: MODI of the session to every monitor, or, when it has
    // ended, DELE to every monitor but the session itself.
    void SessionChanged(CFtpSession& session, bool ended) override;

    // The monitor toggle's list: one MODI line per session of the instance,
    // in map order, as one multi-line 300 reply.
    void SendSessionList(CFtpSession& monitor);

    // A session became a monitor or stopped being one (the toggle, REIN, its
    // end). Only monitors are visited after each command, so a command costs
    // the same with ten sessions as with ten thousand.
    void MonitorToggled(CFtpSession& session, bool on);

private:
    // Whether a line may still be queued on the monitor (the line of a
    // session's end has more room than a MODI line); logs the start of an
    // episode of dropped lines once.
    bool Room(CFtpSession& monitor, bool ending);

    CFtpServer& server_;
    // The sessions that are monitors, in the order they became one.
    std::vector<CFtpSession*> monitoring_;
    // Monitors whose lines are being dropped (by control socket).
    std::set<eventloop::Socket> lagging_;
};

}  // namespace orvyn
