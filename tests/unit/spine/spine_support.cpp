#include "spine_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "service/base/settings/ServerRegistry.h"

namespace orvyn::test {

// ---- client -----------------------------------------------------------------------

Client::Client(int port, const char* source, int receiveBuffer) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (source != nullptr) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &src.sin_addr);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&src), sizeof src);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) closed_ = true;
}

Client::~Client() {
    if (fd_ >= 0) ::close(fd_);
}

int Client::LocalPort() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

void Client::SendRaw(const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

void Client::ShutdownSend() { ::shutdown(fd_, SHUT_WR); }

size_t Client::SendSome(const std::string& bytes) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) {
        ::usleep(1000);
        return 0;
    }
    return static_cast<size_t>(n);
}

bool Client::Fill(int timeoutMs) {
    if (closed_) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    buf_.append(chunk, static_cast<size_t>(n));
    return true;
}

std::string Client::TakeLine() {
    size_t lf = buf_.find('\n');
    std::string line = buf_.substr(0, lf + 1);
    buf_.erase(0, lf + 1);
    return line;
}

std::string Client::ReadReply(int timeoutMs) {
    // A reply ends with a line of three digits and a blank.
    auto complete = [this]() -> size_t {
        size_t pos = 0;
        while (true) {
            size_t lf = buf_.find('\n', pos);
            if (lf == std::string::npos) return std::string::npos;
            const std::string line = buf_.substr(pos, lf - pos);
            if (pos == 0 && !(line.size() >= 4 && line[3] == '-')) return lf + 1;
            if (pos > 0 && line.size() >= 4 && line.compare(0, 3, buf_, 0, 3) == 0 && line[3] == ' ') return lf + 1;
            pos = lf + 1;
        }
    };
    size_t end;
    while ((end = complete()) == std::string::npos) {
        if (!Fill(timeoutMs)) return "";
    }
    std::string reply = buf_.substr(0, end);
    buf_.erase(0, end);
    return reply;
}

std::string Client::ReadUntilClosed(int timeoutMs) {
    while (Fill(timeoutMs)) {
    }
    std::string all;
    all.swap(buf_);
    return all;
}

bool Client::DataArrives(int timeoutMs) {
    if (!buf_.empty()) return true;
    return Fill(timeoutMs);
}

// ---- fixture ------------------------------------------------------------------------

void SpineTest::SetUp() {
    ::setenv("ORVYN_REGISTRY", (dir_.path() + "/registry.db").c_str(), 1);
    ::setenv("ORVYN_RUNDIR", (dir_.path() + "/run").c_str(), 1);
    ::setenv("ORVYN_CERTDIR", (dir_.path() + "/certs").c_str(), 1);
    store_ = std::make_unique<reg::Store>(dir_.path() + "/registry.db");
    logFile_ = dir_.path() + "/activity.log";
    SetString("Logging", "LogFile", logFile_);
    for (const char* sw : {"Enable", "Warnings", "Winsock", "Commands", "Logins"}) SetDword("Logging", sw, 1);
}

void SpineTest::TearDown() { server_.reset(); }

std::string SpineTest::InstanceKey(const char* section) const {
    std::string key = std::string(kServersKey) + "\\Unit";
    if (section != nullptr) key += std::string("\\") + section;
    return key;
}

void SpineTest::SetDword(const char* section, const char* name, uint32_t value) {
    auto data = reg::DwordData(value);
    ASSERT_TRUE(store_->SetValue(InstanceKey(section), name, reg::REG_DWORD, data.data(), data.size()).ok());
}

void SpineTest::SetString(const char* section, const char* name, const std::string& value) {
    auto data = reg::StringData(value);
    ASSERT_TRUE(store_->SetValue(InstanceKey(section), name, reg::REG_SZ, data.data(), data.size()).ok());
}

void SpineTest::StartServer() {
    server_ = std::make_unique<CFtpServer>(*store_, loop_, "Unit");
    ASSERT_TRUE(server_->Start("127.0.0.1:0", ""));
    port_ = server_->port();
    ASSERT_GT(port_, 0);
}

void SpineTest::WithClients(const std::function<void()>& fn) {
    std::thread client([&] {
        fn();
        loop_.Quit(0);
    });
    loop_.Run();
    client.join();
}

int SpineTest::RunUntilQuit(const std::function<void()>& fn, int timeoutMs) {
    bool timedOut = false;
    const int timer = loop_.AddTimer(static_cast<unsigned>(timeoutMs), [&] {
        timedOut = true;
        loop_.Quit(99);
    });
    std::thread client(fn);
    const int code = loop_.Run();
    client.join();
    loop_.RemoveTimer(timer);
    EXPECT_FALSE(timedOut) << "the loop was never told to quit";
    return code;
}

CFtpSession* SpineTest::FirstSession() const {
    const CMapSockToSess& map = server_->sessionMap();
    if (map.IsEmpty()) return nullptr;
    return (*map.begin()).second->session.get();
}

CFtpSession* SpineTest::SessionOf(const Client& c) const {
    const int port = c.LocalPort();
    for (const auto& [s, rec] : server_->sessionMap()) {
        const auto& peer = rec->session->peerAddress();
        if (peer.ss_family == AF_INET && ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port) == port) {
            return rec->session.get();
        }
    }
    return nullptr;
}

std::vector<std::string> SpineTest::LogMessages() const {
    std::vector<std::string> out;
    std::ifstream in(logFile_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        // "name" [c n] date hh:mm:ss message
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon + 7 > line.size()) continue;
        out.push_back(line.substr(colon + 7));
    }
    return out;
}

bool SpineTest::LogContains(const std::string& text) const {
    for (const std::string& m : LogMessages()) {
        if (m.find(text) != std::string::npos) return true;
    }
    return false;
}

}  // namespace orvyn::test
