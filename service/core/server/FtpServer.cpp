#include "service/core/server/FtpServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "platform/eventloop/Winsock.h"
#include "platform/sound/Sound.h"
#include "service/core/admin/MonitorFeed.h"
#include "service/core/server/HostRules.h"
#include "service/core/server/ListenAddress.h"
#include "service/base/replies/Catalogue.h"
#include "service/base/text/NoCase.h"
#include "service/core/session/FtpSession.h"
#include "service/transfer/data/OwnEndpoints.h"

namespace orvyn {

using eventloop::FD_ACCEPT;
using eventloop::FD_CLOSE;
using eventloop::FD_READ;
using eventloop::FD_WRITE;
using eventloop::INVALID_SOCKET;
using eventloop::Message;
using eventloop::Socket;

namespace {

// Call sites named in "Conn - Status" lines.
constexpr int kSiteAccept = 1201;
constexpr int kSiteSelect = 1202;
constexpr int kSiteListenSelect = 1203;

constexpr uint32_t kControlEvents = FD_READ | FD_WRITE | FD_CLOSE;
// Marks the timer's retry of a stalled send (in the error field, which a
// write event never uses otherwise).
constexpr int kTimerRetry = -1;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t SteadySeconds() { return SteadyMs() / 1000; }

}  // namespace

CFtpServer::CFtpServer(reg::Store& store, eventloop::EventLoop& loop, std::string name)
    : store_(store), loop_(loop), name_(std::move(name)), registry_(store, name_, &log_), log_(registry_) {
    registry_.WriteOnlyIntoExistingKey();
    // A library that cannot be loaded is passed over: logins then go to the
    // password store or the system accounts.
    externalAuth_.load(registry_.ReadString(nullptr, "ExternalDLL", ""));
    monitors_ = std::make_unique<CMonitorFeed>(*this);
    observer_ = monitors_.get();
    childReaper_.AttachTo(&loop_);
}

CFtpServer::~CFtpServer() {
    Stop();
    childReaper_.AttachTo(nullptr);
    loop_.ForgetTarget(this);
}

// ---- start, refresh, stop ------------------------------------------------------

void CFtpServer::FatalError(const std::string& text) {
    log_.Log(-1, '!', "%s", text.c_str());
    registry_.WriteString(nullptr, "Fatal Error", text.c_str());
}

bool CFtpServer::Start(const std::string& listenSpec, const std::string& tlsPortText) {
    ListenAddress where = ResolveListenAddress(listenSpec, &log_);
    if (!where.ok) {
        FatalError(where.fatalError);
        registry_.WriteInt(nullptr, "Started", 0);
        return false;
    }
    tlsPort_ = ResolveTlsPort(tlsPortText, &log_);

    const int family = where.addr.ss_family;
    int err = listener_.Create(family);
    if (err != 0) {
        log_.Log(-1, '!', "ORVYN - Fatal (socket(PF_INET,SOCK_STREAM,0))");
        log_.Log(-1, '!', "%s", SocketErrorText(err).c_str());
        FatalError("Fatal error creating listener socket: " + SocketErrorText(err));
        registry_.WriteInt(nullptr, "Started", 0);
        return false;
    }
    port_ = where.port;
    registry_.WriteInt(nullptr, "NumPort", port_);
    err = listener_.Bind(reinterpret_cast<const sockaddr*>(&where.addr), where.len);
    if (err == 0) err = listener_.Listen();
    if (err != 0) {
        log_.Log(-1, '!', "ORVYN - Fatal (bind to ftp)");
        log_.Log(-1, '!', "%s", SocketErrorText(err).c_str());
        listener_.Close(true);
        FatalError("Fatal error binding listening socket: " + SocketErrorText(err));
        registry_.WriteInt(nullptr, "Started", 0);
        return false;
    }
    if (port_ == 0) {
        // The system chose the port: record the one actually bound.
        port_ = listener_.LocalPort();
        registry_.WriteInt(nullptr, "NumPort", port_);
    }
    err = loop_.AsyncSelect(listener_.socket(), this, Message::Accept, FD_ACCEPT | FD_CLOSE);
    if (err != 0) log_.Log(-1, '?', "Conn - Status %d Line %d doing %s on %d", err, kSiteListenSelect,
                           "WSAAsyncSelect", listener_.socket());
    IncrementOpenSockets();

    if (tlsPort_ != 0) {
        // Second listener for implicit TLS on the same address. Until the TLS
        // layer exists its connections are served like those of the main
        // port.
        sockaddr_storage tlsAddr = where.addr;
        if (family == AF_INET) {
            reinterpret_cast<sockaddr_in*>(&tlsAddr)->sin_port = htons(static_cast<uint16_t>(tlsPort_));
        } else {
            reinterpret_cast<sockaddr_in6*>(&tlsAddr)->sin6_port = htons(static_cast<uint16_t>(tlsPort_));
        }
        err = tlsListener_.Create(family);
        if (err != 0) {
            log_.Log(-1, '!', "ORVYN - TLS Warning (socket(PF_INET,SOCK_STREAM,0))");
            log_.Log(-1, '!', "%s", SocketErrorText(err).c_str());
        } else {
            err = tlsListener_.Bind(reinterpret_cast<const sockaddr*>(&tlsAddr), where.len);
            if (err == 0) err = tlsListener_.Listen();
            if (err != 0) {
                log_.Log(-1, '!', "ORVYN - TLS Error (bind to port)");
                log_.Log(-1, '!', "%s", SocketErrorText(err).c_str());
                tlsListener_.Close(true);
            } else {
                loop_.AsyncSelect(tlsListener_.socket(), this, Message::Accept, FD_ACCEPT | FD_CLOSE);
                IncrementOpenSockets();
            }
        }
    }

    registry_.WriteInt(nullptr, "Started", 1);
    RefreshSettings();
    return true;
}

std::vector<std::string> CFtpServer::MessageLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size() && lines.size() < kMaxMessageLines) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A line end inside a reply line would break the reply apart.
        for (char& c : line) {
            if (c == '\r') c = ' ';
        }
        lines.push_back(std::move(line));
        pos = end + 1;
    }
    // A text that ends with a line break has no empty last line.
    return lines;
}

void CFtpServer::RefreshSettings() {
    // A refresh is asked for because the store changed: read it afresh.
    reg::NewReadEpoch();
    pasvPorts_.DiscardTable();
    CServerSettings s;
    s.allowAnon = registry_.ReadFlag("Security", "Allow_Anon", false);
    s.allowAnonPuts = registry_.ReadFlag("Security", "Allow_Anon_Puts", false);
    s.allowPuts = registry_.ReadFlag("Security", "Allow_Puts", true);
    s.disableLowPorts = registry_.ReadFlag("Security", "DisableLowPorts", true);
    s.maxHacks = registry_.ReadInt("Security", "MaxHacks", 5);
    s.maxUsers = registry_.ReadInt("Security", "MaxUsers", 0);
    s.requireBackPort = ReadRequireBackPort(registry_);
    s.restrictToDirectory = registry_.ReadString("Security", "RestrictToDirectory", "");
    // Every closing separator goes ("///" is the whole tree, like "/").
    while (s.restrictToDirectory.size() > 1 &&
           (s.restrictToDirectory.back() == '\\' || s.restrictToDirectory.back() == '/')) {
        s.restrictToDirectory.pop_back();
    }
    s.secure = registry_.ReadFlag("Security", "Secure", !singleSession_);
    s.timeOut = registry_.ReadInt("Security", "TimeOut", 300);
    if (s.timeOut < 0) s.timeOut = 0;
    s.gfpnMethod = registry_.ReadInt(nullptr, "GFPNMethod", 1);
    s.allowAll = registry_.ReadFlag("Hosts", "AllowAll", true);
    s.messageFtp = registry_.ReadFlag("Messages", "MESSAGE.FTP", false);
    s.allowLogins = registry_.ReadFlag(nullptr, "AllowLogins", true);
    s.serverType = registry_.ReadString("Security", "ServerType", "ORVYN");
    s.ntsam = EqualsNoCase(s.serverType, "NTSAM");
    s.maxListings = registry_.ReadInt("Security", "MaxListings", 32);
    s.maxListingsPerAddress = registry_.ReadInt("Security", "MaxListingsPerAddress", 8);
    settings_ = std::move(s);
    greeting_ = MessageLines(registry_.ReadString("Messages", "Greet", ""));
    farewell_ = MessageLines(registry_.ReadString("Messages", "Bye", ""));
}

void CFtpServer::CloseListener(CListener& l) {
    if (!l.IsOpen()) return;
    loop_.AsyncSelect(l.socket(), nullptr, Message::Accept, 0);  // before the handle is reused
    l.Close(true);
    DecrementOpenSockets();
}

void CFtpServer::Stop() {
    // The last chance to store the count: worth a wait.
    connections_.WriteBack(reg::kFullWriteWaitMs);
    if (acceptRetryTimer_ != 0) {
        loop_.RemoveTimer(acceptRetryTimer_);
        acceptRetryTimer_ = 0;
    }
    for (Socket s : sessionMap_.Sockets()) {
        CSessionRecord* rec = sessionMap_.Lookup(s);
        if (rec != nullptr) DisconnectSession(*rec->session);
    }
    sessionMap_.RemoveAll();
    CloseListener(listener_);
    CloseListener(tlsListener_);
    // Sockets of sessions that ended earlier and still wait for the client.
    std::vector<Socket> orphans;
    for (const auto& [s, since] : orphans_) orphans.push_back(s);
    for (Socket s : orphans) CloseControlSocket(s, true);
    for (auto& [handle, rec] : lookupMap_) loop_.CancelLookup(handle);
    lookupMap_.clear();
}

void CFtpServer::SetStopState(int forcedMinutes, int backMinutes) {
    const int64_t now = SteadyMs();
    stopping_ = true;
    forcedSet_ = forcedMinutes >= 0;
    forcedAt_ = now + static_cast<int64_t>(forcedSet_ ? forcedMinutes : 0) * 60000;
    backAt_ = now + static_cast<int64_t>(backMinutes) * 60000;
}

bool CFtpServer::ForcedDisconnectDue(int64_t nowMs) const { return stopping_ && forcedSet_ && nowMs >= forcedAt_; }

bool CFtpServer::ForcedDisconnectReached() const { return ForcedDisconnectDue(SteadyMs()); }

// ---- sessions -------------------------------------------------------------------

int CFtpServer::NextConnectionNumber() { return connections_.Next(); }

size_t CFtpServer::ReadMaxCmdLine() const {
    const long n = registry_.ReadInt(nullptr, "MaxCmdLine", 2048);
    if (n <= 0) return 2048;
    return std::min(static_cast<size_t>(n), CReceiveBuffer::kHardLimit);
}

void CFtpServer::OnAccept(Socket listener) {
    // Not kept from the last refresh: a new limit holds from the next client.
    auto record = std::make_unique<CSessionRecord>(ReadMaxCmdLine());
    record->session = std::make_unique<CFtpSession>(*this, *record, -1);
    CFtpSession& session = *record->session;
    session.setAcceptingCommands(settings_.allowLogins);
    // The connection is taken before a connection number is drawn, so that
    // an accept event with nothing to accept uses up no number.
    int err = session.AcceptConnection(listener);
    if (err == eventloop::WSAEMFILE || err == eventloop::WSAENOBUFS) {
        RefuseForLackOfDescriptors(listener);
        return;
    }
    if (err != 0) {
        if (err != eventloop::WSAEWOULDBLOCK) {
            log_.Log(-1, '?', "Conn - Status %d Line %d doing %s on %d", err, kSiteAccept, "accept", listener);
            log_.Log(-1, '!', "Couldn't accept incoming connection");
        }
        return;  // the record goes; no socket was opened
    }
    if (descriptorsExhausted_) {
        // This connection may have taken the last free descriptor: the line
        // borrows the reserve, as the episode's first line did.
        descriptorsExhausted_ = false;
        reserve_.Release();
        log_.Log(-1, '!', "Descriptors are free again - accepting connections");
        reserve_.Restore();
    }
    if (bans_.Banned(reinterpret_cast<const sockaddr*>(&session.peerAddress()), session.peerLength(),
                     SteadySeconds())) {
        // Told and closed before it costs a connection number or a log line.
        const Socket s = session.controlSocket();
        const char* text = MessageText(MSG_ADDRESS_BANNED);
        static_cast<void>(::send(s, text, std::strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT));
        loop_.CloseSocket(s, false);
        return;
    }
    if (own_endpoints::Contains(reinterpret_cast<const sockaddr*>(&session.peerAddress()), session.peerLength())) {
        // One of our own data connections, sent to this listener by a PORT
        // or EPRT: what it carries would run as commands from this machine.
        log_.Log(-1, '!', "Connection from this service's own data connection refused");
        loop_.CloseSocket(session.controlSocket(), true);
        return;
    }
    const int number = NextConnectionNumber();
    session.setConnectionNumber(number);
    const Socket s = session.controlSocket();
    IncrementOpenSockets();
    // Replies go out as they are complete: a 150 and a 226 in a row must not
    // wait for the client's delayed acknowledgement of the first.
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Clients that abort send a byte (or the whole ABOR line) as urgent
    // data: kept in line, it reaches the parser, which skips the Telnet
    // bytes ahead of the command, instead of vanishing from the stream.
    ::setsockopt(s, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one);
    err = loop_.AsyncSelect(s, this, Message::Command, kControlEvents);
    if (err != 0) log_.Log(number, '?', "Conn - Status %d Line %d doing %s on %d", err, kSiteSelect,
                           "WSAAsyncSelect", s);
    CSessionRecord* rec = record.get();
    rec->lastActivity = eventloop::EventLoop::TickCount();
    records_.emplace(rec, std::move(record));
    sessionMap_.SetAt(s, rec);

    if (listener == tlsListener_.socket() && !session.StartImplicitTls()) {
        // No credentials: the client gets no greeting, only the close.
        loop_.AsyncSelect(s, nullptr, Message::Command, 0);
        session.CloseSession();
        CloseControlSocket(s, false);
        return;
    }

    if (!session.acceptingCommands()) {
        session.ClosingGate();  // 421; the client's next line or close ends it
        NotifyObservers(session, false);
        return;
    }
    session.ExchangeCountedAsUser(true);
    IncrementUserCount();
    session.ReadLocalAddress();
    session.setWaitingForName(registry_.ReadFlag("Hosts", "WaitForName", false));
    const int handle = loop_.StartReverseLookup(reinterpret_cast<const sockaddr*>(&session.peerAddress()),
                                                session.peerLength(), this);
    if (handle > 0) {
        session.SetLookupPending(handle);
        lookupMap_[handle] = rec;
    }
    // A name that can never arrive cannot be waited for.
    if (!session.waitingForName() || handle <= 0) {
        session.setWaitingForName(false);
        HostCheck(session);  // may close the session
    }
    if (sessionMap_.Lookup(s) == rec) {
        rec->lastActivity = eventloop::EventLoop::TickCount();
        NotifyObservers(session, false);
    }
}

void CFtpServer::RefuseForLackOfDescriptors(Socket listener) {
    // Clients refused in one go before the other sessions get their turn.
    constexpr int kMaxRefusals = 256;
    constexpr unsigned kRetryMs = 200;
    reserve_.Restore();
    if (!descriptorsExhausted_) {
        // One line per episode, not per client; the log file needs a
        // descriptor of its own for the line.
        descriptorsExhausted_ = true;
        reserve_.Release();
        log_.Log(-1, '!', "Out of descriptors - new connections are refused until some are free");
        reserve_.Restore();
    }
    const char* text = MessageText(MSG_SERVICE_NOT_AVAILABLE);
    const size_t length = std::strlen(text);
    int refused = 0;
    bool drained = false;
    while (refused < kMaxRefusals && reserve_.Release()) {
        const int s = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (s < 0) {
            drained = errno == EAGAIN || errno == EWOULDBLOCK;
            reserve_.Restore();
            break;
        }
        // A reply this short fits the new socket's buffer; the close is orderly.
        static_cast<void>(::send(s, text, length, MSG_NOSIGNAL | MSG_DONTWAIT));
        ::close(s);
        reserve_.Restore();
        ++refused;
    }
    if (drained || refused == kMaxRefusals) {
        // Nothing waits any more, or the next turn goes on: the listener's
        // next connection (or the rest of the queue) comes as an event again.
        loop_.ResumeAccept(listener);
        return;
    }
    // Not even the reserve could be used: look again shortly.
    if (acceptRetryTimer_ != 0) return;
    acceptRetryTimer_ = loop_.AddTimer(kRetryMs, [this, listener] {
        loop_.RemoveTimer(acceptRetryTimer_);
        acceptRetryTimer_ = 0;
        loop_.ResumeAccept(listener);
    });
}

void CFtpServer::HostCheck(CFtpSession& session) {
    const int64_t nowMs = SteadyMs();
    if (ForcedDisconnectDue(nowMs)) {
        const int64_t left = backAt_ - nowMs;
        session.Reply(MSG_SERVER_STOPPED, left > 0 ? static_cast<int>(left / 60000) : 0);
        return;
    }

    const std::vector<std::string> rules = registry_.ListNames(settings_.allowAll ? "Hosts\\DenyThese"
                                                                                   : "Hosts\\AllowThese");
    const std::string& host = session.remoteHostName();
    const sockaddr* peer = reinterpret_cast<const sockaddr*>(&session.peerAddress());
    HostDecision d = CheckHost(settings_.allowAll, rules, host, peer, session.peerLength());
    const std::string shownHost = host.empty() ? std::string("{unnamed}") : host;
    const std::string address = session.PeerAddressText();
    const int conn = session.connectionNumber();
    if (d.allowed) {
        if (d.matched) {
            log_.Log(conn, 'L', "Host %s [%s] allowed because it matched \"%s\"", shownHost.c_str(), address.c_str(),
                     d.rule.c_str());
        }
        const long users = userCount();
        if (settings_.maxUsers != 0 && users > settings_.maxUsers) {
            log_.Log(conn, 'L', "Too many users connected - %d / %d", static_cast<int>(users),
                     static_cast<int>(settings_.maxUsers));
            session.ReplyText(MSG_TOO_MANY_USERS);
            session.Quit();
            return;
        }
        session.Greet();
        return;
    }
    if (d.matched) {
        log_.Log(conn, 'L', "User's host %s [%s] not allowed to connect because of rule %s.", shownHost.c_str(),
                 address.c_str(), d.rule.c_str());
    } else {
        log_.Log(conn, 'L', "User's host %s [%s] not allowed to connect because it matched no rule.",
                 shownHost.c_str(), address.c_str());
    }
    session.ReplyText(MSG_SERVICE_NOT_AVAILABLE);
    session.Quit();
}

void CFtpServer::OnLookupDone(int handle, int wsaError, const std::string& hostName) {
    auto it = lookupMap_.find(handle);
    if (it == lookupMap_.end()) return;
    CSessionRecord* rec = it->second;
    lookupMap_.erase(it);
    CFtpSession& session = *rec->session;
    session.LookupFinished(wsaError, hostName);
    if (session.waitingForName()) {
        // No command runs before the host is let in (they wait meanwhile).
        const Socket s = session.controlSocket();
        session.setWaitingForName(false);
        HostCheck(session);
        if (sessionMap_.Lookup(s) == rec) session.HostCheckDone();
    }
}

void CFtpServer::CancelLookup(CFtpSession& session) {
    const int handle = session.lookupHandle();
    if (handle == 0) return;
    loop_.CancelLookup(handle);
    lookupMap_.erase(handle);
    session.SetLookupPending(0);
}

void CFtpServer::DestroySession(CSessionRecord& record) {
    CFtpSession& session = *record.session;
    const Socket s = session.controlSocket();
    if (s != INVALID_SOCKET) {
        if (sessionMap_.Lookup(s) == &record) sessionMap_.RemoveKey(s);
        // The socket stays open (and selected) until the client closes it.
        orphans_[s] = eventloop::EventLoop::TickCount();
    }
    if (session.dataSocket() != INVALID_SOCKET) dataMap_.RemoveKey(session.dataSocket());
    auto it = records_.find(&record);
    if (it != records_.end()) records_.erase(it);  // destroys the record and its session
}

void CFtpServer::CloseControlSocket(Socket s, bool zeroLinger) {
    orphans_.erase(s);
    loop_.CloseSocket(s, zeroLinger);
    DecrementOpenSockets();
}

void CFtpServer::DisconnectSession(CFtpSession& session) {
    const Socket s = session.controlSocket();
    loop_.AsyncSelect(s, nullptr, Message::Command, 0);
    if (session.dataSocket() != INVALID_SOCKET) {
        session.ReplyText(MSG_DATA_CLOSED);
        session.CloseDataConnection();
        log_.Log(session.connectionNumber(), '!', "Disconnect while transferring data");
    }
    session.ReplyText(MSG_DISCONNECTED);
    log_.Log(session.connectionNumber(), '!', "Disconnected user %s", session.userName().c_str());
    session.CloseSession();
    CloseControlSocket(s, false);
}

void CFtpServer::NotifyObservers(CFtpSession& session, bool ended) {
    if (observer_ != nullptr) observer_->SessionChanged(session, ended);
}

void CFtpServer::PlayGoodbyeSound() {
    sound::PlaySoundAsync(registry_.ReadString("Messages", "GoodbyeSound", ""), "goodbye");
}

// ---- events ---------------------------------------------------------------------

void CFtpServer::OnSocketEvent(Message msg, Socket s, uint32_t event, int wsaError) {
    // What an event writes between commands (the end of a transfer, a
    // client's close) sees the store as it is now, as a command would.
    reg::NewReadEpoch();
    switch (msg) {
        case Message::Accept:
            if (s == listener_.socket() || s == tlsListener_.socket()) {
                if ((event & FD_ACCEPT) != 0) OnAccept(s);
                if ((event & FD_CLOSE) != 0) OnListenerClosed(s);
                return;
            }
            OnCommandEvent(s, event, wsaError);
            return;
        case Message::Command:
            OnCommandEvent(s, event, wsaError);
            return;
        case Message::Data:
            OnDataEvent(s, event, wsaError);
            return;
        case Message::Async:
            return;
    }
}

void CFtpServer::OnCommandEvent(Socket s, uint32_t event, int wsaError) {
    CSessionRecord* rec = sessionMap_.Lookup(s);
    if (rec == nullptr) {
        OnOrphanEvent(s, event);
        return;
    }
    // Control events alone do not count as activity: only a complete command
    // line does (CFtpSession::ProcessLine), so that a client sending a line
    // byte by byte cannot hold its session past the time-out.
    if ((event & (FD_READ | FD_WRITE)) != 0) {
        rec->session->OnControlEvent(event & (FD_READ | FD_WRITE), wsaError);
        rec = sessionMap_.Lookup(s);
        if (rec == nullptr) return;  // the session ended; its socket waits for the close event
    }
    if ((event & FD_CLOSE) != 0) {
        // Commands the client sent before it closed still run, in order (a
        // batch that ends with the client's close), unless they must wait.
        while (rec->session->LinesWaiting()) {
            const uint64_t before = rec->session->inputProgress();
            rec->session->OnControlEvent(FD_READ, 0);
            rec = sessionMap_.Lookup(s);
            if (rec == nullptr) return;
            if (rec->session->inputProgress() == before) break;
        }
        rec->session->ClientClosed();
    }
}

void CFtpServer::OnOrphanEvent(Socket s, uint32_t event) {
    if (orphans_.find(s) == orphans_.end()) {
        // Not a socket of this instance: stop its events, leave it alone.
        loop_.AsyncSelect(s, nullptr, Message::Command, 0);
        return;
    }
    if ((event & FD_CLOSE) == 0) {
        // Only what the client does counts: room to write, or a read the
        // session had queued for its next turn before it ended, is no news
        // (the reset would throw away replies the client has not read yet).
        int unread = 0;
        if ((event & FD_READ) == 0 || (::ioctl(s, FIONREAD, &unread) == 0 && unread == 0)) return;
        static const char kLost[] = "425 Network error - lost your socket reference\n";
        int err = 0;
        loop_.Send(s, kLost, sizeof kLost - 1, &err);
        CloseControlSocket(s, true);
        return;
    }
    // The client's close: a graceful one, so that a client that only shut
    // down its sending side still reads the replies sent before.
    CloseControlSocket(s, false);
}

void CFtpServer::OnDataEvent(Socket s, uint32_t event, int wsaError) {
    CSessionRecord* rec = dataMap_.Lookup(s);
    if (rec == nullptr) {
        // A data socket nobody claims any more.
        if ((event & FD_CLOSE) == 0) {
            loop_.CloseSocket(s, true);
        } else {
            loop_.AsyncSelect(s, nullptr, Message::Data, 0);
        }
        return;
    }
    // A connection arriving at a passive listener is no progress by itself:
    // a stranger's connection, turned away, must not keep the session alive.
    // The timer's own retry of a stalled send is progress only when it moves
    // bytes: a client that stops reading a download times out, one that
    // reads slowly does not (the kernel may report room only once much of
    // a large send buffer is free, which a slow reader takes long to do).
    const bool retry = wsaError == kTimerRetry;
    if (retry) {
        wsaError = 0;
    } else if ((event & FD_ACCEPT) == 0) {
        rec->lastActivity = eventloop::EventLoop::TickCount();
    }
    CFtpSession& session = *rec->session;
    const Socket control = session.controlSocket();
    const uint64_t movedBefore = retry ? session.transferProgress() : 0;
    session.OnDataEvent(s, event, wsaError);
    if (sessionMap_.Lookup(control) != rec) return;
    if (retry && session.transferProgress() != movedBefore) rec->lastActivity = eventloop::EventLoop::TickCount();
    NotifyObservers(session, false);
    // A closing session ends once its transfer has moved its last byte.
    if (!session.TransferBusy() && session.ClosingGate()) session.CloseSession();
}

void CFtpServer::OnListenerClosed(Socket s) {
    if (s == listener_.socket()) {
        log_.Log(-1, '!', "Listening socket closed - no more connections allowed.");
        CloseListener(listener_);
    } else if (s == tlsListener_.socket()) {
        CloseListener(tlsListener_);
    }
}

// ---- timer ----------------------------------------------------------------------

void CFtpServer::ReapOrphans(uint32_t now) {
    std::vector<Socket> expired;
    for (const auto& [s, since] : orphans_) {
        if (now - since >= kOrphanGraceMs) expired.push_back(s);
    }
    for (Socket s : expired) CloseControlSocket(s, true);
}

BanPolicy CFtpServer::ReadBanPolicy() {
    BanPolicy p;
    p.failures = registry_.ReadInt("Security", "BanFailures", p.failures);
    p.windowSeconds = registry_.ReadInt("Security", "BanWindow", p.windowSeconds);
    p.banSeconds = registry_.ReadInt("Security", "BanSeconds", p.banSeconds);
    p.loopback = registry_.ReadInt("Security", "BanLoopback", 0) == 1;
    return p;
}

void CFtpServer::NoteFailedLogin(CFtpSession& session) {
    const BanPolicy policy = ReadBanPolicy();
    const long seconds = bans_.NoteFailure(reinterpret_cast<const sockaddr*>(&session.peerAddress()),
                                           session.peerLength(), SteadySeconds(), policy);
    if (seconds > 0) {
        log_.Log(session.connectionNumber(), '!', "*** Address %s banned for %ld seconds after %ld failed logins ***",
                 session.PeerAddressText().c_str(), seconds, policy.failures);
    }
}

bool CFtpServer::AddressBanned(CFtpSession& session) const {
    return bans_.Banned(reinterpret_cast<const sockaddr*>(&session.peerAddress()), session.peerLength(),
                        SteadySeconds());
}

void CFtpServer::TimerStep() {
    reg::NewReadEpoch();
    const uint32_t now = eventloop::EventLoop::TickCount();
    ReapOrphans(now);
    // Another program writing the store: the next tick tries again.
    connections_.Tick();
    if (bans_.size() > 0) bans_.Expire(SteadySeconds(), ReadBanPolicy());
    if (sessionMap_.IsEmpty()) return;
    // Idle times are measured in 32-bit milliseconds (about 49.7 days); a
    // longer time-out is as long as they can measure, never a wrapped one.
    const uint32_t limit = static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint64_t>(settings_.timeOut) * 1000u, UINT32_MAX));
    const bool idleChecks = limit != 0;
    // A session takes part in the forced disconnect when its last activity
    // is not after the forced time: its idle time (ticks) is at least the
    // time since then.
    const int64_t nowMs = SteadyMs();
    const bool forced = ForcedDisconnectDue(nowMs);
    const int64_t sinceForced = forced ? nowMs - forcedAt_ : 0;

    for (Socket s : sessionMap_.Sockets()) {
        CSessionRecord* rec = sessionMap_.Lookup(s);
        if (rec == nullptr) continue;
        CFtpSession& session = *rec->session;
        const uint32_t idle = now - rec->lastActivity;

        if (forced && (sinceForced > int64_t{UINT32_MAX} || static_cast<int64_t>(idle) >= sinceForced)) {
            if (!session.OnTimeOut()) session.OnTimeOut();
            continue;
        }
        if (idleChecks && idle >= limit) {
            if (!session.OnTimeOut()) {
                rec->lastActivity = now;
                // A session that has said QUIT ends with its transfer.
                if (!session.TransferBusy() && session.ClosingGate()) session.CloseSession();
            }
            continue;
        }
        if (idleChecks && session.monitor() && static_cast<uint64_t>(idle) * 4 > static_cast<uint64_t>(limit) * 3) {
            session.Reply(MSG_TIME_WARNING);
        }
        if (idleChecks && session.transferWaitingToWrite() && session.dataSocket() != INVALID_SOCKET) {
            loop_.PostEvent(this, Message::Data, session.dataSocket(), FD_WRITE, kTimerRetry);
        }
        session.WatchPassiveListener();
        if (session.replyHoldCount() > 0) {
            session.setReplyHoldCount(session.replyHoldCount() - 1);
            if (session.replyHoldCount() == 0) session.EndHold();
        }
    }
}

}  // namespace orvyn
