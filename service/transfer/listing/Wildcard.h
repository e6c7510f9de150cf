// Wildcard names: '*' stands for any run of characters, '?' for one
// character (one UTF-8 sequence). Letter case counts, as it does on disk.
// The pattern "*.*" matches every name, dotted or not, as clients that were
// written for other systems expect.
#pragma once

#include <string_view>

namespace orvyn {

bool HasWildcard(std::string_view text);
bool NameWildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace orvyn
