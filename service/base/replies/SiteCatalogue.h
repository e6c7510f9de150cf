// The replies of the SITE commands and of remote administration (SITE
// ADMN). They are part of the message catalogue (MessageText finds them);
// they are kept in a table of their own so that the SITE commands can grow
// without touching the rest of the catalogue.
#pragma once

namespace orvyn {

enum SiteMessageNumber : int {
    MSG_ADMN_DISCONNECTED = 20009,
    MSG_CHPW_DONE = 20011,
    MSG_ADMN_DISA_DONE = 20015,
    MSG_ADMN_SECU = 21502,       // %s state
    MSG_ADMN_ALOW_STOR = 21503,  // %s
    MSG_ADMN_ALOW_ANON = 21504,  // %s
    MSG_ADMN_ALOW_ANST = 21505,  // %s
    MSG_ADMN_PRXY = 21507,       // %s
    MSG_ADMN_LOPT = 21508,       // %s
    MSG_ADMN_MAXU = 21509,       // %d
    MSG_ADMN_IDLE = 21510,       // %d
    MSG_ADMN_ELOG = 21511,       // %s
    MSG_ADMN_ELOG_CATEGORY = 21512,  // %s category, %s state
    MSG_ADMN_FLOG = 21513,       // %.256s
    MSG_ADMN_MCWD = 21514,       // %s
    MSG_ADMN_DELU = 21515,       // %s
    MSG_ADMN_CHPW = 21516,       // %s
    MSG_ADMN_SETU = 21517,       // %s user, %.256s state
    MSG_ADMN_STHM = 21518,       // %s user, %.256s home
    MSG_ADMN_STRT = 21519,       // %s user, %.256s path, %s rights
    MSG_ADMN_STRT_NONE = 21520,
    MSG_ADMN_STRT_MORE = 21521,  // as 21519, not the last line
    MSG_ADMN_RMRT = 21522,       // %s user, %.256s path
    MSG_ADMN_USRS = 21523,       // %s
    MSG_ADMN_USRS_MORE = 21524,  // %s
    MSG_ADMN_USRS_NONE = 21525,
    MSG_ADMN_STOP = 21526,       // %d %d %s
    MSG_ADMN_FLOG_ELSEWHERE = 21527,
    MSG_ADMN_ADDU = 21528,       // %s
    MSG_ADMN_RESU = 21529,
    MSG_ADMN_MODI = 30002,       // %c separator, %s name, %d id, %s address, %s status, %s last command
    MSG_ADMN_DELE = 30003,       // %d id
    MSG_ADMN_REFUSED = 42507,
    MSG_ADMN_DISC_FAILED = 42508,
    MSG_CHPW_NOT_STORED = 45101,
    MSG_ADMN_NOT_STORED = 45102,
    MSG_SITE_SYNTAX = 50103,     // %s
    MSG_CHPW_PARAMETERS = 50108,
    MSG_CHPW_SYSTEM = 50115,
    MSG_CHPW_OLD_WRONG = 50406,
    MSG_ADMN_DELU_FAILED = 51500,  // %.50s
};

// The text of a SITE reply, or nullptr for a number that is not one.
const char* SiteMessageText(int number);

}  // namespace orvyn
