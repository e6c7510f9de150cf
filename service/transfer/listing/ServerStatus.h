// The replies of STAT without a path: the server status block, or the
// progress of the transfer in hand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvyn {

// What the status block tells about the session.
struct ServerStatusFacts {
    std::string hostName;        // this server's host name
    std::string clientHostName;  // the client's host name; empty when unknown
    std::string clientAddress;   // the client's address
    std::string userName;        // the logged-in user
    bool binaryType = false;     // TYPE I (else ASCII)
    char transferMode = 'S';     // MODE: 'S' stream, 'B' block, 'C' compressed
    // Description of the socket layer; empty: the running kernel's.
    std::string socketDescription;
};

struct TransferStatusFacts {
    std::string hostName;
    std::string fileName;        // the client-visible name of the transfer file
    bool listing = false;        // a listing has no position or length to tell
    std::uint64_t position = 0;  // the source's current position
    std::uint64_t length = 0;    // the source's length
};

// The program's version banner: product, maker, processor and version.
std::string VersionBanner();
// Date and time this program was built.
std::string BuildDateText();

// The lines of the status reply, without CR LF: "211-<host> FTP server
// status:", the banner, build date, socket layer, connection, user, TYPE /
// FORM / STRUcture / MODE, server type, "211 End of status".
std::vector<std::string> ServerStatusLines(const ServerStatusFacts& facts);

// The lines of the status reply while a transfer runs.
std::vector<std::string> TransferStatusLines(const TransferStatusFacts& facts);

}  // namespace orvyn
