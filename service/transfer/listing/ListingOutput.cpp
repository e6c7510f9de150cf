#include "service/transfer/listing/ListingOutput.h"

namespace orvyn {
namespace {

bool IsMarkAt(std::string_view text, std::size_t i) {
    if (i + 4 > text.size() || text[i] != '.') return false;
    const char d = text[i + 1], j = text[i + 2], o = text[i + 3];
    return (d == 'd' || d == 'D') && (j == 'j' || j == 'J') && (o == 'o' || o == 'O');
}

}  // namespace

std::string RemoveDocutechMarks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (IsMarkAt(text, i)) {
            i += 4;
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

bool ListingOutput::Commit(bool force) {
    if (!ok_) return false;
    if (pending_.empty() || (!force && pending_.size() < kChunk)) return true;
    // A mark never spans lines, so filtering whole chunks equals filtering
    // line by line.
    ok_ = docutech_ ? write_(RemoveDocutechMarks(pending_)) : write_(pending_);
    pending_.clear();
    return ok_;
}

bool ListingOutput::Write(std::string_view lines) {
    pending_.append(lines);
    return Commit();
}

}  // namespace orvyn
