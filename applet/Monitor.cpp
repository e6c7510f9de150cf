#include "applet/Monitor.h"
#include "applet/StoreText.h"

#include <netdb.h>

#include <QHostAddress>
#include <QTcpSocket>
#include <charconv>
#include <cstring>

#include "applet/ServerList.h"

namespace orvyn::applet {

// ---- the conversation ---------------------------------------------------------

void CMonitorConversation::Reset() {
    state_ = kIdle;
    buffer_.clear();
    discarding_ = false;
}

void CMonitorConversation::Begin(const std::string& server) {
    Reset();
    server_ = server;
    state_ = kGreeting;
}

bool CMonitorConversation::TakeLine(std::string& line) {
    const size_t lf = buffer_.size() > 1 ? buffer_.find('\n', 1) : std::string::npos;
    if (lf == std::string::npos)
        return false;
    // The bytes before the character that precedes the LF (the CR), up to
    // the first NUL.
    line.assign(buffer_, 0, lf - 1);
    buffer_.erase(0, lf + 1);
    const size_t nul = line.find('\0');
    if (nul != std::string::npos)
        line.resize(nul);
    return true;
}

void CMonitorConversation::Received(const char* data, size_t size) {
    if (state_ == kIdle)
        return;
    while (size > 0) {
        if (discarding_) {
            const void* lf = std::memchr(data, '\n', size);
            if (!lf)
                return;
            const size_t used = static_cast<size_t>(static_cast<const char*>(lf) - data) + 1;
            data += used;
            size -= used;
            discarding_ = false;
            continue;
        }
        const size_t room = kMaxLine - buffer_.size();
        const size_t take = std::min(room, size);
        buffer_.append(data, take);
        data += take;
        size -= take;

        std::string line;
        if (state_ == kGreeting) {
            while (state_ == kGreeting && TakeLine(line)) {
                if (line.compare(0, 4, "220 ") == 0)
                    state_ = kReady;
            }
        }
        if (state_ == kReady) {
            sink_.SendLine("SITE ADMN");
            state_ = kMonitoring;
            sink_.SetCaption(FromStoreText("Current connections at " + server_));
        }
        if (state_ == kMonitoring) {
            while (TakeLine(line))
                if (line.compare(0, 3, "300") == 0)
                    HandleAdminLine(line);
        }
        if (buffer_.size() >= kMaxLine) {
            // A line longer than the bound: drop it up to its end.
            buffer_.clear();
            discarding_ = true;
        }
    }
}

bool CMonitorConversation::ParseModi(const std::string& fields, ConnectionRecord& out) {
    std::string parts[4];
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t space = fields.find(' ', pos);
        if (space == std::string::npos) {
            if (i < 3)
                return false;
            parts[i] = fields.substr(pos);
            pos = fields.size();
            break;
        }
        parts[i] = fields.substr(pos, space - pos);
        pos = space + 1;
    }
    int32_t id = 0;
    const char* first = parts[1].data();
    const char* last = first + parts[1].size();
    auto [end, ec] = std::from_chars(first, last, id);
    if (ec != std::errc() || end != last || parts[1].empty())
        return false;
    out.user = parts[0];
    out.id = id;
    out.peer = parts[2];
    out.status = parts[3];
    out.command = pos < fields.size() ? fields.substr(pos) : std::string();
    return true;
}

void CMonitorConversation::HandleAdminLine(const std::string& line) {
    if (line.size() < 8)
        return;
    const std::string word = line.substr(4, 4);
    if (CompareTextNoCase(word, "TIME") == 0) {
        sink_.SendLine("NOOP");
    } else if (CompareTextNoCase(word, "DELE") == 0) {
        if (line.size() <= 9)
            return;
        int32_t id = 0;
        const char* first = line.data() + 9;
        auto [end, ec] = std::from_chars(first, line.data() + line.size(), id);
        if (ec == std::errc() && end != first)
            sink_.RemoveConnection(id);
    } else if (CompareTextNoCase(line.substr(4, 5), "MODI ") == 0) {
        ConnectionRecord record;
        if (ParseModi(line.substr(9), record))
            sink_.UpdateConnection(record);
    }
}

// ---- the socket -----------------------------------------------------------------

uint16_t ResolvePort(const std::string& text) {
    unsigned long n = 0;
    const char* first = text.data();
    auto [end, ec] = std::from_chars(first, first + text.size(), n);
    if (ec == std::errc() && end == first + text.size() && n > 0 && n <= 65535)
        return static_cast<uint16_t>(n);
    servent entry;
    servent* found = nullptr;
    char buffer[1024];
    if (getservbyname_r(text.c_str(), "tcp", &entry, buffer, sizeof buffer, &found) == 0 && found)
        return ntohs(static_cast<uint16_t>(found->s_port));
    return 0;
}

CServerMonitor::CServerMonitor(IMonitorSink& sink, QObject* parent)
    : QObject(parent), sink_(sink), conversation_(sink) {}

CServerMonitor::~CServerMonitor() { Reset(); }

void CServerMonitor::Reset() {
    conversation_.Reset();
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
        socket_.reset();
    }
}

void CServerMonitor::Select(const std::string& server, const std::string& addressText, const std::string& portText) {
    Reset();
    const uint16_t port = ResolvePort(portText);
    if (port == 0) {
        sink_.SetCaption(FromStoreText("Can't resolve port \"" + portText + "\""));
        return;
    }
    QString host = FromStoreText(addressText);
    // The service takes an IPv6 address in brackets too.
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.mid(1, host.size() - 2);
    QHostAddress address;
    if (address.setAddress(host)) {
        if (address == QHostAddress::AnyIPv4)
            host = "127.125.126.127";
        else if (address == QHostAddress::AnyIPv6)
            host = "::1";
    }
    addressText_ = addressText;
    socket_ = std::make_unique<QTcpSocket>();
    connect(socket_.get(), &QTcpSocket::readyRead, this, &CServerMonitor::OnReadyRead);
    connect(socket_.get(), &QTcpSocket::disconnected, this, &CServerMonitor::OnClosed);
    connect(socket_.get(), &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::HostNotFoundError) {
            conversation_.Reset();
            sink_.SetCaption(FromStoreText("Can't resolve address \"" + addressText_ + "\""));
        } else if (error == QAbstractSocket::RemoteHostClosedError) {
            OnClosed();
        }
        // A refused or silent connection leaves the caption waiting.
    });
    conversation_.Begin(server);
    // Name lookups and the connect run in the background.
    socket_->connectToHost(host, port);
    sink_.SetCaption("Waiting for response from server");
}

bool CServerMonitor::SendLine(const std::string& line) {
    if (!socket_ || socket_->state() != QAbstractSocket::ConnectedState)
        return false;
    socket_->write(line.data(), static_cast<qint64>(line.size()));
    socket_->write("\r\n", 2);
    return true;
}

void CServerMonitor::OnReadyRead() {
    char buffer[16384];
    while (socket_ && socket_->bytesAvailable() > 0) {
        const qint64 n = socket_->read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        conversation_.Received(buffer, static_cast<size_t>(n));
    }
}

void CServerMonitor::OnClosed() {
    if (conversation_.state() == CMonitorConversation::kIdle && !socket_)
        return;
    conversation_.Reset();
    sink_.SetCaption("Connection closed by server");
    if (socket_) {
        socket_->disconnect(this);
        socket_.release()->deleteLater();
    }
}

}  // namespace orvyn::applet
