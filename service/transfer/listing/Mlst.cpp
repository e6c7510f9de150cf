#include "service/transfer/listing/Mlst.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>

#include "service/transfer/listing/ListEntry.h"

namespace orvyn {

using namespace listing_rights;

namespace {

struct FactName {
    MLST::Fact fact;
    std::string_view name;
};
constexpr FactName kFacts[] = {
    {MLST::kType, "type"},
    {MLST::kModify, "modify"},
    {MLST::kPerm, "perm"},
    {MLST::kSize, "size"},
};

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool ContainsIgnoringCase(std::string_view text, std::string_view word) {
    if (word.size() > text.size()) return false;
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < word.size() && Lower(text[i + k]) == word[k]) ++k;
        if (k == word.size()) return true;
    }
    return false;
}

std::string_view TypeText(MlstType type) {
    switch (type) {
    case MlstType::File: return "file";
    case MlstType::Cdir: return "cdir";
    case MlstType::Pdir: return "pdir";
    case MlstType::Dir: return "dir";
    }
    return "file";
}

}  // namespace

std::optional<MlstItem> MlstItemAt(const std::string& diskPath) {
    struct stat st;
    if (diskPath.empty() || stat(diskPath.c_str(), &st) != 0) return std::nullopt;
    MlstItem item;
    item.type = S_ISDIR(st.st_mode) ? MlstType::Dir : MlstType::File;
    item.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    item.modified = st.st_mtime;
    return item;
}

MLST::OptsReply MLST::Opts(std::string_view argument) {
    OptsReply reply;
    if (argument.size() < 5 || !ContainsIgnoringCase(argument.substr(0, 5), "mlst ")) {
        char text[128];
        std::snprintf(text, sizeof text, "501 Option string \"%.50s\" not recognised.",
                      std::string(argument.substr(0, 50)).c_str());
        reply.text = text;
        return reply;
    }
    const std::string_view rest = argument.substr(5);
    int facts = 0;
    for (const FactName& f : kFacts) {
        if (ContainsIgnoringCase(rest, f.name)) facts |= f.fact;
    }
    enabled_ = facts;
    reply.accepted = true;
    reply.text = "200 MLST OPTS " + EnabledFacts();
    return reply;
}

std::string MLST::EnabledFacts() const {
    std::string out;
    for (const FactName& f : kFacts) {
        if (enabled_ & f.fact) {
            out.append(f.name);
            out.push_back(';');
        }
    }
    return out;
}

std::string MLST::FeatFacts() const {
    std::string out;
    for (const FactName& f : kFacts) {
        out.append(f.name);
        if (enabled_ & f.fact) out.push_back('*');
        out.push_back(';');
    }
    return out;
}

int MLST::ShownRights(int rights) const { return uploadAllowed_ ? rights : rights & ~(kCreate | kOverwrite); }

std::string PermLetters(MlstType type, int rights) {
    std::string out;
    if (type == MlstType::File) {
        if (rights & kOverwrite) out.push_back('a');
        if (rights & kOverwrite) out.push_back('d');
        if (rights & (kCreate | kOverwrite)) out.push_back('f');
        if (rights & kRead) out.push_back('r');
        if (rights & kOverwrite) out.push_back('w');
    } else {
        if (rights & kCreate) out.push_back('c');
        if (rights & kOverwrite) out.push_back('d');
        if (rights & (kRead | kCreate | kOverwrite | kList)) out.push_back('e');
        if (rights & kList) out.push_back('l');
        if (rights & kCreate) out.push_back('m');
        if (rights & kOverwrite) out.push_back('p');
    }
    return out;
}

namespace {

// value as exactly width decimal digits (leading zeros; higher digits cut).
void AppendFixedDigits(std::string& out, std::uint64_t value, int width) {
    char digits[20];
    for (int i = width - 1; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(digits, static_cast<std::size_t>(width));
}

void AppendDecimal(std::string& out, std::uint64_t value) {
    char digits[20];
    int n = 0;
    do {
        digits[sizeof digits - 1 - n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out.append(digits + sizeof digits - n, static_cast<std::size_t>(n));
}

}  // namespace

void MLST::AppendFacts(std::string& out, const MlstItem& item, int rights) const {
    if (enabled_ & kType) {
        out.append("type=");
        out.append(TypeText(item.type));
        out.push_back(';');
    }
    if (enabled_ & kModify) {
        std::tm tm{};
        const std::time_t when = item.modified;
        if (gmtime_r(&when, &tm) != nullptr && tm.tm_year + 1900 >= 0 && tm.tm_year + 1900 <= 9999) {
            out.append("modify=");
            AppendFixedDigits(out, static_cast<std::uint64_t>(tm.tm_year + 1900), 4);
            AppendFixedDigits(out, static_cast<std::uint64_t>(tm.tm_mon + 1), 2);
            AppendFixedDigits(out, static_cast<std::uint64_t>(tm.tm_mday), 2);
            AppendFixedDigits(out, static_cast<std::uint64_t>(tm.tm_hour), 2);
            AppendFixedDigits(out, static_cast<std::uint64_t>(tm.tm_min), 2);
            AppendFixedDigits(out, static_cast<std::uint64_t>(tm.tm_sec), 2);
            out.push_back(';');
        }
    }
    if (enabled_ & kPerm) {
        out.append("perm=");
        out.append(PermLetters(item.type, ShownRights(rights)));
        out.push_back(';');
    }
    if ((enabled_ & kSize) && item.type == MlstType::File) {
        out.append("size=");
        AppendDecimal(out, item.size);
        out.push_back(';');
    }
}

std::string MLST::Facts(const MlstItem& item, int rights) const {
    std::string out;
    AppendFacts(out, item, rights);
    return out;
}

std::vector<std::string> MLST::ReplyLines(std::string_view argument, const MlstItem& item, int rights,
                                          std::string_view clientPath) const {
    std::vector<std::string> lines;
    lines.push_back("250-Listing " + std::string(argument));
    lines.push_back(" " + Facts(item, rights) + " " + std::string(clientPath));
    lines.push_back("250 End");
    return lines;
}

std::vector<std::string> FeatLines(const MLST* mlst, const std::string& more) {
    std::vector<std::string> lines = {
        "211-Extensions supported:", " AUTH TLS", " PBSZ", " PROT", " MDTM", " MFMT", " SIZE", " REST STREAM", " TVFS",
        " UTF8",
    };
    if (!more.empty()) lines.push_back(" " + more);
    if (mlst != nullptr) lines.push_back(" MLST " + mlst->FeatFacts());
    lines.push_back("211 END");
    return lines;
}

}  // namespace orvyn
