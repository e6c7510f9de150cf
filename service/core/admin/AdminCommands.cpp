#include "service/core/admin/AdminCommands.h"

#include <sys/socket.h>
#include <unistd.h>

#include <iterator>
#include <optional>

#include "platform/accounts/PeerAccount.h"
#include "service/base/replies/Catalogue.h"
#include "service/core/admin/AdminCall.h"
#include "service/core/admin/MonitorFeed.h"
#include "service/core/server/HostRules.h"

namespace orvyn {
namespace {

using admin::AdminCall;
using AdminHandler = void (AdminCall::*)();

struct AdminCommand {
    char name[8];  // four letters, NUL-padded
    int number;
    AdminHandler handler;
};

// Searched from the last entry to the first.
constexpr AdminCommand kAdminCommands[] = {
    {"USER", 0, &AdminCall::User}, {"STOP", 1, &AdminCall::Stop},  {"SECU", 2, &AdminCall::Secu},
    {"ALOW", 3, &AdminCall::Alow}, {"PRXY", 4, &AdminCall::Prxy},  {"LOPT", 5, &AdminCall::Lopt},
    {"MAXU", 6, &AdminCall::Maxu}, {"IDLE", 7, &AdminCall::Idle},  {"ELOG", 8, &AdminCall::Elog},
    {"FLOG", 9, &AdminCall::Flog}, {"MESS", 10, &AdminCall::Mess}, {"DISC", 11, &AdminCall::Disc},
    {"ADDU", 12, &AdminCall::Addu}, {"DELU", 13, &AdminCall::Delu}, {"CHPW", 14, &AdminCall::Chpw},
    {"SETU", 15, &AdminCall::Setu}, {"STHM", 16, &AdminCall::Sthm}, {"STRT", 17, &AdminCall::Strt},
    {"LSRT", 18, &AdminCall::Lsrt}, {"RMRT", 19, &AdminCall::Rmrt}, {"USRS", 20, &AdminCall::Usrs},
    {"IPPT", 21, &AdminCall::NotImplemented}, {"NTWK", 22, &AdminCall::NotImplemented},
    {"RESU", 23, &AdminCall::Resu}, {"DISA", 24, &AdminCall::Disa},
};
static_assert(std::size(kAdminCommands) == 25);

const AdminCommand* FindAdminCommand(std::string_view name) {
    if (name.empty()) return nullptr;
    for (size_t i = std::size(kAdminCommands); i-- > 0;) {
        if (EqualsNoCase(name, kAdminCommands[i].name)) return &kAdminCommands[i];
    }
    return nullptr;
}

}  // namespace

bool AdminAccessAllowed(CFtpSession& session, std::string_view arg) {
    sockaddr_storage local{};
    socklen_t localLen = sizeof local;
    if (::getsockname(session.controlSocket(), reinterpret_cast<sockaddr*>(&local), &localLen) == 0) {
        const std::string here = AddressText(reinterpret_cast<const sockaddr*>(&local), localLen);
        const std::string peer =
            AddressText(reinterpret_cast<const sockaddr*>(&session.peerAddress()), session.peerLength());
        // A client on this machine administers without a login only when it
        // runs as the service's own account or as root: any other local
        // account would otherwise get everything the service may do.
        if (!here.empty() && here == peer) {
            const std::optional<uid_t> owner = accounts::LocalPeerOwner(local, session.peerAddress());
            if (owner && (*owner == 0 || *owner == ::geteuid())) return true;
        }
    }
    if (session.account().administrator()) return true;
    return StartsWithNoCase(arg, "ADMN USER");
}

void RunAdmin(CFtpSession& session, std::string_view arg) {
    if (!AdminAccessAllowed(session, arg)) {
        session.ReplyText(MSG_ADMN_REFUSED);
        return;
    }
    if (arg.size() == 4 || arg[4] != ' ') {
        // The monitor toggle.
        const bool on = !session.monitor();
        session.setMonitor(on);
        if (on) session.server().monitors().SendSessionList(session);
        session.setStatusText("Success");
        return;
    }
    admin::AdminCall call(session, arg);
    const AdminCommand* command = FindAdminCommand(call.name());
    if (command == nullptr) {
        session.Reply(MSG_UNIDENTIFIED, ("SITE " + std::string(arg)).c_str());
        session.setStatusText("Fail");
        return;
    }
    session.setStatusText("Success");
    call.Run(command->handler);
}

}  // namespace orvyn
