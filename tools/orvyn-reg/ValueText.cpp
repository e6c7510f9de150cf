#include "tools/orvyn-reg/ValueText.h"

#include <array>
#include <limits>

namespace orvyn::regtool {
namespace {

struct TypeEntry {
    std::string_view name;
    uint32_t type;
};

constexpr std::array<TypeEntry, 8> kTypes = {{
    {"REG_NONE", reg::REG_NONE},
    {"REG_SZ", reg::REG_SZ},
    {"REG_EXPAND_SZ", reg::REG_EXPAND_SZ},
    {"REG_BINARY", reg::REG_BINARY},
    {"REG_DWORD", reg::REG_DWORD},
    {"REG_DWORD_BIG_ENDIAN", reg::REG_DWORD_BIG_ENDIAN},
    {"REG_MULTI_SZ", reg::REG_MULTI_SZ},
    {"REG_QWORD", reg::REG_QWORD},
}};

// Items of a multi-string are separated by these two characters on the
// command line.
constexpr std::string_view kItemSeparator = "\\0";

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::vector<uint8_t> TextWithNul(std::string_view text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

bool EncodeMultiString(std::string_view text, std::vector<uint8_t>& out, std::string& error) {
    out.clear();
    if (!text.empty()) {
        std::string_view rest = text;
        while (true) {
            size_t sep = rest.find(kItemSeparator);
            std::string_view item = rest.substr(0, sep);
            if (item.empty()) {
                error = "Invalid REG_MULTI_SZ data " + Quoted(text) +
                        ": the items separated by \\0 must not be empty.";
                return false;
            }
            out.insert(out.end(), item.begin(), item.end());
            out.push_back(0);
            if (sep == std::string_view::npos) break;
            rest.remove_prefix(sep + kItemSeparator.size());
        }
    }
    // The list ends with an empty item; an empty list is that item alone.
    out.push_back(0);
    return true;
}

bool EncodeNumber(uint32_t type, const std::optional<std::string>& text,
                  std::vector<uint8_t>& out, std::string& error) {
    const bool wide = type == reg::REG_QWORD;
    const uint64_t max = wide ? std::numeric_limits<uint64_t>::max()
                              : std::numeric_limits<uint32_t>::max();
    const std::string name = TypeName(type);
    if (!text) {
        error = name + " needs data: /d NUMBER.";
        return false;
    }
    std::optional<uint64_t> number = ParseNumber(*text, max);
    if (!number) {
        error = "Invalid " + name + " data " + Quoted(*text) +
                ": give a decimal number or 0x and hex digits, at most " +
                std::to_string(max) + ".";
        return false;
    }
    out.clear();
    const int size = wide ? 8 : 4;
    for (int i = 0; i < size; ++i) {
        const int shift = type == reg::REG_DWORD_BIG_ENDIAN ? 8 * (size - 1 - i) : 8 * i;
        out.push_back(static_cast<uint8_t>(*number >> shift));
    }
    return true;
}

uint64_t ReadLittleEndian(const std::vector<uint8_t>& data) {
    uint64_t v = 0;
    for (size_t i = data.size(); i-- > 0;) v = (v << 8) | data[i];
    return v;
}

std::string FormatHexNumber(uint64_t v) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), kDigits[v & 0xf]);
        v >>= 4;
    } while (v != 0);
    return "0x" + digits;
}

}  // namespace

std::optional<uint32_t> ParseTypeName(std::string_view name) {
    for (const TypeEntry& entry : kTypes) {
        if (entry.name.size() != name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i) same = UpperAscii(name[i]) == entry.name[i];
        if (same) return entry.type;
    }
    return std::nullopt;
}

std::string TypeName(uint32_t type) {
    for (const TypeEntry& entry : kTypes) {
        if (entry.type == type) return std::string(entry.name);
    }
    return "REG_TYPE_" + std::to_string(type);
}

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max) {
    unsigned base = 10;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        const int digit = HexValue(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return std::nullopt;
        if (value > (max - static_cast<uint64_t>(digit)) / base) return std::nullopt;
        value = value * base + static_cast<uint64_t>(digit);
    }
    return value;
}

std::string ValueLine(const reg::Value& value) {
    return "    " + (value.name.empty() ? std::string("(Default)") : value.name) + "    " +
           TypeName(value.type) + "    " + FormatData(value.type, value.data) + "\n";
}

std::string HexDigits(const std::vector<uint8_t>& data) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(data.size() * 2);
    for (uint8_t b : data) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0xf];
    }
    return text;
}

std::optional<std::vector<uint8_t>> ParseHexDigits(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexValue(text[i]);
        const int low = HexValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

bool EncodeData(uint32_t type, const std::optional<std::string>& text,
                std::vector<uint8_t>& out, std::string& error) {
    switch (type) {
        case reg::REG_SZ:
        case reg::REG_EXPAND_SZ:
            out = TextWithNul(text.value_or(std::string()));
            return true;
        case reg::REG_MULTI_SZ:
            return EncodeMultiString(text.value_or(std::string()), out, error);
        case reg::REG_DWORD:
        case reg::REG_DWORD_BIG_ENDIAN:
        case reg::REG_QWORD:
            return EncodeNumber(type, text, out, error);
        case reg::REG_BINARY:
        case reg::REG_NONE: {
            std::optional<std::vector<uint8_t>> bytes = ParseHexDigits(text.value_or(std::string()));
            if (!bytes) {
                error = "Invalid " + TypeName(type) + " data " + Quoted(text.value_or("")) +
                        ": give an even number of hex digits.";
                return false;
            }
            out = std::move(*bytes);
            return true;
        }
        default:
            error = "Values of type " + TypeName(type) + " cannot be written.";
            return false;
    }
}

std::string FormatData(uint32_t type, const std::vector<uint8_t>& data) {
    switch (type) {
        case reg::REG_SZ:
        case reg::REG_EXPAND_SZ: {
            std::string text(data.begin(), data.end());
            return text.substr(0, text.find('\0'));
        }
        case reg::REG_MULTI_SZ: {
            std::string text;
            size_t pos = 0;
            while (pos < data.size()) {
                size_t end = pos;
                while (end < data.size() && data[end] != 0) ++end;
                if (end == pos) break;  // the empty item ends the list
                if (!text.empty()) text += kItemSeparator;
                text.append(data.begin() + static_cast<std::ptrdiff_t>(pos),
                            data.begin() + static_cast<std::ptrdiff_t>(end));
                pos = end + 1;
            }
            return text;
        }
        case reg::REG_DWORD:
            if (data.size() == 4) return FormatHexNumber(ReadLittleEndian(data));
            break;
        case reg::REG_DWORD_BIG_ENDIAN:
            if (data.size() == 4) {
                return FormatHexNumber(uint64_t{data[0]} << 24 | uint64_t{data[1]} << 16 |
                                       uint64_t{data[2]} << 8 | data[3]);
            }
            break;
        case reg::REG_QWORD:
            if (data.size() == 8) return FormatHexNumber(ReadLittleEndian(data));
            break;
        default: break;
    }
    return HexDigits(data);
}

}  // namespace orvyn::regtool
