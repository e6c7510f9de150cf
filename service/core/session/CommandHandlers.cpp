// The handler of every command number. A command whose handler has not been
// written yet answers that it is not implemented; adding a command means
// declaring its handler in CFtpSession and entering it here.
#include <array>

#include "service/core/session/CommandTable.h"
#include "service/core/session/FtpSession.h"

namespace orvyn {
namespace {

constexpr size_t kHandlerSlots = 64;

}  // namespace

CFtpSession::Handler CFtpSession::HandlerFor(int number) {
    static const std::array<Handler, kHandlerSlots> table = [] {
        std::array<Handler, kHandlerSlots> t{};
        t.fill(&CFtpSession::OnNotImplemented);
        t[CMD_TYPE] = &CFtpSession::OnType;
        t[CMD_MODE] = &CFtpSession::OnMode;
        t[CMD_STRU] = &CFtpSession::OnStru;
        t[CMD_QUIT] = &CFtpSession::OnQuit;
        t[CMD_HELP] = &CFtpSession::OnHelp;
        t[CMD_REIN] = &CFtpSession::OnRein;
        t[CMD_SYST] = &CFtpSession::OnSyst;
        t[CMD_ACCT] = &CFtpSession::OnAcct;
        t[CMD_ALLO] = &CFtpSession::OnNoop;
        t[CMD_NOOP] = &CFtpSession::OnNoop;
        // Commands of the login, file, transfer, listing, SITE and TLS
        // features keep OnNotImplemented until their handlers are entered:
        // USER PASS PORT EPRT PASV RETR STOR STOU APPE REST RNFR RNTO ABOR
        // DELE RMD MKD PWD CWD CDUP LIST NLST SITE STAT MDTM SIZE FEAT OPTS
        // MLST MLSD AUTH PBSZ PROT. SMNT, MACB and HOST are never supported.
        return t;
    }();
    if (number < 0 || static_cast<size_t>(number) >= table.size()) return &CFtpSession::OnNotImplemented;
    return table[static_cast<size_t>(number)];
}

}  // namespace orvyn
