#include "service/core/session/Catalogue.h"

#include <algorithm>
#include <iterator>

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
    {21400, "214 %s\r\n"},
    {21401, "214-The following commands are recognized (* =>'s unimplemented).\r\n"},
    {21501, "215 %s %s (ORVYN by Brandmoor)\r\n"},
    {22001, "220 ORVYN %s service (by Brandmoor) ready for new user\r\n"},
    {22002, "220-%s\r\n"},
    {22101, "221 Windows FTP Server (ORVYN, by Brandmoor) says goodbye\r\n"},
    {22102, "221-%s\r\n"},
    {23002, "202 ACCT command not used by this server.\r\n"},
    {30001, "300 TIME - 75%% of timeout reached - send NOOP to continue.\r\n"},
    {42101, "421 Too many users logged in already.\r\n"},
    {42102, "421 Service not available, closing TELNET connection\r\n"},
    {42103, "421 Timeout (%d seconds): closing control connection.\r\n"},
    {42104, "421 Sorry, but the server has disconnected you.\r\n"},
    {42502, "425 Timeout on network transaction - closing connection.\r\n"},
    {42504, "425 Data connection closed before end of transfer.\r\n"},
    {50001, "500 Unidentified command %s\r\n"},
    {50105, "501 Command %s requires at least one parameter\r\n"},
    {50106, "501 Command %s does not take parameters!\r\n"},
    {50201, "502 Command %s not implemented yet on this server\r\n"},
    {50401, "504 Only Image (Binary) and ASCII are supported\r\n"},
    {50402, "504 Only Stream mode is supported\r\n"},
    {50403, "504 Only structure allowed is File.\r\n"},
    {53002, "530 Not logged in yet - need a USER and PASS command\r\n"},
    {53007, "530 Your current directory, and your home directory, have been deleted.  You are logged out.\r\n"},
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
    if (it == std::end(kCatalogue) || it->number != number) return nullptr;
    return it->text;
}

}  // namespace orvyn
