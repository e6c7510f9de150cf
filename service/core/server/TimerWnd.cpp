#include "service/core/server/TimerWnd.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry/Registry.h"
#include "platform/sound/Sound.h"
#include "service/core/server/FtpServer.h"
#include "service/core/server/ListenAddress.h"
#include "service/base/settings/ServerRegistry.h"
#include "service/base/text/NoCase.h"

namespace orvyn {
namespace {

constexpr const char* kPidFileName = "ORVYN Service Control.pid";
constexpr const char* kDefaultRunDir = "/run/orvyn";

std::string RunDir() {
    const char* dir = std::getenv("ORVYN_RUNDIR");
    return (dir != nullptr && *dir != '\0') ? std::string(dir) : std::string(kDefaultRunDir);
}

// mkdir -p
bool MakeDirectories(const std::string& path) {
    if (path.empty()) return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        size_t next = path.find('/', pos + 1);
        partial = path.substr(0, next);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
        pos = next;
    }
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string KeyOf(const std::string& instance) { return std::string(kServersKey) + "\\" + instance; }

}  // namespace

CTimerWnd::CTimerWnd(reg::Store& store, eventloop::EventLoop& loop) : store_(store), loop_(loop) {}

CTimerWnd::~CTimerWnd() { StopAllInstances(); }

unsigned CTimerWnd::TimerPeriodMs() {
    const char* text = std::getenv("ORVYN_TIMER_MS");
    if (text == nullptr || *text == '\0') return kDefaultTimerMs;
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || v == 0 || v > 3600000) return kDefaultTimerMs;
    return static_cast<unsigned>(v);
}

void CTimerWnd::EnableSingleSessionMode() {
    singleSession_ = true;
    for (auto& server : running_) {
        server->SetSingleSessionMode(true);
        server->RefreshSettings();
    }
}

CFtpServer* CTimerWnd::FindInstance(const std::string& name) const {
    for (const auto& server : running_) {
        if (EqualsNoCase(server->name(), name)) return server.get();
    }
    return nullptr;
}

bool CTimerWnd::StartAllInstances() {
    // An instance's state (Started, NumPort, Fatal Error) is written once per
    // start: it waits for another program holding the store, as the stops
    // below do for their counters.
    const reg::ScopedWriteWait patient(reg::kFullWriteWaitMs);
    const reg::ScopedWriteDeadline once(reg::kFullWriteWaitMs);
    // What the store says now: with no instance running, nothing else may
    // have asked it since it last changed.
    reg::NewReadEpoch();
    if (!store_.KeyExists(kProductKey).ok()) return false;
    std::vector<std::string> names;
    store_.EnumSubkeys(kServersKey, names);
    for (const std::string& name : names) StartOneInstance(name);
    return true;
}

void CTimerWnd::StartOneInstance(const std::string& name) {
    const std::string key = KeyOf(name);
    if (!store_.KeyExists(key).ok()) return;
    reg::Value value;
    const bool enabled = IsEnabledValue(store_.QueryValue(key, "Enabled", value).ok() ? &value : nullptr);
    CFtpServer* running = FindInstance(name);
    if (!enabled) {
        if (running != nullptr) StopInstance(running);
        return;
    }
    if (running != nullptr) {
        running->RefreshSettings();
        return;
    }

    const std::string address = AddressValueText(store_.QueryValue(key, "Address", value).ok() ? &value : nullptr);
    const std::string port = PortValueText(store_.QueryValue(key, "Port", value).ok() ? &value : nullptr);
    auto server = std::make_unique<CFtpServer>(store_, loop_, name);
    server->SetSingleSessionMode(singleSession_);
    const std::string tls = server->registry().ReadString("TLS", "FTPSPort", "");
    if (!server->Start(address + ":" + port, tls)) return;
    running_.push_back(std::move(server));
    UpdateTimer();
}

void CTimerWnd::StopInstance(CFtpServer* server) {
    for (auto it = running_.begin(); it != running_.end(); ++it) {
        if (it->get() == server) {
            std::unique_ptr<CFtpServer> owned = std::move(*it);
            running_.erase(it);
            UpdateTimer();
            owned->Stop();
            return;
        }
    }
}

void CTimerWnd::StopAllInstances() {
    const reg::ScopedWriteWait patient(reg::kFullWriteWaitMs);
    // One wait for all of them: a store held by another program must not
    // hold the stop for a wait per instance.
    const reg::ScopedWriteDeadline once(reg::kFullWriteWaitMs);
    while (!running_.empty()) StopInstance(running_.front().get());
}

void CTimerWnd::UpdateTimer() {
    if (!running_.empty() && timerId_ == 0) {
        timerId_ = loop_.AddTimer(TimerPeriodMs(), [this] { OnTimer(); });
    } else if (running_.empty() && timerId_ != 0) {
        loop_.RemoveTimer(timerId_);
        timerId_ = 0;
    }
}

namespace {

// Gives the memory freed since the last tick back to the system once a good
// part of the heap lies free: after many sessions have ended, a large listing
// or a big transfer, the process shrinks again instead of keeping its peak.
void ReturnFreeMemory() {
    constexpr size_t kWorthTrimming = 1u << 20;
    const struct mallinfo2 heap = mallinfo2();
    if (heap.fordblks >= kWorthTrimming && heap.fordblks >= heap.uordblks / 4) malloc_trim(0);
}

}  // namespace

void CTimerWnd::OnTimer() {
    for (auto& server : running_) server->TimerStep();
    // Sound players that have finished are collected here.
    sound::ReapSounds();
    ReturnFreeMemory();
}

std::string CTimerWnd::PidFilePath() { return RunDir() + "/" + kPidFileName; }

bool CTimerWnd::WritePidFile() {
    const std::string dir = RunDir();
    if (!MakeDirectories(dir)) return false;
    const std::string path = PidFilePath();
    const std::string temp = path + ".tmp";
    // Made afresh, never through whatever was left at the name (a link there
    // would have the service write over the file it leads to).
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const std::string text = std::to_string(::getpid()) + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (::close(fd) != 0 || !written || std::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void CTimerWnd::RemovePidFile() {
    // Only our own pid file: a second copy of the service must not remove
    // the file of the one that runs. Read without following a link or
    // waiting on a FIFO put in its place.
    const std::string path = PidFilePath();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    char buf[32];
    struct stat st {};
    const ssize_t n = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::read(fd, buf, sizeof buf - 1) : -1;
    ::close(fd);
    if (n <= 0) return;
    buf[n] = '\0';
    if (std::strtol(buf, nullptr, 10) == static_cast<long>(::getpid())) ::unlink(path.c_str());
}

}  // namespace orvyn
