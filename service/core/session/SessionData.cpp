#include "service/core/session/SessionData.h"

#include "service/core/server/FtpServer.h"
#include "service/core/session/FtpSession.h"

namespace orvyn {

using eventloop::Message;

eventloop::EventLoop& CSessionData::loop() { return s_.server().loop(); }
CServerRegistry& CSessionData::registry() { return s_.server().registry(); }

DataPolicy CSessionData::policy() const {
    const CServerSettings& settings = s_.server().settings();
    DataPolicy p;
    p.disableLowPorts = settings.disableLowPorts;
    p.requireBackPort = settings.requireBackPort;
    p.secure = settings.secure;
    p.allowPuts = settings.allowPuts;
    return p;
}

CPasvPortSearch& CSessionData::pasvPorts() { return s_.server().pasvPorts(); }
CChildReaper& CSessionData::childReaper() { return s_.server().childReaper(); }
PathResolver CSessionData::Resolver() const { return s_.Resolver(); }

void CSessionData::RouteData(eventloop::Socket s) { s_.server().dataMap().SetAt(s, &s_.record()); }
void CSessionData::UnrouteData(eventloop::Socket s) { s_.server().dataMap().RemoveKey(s); }

void CSessionData::SelectData(eventloop::Socket s, uint32_t events) {
    CFtpServer& server = s_.server();
    server.loop().AsyncSelect(s, events != 0 ? &server : nullptr, Message::Data, events);
}

void CSessionData::PostDataEvent(eventloop::Socket s, uint32_t event) {
    CFtpServer& server = s_.server();
    server.loop().PostEvent(&server, Message::Data, s, event);
}

void CSessionData::SocketOpened() { s_.server().IncrementOpenSockets(); }
void CSessionData::SocketClosed() { s_.server().DecrementOpenSockets(); }

eventloop::Socket CSessionData::controlSocket() const { return s_.controlSocket(); }
const sockaddr_storage& CSessionData::peerAddress() const { return s_.peerAddress(); }
socklen_t CSessionData::peerLength() const { return s_.peerLength(); }
const sockaddr_storage& CSessionData::localAddress() const { return s_.localAddress(); }
socklen_t CSessionData::localLength() const { return s_.localLength(); }
int CSessionData::protectionState() const { return s_.protectionState(); }

std::unique_ptr<CTlsSock> CSessionData::NewDataTlsLayer(unsigned long* error) {
    return s_.NewTlsLayer(CTlsSock::Role::Data, error);
}

void CSessionData::Reply(std::string_view line) {
    std::string text(line);
    text += "\r\n";
    s_.WriteText(text, false);
}

void CSessionData::CorkReplies(bool on) { s_.CorkReplies(on); }

void CSessionData::SetStatus(std::string text) { s_.setStatusText(std::move(text)); }

void CSessionData::LogV(char category, const char* format, va_list ap) {
    s_.server().log().LogV(s_.connectionNumber(), category, format, ap);
}

bool CSessionData::imageType() const { return s_.representationType() == kTypeImage; }
bool CSessionData::blockMode() const { return s_.blockMode(); }
bool CSessionData::loggedIn() const { return s_.loggedIn(); }
const std::string& CSessionData::userName() const { return s_.userName(); }
CSessionAccount& CSessionData::account() { return s_.account(); }

}  // namespace orvyn
