#include "service/base/replies/Catalogue.h"

#include <algorithm>
#include <iterator>

#include "service/base/replies/SiteCatalogue.h"

namespace orvyn {
namespace {

struct Entry {
    int number;
    const char* text;
};

// Sorted by number; MessageText searches it by bisection.
constexpr Entry kCatalogue[] = {
    {12000, "120 This server has stopped.  We expect it to be back up in %d minutes\r\n"},
    {20001, "200 Type is ASCII\r\n"},
    {20002, "200 Type is Image (Binary)\r\n"},
    {20003, "200 Mode is Stream\r\n"},
    {20004, "200 Structure is File\r\n"},
    {20006, "200 No operation completed successfully\r\n"},
    {20008, "200 Type is Local 8-bit representation (Binary)\r\n"},
    {20016, "200 Mode is 'Block'.\r\n"},
    {20050, "200 MLST OPTS %s\r\n"},
    {20060, "200 \"PBSZ %d\" supported here.\r\n"},
    {20061, "200 Protection now %s\r\n"},
    {21301, "213-status of %.256s:\r\n"},
    {21302, "213-Illegal path component detected.\r\n"},
    {21303, "213 End of status\r\n"},
    {21304, "213-Listing failed: a local folder or file could not be read or written.\r\n"},
    {21400, "214 %s\r\n"},
    {21401, "214-The following commands are recognized (* =>'s unimplemented).\r\n"},
    {21501, "215 %s %s (ORVYN by Brandmoor)\r\n"},
    {22001, "220 ORVYN %s service (by Brandmoor) ready for new user\r\n"},
    {22002, "220-%s\r\n"},
    {22101, "221 Windows FTP Server (ORVYN, by Brandmoor) says goodbye\r\n"},
    {22102, "221-%s\r\n"},
    {23001, "230 Logged in successfully\r\n"},
    {23002, "202 ACCT command not used by this server.\r\n"},
    {23401, "234 AUTH command acccepted.  Establishing 'secured' session.\r\n"},
    {25001, "250 File renamed successfully\r\n"},
    {25002, "250 DELE command successful.\r\n"},
    {25003, "250 \"%.256s\" is current directory\r\n"},
    {25004, "250 Directory %.256s removed\r\n"},
    {25701, "257 \"%.256s\" is current directory\r\n"},
    {25702, "257 \"%.256s\" directory created\r\n"},
    {30001, "300 TIME - 75%% of timeout reached - send NOOP to continue.\r\n"},
    {33101, "331-Anonymous user access allowed - please enter your email\r\n"},
    {33102, "331-address as the password:\r\n"},
    {33103, "331 Give me your password, please\r\n"},
    {35001, "350 Enter the name to rename it to...\r\n"},
    {42101, "421 Too many users logged in already.\r\n"},
    {42102, "421 Service not available, closing TELNET connection\r\n"},
    {42103, "421 Timeout (%d seconds): closing control connection.\r\n"},
    {42104, "421 Sorry, but the server has disconnected you.\r\n"},
    {42105, "421 Too many incorrect attempts at user/password combination - disconnecting.\r\n"},
    {42106, "421 Too many failed logins from your address - try again later.\r\n"},
    {42502, "425 Timeout on network transaction - closing connection.\r\n"},
    {42504, "425 Data connection closed before end of transfer.\r\n"},
    {45001, "450 Too many listings in progress - try again later.\r\n"},
    {45002, "450 Too many listings in progress from your address - try again later.\r\n"},
    {50001, "500 Unidentified command %s\r\n"},
    {50102, "501 User is not allowed to change to %.256s - returning to %.256s.\r\n"},
    {50105, "501 Command %s requires at least one parameter\r\n"},
    {50106, "501 Command %s does not take parameters!\r\n"},
    {50112, "501 Illegal command sequence - RNTO requires that you issue RNFR first.\r\n"},
    {50120, "501 MLST command requires any argument given to be a valid path name.\r\n"},
    {50121, "501 MLSD requires that any argument given be a directory.\r\n"},
    {50122, "501 NLST / LIST parameters are not allowed to include \"/..\"\r\n"},
    {50123, "501 Option string \"%.50s\" not recognised.\r\n"},
    {50130, "501 \"PBSZ %.100s\" is not supported - PBSZ 0 only, please.\r\n"},
    {50201, "502 Command %s not implemented yet on this server\r\n"},
    {50401, "504 Only Image (Binary) and ASCII are supported\r\n"},
    {50402, "504 Only Stream mode is supported\r\n"},
    {50403, "504 Only structure allowed is File.\r\n"},
    {50404, "504 Unknown AUTH parameter \"%.50s\"\r\n"},
    {50405, "504 Bad/unrecognised PROT parameter \"%.100s\"\r\n"},
    {53001, "530 Not logged in - password incorrect\r\n"},
    {53002, "530 Not logged in yet - need a USER and PASS command\r\n"},
    {53003, "530 Sorry, anonymous access is not allowed\r\n"},
    {53004, "530 Unable to access your home directory.\r\n"},
    {53006, "530 Unable to login - server currently down.\r\n"},
    {53007, "530 Your current directory, and your home directory, have been deleted.  You are logged out.\r\n"},
    {53008, "530 USER and PASS command must be encrypted.\r\n"},
    {53501, "535 Unable to create server credentials.\r\n"},
    {55004, "550 Error deleting file %.256s: %s\r\n"},
    {55006, "550 Unknown directory / drive not ready: %.256s\r\n"},
    {55010, "550 You do not have sufficient rights to rename that file.\r\n"},
    {55011, "550 Source file does not exist.\r\n"},
    {55012, "550 You do not have rights to delete that file.\r\n"},
    {55013, "550 You do not have rights to create that subdirectory.\r\n"},
    {55014, "550 Directory %.256s could not be created\r\n"},
    {55015, "550 You do not have the rights to remove that subdirectory.\r\n"},
    {55016, "550 Directory %.256s could not be removed\r\n"},
    {55301, "553 Error renaming file to %.256s: %s\r\n"},
    {55303, "553 Not allowed to rename file to .LNK extension.\r\n"},
};

constexpr bool Sorted() {
    for (size_t i = 1; i < std::size(kCatalogue); ++i) {
        if (kCatalogue[i - 1].number >= kCatalogue[i].number) return false;
    }
    return true;
}
static_assert(Sorted(), "catalogue entries must stay sorted by number");

}  // namespace

const char* MessageText(int number) {
    auto it = std::lower_bound(std::begin(kCatalogue), std::end(kCatalogue), number,
                               [](const Entry& e, int n) { return e.number < n; });
    if (it == std::end(kCatalogue) || it->number != number) return SiteMessageText(number);
    return it->text;
}

}  // namespace orvyn
