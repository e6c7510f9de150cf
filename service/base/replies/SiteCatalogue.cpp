#include "service/base/replies/SiteCatalogue.h"

#include <algorithm>
#include <iterator>

namespace orvyn {
namespace {

struct Entry {
    int number;
    const char* text;
};

// Sorted by number.
constexpr Entry kSiteCatalogue[] = {
    {20009, "200 User disconnected.\r\n"},
    {20011, "200 CHPW succeeded - your password has changed.\r\n"},
    {20015, "200 User disconnected.\r\n"},
    {21502, "215 ADMN SECU %s\r\n"},
    {21503, "215 ADMN ALOW STOR %s\r\n"},
    {21504, "215 ADMN ALOW ANON %s\r\n"},
    {21505, "215 ADMN ALOW ANST %s\r\n"},
    {21507, "215 ADMN PRXY %s\r\n"},
    {21508, "215 ADMN LOPT %s\r\n"},
    {21509, "215 ADMN MAXU %d\r\n"},
    {21510, "215 ADMN IDLE %d\r\n"},
    {21511, "215 ADMN ELOG %s\r\n"},
    {21512, "215 ADMN ELOG %s %s\r\n"},
    {21513, "215 ADMN FLOG %.256s\r\n"},
    {21514, "215 ADMN MESS MCWD %s\r\n"},
    {21515, "215 ADMN DELU %s\r\n"},
    {21516, "215 ADMN CHPW %s <!ssh!>\r\n"},
    {21517, "215 ADMN SETU %s CHRT %.256s\r\n"},
    {21518, "215 ADMN STHM %s %.256s \r\n"},
    {21519, "215 ADMN STRT %s %.256s %s\r\n"},
    {21520, "215 ADMN STRT <none>\r\n"},
    {21521, "215-ADMN STRT %s %.256s %s\r\n"},
    {21522, "215 ADMN RMRT %s %.256s\r\n"},
    {21523, "215 ADMN CHPW %s\r\n"},
    {21524, "215-ADMN CHPW %s\r\n"},
    {21525, "215 ADMN CHPW\r\n"},
    {21526, "215 ADMN STOP %d %d %s\r\n"},
    {21527, "215 ADMN FLOG <elsewhere>\r\n"},
    {21528, "215 ADMN ADDU %s\r\n"},
    {21529, "215 ADMN RESU\r\n"},
    {30002, "300%cMODI %s %d %s %s %s\r\n"},
    {30003, "300 DELE %d\r\n"},
    {42507, "425 Remote administration through SITE ADMN requires administrative login rights.\r\n"},
    {42508, "425 Could not disconnect selected ID - either not found, or this connection.\r\n"},
    {45101, "451 CHPW failed - the new password could not be stored.\r\n"},
    {45102, "451 ADMN %s failed - the change could not be stored.\r\n"},
    {50103, "501 Syntax error in command: %s.\r\n"},
    {50108, "501 SITE CHPW needs 2 parameters - your old password, and the new one.\r\n"},
    {50115, "501 Command not supported on this server type.\r\n"},
    {50406, "504 SITE CHPW requires your old password to change to a new one.\r\n"},
    {51500, "515 ADMN DELU %.50s failed - user does not exist!\r\n"},
};

constexpr bool Sorted() {
    for (size_t i = 1; i < std::size(kSiteCatalogue); ++i) {
        if (kSiteCatalogue[i - 1].number >= kSiteCatalogue[i].number) return false;
    }
    return true;
}
static_assert(Sorted(), "SITE catalogue entries must stay sorted by number");

}  // namespace

const char* SiteMessageText(int number) {
    auto it = std::lower_bound(std::begin(kSiteCatalogue), std::end(kSiteCatalogue), number,
                               [](const Entry& e, int n) { return e.number < n; });
    if (it == std::end(kSiteCatalogue) || it->number != number) return nullptr;
    return it->text;
}

}  // namespace orvyn
