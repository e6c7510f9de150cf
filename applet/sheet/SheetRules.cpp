#include "applet/sheet/SheetRules.h"

#include <arpa/inet.h>

#include <algorithm>

#include <cstdlib>
#include <vector>

namespace orvyn::applet {

bool IsNumericPattern(std::string_view entry) {
    if (entry.empty())
        return false;
    for (char c : entry)
        if (!(c >= '0' && c <= '9') && c != '.' && c != '*')
            return false;
    return true;
}

std::optional<std::string> NetworkRange(std::string_view entry) {
    const size_t slash = entry.find('/');
    const std::string address(entry.substr(0, slash));
    const bool six = address.find(':') != std::string::npos;
    if (address.size() > (six ? kMaxRangeAddress6 : kMaxRangeAddress))
        return std::nullopt;
    unsigned char bytes[16] = {};
    if (inet_pton(six ? AF_INET6 : AF_INET, address.c_str(), bytes) != 1)
        return std::nullopt;
    const long bits = six ? 128 : 32;
    long prefix = 0;
    if (slash != std::string_view::npos) {
        const std::string digits(entry.substr(slash + 1, 12));
        prefix = std::strtol(digits.c_str(), nullptr, 10);
    }
    prefix = std::clamp(prefix, 1L, bits);
    // Every bit beyond the prefix cleared, byte by byte.
    for (long i = 0; i < bits / 8; ++i) {
        const long kept = std::clamp(prefix - i * 8, 0L, 8L);
        bytes[i] &= static_cast<unsigned char>(0xFF00u >> kept);
    }
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(six ? AF_INET6 : AF_INET, bytes, text, sizeof text);
    return std::string(text) + "/" + std::to_string(prefix);
}

std::string JoinConversion(const ConversionFields& c) {
    std::string out;
    for (const std::string* field :
         {&c.localPrefix, &c.localSuffix, &c.requestedPrefix, &c.requestedSuffix, &c.command}) {
        for (char ch : *field) {
            if (ch == '\\' || ch == '|')
                out += '\\';
            out += ch;
        }
        out += '|';
    }
    return out + std::to_string(c.mode);
}

ConversionFields SplitConversion(std::string_view text) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        if (fields.size() < 6 && ch == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '|')) {
            ch = text[++i];
        } else if (ch == '|' && fields.size() < 6) {
            fields.emplace_back();
            continue;
        }
        fields.back() += ch;
    }
    fields.resize(6);
    ConversionFields c;
    c.localPrefix = fields[0];
    c.localSuffix = fields[1];
    c.requestedPrefix = fields[2];
    c.requestedSuffix = fields[3];
    c.command = fields[4];
    const long mode = std::strtol(fields[5].c_str(), nullptr, 10);
    c.mode = mode > 0 ? static_cast<unsigned long>(mode) : 0;
    return c;
}

std::string NormaliseDirectory(std::string_view typed) {
    if (typed.empty())
        return {};
    std::vector<std::string> parts;
    std::string part;
    auto flush = [&] {
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (char c : typed) {
        if (c == '/' || c == '\\')
            flush();
        else
            part += c;
    }
    flush();
    std::string out = "/";
    for (const std::string& p : parts)
        out += p + "/";
    return out;
}

}  // namespace orvyn::applet
