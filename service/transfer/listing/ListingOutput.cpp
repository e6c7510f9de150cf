#include "service/transfer/listing/ListingOutput.h"

namespace orvyn {
namespace {

// The mark as the names clients give are completed with it (file names are
// told apart by case): a name shown without it must lead back to the folder.
bool IsMarkAt(std::string_view text, std::size_t i) { return text.substr(i, 4) == ".djo"; }

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
