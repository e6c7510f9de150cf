#include "service/transfer/listing/ListOptions.h"

namespace orvyn {

ListOptions ListOptions::Parse(std::string_view argument, char defaultLetter) {
    ListOptions options;
    options.Apply(defaultLetter);
    std::string_view path = argument;
    if (!argument.empty() && argument.front() == '-') {
        const std::size_t space = argument.find(' ');
        const std::string_view word = argument.substr(1, space == std::string_view::npos ? space : space - 1);
        for (std::size_t i = 0; i < word.size() && i < kMaxLetters; ++i) options.Apply(word[i]);
        path = space == std::string_view::npos ? std::string_view() : argument.substr(space + 1);
    }
    options.path.assign(path.empty() ? std::string_view(".") : path);
    return options;
}

bool ListOptions::Apply(char letter) {
    switch (letter) {
    case 'a':
    case 'A':
        break;  // hidden entries are never listed
    case 'c':
        changeTime = true;
        accessTime = false;
        break;
    case 'u':
        accessTime = true;
        changeTime = false;
        break;
    case 'd':
        directoryAsEntry = true;
        recursive = false;
        break;
    case 'R':
        recursive = true;
        directoryAsEntry = false;
        break;
    case 'l':
        longFormat = true;
        onePerLine = false;
        columns = false;
        break;
    case '1':
        onePerLine = true;
        longFormat = false;
        columns = false;
        break;
    case 'C':
        columns = true;
        longFormat = false;
        onePerLine = false;
        break;
    case 'f':
        unsorted = true;
        break;
    case 'r':
        reverse = true;
        break;
    case 's':
        blocks = true;
        break;
    case 't':
        byTime = true;
        break;
    case 'F':
        classify = true;
        break;
    default:
        return false;
    }
    letters.push_back(letter);
    return true;
}

SortOrder ListOptions::sortOrder() const {
    if (unsorted) return SortOrder::Unsorted;
    if (byTime) return SortOrder::Time;
    return SortOrder::Name;
}

bool HasParentStep(std::string_view argument) {
    for (std::size_t i = 0; i + 2 < argument.size(); ++i) {
        if ((argument[i] == '/' || argument[i] == '\\') && argument[i + 1] == '.' && argument[i + 2] == '.') return true;
    }
    return false;
}

}  // namespace orvyn
