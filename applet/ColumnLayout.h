// Column widths, order and sort state of a list, kept in the store under
// Software\Brandmoor\ORVYNPro\<key> (ServerListColumns, UserListColumns):
// one REG_DWORD per column title holding minus the right edge of the column
// in the header (0 for a hidden column), and SortColumn, "+Title" or
// "-Title" (empty: not sorted).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/Registry.h"

namespace orvyn::applet {

struct PlacedColumn {
    int column;  // index in the default order
    int width;
};

// Orders the columns by their right edges. stored[i] is the value of column
// i (missing: nullopt, then defaultWidths[i] placed after the previous
// column); a negative value is an absolute right edge, a positive one a width
// placed after the previous column. Returns the columns left to right.
std::vector<PlacedColumn> PlaceColumns(const std::vector<std::optional<long>>& stored,
                                       const std::vector<int>& defaultWidths);

// The sort state named by a SortColumn text: the first character is dropped,
// the rest looked up among the titles without regard to case; its position
// counted from 1, negated after "-"; 0 when empty or not found.
int ParseSortColumn(std::string_view text, const std::vector<std::string>& titles);
std::string FormatSortColumn(int sortState, const std::vector<std::string>& titles);

// Reading and writing the key of one list.
struct StoredLayout {
    std::vector<std::optional<long>> edges;  // per title, in the titles' order
    std::string sortColumn;
};
StoredLayout LoadLayout(const reg::IStore& store, std::string_view listKey, const std::vector<std::string>& titles);
// rightEdges: per title in the titles' order, the right edge in the header
// (0 for a hidden column).
bool SaveLayout(reg::IStore& store, std::string_view listKey, const std::vector<std::string>& titles,
                const std::vector<int>& rightEdges, int sortState);

}  // namespace orvyn::applet
