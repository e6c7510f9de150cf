// Another computer, managed through a remote shell: the applet runs
// `orvyn-reg serve` there (ssh COMPUTER orvyn-reg serve, or
// $ORVYN_REMOTE_SHELL split at blanks instead of ssh) and edits its store,
// controls its service and lists its folders and certificates through that
// one conversation (the lines of Wire.h).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "applet/computer/Computer.h"
#include "applet/computer/Wire.h"

namespace orvyn::applet {

// The remote shell process and its one socket. Calls are serialised; once
// the conversation broke every later call fails at once.
class CRemoteShell {
public:
    struct Answer {
        long code = 0;                  // 0, else a store status code or an errno
        std::vector<wire::Line> lines;  // the result, or the reason
        std::string reason() const;     // the first word of the first line
    };

    // Starts the shell and greets the other side. Null, with the reason,
    // when the shell cannot run or the other side does not answer.
    static std::shared_ptr<CRemoteShell> Start(const std::string& computer, std::string& why);
    // Ends the conversation and waits for the shell (killed after 2 s).
    ~CRemoteShell();
    CRemoteShell(const CRemoteShell&) = delete;
    CRemoteShell& operator=(const CRemoteShell&) = delete;

    // One request and its answer, within timeoutMs in all, at most
    // wire::kMaxLine bytes and a million lines; false when the conversation failed (the reason
    // is in the answer, code reg::kIoError).
    bool Call(const wire::Line& request, Answer& answer, int timeoutMs = kRequestTimeoutMs);

    const std::string& computer() const { return computer_; }
    // Why the conversation ended; empty while it goes on.
    std::string broken() const;

    static constexpr int kRequestTimeoutMs = 60000;  // a service stop waits 30 s there

private:
    CRemoteShell(std::string computer, pid_t pid, int fd) : computer_(std::move(computer)), pid_(pid), fd_(fd) {}
    using Deadline = std::chrono::steady_clock::time_point;
    bool Send(const std::string& data, Deadline deadline);
    // A line of at most `room` bytes (its end included), taken from it.
    bool ReadLine(std::string& line, Deadline deadline, size_t& room);
    void Break(Answer& answer, const std::string& what);

    std::string computer_;
    pid_t pid_;
    int fd_;
    std::mutex mutex_;
    std::string pending_;
    // Why the conversation ended, empty while it goes on. A lock of its own:
    // broken() must not wait for a call another thread is making.
    mutable std::mutex brokenMutex_;
    std::string broken_;
};

// The store of the other computer.
class RemoteStore : public reg::IStore {
public:
    explicit RemoteStore(std::shared_ptr<CRemoteShell> shell) : shell_(std::move(shell)) {}

    const std::string& path() const override { return noPath_; }
    reg::Status KeyExists(std::string_view key) const override;
    reg::Status CreateKey(std::string_view key) override;
    reg::Status DeleteKey(std::string_view key) override;
    reg::Status DeleteTree(std::string_view key) override;
    reg::Status RenameKey(std::string_view key, std::string_view newName) override;
    reg::Status EnumSubkeys(std::string_view key, std::vector<std::string>& names) const override;
    reg::Status QueryInfo(std::string_view key, reg::KeyInfo& info) const override;
    using IStore::SetValue;
    reg::Status SetValue(std::string_view key, std::string_view name, uint32_t type, const void* data,
                         size_t size) override;
    reg::Status QueryValue(std::string_view key, std::string_view name, reg::Value& out) const override;
    reg::Status DeleteValue(std::string_view key, std::string_view name) override;
    reg::Status EnumValues(std::string_view key, std::vector<reg::Value>& values) const override;
    // The file is one of this computer.
    reg::Status SaveKey(std::string_view key, const std::string& file, bool overwrite = false) const override;
    reg::Status RestoreKey(std::string_view key, const std::string& file) override;

private:
    reg::Status Call(const wire::Line& request, CRemoteShell::Answer& answer) const;

    std::shared_ptr<CRemoteShell> shell_;
    std::string noPath_;
};

// The service of the other computer, as `LocalServiceControl` is there.
class RemoteServiceControl : public IServiceControl {
public:
    explicit RemoteServiceControl(std::shared_ptr<CRemoteShell> shell) : shell_(std::move(shell)) {}
    bool Open() override;
    void Close() override { opened_ = false; }
    bool debug() const override { return opened_ && debug_; }
    uint32_t QueryState() override;
    long Start() override;
    long Stop() override;
    void AskToReread() override;

private:
    long Request(const char* what, CRemoteShell::Answer& answer);

    std::shared_ptr<CRemoteShell> shell_;
    bool opened_ = false;
    bool debug_ = false;
};

class RemoteComputerFiles : public IComputerFiles {
public:
    explicit RemoteComputerFiles(std::shared_ptr<CRemoteShell> shell) : shell_(std::move(shell)) {}
    int ListFolders(const std::string& path, std::vector<std::string>& names) override;
    int ListCertificates(long storeNumber, std::vector<CertificateInfo>& out) override;
    std::string CheckCertificate(long storeNumber, const std::string& hash) override;
    int ListAccounts(std::vector<std::string>& names) override;
    bool AccountExists(const std::string& name) override;

private:
    // A request answered by one name per line; 0 or an errno.
    int Names(const wire::Line& request, std::vector<std::string>& names);

    std::shared_ptr<CRemoteShell> shell_;
};

// Connects to another computer: its store, its service (opened) and its
// files, all through one remote shell. False, with the reason, when the
// shell fails, the other side does not answer or its service is not found.
bool ConnectComputer(const std::string& computer, ManagedComputer& out, std::string& why);

}  // namespace orvyn::applet
