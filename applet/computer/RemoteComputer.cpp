#include "applet/computer/RemoteComputer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace orvyn::applet {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kGreetingTimeoutMs = 30000;  // ssh may take a while to log in
constexpr uint32_t kMaxState = 7;
constexpr unsigned long long kMaxAnswerLines = 1000000;

std::vector<std::string> ShellWords() {
    const char* shell = std::getenv("ORVYN_REMOTE_SHELL");
    std::vector<std::string> words;
    std::string text = shell && *shell ? shell : "ssh";
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of(" \t", start);
        if (end != start)
            words.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return words;
}

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

bool ParseSigned(const std::string& text, long& out) {
    if (text.empty() || text.size() > 20)
        return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

}  // namespace

std::string CRemoteShell::Answer::reason() const {
    return !lines.empty() && !lines[0].empty() ? lines[0][0] : std::string("no reason given");
}

std::shared_ptr<CRemoteShell> CRemoteShell::Start(const std::string& computer, std::string& why) {
    if (computer.empty() || computer[0] == '-' || computer.find_first_of(" \t\r\n") != std::string::npos) {
        why = "\"" + computer + "\" is not a computer name.";
        return nullptr;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        why = std::string("Cannot make a socket: ") + std::strerror(errno);
        return nullptr;
    }
    std::vector<std::string> words = ShellWords();
    words.push_back(computer);
    words.push_back("orvyn-reg");
    words.push_back("serve");
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (error != 0) {
        close(fds[0]);
        why = "Cannot run " + words[0] + ": " + std::strerror(error);
        return nullptr;
    }
    std::shared_ptr<CRemoteShell> shell(new CRemoteShell(computer, pid, fds[0]));
    Answer answer;
    if (!shell->Call({"hello"}, answer, kGreetingTimeoutMs)) {
        why = answer.reason();
        return nullptr;
    }
    if (answer.code != 0 || answer.lines.empty() || answer.lines[0].empty() ||
        answer.lines[0][0] != "orvyn-reg-serve") {
        why = "The other computer does not answer as orvyn-reg serve does.";
        return nullptr;
    }
    return shell;
}

CRemoteShell::~CRemoteShell() {
    shutdown(fd_, SHUT_WR);  // the other side ends on the end of its input
    close(fd_);
    // Two seconds to end by itself, one more after SIGTERM; then SIGKILL,
    // which also ends a shell that is stopped (an ssh in the background
    // that wanted the terminal) or ignores SIGTERM.
    const auto start = Clock::now();
    bool termed = false;
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        const auto waited = Clock::now() - start;
        if (waited >= std::chrono::seconds(3)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        if (!termed && waited >= std::chrono::seconds(2)) {
            kill(pid_, SIGTERM);
            termed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string CRemoteShell::broken() const {
    std::lock_guard<std::mutex> lock(brokenMutex_);
    return broken_;
}

void CRemoteShell::Break(Answer& answer, const std::string& what) {
    std::lock_guard<std::mutex> lock(brokenMutex_);
    if (broken_.empty())
        broken_ = "The connection to " + computer_ + " failed: " + what;
    answer.code = reg::kIoError;
    answer.lines = {{broken_}};
}

bool CRemoteShell::Send(const std::string& data, Deadline deadline) {
    for (size_t done = 0; done < data.size();) {
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, MsLeft(deadline)) <= 0)
            return false;
        const ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CRemoteShell::ReadLine(std::string& line, Deadline deadline, size_t& room) {
    char buffer[65536];
    size_t searched = 0;
    while (true) {
        const size_t end = pending_.find('\n', searched);
        if (end != std::string::npos && end < room) {
            line.assign(pending_, 0, end);
            pending_.erase(0, end + 1);
            room -= end + 1;
            return true;
        }
        searched = pending_.size();
        if (pending_.size() >= room)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) <= 0)
            return false;
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

bool CRemoteShell::Call(const wire::Line& request, Answer& answer, int timeoutMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer = {};
    if (!broken().empty()) {
        Break(answer, {});
        return false;
    }
    const Deadline deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t room = wire::kMaxLine;
    if (!Send(wire::Join(request), deadline)) {
        Break(answer, "it does not take requests.");
        return false;
    }
    std::string line;
    wire::Line head;
    unsigned long long count = 0;
    if (!ReadLine(line, deadline, room) || !wire::Split(line, head) || head.size() != 2 ||
        !ParseSigned(head[0], answer.code) || !wire::ParseUnsigned(head[1], count)) {
        Break(answer, "it did not answer.");
        return false;
    }
    // Each line costs more than its bytes: the number of lines is bounded
    // as well (a folder of a million entries is the most a listing brings).
    if (count > kMaxAnswerLines) {
        Break(answer, "its answer is too large.");
        return false;
    }
    for (unsigned long long i = 0; i < count; ++i) {
        wire::Line words;
        if (!ReadLine(line, deadline, room) || !wire::Split(line, words)) {
            Break(answer, "its answer broke off.");
            return false;
        }
        answer.lines.push_back(std::move(words));
    }
    return true;
}

// --- the store ---------------------------------------------------------------

reg::Status RemoteStore::Call(const wire::Line& request, CRemoteShell::Answer& answer) const {
    shell_->Call(request, answer);
    if (answer.code == 0)
        return reg::Status::Ok();
    return {answer.code, answer.reason()};
}

namespace {
std::string Key(std::string_view key) { return std::string(key); }

bool ReadValueLine(const wire::Line& line, reg::Value& out) {
    unsigned long long type = 0;
    if (line.size() != 3 || !wire::ParseUnsigned(line[1], type) || type > 0xFFFFFFFFull)
        return false;
    out.name = line[0];
    out.type = static_cast<uint32_t>(type);
    out.data.assign(line[2].begin(), line[2].end());
    return true;
}

reg::Status Malformed() { return {reg::kIoError, "The other computer's answer is malformed."}; }
}  // namespace

reg::Status RemoteStore::KeyExists(std::string_view key) const {
    CRemoteShell::Answer answer;
    return Call({"exists", Key(key)}, answer);
}

reg::Status RemoteStore::CreateKey(std::string_view key) {
    CRemoteShell::Answer answer;
    return Call({"create", Key(key)}, answer);
}

reg::Status RemoteStore::DeleteKey(std::string_view key) {
    CRemoteShell::Answer answer;
    return Call({"delkey", Key(key)}, answer);
}

reg::Status RemoteStore::DeleteTree(std::string_view key) {
    CRemoteShell::Answer answer;
    return Call({"deltree", Key(key)}, answer);
}

reg::Status RemoteStore::RenameKey(std::string_view key, std::string_view newName) {
    CRemoteShell::Answer answer;
    return Call({"rename", Key(key), std::string(newName)}, answer);
}

reg::Status RemoteStore::EnumSubkeys(std::string_view key, std::vector<std::string>& names) const {
    names.clear();
    CRemoteShell::Answer answer;
    reg::Status status = Call({"subkeys", Key(key)}, answer);
    if (!status)
        return status;
    return wire::SingleWords(answer.lines, names) ? status : Malformed();
}

reg::Status RemoteStore::QueryInfo(std::string_view key, reg::KeyInfo& info) const {
    CRemoteShell::Answer answer;
    reg::Status status = Call({"info", Key(key)}, answer);
    if (!status)
        return status;
    uint32_t* fields[] = {&info.subkeys, &info.maxSubkeyLen, &info.values, &info.maxValueNameLen,
                          &info.maxValueLen};
    if (answer.lines.size() != 1 || answer.lines[0].size() != 5)
        return Malformed();
    for (size_t i = 0; i < 5; ++i) {
        unsigned long long n = 0;
        if (!wire::ParseUnsigned(answer.lines[0][i], n) || n > 0xFFFFFFFFull)
            return Malformed();
        *fields[i] = static_cast<uint32_t>(n);
    }
    return status;
}

reg::Status RemoteStore::SetValue(std::string_view key, std::string_view name, uint32_t type, const void* data,
                                  size_t size) {
    CRemoteShell::Answer answer;
    const char* bytes = static_cast<const char*>(data);
    return Call({"set", Key(key), std::string(name), std::to_string(type), std::string(bytes, bytes + size)},
                answer);
}

reg::Status RemoteStore::QueryValue(std::string_view key, std::string_view name, reg::Value& out) const {
    CRemoteShell::Answer answer;
    reg::Status status = Call({"get", Key(key), std::string(name)}, answer);
    if (status && (answer.lines.size() != 1 || !ReadValueLine(answer.lines[0], out)))
        return Malformed();
    return status;
}

reg::Status RemoteStore::DeleteValue(std::string_view key, std::string_view name) {
    CRemoteShell::Answer answer;
    return Call({"delval", Key(key), std::string(name)}, answer);
}

reg::Status RemoteStore::EnumValues(std::string_view key, std::vector<reg::Value>& values) const {
    values.clear();
    CRemoteShell::Answer answer;
    reg::Status status = Call({"values", Key(key)}, answer);
    if (!status)
        return status;
    for (const wire::Line& line : answer.lines) {
        reg::Value value;
        if (!ReadValueLine(line, value))
            return Malformed();
        values.push_back(std::move(value));
    }
    return status;
}

reg::Status RemoteStore::SaveKey(std::string_view key, const std::string& file, bool overwrite) const {
    struct stat st {};
    if (!overwrite && lstat(file.c_str(), &st) == 0)
        return {reg::kInvalidParameter, "The file " + file + " exists already."};
    CRemoteShell::Answer answer;
    reg::Status status = Call({"save", Key(key)}, answer);
    if (!status)
        return status;
    if (answer.lines.size() != 1 || answer.lines[0].size() != 1)
        return Malformed();
    // The file is on this computer: this computer's own store is as safe
    // from it as from a local export.
    return reg::WriteSavedKeyBytes(reg::DefaultStorePath(), file, answer.lines[0][0], overwrite);
}

reg::Status RemoteStore::RestoreKey(std::string_view key, const std::string& file) {
    std::string data;
    if (const int error = wire::ReadWholeFile(file, data, wire::kMaxSavedKey); error == EFBIG)
        return {reg::kInvalidParameter, "The file " + file + " is larger than the " +
                                            std::to_string(wire::kMaxSavedKey / (1024 * 1024)) +
                                            " MiB a saved key may have to go to another computer."};
    else if (error != 0)
        return {error == ENOENT ? reg::kNotFound : reg::kIoError, "Cannot read " + file + ": " + std::strerror(error)};
    CRemoteShell::Answer answer;
    return Call({"restore", Key(key), data}, answer);
}

// --- the service --------------------------------------------------------------

long RemoteServiceControl::Request(const char* what, CRemoteShell::Answer& answer) {
    shell_->Call({"svc", what}, answer);
    return answer.code;
}

bool RemoteServiceControl::Open() {
    CRemoteShell::Answer answer;
    if (Request("open", answer) != 0)
        return opened_;
    opened_ = true;
    debug_ = !answer.lines.empty() && !answer.lines[0].empty() && answer.lines[0][0] == "1";
    return true;
}

uint32_t RemoteServiceControl::QueryState() {
    CRemoteShell::Answer answer;
    unsigned long long state = 0;
    if (!opened_ || Request("state", answer) != 0 || answer.lines.empty() || answer.lines[0].empty() ||
        !wire::ParseUnsigned(answer.lines[0][0], state) || state > kMaxState)
        return 0;
    return static_cast<uint32_t>(state);
}

long RemoteServiceControl::Start() {
    CRemoteShell::Answer answer;
    return opened_ ? Request("start", answer) : 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
}

long RemoteServiceControl::Stop() {
    CRemoteShell::Answer answer;
    return opened_ ? Request("stop", answer) : 1060;
}

void RemoteServiceControl::AskToReread() {
    CRemoteShell::Answer answer;
    if (opened_)
        Request("reread", answer);
}

// --- the files ----------------------------------------------------------------

int RemoteComputerFiles::Names(const wire::Line& request, std::vector<std::string>& names) {
    names.clear();
    CRemoteShell::Answer answer;
    if (!shell_->Call(request, answer))
        return EIO;
    if (answer.code != 0)
        return static_cast<int>(answer.code);
    return wire::SingleWords(answer.lines, names) ? 0 : EIO;
}

int RemoteComputerFiles::ListFolders(const std::string& path, std::vector<std::string>& names) { return Names({"folders", path}, names); }

int RemoteComputerFiles::ListCertificates(long storeNumber, std::vector<CertificateInfo>& out) {
    out.clear();
    CRemoteShell::Answer answer;
    if (!shell_->Call({"certs", std::to_string(storeNumber)}, answer))
        return EIO;
    if (answer.code != 0)
        return static_cast<int>(answer.code);
    for (const wire::Line& line : answer.lines)
        if (line.size() == 6)
            out.push_back({line[0], line[1], line[2], line[3], line[4] == "1", line[5] == "1"});
    return 0;
}

std::string RemoteComputerFiles::CheckCertificate(long storeNumber, const std::string& hash) {
    CRemoteShell::Answer answer;
    if (!shell_->Call({"certcheck", std::to_string(storeNumber), hash}, answer) || answer.code != 0)
        return answer.reason();
    return answer.lines.empty() ? std::string() : answer.reason();
}

int RemoteComputerFiles::ListAccounts(std::vector<std::string>& names) { return Names({"accounts"}, names); }

bool RemoteComputerFiles::AccountExists(const std::string& name) {
    CRemoteShell::Answer answer;
    return shell_->Call({"account", name}, answer) && answer.code == 0;
}

bool ConnectComputer(const std::string& computer, ManagedComputer& out, std::string& why) {
    std::shared_ptr<CRemoteShell> shell = CRemoteShell::Start(computer, why);
    if (!shell)
        return false;
    auto service = std::make_unique<RemoteServiceControl>(shell);
    if (!service->Open()) {
        why = "The service is not installed on " + computer + ".";
        return false;
    }
    out.name = computer;
    out.store = std::make_unique<RemoteStore>(shell);
    out.service = std::move(service);
    out.files = std::make_unique<RemoteComputerFiles>(shell);
    out.lost = [shell] { return shell->broken(); };
    return true;
}

}  // namespace orvyn::applet
