// The session's side of the data component: lends the data side
// (service/transfer/connection) the session's replies, log, status and
// account, and the instance's loop, data map and settings, through
// IDataSession. One per session, owned by it and outliving its CDataTransfer.
#pragma once

#include "service/transfer/connection/DataSession.h"

namespace orvyn {

class CFtpSession;

class CSessionData final : public IDataSession {
public:
    explicit CSessionData(CFtpSession& session) : s_(session) {}

    eventloop::EventLoop& loop() override;
    CServerRegistry& registry() override;
    DataPolicy policy() const override;
    CPasvPortSearch& pasvPorts() override;
    CChildReaper& childReaper() override;
    PathResolver Resolver() const override;
    void RouteData(eventloop::Socket s) override;
    void UnrouteData(eventloop::Socket s) override;
    void SelectData(eventloop::Socket s, uint32_t events) override;
    void PostDataEvent(eventloop::Socket s, uint32_t event) override;
    void SocketOpened() override;
    void SocketClosed() override;

    eventloop::Socket controlSocket() const override;
    const sockaddr_storage& peerAddress() const override;
    socklen_t peerLength() const override;
    const sockaddr_storage& localAddress() const override;
    socklen_t localLength() const override;
    int protectionState() const override;
    std::unique_ptr<CTlsSock> NewDataTlsLayer(unsigned long* error) override;
    void Reply(std::string_view line) override;
    void CorkReplies(bool on) override;
    void SetStatus(std::string text) override;
    void LogV(char category, const char* format, va_list ap) override;

    bool imageType() const override;
    bool blockMode() const override;
    bool loggedIn() const override;
    const std::string& userName() const override;
    CSessionAccount& account() override;

private:
    CFtpSession& s_;
};

}  // namespace orvyn
