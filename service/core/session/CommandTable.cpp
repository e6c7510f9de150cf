#include "service/core/session/CommandTable.h"

#include "service/base/text/NoCase.h"
#include "service/core/session/FtpSession.h"

namespace orvyn {

// The rows; a friend of the session, whose handlers are private.
struct CommandRows {
    static constexpr CommandEntry kTable[] = {
        {kArgRequired, "USER", CMD_USER, 4, kGateClosing, &CFtpSession::OnUser,
         "USER <username> - starts the login process"},
        {kArgOptional, "PASS", CMD_PASS, 4, kGateClosing, &CFtpSession::OnPass,
         "PASS [<password>] - enters the user's password in the login process"},
        {kArgRequired, "ACCT", CMD_ACCT, 4, kGateNone, &CFtpSession::OnAcct,
         "ACCT <account-name> - ignored on this server, supported for compatibility only"},
        {kArgRequired, "CWD", CMD_CWD, 3, kGatesFiles, &CFtpSession::OnCwd,
         "CWD <new-directory> - change working directory to <new-directory>"},
        {kArgRequired, "XCWD", CMD_CWD, 4, kGatesFiles, &CFtpSession::OnCwd,
         "CWD <new-directory> - change working directory to <new-directory>"},
        {kArgNone, "CDUP", CMD_CDUP, 4, kGatesFiles, &CFtpSession::OnCdup,
         "CDUP - change working directory to parent"},
        {kArgNone, "XCUP", CMD_CDUP, 4, kGatesFiles, &CFtpSession::OnCdup,
         "CDUP - change working directory to parent"},
        {kArgRequired, "SMNT", CMD_SMNT, 4, kGateNone, &CFtpSession::OnNotImplemented,
         "SMNT <structure-name> - structure mount.  Not supported."},
        {kArgNone, "QUIT", CMD_QUIT, 4, kGateNone, &CFtpSession::OnQuit,
         "QUIT - exit control connection - waits for transfer to finish"},
        {kArgNone, "REIN", CMD_REIN, 4, kGateNone, &CFtpSession::OnRein,
         "REIN - reinitialise - return to same state as at initial connection"},
        {kArgRequired, "PORT", CMD_PORT, 4, kGatesFiles, &CFtpSession::OnPort,
         "PORT <host-address>,<host-port> - specify a non-default port for transfers"},
        {kArgRequired, "EPRT", CMD_EPRT, 4, kGatesFiles, &CFtpSession::OnEprt,
         "EPRT <d><net-prt><d>net-addr<d><tcp-port><d> - specify a non-default port for transfers"},
        {kArgNone, "PASV", CMD_PASV, 4, kGatesFiles, &CFtpSession::OnPasv,
         "PASV - ask server to 'listen' for incoming data connection"},
        {kArgRequired, "TYPE", CMD_TYPE, 4, kGateClosing, &CFtpSession::OnType,
         "TYPE <type> <cc> - Representation type - controls file transfer conversions"},
        {kArgRequired, "STRU", CMD_STRU, 4, kGatesFiles, &CFtpSession::OnStru, "STRU <code> - Choose file structure"},
        {kArgRequired, "MODE", CMD_MODE, 4, kGatesFiles, &CFtpSession::OnMode, "MODE <mode> - Specify transfer mode"},
        {kArgRequired, "RETR", CMD_RETR, 4, kGatesFiles, &CFtpSession::OnRetr, "RETR <path> - Start file download"},
        {kArgRequired, "STOR", CMD_STOR, 4, kGatesFiles, &CFtpSession::OnStor, "STOR <path> - Start file upload"},
        {kArgOptional, "STOU", CMD_STOU, 4, kGatesFiles, &CFtpSession::OnStou,
         "STOU [<path>] - Start file upload, using name unique to destination directory"},
        {kArgRequired, "APPE", CMD_APPE, 4, kGatesFiles, &CFtpSession::OnAppe,
         "APPE <path> - Upload to the end of an existing file"},
        {kArgRequired, "ALLO", CMD_ALLO, 4, kGateNone, &CFtpSession::OnNoop,
         "ALLO <byte-size> [ R <record-size>] - Allocate storage space.  Not implemented here"},
        {kArgRequired, "REST", CMD_REST, 4, kGatesFiles, &CFtpSession::OnRest,
         "REST <restart-marker> - Restart transfer from marker point"},
        {kArgRequired, "RNFR", CMD_RNFR, 4, kGatesFiles, &CFtpSession::OnRnfr,
         "RNFR <old-name> - Starts a 'rename' procedure.  Must be followed by 'RNTO'"},
        {kArgRequired, "RNTO", CMD_RNTO, 4, kGatesFiles, &CFtpSession::OnRnto,
         "RNTO <new-name> - Must be preceded by 'RNFR' - finishes the 'rename' procedure"},
        {kArgNone, "ABOR", CMD_ABOR, 4, kGateNone, &CFtpSession::OnAbor,
         "ABOR - Abort current transfer, if any is in progress"},
        {kArgRequired, "DELE", CMD_DELE, 4, kGatesFiles, &CFtpSession::OnDele, "DELE <path> - Delete the named file"},
        {kArgRequired, "RMD", CMD_RMD, 3, kGatesFiles, &CFtpSession::OnRmd,
         "RMD <path> - Remove the named directory"},
        {kArgRequired, "XRMD", CMD_RMD, 4, kGatesFiles, &CFtpSession::OnRmd,
         "RMD <path> - Remove the named directory"},
        {kArgRequired, "MKD", CMD_MKD, 3, kGatesFiles, &CFtpSession::OnMkd, "MKD <path> - Create a new directory"},
        {kArgRequired, "XMKD", CMD_MKD, 4, kGatesFiles, &CFtpSession::OnMkd, "MKD <path> - Create a new directory"},
        {kArgNone, "PWD", CMD_PWD, 3, kGatesFiles, &CFtpSession::OnPwd,
         "PWD - Print Working Directory - displays current location"},
        {kArgNone, "XPWD", CMD_PWD, 4, kGatesFiles, &CFtpSession::OnPwd,
         "PWD - Print Working Directory - displays current location"},
        {kArgOptional, "LIST", CMD_LIST, 4, kGatesFiles, &CFtpSession::OnList,
         "LIST [[<options>] <path>] - Lists files - if path not specified, default is current working directory - "
         "Unix 'ls' options supported"},
        {kArgOptional, "NLST", CMD_NLST, 4, kGatesFiles, &CFtpSession::OnNlst,
         "NLST [[<options>] <path>] - Lists file names - if path not specified, default is current working directory - "
         "Unix 'ls' options supported"},
        {kArgRequired, "SITE", CMD_SITE, 4, kGateNone, &CFtpSession::OnSite,
         "SITE <command> [<parameters>] - Site specific command - see ORVYN documentation for details"},
        {kArgNone, "SYST", CMD_SYST, 4, kGateNone, &CFtpSession::OnSyst,
         "SYST - Display system details (system type, transfer type, name of program)"},
        {kArgOptional, "STAT", CMD_STAT, 4, kGatesFiles, &CFtpSession::OnStat,
         "STAT [[<options>] <path>] - Displays server status, transfer information, or file information matching <path>"},
        {kArgOptional, "HELP", CMD_HELP, 4, kGateClosing, &CFtpSession::OnHelp,
         "HELP [<command>] - Displays helpful information concerning supported commands"},
        {kArgNone, "NOOP", CMD_NOOP, 4, kGateNone, &CFtpSession::OnNoop,
         "NOOP - Displays an 'OK' response.  Otherwise, does nothing"},
        {kArgRequired, "MDTM", CMD_MDTM, 4, kGatesFiles, &CFtpSession::OnMdtm,
         "MDTM <path> - Displays file modification time"},
        {kArgRequired, "SIZE", CMD_SIZE, 4, kGatesFiles, &CFtpSession::OnSize, "SIZE <path> - Displays file size"},
        {kArgOptional, "MACB", CMD_MACB, 4, kGateNone, &CFtpSession::OnNotImplemented,
         "MACB [<parameters>] - MacBinary mode - not supported on this server - it's not a Mac"},
        {kArgNone, "FEAT", CMD_FEAT, 4, kGateClosing, &CFtpSession::OnFeat,
         "FEAT - List certain RFC extensions supported."},
        // Before the OPTS row: a client may say it speaks UTF-8 before it logs in.
        {kArgOptional, "OPTS UTF8", CMD_OPTS_UTF8, 9, kGateClosing, &CFtpSession::OnOptsUtf8,
         "OPTS UTF8 ON|OFF - File names are UTF-8 (they pass unchanged either way)"},
        {kArgRequired, "OPTS", CMD_OPTS, 4, kGatesFiles, &CFtpSession::OnOpts,
         "OPTS - Supply options for commands such as MLST, MLSD, etc."},
        {kArgOptional, "MLST", CMD_MLST, 4, kGateMachineListing | kGatesFiles, &CFtpSession::OnMlst,
         "MLST - Supply a machine-readable listing for a file."},
        {kArgOptional, "MLSD", CMD_MLSD, 4, kGateMachineListing | kGatesFiles, &CFtpSession::OnMlsd,
         "MLSD - Supply a machine-readable listing for a directory."},
        {kArgRequired, "HOST", CMD_HOST, 4, kGateNone, &CFtpSession::OnNotImplemented, "HOST - not yet supported."},
        {kArgRequired, "AUTH", CMD_AUTH, 4, kGateNone, &CFtpSession::OnAuth,
         "AUTH - request authentication / encryption (TLS supported)"},
        {kArgRequired, "PBSZ", CMD_PBSZ, 4, kGateClosing, &CFtpSession::OnPbsz,
         "PBSZ - change protection buffer size."},
        {kArgRequired, "PROT", CMD_PROT, 4, kGateNone, &CFtpSession::OnProt,
         "PROT - request data channel protection."},
        {kArgRequired, "MFMT", CMD_MFMT, 4, kGatesFiles, &CFtpSession::OnMfmt,
         "MFMT <YYYYMMDDHHMMSS> <path> - Sets a file's modification time (UTC)"},
        {kArgOptional, "CLNT", CMD_CLNT, 4, kGateClosing, &CFtpSession::OnClnt,
         "CLNT <client-name> - Tells the server the client's name"},
        {kArgRequired, "HASH", CMD_HASH, 4, kGatesFiles, &CFtpSession::OnHash,
         "HASH <path> - Displays the digest of a file (OPTS HASH chooses SHA-256, SHA-1 or MD5)"},
        {kArgOptional, "EPSV", CMD_EPSV, 4, kGatesFiles, &CFtpSession::OnEpsv,
         "EPSV [<protocol>|ALL] - enter extended passive mode"},
        {kArgOptional, "____", CMD_NOTFOUND, 4, kGateNone, &CFtpSession::OnUnidentified, "No such command"},
    };
};

namespace {

constexpr const auto& kTable = CommandRows::kTable;

const std::array<const char*, 7> kHelpGrid = {
    "   USER    PORT    STOR    MSAM*   RNTO    NLST    MKD     CDUP ",
    "   PASS    PASV    APPE    MRSQ*   ABOR    SITE    XMKD    XCUP ",
    "   ACCT    TYPE    MLFL*   MRCP*   DELE    SYST    RMD     STOU ",
    "   SMNT*   STRU    MAIL*   ALLO    CWD     STAT    XRMD    SIZE ",
    "   REIN    MODE    MSND*   REST    XCWD    HELP    PWD     MDTM ",
    "   QUIT    RETR    MSOM*   RNFR    LIST    NOOP    XPWD    FEAT ",
    "   OPTS    MLST ",
};

bool IsBlank(char c) { return c == ' '; }

}  // namespace

std::span<const CommandEntry> CommandTable() { return kTable; }

const CommandEntry& NotFoundEntry() { return CommandTable().back(); }

const CommandEntry& LookupCommand(std::string_view line) {
    if (line.empty()) return NotFoundEntry();
    const char first = AsciiLower(line[0]);
    for (const CommandEntry& e : kTable) {
        if (AsciiLower(e.name[0]) != first) continue;
        const size_t n = static_cast<size_t>(e.nameLen);
        if (line.size() >= n && EqualsNoCase(line.substr(0, n), std::string_view(e.name, n))) return e;
    }
    return NotFoundEntry();
}

std::string_view CommandArgument(const CommandEntry& e, std::string_view line) {
    const size_t n = static_cast<size_t>(e.nameLen);
    if (line.size() <= n) return {};
    std::string_view arg = line.substr(n);
    size_t skip = 0;
    while (skip < arg.size() && IsBlank(arg[skip])) ++skip;
    return arg.substr(skip);
}

ArgCheck CheckArgument(const CommandEntry& e, std::string_view arg) {
    if (e.argRule == kArgRequired && arg.empty()) return ArgCheck::Missing;
    if (e.argRule == kArgNone && !arg.empty()) return ArgCheck::Unexpected;
    return ArgCheck::Ok;
}

const std::array<const char*, 7>& HelpGrid() { return kHelpGrid; }

}  // namespace orvyn
