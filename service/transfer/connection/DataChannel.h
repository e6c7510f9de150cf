// How a session's data connection comes to exist and ends: the target of an
// active connection (PORT, EPRT, or the client's own address), the passive
// listener (PASV, EPSV), the connect and the accept, and the close.
//
// The channel owns the data socket: first the passive listener, then the
// connection it accepted, or the socket of an active connection. It enters
// the socket into the instance's data map while it is open and closes it
// (Close, or its own destruction). Its state says what the connection is
// for: a passive listener waiting or accepted, or the kind of transfer that
// has claimed it (Open).
//
// A passive listener takes its connection from the client's own address
// only (AcceptablePeer); a stranger's connection is closed and the listener
// goes on waiting.
//
// The transfer that claims a connection (the owner) hears when it is ready
// or failed and when the socket closes. Everything runs on the loop thread.
#pragma once

#include <sys/socket.h>

#include <string_view>

#include "platform/eventloop/EventLoop.h"
#include "service/transfer/data/TransferKind.h"

namespace orvyn {

class IDataSession;

class IChannelOwner {
public:
    virtual ~IChannelOwner() = default;
    // The buffers of a transfer of the channel's state, before the
    // connection is used; false when there is no memory for them.
    virtual bool PrepareBuffers() = 0;
    // The connection claimed by Open is there (0), or could not be made (a
    // Winsock error; the socket is still to be closed by the owner).
    virtual void ConnectionReady(int wsaError) = 0;
    // The data socket has been closed.
    virtual void ConnectionClosed() = 0;
    // A transfer that has given its final reply and only waits for the
    // client's close ends now, closing its connection gracefully so that
    // what the socket still holds reaches the client: a new data connection
    // (or target) is about to replace it.
    virtual void SettleAnswered() = 0;
    // PASV, EPSV or an accepted PORT or EPRT replaces the data connection: a
    // transfer that still needs it (waiting for it, or moving data over it)
    // ends with 426; one already answered is settled as above.
    virtual void EndReplacedTransfer() = 0;
};

class CDataChannel {
public:
    CDataChannel(IDataSession& session, IChannelOwner& owner);
    ~CDataChannel();
    CDataChannel(const CDataChannel&) = delete;
    CDataChannel& operator=(const CDataChannel&) = delete;

    // ---- commands: each replies and sets the status ------------------------------
    void SetTarget(std::string_view arg, bool eprt);  // PORT (eprt false), EPRT
    void Pasv();
    void Epsv(std::string_view arg);

    // A transfer command's first step: without PORT, EPRT, PASV or EPSV since
    // the greeting, an active connection goes back to the client's address.
    void DefaultToClientAddress();
    // Claims the connection for a transfer of `kind`: a waiting or accepted
    // passive connection, a block-mode connection kept from the last
    // transfer, or a new active connection. The owner hears ConnectionReady
    // now or from a later event. False when nothing could be started (the
    // failure has been replied unless memory ran out).
    bool Open(DataState kind);
    // FD_ACCEPT and FD_CONNECT of the data socket.
    void OnAccept(int wsaError);
    // The transfer command after PASV or EPSV: takes the client's connection
    // if it waits already, otherwise watches the listener for it.
    void TakeWaitingConnection();
    // The instance's timer tick: a listener still unwatched is watched from
    // now on, so that strangers filling its backlog are turned away before
    // they keep the client's own connection out.
    void WatchWaitingListener();
    void OnConnect(int wsaError);
    // Closes the data socket (abortive: reset instead of the orderly end).
    void Close(bool abortive);
    // Closes the data socket abortively and forgets what it was for.
    void Reset() {
        Close(true);
        state_ = DataState::ReceiveFile;
    }
    // Stops the socket's events without closing it (a block-mode connection
    // between transfers, or a transfer that has ended).
    void Deselect();

    // The greeting and REIN: PORT, EPRT and PASV must be given again.
    void ForgetTarget() { targetGiven_ = false; }
    // REIN: the client may set up data connections any way again.
    void ForgetEpsvAll() { epsvAll_ = false; }
    bool epsvAll() const { return epsvAll_; }

    eventloop::Socket socket() const { return socket_; }
    bool open() const { return socket_ != eventloop::INVALID_SOCKET; }
    // A connection this service made itself stays known as its own until
    // the other end is done with it (it may lead to one of our listeners,
    // which must still recognise it when it gets round to accepting it).
    bool madeHere() const { return ownEndNoted_; }
    DataState state() const { return state_; }

private:
    // PORT, EPRT and PASV after EPSV ALL: replies 503 and returns true.
    bool RefusedAfterEpsvAll();
    // Creates and binds the passive listener; false after the failure has
    // been replied.
    bool OpenPassiveSocket();
    bool OpenActive(DataState kind);
    // The transfer's buffers; when they cannot be had the transfer fails
    // with WSAENOBUFS and false is returned.
    bool PrepareBuffers();
    // A connection to the passive listener is taken only from the control
    // connection's peer address (an IPv4 caller and its IPv4-mapped IPv6 form
    // are the same), unless Security\AllowForeignDataPeer lets any address
    // in (site-to-site transfers). An active connection goes where PORT or
    // EPRT said, which Security\RequireBackPort limits.
    bool AcceptablePeer(const sockaddr_storage& from);
    // Takes a new socket as the data socket.
    void Adopt(eventloop::Socket s);

    IDataSession& session_;
    IChannelOwner& owner_;
    eventloop::Socket socket_ = eventloop::INVALID_SOCKET;
    DataState state_ = DataState::ReceiveFile;
    sockaddr_storage target_{};
    sockaddr_storage passiveBound_{};  // where the passive listener was bound
    socklen_t targetLen_ = 0;
    bool targetGiven_ = false;
    // The local end of an active connection, noted while it is open.
    sockaddr_storage ownEnd_{};
    bool ownEndNoted_ = false;
    bool listening_ = false;        // socket_ is the passive listener
    bool listenerWatched_ = false;  // and its FD_ACCEPT is selected
    bool newTarget_ = false;  // PORT or EPRT named an address since the last active connection
    bool epsvAll_ = false;
    int acceptError_ = 0;
};

}  // namespace orvyn
