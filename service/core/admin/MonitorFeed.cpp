#include "service/core/admin/MonitorFeed.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

#include "platform/eventloop/SocketAddress.h"
#include "service/base/replies/SiteCatalogue.h"
#include "service/core/server/HostRules.h"
#include "service/core/session/FtpSession.h"

namespace orvyn {

std::string MonitorName(const CFtpSession& session) {
    const CSessionAccount& account = session.account();
    std::string name = account.anonymous() && session.loggedIn()
                           ? "\"" + account.anonymousEmail() + "\""
                           : session.userName();
    if (name.size() > kMaxMonitorName) name.resize(kMaxMonitorName);
    for (char& c : name) {
        if (c == ' ') c = '_';
    }
    return name;
}

std::string MonitorAddress(const CFtpSession& session) {
    const auto* sa = reinterpret_cast<const sockaddr*>(&session.peerAddress());
    const std::string host = AddressText(sa, session.peerLength());
    if (host.empty()) return "?";
    unsigned port = 0;
    bool bracket = false;
    if (sa->sa_family == AF_INET) {
        port = ntohs(reinterpret_cast<const sockaddr_in*>(sa)->sin_port);
    } else {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        port = ntohs(in6->sin6_port);
        bracket = eventloop::MappedIPv4Bytes(in6->sin6_addr) == nullptr;
    }
    return (bracket ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

void SendModiLine(CFtpSession& to, CFtpSession& about, bool last) {
    // No field but the last may hold a blank: a status text with one
    // (a transfer's progress text, say) is closed up.
    std::string status = about.statusText();
    for (char& c : status) {
        if (c == ' ') c = '_';
    }
    // The last command is the client's line as it came: a control character
    // in it (a lone CR, say) must not break or forge a line of the feed.
    std::string command = about.lastCommand();
    for (char& c : command) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    to.Reply(MSG_ADMN_MODI, last ? ' ' : '-', MonitorName(about).c_str(), static_cast<int>(about.controlSocket()),
             MonitorAddress(about).c_str(), status.c_str(), command.c_str());
}

bool CMonitorFeed::Room(CFtpSession& monitor, bool ending) {
    const eventloop::Socket s = monitor.controlSocket();
    // The end of a session is never dropped for a monitor that merely lags
    // behind (it would show the session for ever); only one that lets its
    // backlog grow far beyond that loses those lines too.
    const size_t limit = CFtpSession::kReplyBacklogLimit * (ending ? 4 : 1);
    if (monitor.pendingReplyBytes().size() < limit) {
        if (ending) return true;
        lagging_.erase(s);
        return true;
    }
    if (lagging_.insert(s).second) {
        server_.log().Log(monitor.connectionNumber(), '!',
                          "Monitor connection %d does not read its lines - %s lines dropped", static_cast<int>(s),
                          ending ? "MODI and DELE" : "MODI");
    }
    return false;
}

void CMonitorFeed::SessionChanged(CFtpSession& session, bool ended) {
    if (ended) lagging_.erase(session.controlSocket());
    for (CFtpSession* monitor : monitoring_) {
        if (ended && monitor == &session) continue;
        if (!Room(*monitor, ended)) continue;
        if (ended) {
            monitor->Reply(MSG_ADMN_DELE, static_cast<int>(session.controlSocket()));
        } else {
            SendModiLine(*monitor, session, true);
        }
    }
}

void CMonitorFeed::MonitorToggled(CFtpSession& session, bool on) {
    const auto at = std::find(monitoring_.begin(), monitoring_.end(), &session);
    if (on && at == monitoring_.end()) monitoring_.push_back(&session);
    if (!on && at != monitoring_.end()) monitoring_.erase(at);
}

void CMonitorFeed::SendSessionList(CFtpSession& monitor) {
    const std::vector<eventloop::Socket> sockets = server_.sessionMap().Sockets();
    for (size_t i = 0; i < sockets.size(); ++i) {
        CSessionRecord* rec = server_.sessionMap().Lookup(sockets[i]);
        if (rec == nullptr || !rec->session) continue;
        SendModiLine(monitor, *rec->session, i + 1 == sockets.size());
    }
}

}  // namespace orvyn
