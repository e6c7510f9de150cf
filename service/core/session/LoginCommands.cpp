// USER and PASS: the session's side of the login. The login itself lives
// with the accounts (service/accounts/login); this file lends it the
// session's reply, state and instance through ILoginSession, and asks the
// login's slow questions (PAM, the external library) on a worker for it.
#include <atomic>
#include <chrono>

#include "platform/registry/Registry.h"
#include "service/accounts/login/Login.h"
#include "service/core/server/FtpServer.h"
#include "service/core/session/FtpSession.h"
#include "service/core/admin/SiteCommands.h"

namespace orvyn {
namespace {

class SessionLogin final : public ILoginSession {
public:
    explicit SessionLogin(CFtpSession& session) : s_(session) {}

    int connectionNumber() const override { return s_.connectionNumber(); }
    ILogSink& log() override { return s_.server().log(); }
    CServerRegistry& registry() override { return s_.server().registry(); }
    LoginPolicy policy() const override {
        const CServerSettings& settings = s_.server().settings();
        LoginPolicy p;
        p.secure = settings.secure;
        p.allowAnon = settings.allowAnon;
        p.maxHacks = settings.maxHacks;
        p.ntsam = settings.ntsam;
        p.restrictToDirectory = settings.restrictToDirectory;
        p.secureDefault = !s_.server().singleSessionMode();
        return p;
    }
    const accounts::ExternalAuthLibrary& externalAuth() const override { return s_.server().externalAuth(); }
    bool forcedStopReached() const override { return s_.server().ForcedDisconnectReached(); }

    bool controlProtected() const override { return s_.protectionState() != 0; }
    std::string peerAddressText() const override { return s_.PeerAddressText(); }
    bool ClosingGate() override { return s_.ClosingGate(); }
    void ReplyText(int number) override { s_.ReplyText(number); }
    // The home's message file before the 230.
    void SendLoginMessage(const std::string& directory) override { s_.SendLoginMessage(directory, 230); }
    void SetStatus(const char* text) override { s_.setStatusText(text); }
    void HoldReplies(int ticks) override { s_.setReplyHoldCount(ticks); }
    void LoginFailed() override { s_.server().NoteFailedLogin(s_); }
    bool AddressBanned() override { return s_.server().AddressBanned(s_); }
    void StopAcceptingCommands() override { s_.setAcceptingCommands(false); }
    bool AskAside(std::function<void()> ask, std::function<void(ILoginSession&)> answer) override {
        return s_.AskAside(std::move(ask), [answer = std::move(answer)](CFtpSession& later) {
            SessionLogin session(later);
            answer(session);
        });
    }

    const std::string& userName() const override { return s_.userName(); }
    void SetUserName(std::string name) override { s_.setUserName(std::move(name)); }
    void SetUserDetail(std::string detail) override { s_.setUserDetail(std::move(detail)); }
    void SetLoggedIn(bool on) override { s_.setLoggedIn(on); }
    CSessionAccount& account() override { return s_.account(); }

private:
    CFtpSession& s_;
};

}  // namespace

bool CFtpSession::AskAside(std::function<void()> ask, std::function<void(CFtpSession&)> answer) {
    // Threads stuck in a directory server that does not answer are bounded:
    // beyond the bound the question is asked where it is (and waits there).
    static std::atomic<int> asking{0};
    constexpr int kMaxAsking = 256;
    if (loginJob_ || asking.load() >= kMaxAsking) return false;
    ListingJob::Work work = [ask = std::move(ask)](SpoolFile&, const std::atomic<bool>&) {
        ++asking;
        ask();
        --asking;
        return ListingOutcome::Completed;
    };
    // A worker that has not answered when the session ends is let go at once.
    auto job = std::make_unique<ListingJob>(nullptr, nullptr, std::move(work), PostWhenDone(),
                                            ListingJob::Waits{std::chrono::milliseconds(0), std::chrono::milliseconds(0)});
    if (!job->Start()) return false;
    loginJob_ = std::move(job);
    loginAnswer_ = std::move(answer);
    HoldCommands();
    return true;
}

void CFtpSession::FinishAsking() {
    loginJob_->Stop();  // collects the finished worker
    loginJob_.reset();
    std::function<void(CFtpSession&)> answer = std::move(loginAnswer_);
    loginAnswer_ = nullptr;
    reg::NewReadEpoch();
    closingRefused_ = false;
    CFtpServer& server = server_;
    CSessionRecord* const rec = &record_;
    const eventloop::Socket s = socket_;
    if (answer) answer(*this);
    if (server.FindSession(s) != rec) return;
    // As after any command: a session that no longer accepts commands (too
    // many attempts) ends here, and the monitors see who is logged in now.
    if (EndedForRefusing()) return;
    server.NotifyObservers(*this, false);
    SendPending();
    if (!CommandsWait()) ResumeCommands();
}

void CFtpSession::OnUser(std::string_view arg) {
    SessionLogin session(*this);
    CLogin(session).User(arg);
}

void CFtpSession::OnPass(std::string_view arg) {
    SessionLogin session(*this);
    CLogin(session).Pass(arg);
}

bool LoginWithPassword(CFtpSession& s, std::string_view password) {
    SessionLogin session(s);
    return CLogin(session).Login(password);
}

}  // namespace orvyn
