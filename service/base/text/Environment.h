// %NAME% in stored texts (REG_EXPAND_SZ values): replaced by the environment
// variable NAME; a name that is not set is left as it stands.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>

namespace orvyn {

inline std::string ExpandEnvironment(std::string_view text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '%') {
            out.push_back(text[i++]);
            continue;
        }
        const size_t end = text.find('%', i + 1);
        if (end == std::string_view::npos) {
            out.append(text.substr(i));
            break;
        }
        const std::string name(text.substr(i + 1, end - i - 1));
        const char* value = name.empty() || name.find('\0') != std::string::npos ? nullptr : std::getenv(name.c_str());
        if (value != nullptr) {
            out += value;
            i = end + 1;
        } else {
            // Not a variable: keep the percent sign; the closing one may
            // open the next name.
            out.push_back('%');
            ++i;
        }
    }
    return out;
}

}  // namespace orvyn
