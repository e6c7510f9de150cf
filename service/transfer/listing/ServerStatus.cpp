#include "service/transfer/listing/ServerStatus.h"

#include <sys/utsname.h>

#include <cinttypes>
#include <cstdio>

#ifndef ORVYN_VERSION_TEXT
#define ORVYN_VERSION_TEXT "0.0"
#endif

namespace orvyn {
namespace {

std::string Machine() {
    struct utsname names;
    if (uname(&names) != 0) return "unknown processor";
    return names.machine;
}

std::string KernelSockets() {
    struct utsname names;
    if (uname(&names) != 0) return "BSD sockets";
    return std::string(names.sysname) + " " + names.release + " sockets, IPv4 and IPv6";
}

// Names put into a reply line never carry control characters: a CR or LF
// would end the line early and let the rest pass for another reply.
std::string Clean(const std::string& text) {
    std::string out(text);
    for (char& c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    return out;
}

const char* TransferModeText(char mode) {
    switch (mode) {
    case 'B': return "Block";
    case 'C': return "Compressed";
    default: return "Stream";
    }
}

}  // namespace

std::string VersionBanner() { return "ORVYN Pro by Brandmoor for " + Machine() + ", version " ORVYN_VERSION_TEXT; }

std::string BuildDateText() { return __DATE__ " " __TIME__; }

std::vector<std::string> ServerStatusLines(const ServerStatusFacts& facts) {
    std::vector<std::string> lines;
    lines.push_back("211-" + Clean(facts.hostName) + " FTP server status:");
    lines.push_back(" " + VersionBanner());
    lines.push_back(" Build date " + BuildDateText());
    lines.push_back(" Winsock information:");
    lines.push_back("    " + Clean(facts.socketDescription.empty() ? KernelSockets() : facts.socketDescription));
    lines.push_back(" Connected to " + (facts.clientHostName.empty() ? std::string("{unnamed-host}") : Clean(facts.clientHostName)) +
                    " (" + Clean(facts.clientAddress) + ")");
    lines.push_back(" Logged in as " + Clean(facts.userName));
    lines.push_back(std::string(" TYPE: ") + (facts.binaryType ? "Binary" : "ASCII") +
                    ", FORM: Nonprint; STRUcture: File; transfer MODE: " + TransferModeText(facts.transferMode));
    lines.push_back(" Server type: ORVYN by Brandmoor");
    lines.push_back("211 End of status");
    return lines;
}

std::vector<std::string> TransferStatusLines(const TransferStatusFacts& facts) {
    std::vector<std::string> lines;
    lines.push_back("211-" + Clean(facts.hostName) + " FTP server status:");
    lines.push_back(" Transfer in progress:");
    lines.push_back(" " + Clean(facts.fileName));
    if (!facts.listing) {
        char text[96];
        std::snprintf(text, sizeof text, " %" PRIu64 " bytes into a %" PRIu64 " byte file", facts.position,
                      facts.length);
        lines.push_back(text);
    }
    lines.push_back("211 End of status");
    return lines;
}

}  // namespace orvyn
