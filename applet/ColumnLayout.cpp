#include "applet/ColumnLayout.h"

#include <algorithm>

#include "applet/ServerList.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn::applet {

std::vector<PlacedColumn> PlaceColumns(const std::vector<std::optional<long>>& stored,
                                       const std::vector<int>& defaultWidths) {
    struct Edge {
        int column;
        long right;
    };
    std::vector<Edge> edges;
    long previous = 0;
    for (size_t i = 0; i < defaultWidths.size(); ++i) {
        std::optional<long> v = i < stored.size() ? stored[i] : std::nullopt;
        long right;
        if (!v)
            right = previous + defaultWidths[i];
        else if (*v < 0)
            right = -*v;
        else
            right = previous + *v;
        edges.push_back({static_cast<int>(i), right});
        previous = right;
    }
    std::stable_sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) { return a.right < b.right; });
    std::vector<PlacedColumn> out;
    long left = 0;
    for (const Edge& e : edges) {
        out.push_back({e.column, static_cast<int>(std::max(0L, e.right - left))});
        left = std::max(left, e.right);
    }
    return out;
}

int ParseSortColumn(std::string_view text, const std::vector<std::string>& titles) {
    if (text.empty())
        return 0;
    std::string_view title = text.substr(1);
    for (size_t i = 0; i < titles.size(); ++i)
        if (CompareTextNoCase(titles[i], title) == 0)
            return text[0] == '-' ? -static_cast<int>(i + 1) : static_cast<int>(i + 1);
    return 0;
}

std::string FormatSortColumn(int sortState, const std::vector<std::string>& titles) {
    size_t column = static_cast<size_t>(sortState < 0 ? -sortState : sortState);
    if (column == 0 || column > titles.size())
        return {};
    return (sortState < 0 ? "-" : "+") + titles[column - 1];
}

namespace {
std::string KeyOf(std::string_view listKey) { return std::string(kProductKey) + "\\" + std::string(listKey); }
}  // namespace

StoredLayout LoadLayout(const reg::IStore& store, std::string_view listKey, const std::vector<std::string>& titles) {
    StoredLayout out;
    const std::string key = KeyOf(listKey);
    for (const auto& title : titles) {
        reg::Value v;
        if (store.QueryValue(key, title, v) && v.type == reg::REG_DWORD && v.data.size() >= 4) {
            int32_t n = static_cast<int32_t>(uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 |
                                             uint32_t(v.data[2]) << 16 | uint32_t(v.data[3]) << 24);
            out.edges.emplace_back(n);
        } else {
            out.edges.emplace_back(std::nullopt);
        }
    }
    reg::Value sort;
    if (store.QueryValue(key, "SortColumn", sort) && sort.type == reg::REG_SZ) {
        std::string text(sort.data.begin(), sort.data.end());
        out.sortColumn = text.substr(0, text.find('\0'));
    }
    return out;
}

bool SaveLayout(reg::IStore& store, std::string_view listKey, const std::vector<std::string>& titles,
                const std::vector<int>& rightEdges, int sortState) {
    const std::string key = KeyOf(listKey);
    bool ok = true;
    for (size_t i = 0; i < titles.size() && i < rightEdges.size(); ++i) {
        auto data = reg::DwordData(static_cast<uint32_t>(-static_cast<int32_t>(rightEdges[i])));
        ok = store.SetValue(key, titles[i], reg::REG_DWORD, data.data(), data.size()).ok() && ok;
    }
    auto text = reg::StringData(FormatSortColumn(sortState, titles));
    return store.SetValue(key, "SortColumn", reg::REG_SZ, text.data(), text.size()).ok() && ok;
}

}  // namespace orvyn::applet
