#include "service/core/host/OrvynApp.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "platform/service/ServiceController.h"
#include "platform/service/ServicePaths.h"
#include "platform/sound/Sound.h"
#include "service/accounts/login/PamService.h"
#include "service/core/host/CommandLine.h"
#include "service/core/host/ProfileFile.h"
#include "service/core/server/TimerWnd.h"
#include "service/base/settings/ServerRegistry.h"
#include "service/base/text/NoCase.h"

namespace orvyn {

namespace {

constexpr const char* kNoManagerText =
    "ORVYN Pro was not started by a service manager and exits.\n"
    "Run \"orvyn s\" to run the server as an application, or \"orvyn -install\" to install the service.\n";

// Every session, data connection and listener takes a descriptor, and the
// event loop has no select() limit: the soft limit (1024 where a service
// manager or a login shell gives the usual default) goes up to the hard one.
void RaiseDescriptorLimit() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= rl.rlim_max) return;
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
}

}  // namespace

bool IsSingleSessionName(const std::string& argv0) {
    const auto slash = argv0.rfind('/');
    return EqualsNoCase(std::string_view(argv0).substr(slash == std::string::npos ? 0 : slash + 1), "VURERIR");
}

COrvynApp::COrvynApp() : service_(*this, store_) {}

COrvynApp::~COrvynApp() {
    if (storeLock_ >= 0) ::close(storeLock_);
}

int COrvynApp::Main(const std::vector<std::string>& argv) {
    singleSession_ = !argv.empty() && IsSingleSessionName(argv[0]);
    if (singleSession_) startupFlag_ = false;

    const std::string line = JoinArguments(std::vector<std::string>(argv.begin() + (argv.empty() ? 0 : 1), argv.end()));

    // Install and remove belong to the service wrapper.
    HostMessage message;
    int exitCode = 0;
    const StandardArgs standard = ParseStandardArgs(line);
    if (service_.ParseStandardArgs(standard, message, exitCode)) {
        ShowMessage(message.failure, message.text);
        if (standard.action == ServiceAction::Install && exitCode == 0) InstallPamService(standard.quiet);
        return exitCode;
    }

    CommandLine cmd = ParseCommandLine(line);
    if (cmd.clearStartupFlag) startupFlag_ = false;
    if (cmd.profileSwitch) {
        auto path = OpenProfileFile(cmd.profilePath);
        if (!path) {
            ShowMessage(true, kProfileSwitchError);
            return 1;
        }
        profilePath_ = *path;
    }

    // From here on this thread is the loop's, in either mode.
    RaiseDescriptorLimit();
    const reg::ScopedWriteWait brief(kLoopWriteWaitMs);
    if (cmd.runAsApplication) return RunAsApplication();
    return RunAsService();
}

int COrvynApp::RunAsApplication() {
    WatchSignals(false);
    if (OtherCopyRuns()) return 1;
    if (!StartAllInstances()) {
        ShowMessage(true, MissingProductKeyText());
        return 1;
    }
    if (!pidFileWritten_) {
        ShowMessage(true, "ORVYN Pro: could not write the pid file \"" + service::RefreshPidFilePath() +
                              "\"; \"ORVYN Service Refresh\" will not reach this process.\n");
    }
    int code = RunMessageLoop();
    if (pidFileWritten_) MainWnd().RemovePidFile();
    return code;
}

bool COrvynApp::OtherCopyRuns() const {
    const pid_t running = service::RefreshTargetPid();
    if (running != 0 && running != ::getpid()) {
        ShowMessage(true, "ORVYN Pro is already running as process " + std::to_string(running) + " (pid file \"" +
                              service::RefreshPidFilePath() + "\"); stop it first.\n");
        return true;
    }
    // A copy whose pid file went, or that keeps it in another run folder,
    // still serves the same store: a second one would find every port taken
    // and write the first one's instances down as failed.
    if (!TakeStoreLock()) {
        ShowMessage(true, "ORVYN Pro is already running on the configuration store \"" + store_.path() +
                              "\"; stop it first.\n");
        return true;
    }
    return false;
}

bool COrvynApp::TakeStoreLock() const {
    if (storeLock_ >= 0) return true;
    // SQLite locks the file with fcntl's record locks, which do not meet
    // flock's: this lock is the running copies' own.
    const int fd = ::open(store_.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;  // no store: nothing to share
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool taken = errno == EWOULDBLOCK;
        ::close(fd);
        return !taken;
    }
    storeLock_ = fd;
    return true;
}

int COrvynApp::RunAsService() {
    std::string notifySocket;
    service::ManagerKind kind = service::DetectManager(true, &notifySocket);
    if (kind == service::ManagerKind::None) {
        // Nothing started us: there is no service to run.
        ShowMessage(true, kNoManagerText);
        return 1;
    }
    // Signals first: the handler thread the service starts must not take them.
    WatchSignals(true);
    int exitCode = 0;
    service_.StartService(kind, notifySocket, exitCode);
    if (pidFileWritten_) MainWnd().RemovePidFile();
    if (exitCode != 0) return exitCode;
    return service_.loopExitCode();
}

void COrvynApp::WatchSignals(bool serviceMode) {
    ::signal(SIGPIPE, SIG_IGN);
    // A file-size limit (ulimit -f, a unit's LimitFSIZE) fails the write
    // that crosses it with EFBIG: an upload is refused as a full disk and a
    // log line is lost, instead of the signal ending every session.
    ::signal(SIGXFSZ, SIG_IGN);
    if (serviceMode) {
        // SIGTERM is the stop control, SIGHUP ("ORVYN Service Refresh") control 131.
        loop_.OnSignal(SIGTERM, [this] { service_.Handler(service::SERVICE_CONTROL_STOP); });
        loop_.OnSignal(SIGINT, [this] { service_.Handler(service::SERVICE_CONTROL_STOP); });
        loop_.OnSignal(SIGHUP, [this] { service_.Handler(131); });
    } else {
        loop_.OnSignal(SIGTERM, [this] { loop_.Quit(0); });
        loop_.OnSignal(SIGINT, [this] { loop_.Quit(0); });
        loop_.OnSignal(SIGHUP, [this] { StartAllInstances(); });
    }
}

CTimerWnd& COrvynApp::MainWnd() {
    if (!mainWnd_) {
        mainWnd_ = std::make_unique<CTimerWnd>(store_, loop_);
        if (singleSession_) mainWnd_->EnableSingleSessionMode();
    }
    return *mainWnd_;
}

bool COrvynApp::StartAllInstances() {
    bool ok = MainWnd().StartAllInstances();
    if (!ok) {
        reg::Status st = store_.KeyExists(kProductKey);
        lastStartError_ = st.code != reg::kSuccess ? st.code : reg::kNotFound;
    } else {
        lastStartError_ = 0;
        // The process is the target of "ORVYN Service Refresh" once its
        // instances run, unless another copy of the server already is.
        if (!pidFileWritten_) {
            const pid_t holder = service::RefreshTargetPid();
            if (holder == 0 || holder == ::getpid()) pidFileWritten_ = MainWnd().WritePidFile();
        }
    }
    return ok;
}

int COrvynApp::RunMessageLoop() {
    int code = loop_.Run();
    MainWnd().StopAllInstances();
    StopSound();
    return code;
}

void COrvynApp::PostQuit(int code) { loop_.Quit(code); }

void COrvynApp::StopSound() { sound::StopSounds(); }

// System-account logins go through the PAM service "orvyn": its file is put
// in place with the service unless one exists already.
void COrvynApp::InstallPamService(bool quiet) const {
    const PamServiceInstall r = orvyn::InstallPamService(ProgramPath());
    switch (r.outcome) {
        case PamServiceInstall::Outcome::Installed:
            if (!quiet) ShowMessage(false, "PAM service file " + r.path + " installed\n");
            break;
        case PamServiceInstall::Outcome::NoSource:
            ShowMessage(true, "ORVYN Pro: the PAM service file pam.d/orvyn was not found beside the program; "
                              "system-account logins need " + r.path + "\n");
            break;
        case PamServiceInstall::Outcome::Failed:
            ShowMessage(true, "ORVYN Pro: could not write the PAM service file " + r.path + ": " + r.error + "\n");
            break;
        case PamServiceInstall::Outcome::AlreadyPresent:
        case PamServiceInstall::Outcome::NotWanted:
            break;
    }
}

void COrvynApp::PostRefresh() {
    loop_.Post([this] { StartAllInstances(); });
}

void COrvynApp::ShowMessage(bool failure, const std::string& text) const {
    if (text.empty()) return;
    std::FILE* out = failure ? stderr : stdout;
    std::fputs(text.c_str(), out);
    if (text.back() != '\n') std::fputc('\n', out);
    std::fflush(out);
}

std::string COrvynApp::MissingProductKeyText() const {
    return "ORVYN Pro cannot start: the configuration key HKLM\\" + std::string(kProductKey) +
           " does not exist in the store \"" + store_.path() + "\".\n";
}

}  // namespace orvyn
