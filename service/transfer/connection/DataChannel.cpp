#include "service/transfer/connection/DataChannel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "platform/eventloop/SocketAddress.h"
#include "platform/eventloop/Winsock.h"
#include "service/base/settings/ServerRegistry.h"
#include "service/transfer/connection/DataSession.h"
#include "service/transfer/data/DataAddress.h"
#include "service/transfer/data/OwnEndpoints.h"
#include "service/transfer/data/PassiveReplies.h"
#include "service/transfer/data/PasvPortSearch.h"
#include "service/transfer/data/SocketTuning.h"

namespace orvyn {

using eventloop::FD_ACCEPT;
using eventloop::FD_CONNECT;
using eventloop::INVALID_SOCKET;
using eventloop::WSAEWOULDBLOCK;

namespace {

// The other end has neither closed nor reset the connection.
bool StillConnected(int fd) {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

// Connections a passive listener keeps waiting until the transfer command:
// the client's, and a few of strangers racing it to the port.
constexpr int kPassiveBacklog = 4;
constexpr int kStrangersPerTurn = 16;
constexpr int kRandomPortAttempts = 8;

// A random port of the system's ephemeral range (read once).
int RandomEphemeralPort() {
    static const std::pair<int, int> range = [] {
        std::pair<int, int> r{32768, 60999};
        if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "re")) {
            int low = 0, high = 0;
            if (std::fscanf(f, "%d %d", &low, &high) == 2 && low > 1023 && low < high && high <= 65535) {
                r = {low, high};
            }
            std::fclose(f);
        }
        return r;
    }();
    static std::minstd_rand random(static_cast<unsigned>(std::random_device{}()));
    return range.first + static_cast<int>(random() % static_cast<unsigned>(range.second - range.first + 1));
}

// The address of a peer for log lines: an IPv4 caller of an IPv6 listener
// shows as a.b.c.d.
std::string HostText(const sockaddr_storage& addr) {
    if (const uint8_t* v4 = eventloop::IPv4Bytes(reinterpret_cast<const sockaddr*>(&addr))) {
        char buf[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, v4, buf, sizeof buf);
        return buf;
    }
    return AddressText(reinterpret_cast<const sockaddr*>(&addr));
}

int WindowSize(IDataSession& session) {
    return static_cast<int>(session.registry().ReadInt(nullptr, "WindowSize", 8192));
}

}  // namespace

CDataChannel::CDataChannel(IDataSession& session, IChannelOwner& owner) : session_(session), owner_(owner) {}

CDataChannel::~CDataChannel() {
    // The session closes the connection before it goes; a socket left here
    // is only released.
    if (ownEndNoted_) own_endpoints::Remove(ownEnd_);
    if (socket_ != INVALID_SOCKET) {
        session_.UnrouteData(socket_);
        if (session_.loop().CloseSocket(socket_, true) != WSAEWOULDBLOCK) session_.SocketClosed();
        socket_ = INVALID_SOCKET;
    }
}

// ---- PORT, EPRT -----------------------------------------------------------------

void CDataChannel::SetTarget(std::string_view arg, bool eprt) {
    if (RefusedAfterEpsvAll()) return;
    owner_.SettleAnswered();
    targetGiven_ = false;
    state_ = DataState::ReceiveFile;
    const DataPolicy policy = session_.policy();
    const DataTargetRules rules{policy.disableLowPorts, policy.requireBackPort};
    const sockaddr* peer = reinterpret_cast<const sockaddr*>(&session_.peerAddress());
    DataTarget t = eprt ? ParseEprtArgument(arg, peer, rules) : ParsePortArgument(arg, peer, rules);
    if (t.outcome == DataTargetOutcome::Accepted) owner_.EndReplacedTransfer();
    session_.Reply(t.reply());
    switch (t.outcome) {
        case DataTargetOutcome::Accepted:
            target_ = t.address;
            targetLen_ = t.length;
            targetGiven_ = true;
            newTarget_ = true;
            if (eprt) {
                session_.Log('C', kLogEprtSet, t.addressText.c_str(), t.port);
            } else {
                session_.Log('C', kLogPortSet, t.addressText.c_str(), t.port, t.p1, t.p2);
            }
            session_.SetStatus("Success");
            return;
        case DataTargetOutcome::BadSyntax:
            session_.Log('C', "%s", kLogBadPortParameters);
            break;
        case DataTargetOutcome::Refused:
            session_.Log('C', "%s", kLogBadPortParameters);
            session_.Log('!', kLogPortOtherAddress, std::string(arg.substr(0, 200)).c_str());
            break;
        case DataTargetOutcome::BadProtocol:
            session_.Log('C', kLogEprtBadProtocol, t.protocol);
            break;
    }
    session_.SetStatus("Fail");
}

void CDataChannel::DefaultToClientAddress() {
    if (targetGiven_) return;
    target_ = session_.peerAddress();
    targetLen_ = session_.peerLength();
}

// ---- PASV, EPSV -----------------------------------------------------------------

bool CDataChannel::RefusedAfterEpsvAll() {
    if (!epsvAll_) return false;
    session_.Refuse(kReplyOnlyEpsv);
    return true;
}

// Creates the passive listener and binds it by the instance's port search.
bool CDataChannel::OpenPassiveSocket() {
    owner_.EndReplacedTransfer();
    state_ = DataState::PassiveListening;
    Close(true);
    const sockaddr_storage& local = session_.localAddress();
    const int fd = ::socket(local.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        session_.Reply(kReplyPasvNoSocket);
        session_.Log('!', "%s", kLogPasvNoSocket);
        session_.SetStatus("Fail");
        return false;
    }
    session_.SocketOpened();
    socket_ = fd;
    // Ports of finished data connections wait in TIME_WAIT for a minute
    // after each small transfer. A port is chosen here, not by the kernel,
    // and may be one of those: the kernel's own choice searches past every
    // port held that way, which after a burst of small transfers costs more
    // than the transfer, and a configured range would run dry.
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage addr = local;
    const socklen_t len = session_.localLength();
    auto bindTo = [&](int port) -> int {
        if (addr.ss_family == AF_INET6) {
            reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = htons(static_cast<uint16_t>(port));
        } else {
            reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(static_cast<uint16_t>(port));
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return eventloop::WsaFromErrno(errno);
        // A port of our choosing is known; the kernel's must be asked.
        passiveBound_ = addr;
        socklen_t boundLen = sizeof passiveBound_;
        if (port == 0) ::getsockname(fd, reinterpret_cast<sockaddr*>(&passiveBound_), &boundLen);
        return 0;
    };
    auto tryBind = [&](int port) -> int {
        if (port != 0) return bindTo(port);
        // Any port: a few random ones of the system's ephemeral range, then
        // the kernel's choice.
        for (int attempt = 0; attempt < kRandomPortAttempts; ++attempt) {
            if (bindTo(RandomEphemeralPort()) == 0) return 0;
        }
        return bindTo(0);
    };
    CServerRegistry& registry = session_.registry();
    const long low = registry.ReadInt("Security", "LowPort", 0);
    const long high = registry.ReadInt("Security", "HighPort", 0);
    const bool random = registry.ReadInt("Security", "RandomPorts", 0) != 0;
    const int err = session_.pasvPorts().Search(low, high, random, tryBind);
    if (err != 0) {
        if (std::max(low, 0L) >= std::min(high, 65535L)) {
            session_.Log('?', kLogBindErrorCode, err);
            session_.Log('!', kLogPasvBindFailed, err);
        }
        Close(true);
        session_.Refuse(kReplyPasvNoBind);
        return false;
    }
    const int window = WindowSize(session_);
    RaiseFreshSocketBuffer(fd, SO_SNDBUF, window);
    RaiseFreshSocketBuffer(fd, SO_RCVBUF, window);
    session_.RouteData(fd);
    if (const int listenError = session_.loop().Listen(fd, kPassiveBacklog); listenError != 0) {
        session_.LogSocketError(listenError, __LINE__, "listen");
        Close(true);
        session_.Refuse(kReplyPasvNoBind);
        return false;
    }
    // Not watched until the transfer command (or the next timer tick): a
    // client connects and then sends its command, and the connection waits
    // in the backlog meanwhile, so the loop wakes once for both.
    listening_ = true;
    listenerWatched_ = false;
    return true;
}

void CDataChannel::Pasv() {
    if (RefusedAfterEpsvAll()) return;
    if (!OpenPassiveSocket()) return;
    const sockaddr_storage& bound = passiveBound_;
    const std::optional<in_addr> staticIp =
        ParseStaticIp(session_.registry().ReadString("Security", "PASVStaticIP", ""));
    const auto numbers = PasvNumbers(reinterpret_cast<const sockaddr*>(&bound), staticIp);
    const std::string reply = PasvReplyText(numbers);
    session_.Reply(reply);
    targetGiven_ = true;
    // The log line is the reply's text without its code.
    session_.Log('C', "%s", reply.c_str() + 4);
    session_.SetStatus("Success");
}

void CDataChannel::Epsv(std::string_view arg) {
    const sockaddr* local = reinterpret_cast<const sockaddr*>(&session_.localAddress());
    const EpsvRequest req = ParseEpsvArgument(arg, local);
    switch (req.kind) {
        case EpsvKind::All:
            epsvAll_ = true;
            session_.Reply(kReplyEpsvAll);
            session_.SetStatus("Success");
            return;
        case EpsvKind::BadProtocol:
            session_.Refuse(EpsvUnsupportedText(local).c_str());
            return;
        case EpsvKind::BadSyntax:
            session_.Refuse(kReplyEpsvIllegal);
            return;
        case EpsvKind::Open:
            break;
    }
    if (!OpenPassiveSocket()) return;
    const sockaddr_storage& bound = passiveBound_;
    const int port = AddressPort(reinterpret_cast<const sockaddr*>(&bound));
    session_.Reply(EpsvReplyText(port));
    targetGiven_ = true;
    session_.Log('C', kLogEpsv, port);
    session_.SetStatus("Success");
}

// ---- claiming the connection ----------------------------------------------------

bool CDataChannel::Open(DataState kind) {
    // Passive: the client's connection (or the failure to accept it) is
    // here already, or the listener still waits for it. A failed accept
    // closed the listener; its error is this transfer's, never a reason to
    // connect anywhere.
    if (state_ == DataState::PassiveAccepted ||
        (state_ == DataState::PassiveListening && socket_ != INVALID_SOCKET)) {
        const bool accepted = state_ == DataState::PassiveAccepted;
        state_ = kind;
        if (!PrepareBuffers()) return false;
        if (accepted) {
            owner_.ConnectionReady(acceptError_);
        } else {
            TakeWaitingConnection();
        }
        return true;
    }
    return OpenActive(kind);
}

bool CDataChannel::PrepareBuffers() {
    if (owner_.PrepareBuffers()) return true;
    // Without memory for the transfer the command fails like a connection
    // that cannot be made.
    owner_.ConnectionReady(eventloop::WSAENOBUFS);
    return false;
}

bool CDataChannel::OpenActive(DataState kind) {
    const bool newTarget = std::exchange(newTarget_, false);
    if (session_.blockMode() && socket_ != INVALID_SOCKET && !newTarget && StillConnected(socket_)) {
        // A block-mode connection outlives its transfers: the next one starts
        // on it like on a new connection (unless the client has named another
        // address since, or has closed it).
        state_ = kind;
        if (!PrepareBuffers()) return false;
        owner_.ConnectionReady(0);
        return true;
    }
    Close(true);
    const sockaddr_storage& local = session_.localAddress();
    const int fd = ::socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int err = eventloop::WsaFromErrno(errno);
        session_.LogSocketError(err, __LINE__, "socket");
        owner_.ConnectionReady(err > 10000 ? err : eventloop::WSAEMFILE);
        return false;
    }
    session_.SocketOpened();
    state_ = kind;
    Adopt(fd);
    if (!PrepareBuffers()) return false;
    int err = BindActiveDataSocket(fd, reinterpret_cast<const sockaddr*>(&local), session_.localLength());
    if (err != 0) {
        owner_.ConnectionReady(err);
        return true;
    }
    linger lg{0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    const int window = WindowSize(session_);
    if (session_.blockMode() || IsSendingKind(kind)) RaiseFreshSocketBuffer(fd, SO_SNDBUF, window);
    if (session_.blockMode() || IsReceivingKind(kind)) RaiseFreshSocketBuffer(fd, SO_RCVBUF, window);
    session_.SelectData(fd, FD_CONNECT);
    sockaddr_storage target = target_;
    socklen_t targetLen = targetLen_;
    if (!AdaptToFamily(target, targetLen, local.ss_family)) {
        owner_.ConnectionReady(eventloop::WSAEAFNOSUPPORT);
        return true;
    }
    const int connected = ::connect(fd, reinterpret_cast<sockaddr*>(&target), targetLen);
    const int connectErrno = errno;
    // Noted before the loop turns: a connection to one of our own listeners
    // is accepted there, and must be known as ours by then.
    ownEndNoted_ = own_endpoints::Add(fd, ownEnd_);
    if (connected == 0) {
        owner_.ConnectionReady(0);
        return true;
    }
    errno = connectErrno;
    err = eventloop::WsaFromErrno(errno);
    if (errno == EINPROGRESS || err == WSAEWOULDBLOCK) return true;
    owner_.ConnectionReady(err);
    return true;
}

void CDataChannel::Adopt(eventloop::Socket s) {
    socket_ = s;
    session_.RouteData(s);
}

void CDataChannel::OnConnect(int wsaError) { owner_.ConnectionReady(wsaError); }

void CDataChannel::TakeWaitingConnection() {
    const eventloop::Socket listener = socket_;
    OnAccept(0);
    // Nothing (or only someone else's connection) was waiting: the listener
    // is watched for the client from now on.
    if (socket_ == listener && listener != INVALID_SOCKET) WatchWaitingListener();
}

void CDataChannel::WatchWaitingListener() {
    if (!listening_ || listenerWatched_ || socket_ == INVALID_SOCKET) return;
    listenerWatched_ = true;
    session_.SelectData(socket_, FD_ACCEPT);
}

void CDataChannel::OnAccept(int wsaError) {
    if (wsaError != 0) session_.LogSocketError(wsaError, __LINE__, "accept");
    int err = 0;
    sockaddr_storage from{};
    socklen_t fromLen = sizeof from;
    eventloop::Socket s = INVALID_SOCKET;
    // A bounded number at a time: a listener still readable is reported
    // again, so a flood of strangers cannot hold the loop here.
    for (int turnedAway = 0;; ++turnedAway) {
        if (turnedAway == kStrangersPerTurn) return;
        fromLen = sizeof from;
        s = session_.loop().Accept(socket_, reinterpret_cast<sockaddr*>(&from), &fromLen, &err);
        if (s == INVALID_SOCKET && err == WSAEWOULDBLOCK) return;  // nothing waits after all
        if (s == INVALID_SOCKET || AcceptablePeer(from)) break;
        // Someone else raced the client to the announced port: turned away,
        // and the listener goes on to the next connection, or waits for the
        // client (until the session's time-out closes it).
        session_.Log('!', kLogForeignDataPeer, HostText(from).c_str());
        session_.loop().CloseSocket(s, true);
    }
    acceptError_ = s == INVALID_SOCKET ? (err != 0 ? err : eventloop::WSAEINVAL) : 0;
    Close(false);  // the listener: it has no connection to reset
    if (s != INVALID_SOCKET) {
        session_.SocketOpened();
        Adopt(s);
    }
    if (state_ == DataState::PassiveListening) {
        state_ = DataState::PassiveAccepted;
    } else {
        owner_.ConnectionReady(acceptError_);
    }
}

bool CDataChannel::AcceptablePeer(const sockaddr_storage& from) {
    if (SameHostAddress(reinterpret_cast<const sockaddr*>(&from),
                        reinterpret_cast<const sockaddr*>(&session_.peerAddress()))) {
        return true;
    }
    return session_.registry().ReadFlag("Security", "AllowForeignDataPeer", false);
}

// ---- the end ----------------------------------------------------------------------

void CDataChannel::Deselect() {
    if (socket_ != INVALID_SOCKET) session_.SelectData(socket_, 0);
}

void CDataChannel::Close(bool abortive) {
    const eventloop::Socket d = socket_;
    listening_ = false;
    if (d == INVALID_SOCKET) return;
    if (ownEndNoted_) own_endpoints::Remove(ownEnd_);
    ownEndNoted_ = false;
    session_.UnrouteData(d);
    socket_ = INVALID_SOCKET;
    owner_.ConnectionClosed();
    const int err = session_.loop().CloseSocket(d, abortive);
    if (err != WSAEWOULDBLOCK) session_.SocketClosed();
}

}  // namespace orvyn
