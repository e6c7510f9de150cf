// The help text of orvyn-reg.
#pragma once

#include <string_view>

namespace orvyn::regtool {

std::string_view UsageText();

}  // namespace orvyn::regtool
