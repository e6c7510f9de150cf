// The words of a SITE argument, split at blanks. Every word is a view into
// the text it came from, so that "the rest of the line from a word" keeps
// the blanks as they were sent.
#pragma once

#include <string_view>
#include <vector>

namespace orvyn {

class SiteWords {
public:
    explicit SiteWords(std::string_view text) : text_(text) {
        size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && text[i] == ' ') ++i;
            if (i == text.size()) break;
            const size_t start = i;
            while (i < text.size() && text[i] != ' ') ++i;
            words_.push_back(text.substr(start, i - start));
        }
    }

    size_t count() const { return words_.size(); }
    // Word i, empty when there are fewer words.
    std::string_view word(size_t i) const { return i < words_.size() ? words_[i] : std::string_view(); }
    // From the start of word i to the end of the text, blanks included
    // (trailing blanks too); empty when there is no word i.
    std::string_view rest(size_t i) const {
        if (i >= words_.size()) return {};
        return text_.substr(static_cast<size_t>(words_[i].data() - text_.data()));
    }

private:
    std::string_view text_;
    std::vector<std::string_view> words_;
};

}  // namespace orvyn
