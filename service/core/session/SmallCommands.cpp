// Commands that only touch the session's own parameters: TYPE, MODE, STRU,
// REIN, HELP, SYST, NOOP/ALLO, ACCT, QUIT, and the replies for unknown
// commands and for commands this server does not implement.
#include <string>

#include "service/core/server/FtpServer.h"
#include "service/base/replies/Catalogue.h"
#include "service/base/text/NoCase.h"
#include "service/core/session/CommandTable.h"
#include "service/core/session/FtpSession.h"

namespace orvyn {
namespace {

const char* TypeText(int type) {
    switch (type) {
        case kTypeAsciiNonPrint: return "A N";
        case kTypeAsciiTelnet: return "A T";
        case kTypeAsciiCarriage: return "A C";
        case kTypeImage: return "L 8";
        default: return "(unknown type)";
    }
}

}  // namespace

void CFtpSession::OnType(std::string_view arg) {
    const char first = arg.empty() ? '\0' : arg[0];
    const char third = arg.size() >= 3 ? arg[2] : 'N';
    switch (AsciiLower(first)) {
        case 'a': {
            const char format = arg.size() >= 3 ? AsciiLower(arg[2]) : '\0';
            type_ = format == 'c' ? kTypeAsciiCarriage : format == 't' ? kTypeAsciiTelnet : kTypeAsciiNonPrint;
            ReplyText(MSG_TYPE_ASCII);
            break;
        }
        case 'i':
            type_ = kTypeImage;
            ReplyText(MSG_TYPE_IMAGE);
            break;
        case 'l':
            type_ = kTypeImage;
            ReplyText(MSG_TYPE_LOCAL8);
            break;
        default:
            ReplyText(MSG_TYPE_UNSUPPORTED);
            Log('C', "TYPE could not be set to the value requested");
            status_ = "Fail";
            return;
    }
    Log('C', "TYPE set to %c %c", first, third);
    status_ = "Success";
}

void CFtpSession::OnMode(std::string_view arg) {
    const char c = arg.empty() ? '\0' : arg[0];
    if (c == 'B' || c == 'b') {
        blockMode_ = true;
        ReplyText(MSG_MODE_BLOCK);
    } else if (c == 'S' || c == 's') {
        blockMode_ = false;
        ReplyText(MSG_MODE_STREAM);
    } else {
        ReplyText(MSG_MODE_UNSUPPORTED);
        Log('C', "MODE could not be set to %c", c);
        status_ = "Fail";
        return;
    }
    Log('C', "MODE set to %c", c);
    status_ = "Success";
}

void CFtpSession::OnStru(std::string_view arg) {
    const char c = arg.empty() ? '\0' : arg[0];
    if (c == 'F' || c == 'f') {
        structure_ = 0;
        ReplyText(MSG_STRU_FILE);
        Log('C', "STRUcture set to %c", c);
        status_ = "Success";
        return;
    }
    ReplyText(MSG_STRU_UNSUPPORTED);
    Log('C', "STRUcture could not be set to %c", c);
    status_ = "Fail";
}

void CFtpSession::OnRein(std::string_view) {
    // A transfer that has begun (or whose command waits for its connection
    // or listing) ends here: its command gets its final reply first.
    if (transfer_->Busy() || files_.dataJob) WriteText("426 Transfer aborted.\r\n", false);
    DropSecurityLayers();
    Reset();
    Log('C', "REINitialise successful - asking for user/password.");
    status_ = "Success";
    Greet();
}

void CFtpSession::OnHelp(std::string_view arg) {
    if (!arg.empty()) {
        Reply(MSG_HELP_TEXT, LookupCommand(arg).help);
    } else {
        ReplyText(MSG_HELP_GRID_HEAD);
        for (const char* line : HelpGrid()) {
            std::string text(line);
            text += "\r\n";
            WriteText(text, true);
        }
        std::string closing = "214 Direct comments about ORVYN to ";
        closing += kAdminContact;
        closing += ".\r\n";
        WriteText(closing, false);
    }
    Log('C', "HELP completed successfully");
    status_ = "Success";
}

void CFtpSession::OnSyst(std::string_view) {
    Reply(MSG_SYST, "WIN32", TypeText(type_));
    Log('C', "SYSTem type reported");
    status_ = "Success";
}

void CFtpSession::OnNoop(std::string_view) {
    ReplyText(MSG_NOOP);
}

void CFtpSession::OnAcct(std::string_view) {
    ReplyText(MSG_ACCT);
}

void CFtpSession::OnQuit(std::string_view) {
    quitRequested_ = true;
    Quit();  // closes the session unless a transfer runs
}

void CFtpSession::OnUnidentified(std::string_view) {
    const std::string line(currentLine_);
    status_ = "Fail-nocommand";
    Reply(MSG_UNIDENTIFIED, line.c_str());
}

void CFtpSession::OnNotImplemented(std::string_view) {
    const std::string line(currentLine_);
    Reply(MSG_NOT_IMPLEMENTED, line.c_str());
    status_ = "Fail";
}

}  // namespace orvyn
