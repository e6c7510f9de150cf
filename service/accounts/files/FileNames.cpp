#include "service/accounts/files/FileNames.h"

#include "service/base/text/NoCase.h"

namespace orvyn {

std::string_view PathExtension(std::string_view path) {
    const std::size_t sep = path.find_last_of("/\\");
    const std::string_view last = sep == std::string_view::npos ? path : path.substr(sep + 1);
    const std::size_t dot = last.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : last.substr(dot);
}

bool IsShortcutExtension(std::string_view extension) { return EqualsNoCase(extension, kShortcutExtension); }

bool ContainsDocutechMark(std::string_view text) {
    for (std::size_t i = 0; i + kDocutechExtension.size() <= text.size(); ++i) {
        if (EqualsNoCase(text.substr(i, kDocutechExtension.size()), kDocutechExtension)) return true;
    }
    return false;
}

std::string RenameTarget(std::string_view resolvedTarget, std::string_view nameSuffix, std::string_view source,
                         std::string_view argument) {
    std::string target(resolvedTarget);
    target += nameSuffix;
    if (IsShortcutExtension(PathExtension(source)) && !IsShortcutExtension(PathExtension(argument))) {
        target += kShortcutExtension;
    }
    return target;
}

RenameCheck CheckRenameNames(std::string_view source, std::string_view argument) {
    if (IsShortcutExtension(PathExtension(argument)) && !IsShortcutExtension(PathExtension(source))) {
        return RenameCheck::ToShortcut;
    }
    return RenameCheck::Allowed;
}

}  // namespace orvyn
