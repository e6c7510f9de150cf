// Texts of Winsock error numbers, and what a failed data connection replies
// and logs.
#pragma once

#include <string>

namespace orvyn {

// "[10061] Connection refused" and the like: the code in square brackets, a
// blank and the text; nullptr for a code that has no text. 51 codes have one.
const char* WinsockErrorText(int code);

// How connection completion reports a data connection that failed with
// `error` (a Winsock error number, or a file error of 10000 and below).
struct ConnectFailureReport {
    std::string reply;    // without CR LF
    std::string warning;  // log line, category '!'
};
// error > 10000 with a text: "425 Unable to open data connection - error=%s"
//                            and "Winsock error "%s" during connect."
// error > 10000 without:     "425 Unable to open data connection - unkown error '%d'"
//                            and "Unknown Winsock error %d during connect."
// otherwise:                 "451 Could not open local file."
//                            and "Non-winsock (i.e. file) error %d during connect."
// A line break inside an error text becomes a blank in the reply, which must
// stay one line.
ConnectFailureReport DescribeConnectFailure(int error);

}  // namespace orvyn
