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
        t[CMD_USER] = &CFtpSession::OnUser;
        t[CMD_PASS] = &CFtpSession::OnPass;
        // ---- files and listings
        t[CMD_PWD] = &CFtpSession::OnPwd;
        t[CMD_CWD] = &CFtpSession::OnCwd;
        t[CMD_CDUP] = &CFtpSession::OnCdup;
        t[CMD_MKD] = &CFtpSession::OnMkd;
        t[CMD_RMD] = &CFtpSession::OnRmd;
        t[CMD_DELE] = &CFtpSession::OnDele;
        t[CMD_RNFR] = &CFtpSession::OnRnfr;
        t[CMD_RNTO] = &CFtpSession::OnRnto;
        t[CMD_FEAT] = &CFtpSession::OnFeat;
        t[CMD_OPTS] = &CFtpSession::OnOpts;
        t[CMD_MLST] = &CFtpSession::OnMlst;
        t[CMD_STAT] = &CFtpSession::OnStat;
        t[CMD_LIST] = &CFtpSession::OnList;
        t[CMD_NLST] = &CFtpSession::OnNlst;
        t[CMD_MLSD] = &CFtpSession::OnMlsd;
        // ---- data connection and transfers
        t[CMD_PORT] = &CFtpSession::OnPort;
        t[CMD_EPRT] = &CFtpSession::OnEprt;
        t[CMD_PASV] = &CFtpSession::OnPasv;
        t[CMD_EPSV] = &CFtpSession::OnEpsv;
        t[CMD_RETR] = &CFtpSession::OnRetr;
        t[CMD_STOR] = &CFtpSession::OnStor;
        t[CMD_STOU] = &CFtpSession::OnStou;
        t[CMD_APPE] = &CFtpSession::OnAppe;
        t[CMD_REST] = &CFtpSession::OnRest;
        t[CMD_ABOR] = &CFtpSession::OnAbor;
        t[CMD_SIZE] = &CFtpSession::OnSize;
        t[CMD_MDTM] = &CFtpSession::OnMdtm;
        // Commands of the file, transfer, listing, SITE and TLS features
        // keep OnNotImplemented until their handlers are entered: RNFR RNTO
        // DELE RMD MKD PWD CWD CDUP LIST NLST SITE STAT FEAT OPTS MLST MLSD
        // AUTH PBSZ PROT. SMNT, MACB and HOST are never supported.
        return t;
    }();
    if (number < 0 || static_cast<size_t>(number) >= table.size()) return &CFtpSession::OnNotImplemented;
    return table[static_cast<size_t>(number)];
}

}  // namespace orvyn
